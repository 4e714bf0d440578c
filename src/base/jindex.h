// jindex: the ordered index. A treap whose nodes are the caller's own records:
// every record put into an index begins with two links (child 0: records
// sorting before it, child 1: after it). The priority of a record is a hash
// of its address, so records carry no extra field and the tree shape is
// random-like whatever the insertion order. The index neither allocates nor
// frees; the caller owns the records.
//
// A cursor (ji_pos_t) holds the path from the root in a fixed link stack of
// JI_STACK_SIZE records. A path longer than that cannot be held: the
// operation that would need it fails, sets the cursor's overflow flag and
// leaves the index unchanged (ji_error turns the flag into an error value).
#pragma once

#include <cstdint>

#include "base/error.h"

constexpr uint64_t JI_STACK_SIZE = 128;

struct ji_pos_t {
  void** root;                  // location of the index's root reference
  uint64_t depth;               // valid stack entries; 0: on no record
  void* stack[JI_STACK_SIZE];   // [0] the root, each next a child, [depth - 1] under the cursor
  bool overflow;                // the last operation needed a longer path than the stack holds
};

// Called as compare(context, existing): negative when the new record (which
// the context knows) sorts before `existing`, positive when after, 0 when
// equal. Equal records are kept in address order, the lower address first.
using ji_compare_fn = int (*)(void* context, void* existing);

// Thomas Wang's 64-to-32-bit hash of the record's address.
uint32_t ji_priority(const void* record);

// First record (cursor on it), or null with depth 0 for an empty index or on
// overflow.
void* ji_first(ji_pos_t* pos, void** index);

// Record under the cursor, or null at depth 0.
void* ji_current(const ji_pos_t* pos);

// Direction 1: successor, 0: predecessor. Null (depth 0) past either end or on
// overflow; from depth 0 a step starts again at the first (1) or last (0)
// record. After a null result, ji_error tells the end from a failure.
void* ji_step(ji_pos_t* pos, int direction);

// Searches for the place of `record`: 1 when it is already in the index
// (cursor on it), 0 when not (cursor on its in-order successor, or depth 0
// when it sorts after everything), -1 on overflow.
int ji_seek(ji_pos_t* pos, void** index, ji_compare_fn compare, void* context, void* record);

// Links `record` at the place found by ji_seek and restores the heap order.
// Returns the record's depth (cursor on it), or 0 on overflow (the index is
// unchanged).
uint64_t ji_link(ji_pos_t* pos, void* record);

// ji_seek and ji_link with a cursor of its own. Returns the new record's depth
// (1 for the root), or 0 when the path would exceed the link stack; the index
// is then unchanged. A record found already in the index is left in place.
uint64_t ji_insert(void** index, ji_compare_fn compare, void* context, void* record);

// err::stack_overflow when the cursor's last operation overflowed, else 0.
inline Error ji_error(const ji_pos_t* pos) { return pos->overflow ? err::stack_overflow : err::ok; }
