#include "base/unicode.h"

#include <cstdlib>
#include <cstring>

// ---- code-point steps ----

uint32_t utf8_decode_next(const char* text, uint64_t length, uint64_t pos, uint64_t* next) {
  if (!text) length = 0;
  if (pos >= length) {
    *next = pos;
    return 0;
  }
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const uint32_t b = s[pos];
  uint32_t n;
  uint32_t cp;
  if (b < 0x80) {
    *next = pos + 1;
    return b;
  } else if (b < 0xC0) {
    *next = pos + 1;
    return INVALID_CODE_POINT;
  } else if (b < 0xE0) {
    n = 2;
    cp = b & 0x1F;
  } else if (b < 0xF0) {
    n = 3;
    cp = b & 0x0F;
  } else if (b < 0xF8) {
    n = 4;
    cp = b & 0x07;
  } else {
    *next = pos + 1;
    return INVALID_CODE_POINT;
  }
  // The whole sequence must lie inside the length. Continuation bytes are
  // checked in order, so a terminator stops the look-ahead before it reads
  // beyond a terminated source.
  if (length - pos < n) {
    *next = pos + 1;
    return INVALID_CODE_POINT;
  }
  for (uint32_t i = 1; i < n; ++i) {
    const uint32_t c = s[pos + i];
    if ((c & 0xC0) != 0x80) {
      *next = pos + 1;
      return INVALID_CODE_POINT;
    }
    cp = (cp << 6) + (c & 0x3F);
  }
  *next = pos + n;
  return cp;
}

void utf8_encode_put(char* buffer, uint64_t capacity, uint64_t* pos, uint32_t cp) {
  if (!buffer) capacity = 0;
  uint64_t p = *pos;
  auto put = [&](uint32_t byte) {
    if (p < capacity) buffer[p] = static_cast<char>(byte);
    ++p;
  };
  if (cp < 0x80) {
    put(cp);
  } else if (cp >= 0x7FFFFFFF) {
    put(0xFF);
  } else {
    uint32_t n;
    uint32_t lead;
    if (cp <= 0x7FF) {
      n = 2, lead = 0xC0;
    } else if (cp <= 0xFFFF) {
      n = 3, lead = 0xE0;
    } else if (cp <= 0x1FFFFF) {
      n = 4, lead = 0xF0;
    } else if (cp <= 0x3FFFFFF) {
      n = 5, lead = 0xF8;
    } else {
      n = 6, lead = 0xFC;
    }
    put(lead | (cp >> (6 * (n - 1))));
    for (uint32_t i = n - 1; i-- > 0;) put(0x80 | ((cp >> (6 * i)) & 0x3F));
  }
  *pos = p;
}

uint32_t utf16_decode_next(const wchar16* units, uint64_t length, uint64_t pos, uint64_t* next) {
  if (!units) length = 0;
  if (pos >= length) {
    *next = pos;
    return 0;
  }
  const uint32_t u = units[pos];
  if (u < 0xD800 || u > 0xDFFF) {
    *next = pos + 1;
    return u;
  }
  if (u <= 0xDBFF && length - pos >= 2) {
    const uint32_t low = units[pos + 1];
    if (low >= 0xDC00 && low <= 0xDFFF) {
      *next = pos + 2;
      return ((u & 0x3FF) << 10) + (low & 0x3FF) + 0x10000;
    }
  }
  *next = pos + 1;
  return INVALID_CODE_POINT;
}

void utf16_encode_put(wchar16* buffer, uint64_t capacity, uint64_t* pos, uint32_t cp) {
  if (!buffer) capacity = 0;
  const uint64_t p = *pos;
  if (cp <= 0xFFFF) {
    if (p < capacity) buffer[p] = static_cast<wchar16>(cp);
    *pos = p + 1;
  } else if (cp <= 0x10FFFF) {
    const uint32_t v = cp - 0x10000;
    // Each unit is stored only with room behind it.
    if (p + 1 < capacity) buffer[p] = static_cast<wchar16>(0xD800 | (v >> 10));
    if (p + 2 < capacity) buffer[p + 1] = static_cast<wchar16>(0xDC00 | (v & 0x3FF));
    *pos = p + 2;
  } else {
    if (p < capacity) buffer[p] = static_cast<wchar16>(0xFFFF);
    *pos = p + 1;
  }
}

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
