// Names compared by Unicode simple case folding first and plain code points
// second, so two names are equal only when identical and names that differ
// only in case sit next to each other. All strings are UTF-8; invalid bytes
// are ordered (after every valid character), never rejected. Nothing here
// allocates or fails, and every function is pure and reentrant.
#pragma once

#include <cstdint>

#include "base/unicode.h"

// The simple case folding of Unicode 5.0.0 (generated into
// casefold_tables.cpp by tools/gen_casefold.py).
constexpr uint32_t FOLD_DIRECT_SIZE = 0x800;  // one entry per code point below U+0800
constexpr uint8_t FOLD_DIRECT_ESCAPE = 255;   // difference out of range: search fold_pairs
constexpr uint32_t FOLD_PAIR_COUNT = 451;
constexpr uint32_t FOLD_PAIR_FILLERS = 30;
constexpr uint32_t FOLD_WIDE_COUNT = 40;
constexpr uint32_t FOLD_WIDE_FILLERS = 9;
extern const uint8_t fold_direct[FOLD_DIRECT_SIZE];  // (folded - code point) + 32
extern const uint16_t fold_pairs[FOLD_PAIR_COUNT + FOLD_PAIR_FILLERS][2];
extern const uint32_t fold_wide_pairs[FOLD_WIDE_COUNT + FOLD_WIDE_FILLERS][2];

// Folded code point: one table read below U+0800, a fixed halving search of
// the pair tables above.
uint32_t case_fold(uint32_t cp);

// Decodes the code point at pos and returns it folded; *next is the position
// after it. An invalid byte gives 0xFFFFFFFF and advances by one byte. At or
// beyond the length: returns 0 and *next = pos.
uint32_t utf8_next_folded(const char* text, uint64_t length, uint64_t pos, uint64_t* next);

// -1, 0 or 1. A length of kToTerminator (all ones) means the string runs to its
// terminator; a null string is empty. A proper prefix sorts first.
int name_compare_folded(const char* a, uint64_t len_a, const char* b, uint64_t len_b);
int name_compare_exact(const char* a, uint64_t len_a, const char* b, uint64_t len_b);

// Folded comparison, then exact comparison when the folded one ties: the
// order of names within one folder.
inline int name_compare(const char* a, uint64_t len_a, const char* b, uint64_t len_b) {
  int r = name_compare_folded(a, len_a, b, len_b);
  return r != 0 ? r : name_compare_exact(a, len_a, b, len_b);
}
