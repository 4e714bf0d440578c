// Treap over caller records; see jindex.h.
#include "base/jindex.h"

namespace {

// The two links at the start of every record.
inline void*& child(void* record, int side) { return static_cast<void**>(record)[side]; }

inline void* fail(ji_pos_t* pos) {
  pos->depth = 0;
  pos->overflow = true;
  return nullptr;
}

// Pushes `record`, then each child `side` of the last pushed record while
// there is one. Returns the last pushed record, or null on overflow.
void* descend(ji_pos_t* pos, void* record, int side) {
  do {
    if (pos->depth == JI_STACK_SIZE) return fail(pos);
    pos->stack[pos->depth++] = record;
    record = child(record, side);
  } while (record != nullptr);
  return pos->stack[pos->depth - 1];
}

}  // namespace

uint32_t ji_priority(const void* record) {
  const uint64_t p = reinterpret_cast<uintptr_t>(record);
  uint64_t x = (p << 18) + ~p;
  x ^= x >> 31;
  x *= 21;
  x ^= x >> 11;
  x *= 65;
  return static_cast<uint32_t>(x ^ (x >> 22));
}

void* ji_first(ji_pos_t* pos, void** index) {
  pos->root = index;
  pos->depth = 0;
  pos->overflow = false;
  if (index == nullptr || *index == nullptr) return nullptr;
  return descend(pos, *index, 0);
}

void* ji_current(const ji_pos_t* pos) {
  return pos->depth != 0 ? pos->stack[pos->depth - 1] : nullptr;
}

void* ji_step(ji_pos_t* pos, int direction) {
  const int d = direction != 0 ? 1 : 0;
  const int e = 1 - d;
  pos->overflow = false;
  if (pos->depth == 0) {
    if (pos->root == nullptr || *pos->root == nullptr) return nullptr;
    return descend(pos, *pos->root, e);
  }
  void* next = child(pos->stack[pos->depth - 1], d);
  if (next != nullptr) return descend(pos, next, e);
  // Climb while the record just left is the child d of the one above it.
  for (;;) {
    void* left = pos->stack[--pos->depth];
    if (pos->depth == 0) return nullptr;
    void* above = pos->stack[pos->depth - 1];
    if (child(above, d) != left) return above;
  }
}

int ji_seek(ji_pos_t* pos, void** index, ji_compare_fn compare, void* context, void* record) {
  pos->root = index;
  pos->depth = 0;
  pos->overflow = false;
  uint64_t height = 0;
  for (void* q = *index; q != nullptr;) {
    if (height == JI_STACK_SIZE) {
      fail(pos);
      return -1;
    }
    pos->stack[height++] = q;
    const int k = compare(context, q);
    if (k == 0 && q == record) {
      pos->depth = height;
      return 1;
    }
    // Equal records go in address order.
    const bool before = k < 0 || (k == 0 && reinterpret_cast<uintptr_t>(record) < reinterpret_cast<uintptr_t>(q));
    if (before) pos->depth = height;  // the last turn to child 0 is the successor
    q = child(q, before ? 0 : 1);
  }
  return 0;
}

uint64_t ji_link(ji_pos_t* pos, void* record) {
  if (pos->overflow) return 0;
  child(record, 0) = nullptr;
  child(record, 1) = nullptr;
  void** root = pos->root;
  if (*root == nullptr) {
    *root = record;
    pos->stack[0] = record;
    pos->depth = 1;
    return 1;
  }
  // The parent is the successor when it has no child 0, else the predecessor
  // (which then has no child 1).
  void* parent;
  int side;
  if (pos->depth != 0 && child(pos->stack[pos->depth - 1], 0) == nullptr) {
    parent = pos->stack[pos->depth - 1];
    side = 0;
  } else {
    parent = ji_step(pos, 0);
    if (parent == nullptr) return 0;
    side = 1;
  }
  if (pos->depth == JI_STACK_SIZE) {
    fail(pos);
    return 0;
  }
  child(parent, side) = record;
  pos->stack[pos->depth++] = record;

  // Rotate the record up while its priority is below its parent's.
  const uint32_t priority = ji_priority(record);
  while (pos->depth > 1) {
    void* up = pos->stack[pos->depth - 2];
    if (priority >= ji_priority(up)) break;
    const int s = child(up, 0) == record ? 0 : 1;
    child(up, s) = child(record, 1 - s);
    child(record, 1 - s) = up;
    if (pos->depth > 2) {
      void* grand = pos->stack[pos->depth - 3];
      child(grand, child(grand, 0) == up ? 0 : 1) = record;
    } else {
      *root = record;
    }
    pos->stack[pos->depth - 2] = record;
    --pos->depth;
  }
  return pos->depth;
}

uint64_t ji_insert(void** index, ji_compare_fn compare, void* context, void* record) {
  ji_pos_t pos;
  const int found = ji_seek(&pos, index, compare, context, record);
  if (found < 0) return 0;
  if (found > 0) return pos.depth;  // already present: linking again would cut it loose
  return ji_link(&pos, record);
}
