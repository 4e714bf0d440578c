// The UTF-8 / UTF-16 codec; see utf.h.
#include "platform/utf.h"

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
  } else if (b < 0xC0 || b >= 0xF8) {  // a continuation byte, or no lead byte at all
    *next = pos + 1;
    return INVALID_CODE_POINT;
  } else if (b < 0xE0) {
    n = 2;
    cp = b & 0x1F;
  } else if (b < 0xF0) {
    n = 3;
    cp = b & 0x0F;
  } else {
    n = 4;
    cp = b & 0x07;
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

uint32_t utf8_decode_strict(const char* text, uint64_t length, uint64_t pos, uint64_t* next) {
  const uint32_t cp = utf8_decode_next(text, length, pos, next);
  if (cp == INVALID_CODE_POINT) return cp;
  const uint64_t n = *next - pos;
  const uint32_t shortest = n == 1 ? 0 : n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
  if (cp < shortest || cp > kMaxCodePoint || utf16_is_surrogate(cp)) {
    *next = pos + 1;
    return INVALID_CODE_POINT;
  }
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

uint32_t utf16_decode_next(const WCHAR* units, uint64_t length, uint64_t pos, uint64_t* next) {
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

void utf16_encode_put(WCHAR* buffer, uint64_t capacity, uint64_t* pos, uint32_t cp) {
  if (!buffer) capacity = 0;
  const uint64_t p = *pos;
  if (cp <= 0xFFFF) {
    if (p < capacity) buffer[p] = static_cast<WCHAR>(cp);
    *pos = p + 1;
  } else if (cp <= 0x10FFFF) {
    const uint32_t v = cp - 0x10000;
    // Each unit is stored only with room behind it.
    if (p + 1 < capacity) buffer[p] = static_cast<WCHAR>(0xD800 | (v >> 10));
    if (p + 2 < capacity) buffer[p + 1] = static_cast<WCHAR>(0xDC00 | (v & 0x3FF));
    *pos = p + 2;
  } else {
    if (p < capacity) buffer[p] = static_cast<WCHAR>(0xFFFF);
    *pos = p + 1;
  }
}

uint32_t utf8_decode_unescaped(const char* text, uint64_t length, uint64_t pos, uint64_t* next) {
  const uint32_t cp = utf8_decode_next(text, length, pos, next);
  if (!is_name_escape(cp)) return cp;
  const uint32_t byte = cp - kNameEscapeBase;
  if (byte < 0x80) return byte;
  // The escaped bytes from here on, as many as a sequence may take.
  char bytes[4];
  uint64_t ends[4];
  uint64_t count = 0;
  for (uint64_t at = pos; count < 4; ++count) {
    const uint32_t c = utf8_decode_next(text, length, at, &at);
    if (!is_name_escape(c)) break;
    bytes[count] = static_cast<char>(c - kNameEscapeBase);
    ends[count] = at;
  }
  uint64_t used = 0;
  const uint32_t whole = utf8_decode_strict(bytes, count, 0, &used);
  if (whole == INVALID_CODE_POINT) return kEscapedByteBase + byte;
  *next = ends[used - 1];
  return whole;
}
