#include <gtest/gtest.h>

#include <cstring>

#include "base/memory.h"
#include "platform/platform.h"

namespace {

uint64_t block_count(const StringPool& p) {
  uint64_t n = 0;
  for (auto* b = p.head; b; b = b->next) ++n;
  return n;
}

TEST(StringPool, GrowthAlignmentAndZeroing) {
  ScopedPool pool;
  // First small request: a block with 2 * 16 + 256 spare bytes.
  char* a = static_cast<char*>(pool_allocate(pool.get(), 10));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_EQ(pool->head->remaining, 2u * 16 + 256);
  EXPECT_EQ(pool->total, 16u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(a[i], 0);
  // Carved upward from the same block.
  char* b = static_cast<char*>(pool_allocate(pool.get(), 1));
  EXPECT_EQ(b, a + 16);
  EXPECT_EQ(pool->head->remaining, 2u * 16 + 256 - 16);
  // A request of 0 consumes nothing but returns a pointer into the head.
  char* z = static_cast<char*>(pool_allocate(pool.get(), 0));
  EXPECT_EQ(z, b + 16);
  EXPECT_EQ(pool->head->remaining, 2u * 16 + 256 - 16);
  EXPECT_EQ(block_count(pool.pool), 1u);
  // Overflowing the head makes a new head sized from the running total.
  char* c = static_cast<char*>(pool_allocate(pool.get(), 300));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(block_count(pool.pool), 2u);
  EXPECT_EQ(pool->head->remaining, 2u * (32 + 304) + 256);
  EXPECT_EQ(pool->total, 32u + 304);
}

TEST(StringPool, SpareRoomIsCapped) {
  ScopedPool pool;
  ASSERT_NE(pool_allocate(pool.get(), 65280), nullptr);
  EXPECT_EQ(pool->head->remaining, kPoolSpareMax);
}

TEST(StringPool, LargeRequestLinkedBehindHead) {
  ScopedPool pool;
  char* small = static_cast<char*>(pool_allocate(pool.get(), 16));
  auto* head = pool->head;
  char* big = static_cast<char*>(pool_allocate(pool.get(), 65281));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(pool->head, head);  // head keeps serving small requests
  ASSERT_NE(head->next, nullptr);
  EXPECT_EQ(head->next->remaining, 0u);
  // Trailer sits right after the rounded request: exactly r + 24 bytes.
  EXPECT_EQ(reinterpret_cast<char*>(head->next), big + 65296);
  EXPECT_EQ(head->next->base, big);
  char* next_small = static_cast<char*>(pool_allocate(pool.get(), 16));
  EXPECT_EQ(next_small, small + 16);
  // A large request without a roomier head becomes the head.
  ScopedPool fresh;
  char* lone = static_cast<char*>(pool_allocate(fresh.get(), 100000));
  ASSERT_NE(lone, nullptr);
  EXPECT_EQ(fresh->head->remaining, 0u);
  EXPECT_EQ(fresh->head->base, lone);
}

TEST(StringPool, ReleaseResetsButKeepsFailures) {
  ScopedPool pool;
  ASSERT_NE(pool_allocate(pool.get(), 100), nullptr);
  pool->failures = 3;
  pool_release(pool.get());
  EXPECT_EQ(pool->head, nullptr);
  EXPECT_EQ(pool->total, 0u);
  EXPECT_EQ(pool->failures, 3);
  // Still usable after release.
  EXPECT_NE(pool_allocate(pool.get(), 8), nullptr);
}

TEST(StringPool, ImpossibleRequestCountsFailure) {
  ScopedPool pool;
  ASSERT_NE(pool_allocate(pool.get(), 8), nullptr);
  auto* head = pool->head;
  uint64_t remaining = head->remaining;
  // Beyond the 32-bit rounding limit: refused, nothing else changes.
  EXPECT_EQ(pool_allocate(pool.get(), static_cast<size_t>(UINT32_MAX)), nullptr);
  EXPECT_EQ(pool->failures, 1);
  EXPECT_EQ(pool->head, head);
  EXPECT_EQ(head->remaining, remaining);
  EXPECT_EQ(pool->total, 16u);
  // A size beyond 32 bits must not be cut to its low bits (here 16).
  if (sizeof(size_t) > 4) {
    EXPECT_EQ(pool_allocate(pool.get(), static_cast<size_t>((uint64_t{1} << 32) + 16)), nullptr);
    EXPECT_EQ(pool->failures, 2);
    EXPECT_EQ(head->remaining, remaining);
  }
}

TEST(StringPool, Strndup) {
  ScopedPool pool;
  char* e = pool_strdup(pool.alloc(), nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e, "");
  EXPECT_STREQ(pool_strndup(pool.alloc(), "abcdef", 3), "abc");
  EXPECT_STREQ(pool_strdup(pool.alloc(), "abcdef"), "abcdef");
  EXPECT_STREQ(pool_strndup(pool.alloc(), "ab", 10), "ab");
}

TEST(HeapAllocator, ZeroedAndOwnedByCaller) {
  char* p = static_cast<char*>(allocate(&heap_allocator, 64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
  std::free(p);
}

TEST(Blocks, SourceChosenBySize) {
  sys::FaultScope faults;
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtAllocateVirtualMemory, 1, 0xC0000017u, 100));
  sys::CallCounter nt_allocate_virtual_memory_calls(sys::SysCall::NtAllocateVirtualMemory);
  // 4095 bytes come from the heap: the system is not asked.
  void* small = block_alloc(4095);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(nt_allocate_virtual_memory_calls.count(), 0u);
  block_free(small, 4095);
  // 4096 bytes come from the system, which here refuses.
  EXPECT_EQ(block_alloc(4096), nullptr);
  EXPECT_EQ(nt_allocate_virtual_memory_calls.count(), 1u);
  sys::fault_clear();
  // Pages read as zero and are released with the same size.
  auto* page = static_cast<unsigned char*>(block_alloc(1 << 20));
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page[0], 0);
  EXPECT_EQ(page[(1 << 20) - 1], 0);
  page[12345] = 7;
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtFreeVirtualMemory, 2, 0xC0000017u));
  sys::CallCounter nt_free_virtual_memory_calls(sys::SysCall::NtFreeVirtualMemory);
  block_free(page, 1 << 20);
  EXPECT_EQ(nt_free_virtual_memory_calls.count(), 1u);
  block_free(nullptr, 1 << 20);  // ignored
  EXPECT_EQ(nt_free_virtual_memory_calls.count(), 1u);
}

TEST(StringHelpers, LengthsAndCopies) {
  EXPECT_EQ(str_len(nullptr), 0u);
  EXPECT_EQ(str_len("abc"), 3u);
  EXPECT_EQ(str_len_bounded("abcdef", 4), 4u);
  EXPECT_EQ(str_len_bounded(nullptr, 4), 0u);
  EXPECT_TRUE(str_is_empty(nullptr));
  EXPECT_TRUE(str_is_empty(""));
  EXPECT_FALSE(str_is_empty("x"));
  EXPECT_STREQ(str_or_empty(nullptr), "");

  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  string_copy_bounded(buf, 1, "abc");
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 'x');
  string_copy_bounded(buf, 3, "abcdef");
  EXPECT_STREQ(buf, "ab");
  string_copy_bounded(buf, 8, "abcdef", 2);
  EXPECT_STREQ(buf, "ab");
  string_copy_bounded(buf, 0, "zz");
  EXPECT_STREQ(buf, "ab");
  string_copy_bounded(nullptr, 8, "zz");

  char m[8] = "abcdef";
  mem_move(m + 1, m, 5);  // overlapping, destination above source
  EXPECT_STREQ(m, "aabcde");
  mem_move(m, m + 1, 5);
  EXPECT_STREQ(m, "abcdee");
  mem_move(m, nullptr, 3);
  EXPECT_EQ(m[0], 0);
  EXPECT_EQ(m[2], 0);
  EXPECT_EQ(m[3], 'd');

  EXPECT_EQ(ascii_upper('a'), 'A');
  EXPECT_EQ(ascii_upper('{'), '{');
  EXPECT_EQ(ascii_lower('Z'), 'z');
  EXPECT_EQ(ascii_lower('@'), '@');
  EXPECT_EQ(ascii_upper(static_cast<char>(0xE9)), static_cast<char>(0xE9));
  EXPECT_TRUE(is_digit('0'));
  EXPECT_FALSE(is_digit('a'));
}

}  // namespace
