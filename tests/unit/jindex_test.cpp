#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "base/jindex.h"

namespace {

struct Rec {
  Rec* child[2];
  uint32_t key;
};

int compare_keys(void* context, void* existing) {
  const uint32_t a = static_cast<Rec*>(context)->key;
  const uint32_t b = static_cast<Rec*>(existing)->key;
  return a < b ? -1 : (a > b ? 1 : 0);
}

uint64_t insert(void** root, Rec* r) { return ji_insert(root, compare_keys, r, r); }

bool in_order(const Rec* a, const Rec* b) {
  return a->key != b->key ? a->key < b->key : a < b;
}

// Counts records that break the search order or the heap order.
uint64_t tree_faults(const Rec* r, const Rec* lo, const Rec* hi, uint64_t* count, uint64_t* height,
                     uint64_t depth = 1) {
  if (r == nullptr) return 0;
  ++*count;
  *height = std::max(*height, depth);
  uint64_t faults = (lo && !in_order(lo, r)) + (hi && !in_order(r, hi));
  for (const Rec* c : r->child) faults += c && ji_priority(c) < ji_priority(r);
  return faults + tree_faults(r->child[0], lo, r, count, height, depth + 1) +
         tree_faults(r->child[1], r, hi, count, height, depth + 1);
}

// Checks both orders; returns the height and counts the records.
uint64_t check_tree(const Rec* root, uint64_t* count) {
  uint64_t height = 0;
  EXPECT_EQ(tree_faults(root, nullptr, nullptr, count, &height), 0u);
  return height;
}

// Depth of a record by searching from the root.
uint64_t depth_of(const Rec* root, const Rec* r) {
  uint64_t d = 1;
  for (const Rec* q = root; q != nullptr; ++d) {
    if (q == r) return d;
    q = q->child[in_order(r, q) ? 0 : 1];
  }
  return 0;
}

std::vector<Rec*> walk(void** root, int direction) {
  std::vector<Rec*> out;
  ji_pos_t pos;
  ji_first(&pos, root);
  pos.depth = 0;  // start from the chosen end
  for (void* r = ji_step(&pos, direction); r != nullptr; r = ji_step(&pos, direction)) {
    EXPECT_EQ(ji_current(&pos), r);
    out.push_back(static_cast<Rec*>(r));
  }
  EXPECT_EQ(ji_error(&pos), err::ok);
  EXPECT_EQ(ji_current(&pos), nullptr);
  return out;
}

TEST(JIndex, PriorityIsWangHashOfTheAddress) {
  EXPECT_EQ(ji_priority(reinterpret_cast<void*>(uintptr_t{0})), 0x2aeaa2abu);
  EXPECT_EQ(ji_priority(reinterpret_cast<void*>(uintptr_t{1})), 0x15515fbcu);
  EXPECT_EQ(ji_priority(reinterpret_cast<void*>(uintptr_t{0x1000})), 0x15a80be8u);
  EXPECT_EQ(ji_priority(reinterpret_cast<void*>(uintptr_t{0x7fff12345678})), 0x26ca62e8u);
}

TEST(JIndex, EmptyIndex) {
  void* root = nullptr;
  ji_pos_t pos;
  EXPECT_EQ(ji_first(&pos, &root), nullptr);
  EXPECT_EQ(pos.depth, 0u);
  EXPECT_EQ(ji_current(&pos), nullptr);
  EXPECT_EQ(ji_step(&pos, 1), nullptr);
  EXPECT_EQ(ji_step(&pos, 0), nullptr);
  EXPECT_EQ(ji_error(&pos), err::ok);
  Rec r{};
  r.key = 5;
  EXPECT_EQ(ji_seek(&pos, &root, compare_keys, &r, &r), 0);
  EXPECT_EQ(pos.depth, 0u);
  EXPECT_EQ(ji_link(&pos, &r), 1u);
  EXPECT_EQ(root, &r);
  EXPECT_EQ(ji_current(&pos), &r);
}

enum class Order { ascending, descending, random };

class JIndexBulk : public testing::TestWithParam<Order> {};

TEST_P(JIndexBulk, InOrderWalksAndLogarithmicDepth) {
  constexpr uint32_t n = 100000;
  // Records placed as a folder's pool places its entries: one after another,
  // each followed by its name, so the strides vary with the names' lengths.
  std::vector<uint64_t> arena(n * 8);
  std::vector<Rec*> at(n);
  for (uint32_t i = 0, word = 0; i < n; ++i) {
    at[i] = reinterpret_cast<Rec*>(&arena[word]);
    word += 3 + (i * 7919u) % 5;  // the record, then a name of 0 to 32 bytes
  }
  std::vector<uint32_t> keys(n);
  std::iota(keys.begin(), keys.end(), 0u);
  if (GetParam() == Order::descending) std::reverse(keys.begin(), keys.end());
  if (GetParam() == Order::random) std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
  void* root = nullptr;
  uint64_t deepest_insert = 0;
  for (uint32_t i = 0; i < n; ++i) {
    *at[i] = Rec{{reinterpret_cast<Rec*>(1), reinterpret_cast<Rec*>(2)}, keys[i]};  // links are cleared
    uint64_t d = insert(&root, at[i]);
    ASSERT_GE(d, 1u);
    if (i % 997 == 0) {
      ASSERT_EQ(d, depth_of(static_cast<Rec*>(root), at[i]));
    }
    deepest_insert = std::max(deepest_insert, d);
  }
  uint64_t count = 0;
  const uint64_t height = check_tree(static_cast<Rec*>(root), &count);
  EXPECT_EQ(count, n);
  // Logarithmic, and within a cursor's reach; a shape that ignored the
  // priorities would have thousands of levels.
  EXPECT_LE(height, uint64_t(6 * std::log2(n)));
  EXPECT_LT(height, JI_STACK_SIZE);
  EXPECT_LE(deepest_insert, uint64_t(6 * std::log2(n)));

  std::vector<Rec*> forward = walk(&root, 1);
  ASSERT_EQ(forward.size(), n);
  for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(forward[i]->key, i);
  std::vector<Rec*> backward = walk(&root, 0);
  std::reverse(backward.begin(), backward.end());
  EXPECT_EQ(backward, forward);
}

INSTANTIATE_TEST_SUITE_P(Orders, JIndexBulk,
                         testing::Values(Order::ascending, Order::descending, Order::random));

TEST(JIndex, EqualKeysInAddressOrder) {
  std::vector<Rec> recs(3000);
  std::vector<Rec*> order;
  for (size_t i = 0; i < recs.size(); ++i) {
    recs[i].key = static_cast<uint32_t>(i % 3);
    order.push_back(&recs[i]);
  }
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  void* root = nullptr;
  for (Rec* r : order) ASSERT_GE(insert(&root, r), 1u);
  std::vector<Rec*> got = walk(&root, 1);
  std::vector<Rec*> want = order;
  std::sort(want.begin(), want.end(), in_order);
  EXPECT_EQ(got, want);
}

TEST(JIndex, SteppingOffBothEndsAndBack) {
  std::vector<Rec> recs(10);
  void* root = nullptr;
  for (uint32_t i = 0; i < 10; ++i) {
    recs[i].key = (i * 7) % 10;
    insert(&root, &recs[i]);
  }
  auto key = [](void* r) { return static_cast<Rec*>(r)->key; };
  ji_pos_t pos;
  ASSERT_EQ(key(ji_first(&pos, &root)), 0u);
  EXPECT_EQ(ji_step(&pos, 0), nullptr);  // before the first
  EXPECT_EQ(pos.depth, 0u);
  EXPECT_EQ(ji_current(&pos), nullptr);
  EXPECT_EQ(key(ji_step(&pos, 0)), 9u);  // starts again from the last
  EXPECT_EQ(ji_step(&pos, 1), nullptr);  // past the last
  EXPECT_EQ(ji_current(&pos), nullptr);
  EXPECT_EQ(ji_error(&pos), err::ok);
  EXPECT_EQ(key(ji_step(&pos, 1)), 0u);  // and from the first again
  EXPECT_EQ(key(ji_step(&pos, 1)), 1u);
  EXPECT_EQ(key(ji_step(&pos, 0)), 0u);
  for (uint32_t k = 1; k < 10; ++k) EXPECT_EQ(key(ji_step(&pos, 1)), k);
  EXPECT_EQ(ji_step(&pos, 1), nullptr);
}

TEST(JIndex, SeekAndLink) {
  std::vector<Rec> recs(200);
  void* root = nullptr;
  for (uint32_t i = 0; i < 100; ++i) {
    recs[i].key = 2 * i;  // even keys
    insert(&root, &recs[i]);
  }
  ji_pos_t pos;
  // Present records are found with the cursor on them.
  EXPECT_EQ(ji_seek(&pos, &root, compare_keys, &recs[40], &recs[40]), 1);
  EXPECT_EQ(ji_current(&pos), &recs[40]);
  EXPECT_EQ(pos.depth, depth_of(static_cast<Rec*>(root), &recs[40]));
  // A new record: cursor on its successor, or depth 0 past the end.
  Rec* odd = &recs[100];
  odd->key = 51;
  EXPECT_EQ(ji_seek(&pos, &root, compare_keys, odd, odd), 0);
  EXPECT_EQ(static_cast<Rec*>(ji_current(&pos))->key, 52u);
  Rec* last = &recs[101];
  last->key = 1000;
  EXPECT_EQ(ji_seek(&pos, &root, compare_keys, last, last), 0);
  EXPECT_EQ(pos.depth, 0u);
  // Linking leaves the cursor on the new record at the returned depth.
  for (uint32_t i = 100; i < 200; ++i) {
    recs[i].key = 2 * (i - 100) + 1;
    ASSERT_EQ(ji_seek(&pos, &root, compare_keys, &recs[i], &recs[i]), 0);
    uint64_t d = ji_link(&pos, &recs[i]);
    ASSERT_EQ(d, pos.depth);
    ASSERT_EQ(ji_current(&pos), &recs[i]);
    ASSERT_EQ(d, depth_of(static_cast<Rec*>(root), &recs[i]));
    // The cursor walks on from the new record (the last odd key is the end).
    void* next = ji_step(&pos, 1);
    if (i < 199) {
      ASSERT_NE(next, nullptr);
      ASSERT_EQ(static_cast<Rec*>(next)->key, recs[i].key + 1);
    } else {
      ASSERT_EQ(next, nullptr);
    }
  }
  std::vector<Rec*> all = walk(&root, 1);
  ASSERT_EQ(all.size(), 200u);
  for (uint32_t k = 0; k < 200; ++k) EXPECT_EQ(all[k]->key, k);
  // Inserting a record that is already present changes nothing.
  const uint64_t d = depth_of(static_cast<Rec*>(root), &recs[150]);
  EXPECT_EQ(insert(&root, &recs[150]), d);
  EXPECT_EQ(walk(&root, 1), all);
}

// Records picked by priority build a chain: keys ascending with priorities
// ascending make every record the child 1 of the one before.
TEST(JIndex, LinkStackOverflowIsReportedNotFatal) {
  std::vector<Rec> pool(50000);
  std::vector<Rec*> by_priority;
  for (Rec& r : pool) by_priority.push_back(&r);
  std::sort(by_priority.begin(), by_priority.end(),
            [](Rec* a, Rec* b) { return ji_priority(a) < ji_priority(b); });
  std::vector<Rec*> picked;  // strictly ascending priorities
  for (Rec* r : by_priority) {
    if (picked.empty() || ji_priority(picked.back()) < ji_priority(r)) picked.push_back(r);
    if (picked.size() == JI_STACK_SIZE + 2) break;
  }
  ASSERT_EQ(picked.size(), JI_STACK_SIZE + 2);
  Rec* top = picked[0];  // smallest priority of all
  std::vector<Rec*> chain(picked.begin() + 1, picked.end());
  for (uint32_t i = 0; i < chain.size(); ++i) chain[i]->key = i + 1;
  top->key = 0;

  void* root = nullptr;
  for (uint64_t i = 0; i < JI_STACK_SIZE; ++i) ASSERT_EQ(insert(&root, chain[i]), i + 1);
  // One more would sit at depth 129: refused, index unchanged.
  Rec* extra = chain[JI_STACK_SIZE];
  EXPECT_EQ(insert(&root, extra), 0u);
  uint64_t count = 0;
  EXPECT_EQ(check_tree(static_cast<Rec*>(root), &count), JI_STACK_SIZE);
  EXPECT_EQ(count, JI_STACK_SIZE);
  EXPECT_EQ(walk(&root, 1).size(), JI_STACK_SIZE);  // a full-height path still walks
  EXPECT_EQ(walk(&root, 0).size(), JI_STACK_SIZE);

  // The record of smallest priority rotates to the root and pushes the whole
  // chain one level down: the deepest record is now out of a cursor's reach.
  EXPECT_EQ(insert(&root, top), 1u);
  EXPECT_EQ(root, top);
  count = 0;
  EXPECT_EQ(check_tree(top, &count), JI_STACK_SIZE + 1);

  ji_pos_t pos;
  ASSERT_EQ(ji_first(&pos, &root), top);
  uint64_t steps = 0;
  while (ji_step(&pos, 1) != nullptr) ++steps;
  EXPECT_EQ(steps, JI_STACK_SIZE - 1);  // stopped before the deepest record
  EXPECT_EQ(ji_error(&pos), err::stack_overflow);
  EXPECT_EQ(pos.depth, 0u);
  EXPECT_EQ(ji_step(&pos, 0), nullptr);  // the last record is as deep
  EXPECT_EQ(ji_error(&pos), err::stack_overflow);
  EXPECT_EQ(ji_seek(&pos, &root, compare_keys, extra, extra), -1);
  EXPECT_EQ(ji_error(&pos), err::stack_overflow);
  EXPECT_EQ(ji_link(&pos, extra), 0u);  // a failed seek links nothing
  EXPECT_EQ(insert(&root, extra), 0u);
  count = 0;
  EXPECT_EQ(check_tree(top, &count), JI_STACK_SIZE + 1);
  EXPECT_EQ(count, JI_STACK_SIZE + 1);
  // A successful operation clears the flag.
  EXPECT_EQ(ji_first(&pos, &root), top);
  EXPECT_EQ(ji_error(&pos), err::ok);
}

}  // namespace
