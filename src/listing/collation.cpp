// Name ordering: case folding tables lookup, incremental UTF-8 decoding and
// the name and entry comparisons built on them.
#include "listing/collation.h"

namespace {

constexpr uint32_t kInvalid = 0xFFFFFFFFu;

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

// One code point at pos (pos < length). Overlong forms and surrogates are
// taken as they decode; a lead byte that cannot start a sequence, a sequence
// cut by the length or a bad continuation byte is one invalid byte.
inline uint32_t decode_one(const unsigned char* s, uint64_t length, uint64_t pos, uint64_t* next) {
  uint32_t b0 = s[pos];
  if (b0 < 0x80) {
    *next = pos + 1;
    return b0;
  }
  uint32_t count;
  uint32_t cp;
  if (b0 < 0xC0) {
    count = 0;
    cp = 0;
  } else if (b0 < 0xE0) {
    count = 1;
    cp = b0 & 0x1F;
  } else if (b0 < 0xF0) {
    count = 2;
    cp = b0 & 0x0F;
  } else if (b0 < 0xF8) {
    count = 3;
    cp = b0 & 0x07;
  } else {
    count = 0;
    cp = 0;
  }
  if (count == 0 || length - pos - 1 < count) {
    *next = pos + 1;
    return kInvalid;
  }
  for (uint32_t i = 1; i <= count; ++i) {
    uint32_t c = s[pos + i];
    if ((c & 0xC0) != 0x80) {  // also stops at a terminator inside the sequence
      *next = pos + 1;
      return kInvalid;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  *next = pos + 1 + count;
  return cp;
}

template <bool Fold>
inline uint32_t next_code(const unsigned char* s, uint64_t length, uint64_t pos, uint64_t* next) {
  if (pos >= length) {
    *next = pos;
    return 0;
  }
  uint32_t cp = decode_one(s, length, pos, next);
  if constexpr (Fold) {
    if (cp != kInvalid) cp = case_fold(cp);
  }
  return cp;
}

template <bool Fold>
int compare_names(const char* a, uint64_t len_a, const char* b, uint64_t len_b) {
  if (a == nullptr) len_a = 0;
  if (b == nullptr) len_b = 0;
  auto* sa = reinterpret_cast<const unsigned char*>(a);
  auto* sb = reinterpret_cast<const unsigned char*>(b);
  uint64_t pa = 0;
  uint64_t pb = 0;
  for (;;) {
    uint32_t ca = next_code<Fold>(sa, len_a, pa, &pa);
    uint32_t cb = next_code<Fold>(sb, len_b, pb, &pb);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

inline bool is_separator(char c) { return c == '\\' || c == '/'; }

inline uint64_t element_length(const char* p) {
  uint64_t n = 0;
  while (p[n] != 0 && !is_separator(p[n])) ++n;
  return n;
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
  if (text == nullptr) length = 0;
  return next_code<true>(reinterpret_cast<const unsigned char*>(text), length, pos, next);
}

int name_compare_folded(const char* a, uint64_t len_a, const char* b, uint64_t len_b) {
  return compare_names<true>(a, len_a, b, len_b);
}

int name_compare_exact(const char* a, uint64_t len_a, const char* b, uint64_t len_b) {
  return compare_names<false>(a, len_a, b, len_b);
}

int entry_compare(const char* path_a, const FileInfo* info_a, const char* path_b,
                  const FileInfo* info_b) {
  const bool fa = info_a != nullptr && info_a->after_contents != 0;
  const bool fb = info_b != nullptr && info_b->after_contents != 0;
  const char* a = path_a != nullptr ? path_a : "";
  const char* b = path_b != nullptr ? path_b : "";
  for (;;) {
    uint64_t la = element_length(a);
    uint64_t lb = element_length(b);
    if (la == 0) {
      if (lb == 0 && fa == fb) return 0;
      return fa ? 1 : -1;
    }
    if (lb == 0) return fb ? -1 : 1;
    int r = name_compare_folded(a, la, b, lb);
    if (r == 0) r = name_compare_exact(a, la, b, lb);
    if (r != 0) return r;
    a += la;
    b += lb;
    if (is_separator(*a)) ++a;
    if (is_separator(*b)) ++b;
  }
}
