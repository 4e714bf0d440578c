// The entry order of a tree listing: relative paths compared element by
// element with the name order.
#include "listing/collation.h"
#include "platform/conventions.h"

#include <cstring>

namespace {

// The next code point as utf8_decode_unescaped gives it; ASCII at once.
inline uint32_t next_unescaped(const char* s, uint64_t length, uint64_t* pos) {
  const auto c = static_cast<unsigned char>(*pos < length ? s[*pos] : 0);
  if (c == 0 || c >= 0x80) return utf8_decode_unescaped(s, length, *pos, pos);
  ++*pos;
  return c;
}

// The next code point the name order compares first: folded, and where
// names are bytes, what an escape stands for.
inline uint32_t next_folded(const char* s, uint64_t length, uint64_t* pos) {
  if (!kSystemNamesAreBytes) return utf8_next_folded(s, length, *pos, pos);
  const uint32_t c = next_unescaped(s, length, pos);
  return c <= kMaxCodePoint ? case_fold(c) : c;
}

// Names compared by what their escapes stand for, folded or plain.
int compare_unescaped(const char* a, uint64_t len_a, const char* b, uint64_t len_b, bool folded) {
  uint64_t pa = 0, pb = 0;
  for (;;) {
    const uint32_t ca = folded ? next_folded(a, len_a, &pa) : next_unescaped(a, len_a, &pa);
    const uint32_t cb = folded ? next_folded(b, len_b, &pb) : next_unescaped(b, len_b, &pb);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

uint64_t bounded_length(const char* s, uint64_t length) {
  uint64_t n = 0;
  while (n < length && s[n] != 0) ++n;
  return n;
}

inline uint64_t element_length(const char* p) {
  uint64_t n = 0;
  while (p[n] != 0 && !is_path_separator(p[n])) ++n;
  return n;
}

}  // namespace

int name_order(const char* a, uint64_t len_a, const char* b, uint64_t len_b) {
  if (!kSystemNamesAreBytes) return name_compare(a, len_a, b, len_b);
  if (a == nullptr) a = "", len_a = 0;
  if (b == nullptr) b = "", len_b = 0;
  // A common ASCII start (each byte a character of its own) decides nothing.
  uint64_t same = 0;
  auto ascii = [](char c) { return static_cast<unsigned char>(c) - 1u < 0x7Fu; };
  while (same < len_a && same < len_b && a[same] == b[same] && ascii(a[same])) ++same;
  a += same, b += same;
  len_a -= len_a == kToTerminator ? 0 : same;
  len_b -= len_b == kToTerminator ? 0 : same;
  int r = compare_unescaped(a, len_a, b, len_b, true);
  if (r == 0) r = compare_unescaped(a, len_a, b, len_b, false);
  if (r != 0) return r;
  // Two spellings of one name (an escape where a character would do) stay
  // two names, in byte order.
  len_a = bounded_length(a, len_a);
  len_b = bounded_length(b, len_b);
  r = std::memcmp(a, b, len_a < len_b ? len_a : len_b);
  if (r == 0) r = len_a < len_b ? -1 : len_a > len_b ? 1 : 0;
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

uint64_t name_order_key(const char* name, uint64_t skip) {
  // Each folded code point in an order-keeping byte form: UTF-8's forms up
  // to 21 bits (their byte order is the order of the values), then 0xF8 and
  // the value's four bytes. The forms are prefix-free and no byte of a name
  // is 0, so the first eight bytes, zero-padded, order two names whenever
  // they differ.
  uint64_t key = 0;
  int shift = 56;
  uint64_t pos = skip;
  while (shift >= 0) {
    const uint32_t c = next_folded(name, kToTerminator, &pos);
    if (c == 0) break;
    uint8_t form[5];
    int n;
    if (c < 0x80) {
      form[0] = static_cast<uint8_t>(c), n = 1;
    } else if (c < 0x800) {
      form[0] = static_cast<uint8_t>(0xC0 | c >> 6), n = 2;
    } else if (c < 0x10000) {
      form[0] = static_cast<uint8_t>(0xE0 | c >> 12), n = 3;
    } else if (c < 0x200000) {
      form[0] = static_cast<uint8_t>(0xF0 | c >> 18), n = 4;
    } else {
      form[0] = 0xF8, n = 5;
    }
    if (n == 5) {
      for (int i = 1; i < 5; ++i) form[i] = static_cast<uint8_t>(c >> (32 - 8 * i));
    } else {
      for (int i = 1; i < n; ++i) form[i] = static_cast<uint8_t>(0x80 | ((c >> (6 * (n - 1 - i))) & 0x3F));
    }
    for (int i = 0; i < n && shift >= 0; ++i, shift -= 8) key |= static_cast<uint64_t>(form[i]) << shift;
  }
  return key;
}

int entry_compare(const char* path_a, const FileInfo* info_a, const char* path_b,
                  const FileInfo* info_b) {
  const bool fa = info_a != nullptr && info_a->after_contents != 0;
  const bool fb = info_b != nullptr && info_b->after_contents != 0;
  const char* a = path_a != nullptr ? path_a : "";
  const char* b = path_b != nullptr ? path_b : "";
  // Elements that are the same bytes compare equal: start at the element
  // where the two paths first differ, or at the first empty element (which
  // ends a path).
  uint64_t same = 0;
  while (a[same] != 0 && a[same] == b[same] && !(is_path_separator(a[same]) && (same == 0 || is_path_separator(a[same - 1]))))
    ++same;
  while (same > 0 && !is_path_separator(a[same - 1])) --same;
  a += same;
  b += same;
  for (;;) {
    uint64_t la = element_length(a);
    uint64_t lb = element_length(b);
    if (la == 0) {
      if (lb == 0 && fa == fb) return 0;
      return fa ? 1 : -1;
    }
    if (lb == 0) return fb ? -1 : 1;
    const int r = name_order(a, la, b, lb);
    if (r != 0) return r;
    a += la;
    b += lb;
    if (is_path_separator(*a)) ++a;
    if (is_path_separator(*b)) ++b;
  }
}
