#include "base/unicode.h"

#include <cstdlib>
#include <cstring>

// ---- bounded conversions ----

namespace {

// Decodes the source one code point at a time and encodes each into the
// destination; the terminator goes after the last code point that fits with
// room for it.
template <typename Out, typename In, auto decode, auto encode>
uint64_t convert(Out* dst, uint64_t capacity, const In* src, uint64_t src_length) {
  if (!dst) capacity = 0;
  uint64_t in = 0;
  uint64_t out = 0;
  uint64_t good_end = 0;
  for (;;) {
    const uint32_t cp = decode(src, src_length, in, &in);
    if (cp == 0) break;
    encode(dst, capacity, &out, cp);
    if (out < capacity) good_end = out;
  }
  if (capacity) dst[good_end] = 0;
  return out;
}

}  // namespace

uint64_t utf8_to_utf16(wchar16* dst, uint64_t capacity, const char* src, uint64_t src_length) {
  return convert<wchar16, char, utf8_decode_next, utf16_encode_put>(dst, capacity, src, src_length);
}

uint64_t utf16_to_utf8(char* dst, uint64_t capacity, const wchar16* src, uint64_t src_length) {
  return convert<char, wchar16, utf16_decode_next, utf8_encode_put>(dst, capacity, src, src_length);
}

// ---- allocating forms ----

char* utf16_to_utf8_alloc(Allocator* a, const wchar16* src, uint64_t src_length) {
  return alloc_rendered(a, [&](char* buffer, uint64_t capacity) {
    return utf16_to_utf8(buffer, capacity, src, src_length);
  });
}

char** argv_to_utf8(Allocator* a, const wchar16* const* argv) {
  size_t count = 0;
  size_t text_size = 0;
  if (argv) {
    for (; argv[count]; ++count) text_size += static_cast<size_t>(utf16_to_utf8_measure(argv[count])) + 1;
  }
  const size_t table = (count + 1) * sizeof(char*);
  auto* block = static_cast<char*>(allocate(a, table + text_size + 1));
  if (!block) return nullptr;
  auto** vec = reinterpret_cast<char**>(block);
  char* place = block + table;
  for (size_t i = 0; i < count; ++i) {
    vec[i] = place;
    place += utf16_to_utf8_unbounded(place, argv[i]) + 1;
  }
  return vec;  // vec[count] is null from the zeroed allocation
}

wchar16* wide_strdup(Allocator* a, const wchar16* src, uint64_t max_length) {
  const size_t len = wide_len_bounded(src, max_length > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(max_length));
  auto* copy = static_cast<wchar16*>(allocate(a, (len + 1) * sizeof(wchar16)));
  if (copy && len) std::memcpy(copy, src, len * sizeof(wchar16));
  return copy;
}

wchar16* wide_strdup_heap(const wchar16* src, uint64_t max_length) {
  if (!src) return nullptr;
  const size_t len = wide_len_bounded(src, max_length > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(max_length));
  wchar16* copy = wide_heap_buffer(len + 1);
  if (!copy) return nullptr;
  if (len) std::memcpy(copy, src, len * sizeof(wchar16));
  copy[len] = 0;
  return copy;
}

// ---- UTF-16 helpers ----

size_t wide_len(const wchar16* s) { return wide_len_bounded(s, SIZE_MAX); }

size_t wide_len_bounded(const wchar16* s, size_t n) {
  if (!s) return 0;
  size_t i = 0;
  while (i < n && s[i]) ++i;
  return i;
}

void wide_move(wchar16* dst, const wchar16* src, size_t n) {
  if (!dst) return;
  if (n > SIZE_MAX / sizeof(wchar16)) return;
  if (!src) {
    std::memset(dst, 0, n * sizeof(wchar16));
    return;
  }
  std::memmove(dst, src, n * sizeof(wchar16));
}

wchar16* wide_heap_buffer(size_t n) {
  if (n == 0 || n > SIZE_MAX / sizeof(wchar16)) return nullptr;
  auto* b = static_cast<wchar16*>(std::malloc(n * sizeof(wchar16)));
  if (!b) return nullptr;
  b[0] = 0;
  b[n - 1] = 0;
  return b;
}

int wide_prefix_compare(const wchar16* a, size_t len_a, const wchar16* b, size_t len_b) {
  const size_t n = len_a < len_b ? len_a : len_b;
  for (size_t i = 0; i < n; ++i) {
    uint32_t x = a[i];
    uint32_t y = b[i];
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return x < y ? -1 : 1;
  }
  // Equal over the common part: 0 only when all of b was matched.
  return len_a < len_b ? -1 : 0;
}
