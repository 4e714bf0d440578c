// Name ordering: case folding tables lookup, incremental UTF-8 decoding and
// the name comparisons built on them.
#include "base/casefold.h"

namespace {

// Fixed halving search: step s from first_step down to 1, base b. The fillers
// after the real pairs never sort below the sought value, so every probe
// stays inside the table.
template <typename Pair>
uint32_t search_pairs(const Pair* pairs, uint32_t first_step, uint32_t cp) {
  uint32_t base = 0;
  for (uint32_t step = first_step; step != 0; step >>= 1) {
    const auto& pair = pairs[base + step - 1];
    if (pair[0] < cp) {
      base += step;
    } else if (pair[0] == cp) {
      return pair[1];
    }
  }
  return cp;
}

// One code point by the program's lenient UTF-8 decoder, folded or plain.
// An invalid byte stays 0xFFFFFFFF, after every character.
template <bool Fold>
inline uint32_t next_code(const char* s, uint64_t length, uint64_t pos, uint64_t* next) {
  // Most names are ASCII: a byte below 0x80 is its own code point.
  if (s != nullptr && pos < length && static_cast<unsigned char>(s[pos]) < 0x80) {
    *next = pos + 1;
    const uint32_t b = static_cast<unsigned char>(s[pos]);
    if constexpr (Fold) return case_fold(b);
    return b;
  }
  uint32_t cp = utf8_decode_next(s, length, pos, next);
  if constexpr (Fold) {
    if (cp != INVALID_CODE_POINT) cp = case_fold(cp);
  }
  return cp;
}

template <bool Fold>
int compare_names(const char* a, uint64_t len_a, const char* b, uint64_t len_b) {
  if (a == nullptr) len_a = 0;
  if (b == nullptr) len_b = 0;
  uint64_t pa = 0;
  uint64_t pb = 0;
  for (;;) {
    uint32_t ca = next_code<Fold>(a, len_a, pa, &pa);
    uint32_t cb = next_code<Fold>(b, len_b, pb, &pb);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

}  // namespace

uint32_t case_fold(uint32_t cp) {
  if (cp < FOLD_DIRECT_SIZE) {
    uint32_t entry = fold_direct[cp];
    if (entry != FOLD_DIRECT_ESCAPE) return cp + entry - 32;
    return search_pairs(fold_pairs, 256, cp);
  }
  if (cp <= 0xFFFF) return search_pairs(fold_pairs, 256, cp);
  return search_pairs(fold_wide_pairs, 32, cp);
}

uint32_t utf8_next_folded(const char* text, uint64_t length, uint64_t pos, uint64_t* next) {
  return next_code<true>(text, length, pos, next);
}

int name_compare_folded(const char* a, uint64_t len_a, const char* b, uint64_t len_b) {
  return compare_names<true>(a, len_a, b, len_b);
}

int name_compare_exact(const char* a, uint64_t len_a, const char* b, uint64_t len_b) {
  return compare_names<false>(a, len_a, b, len_b);
}
