// Name and path mapping of the Linux layer; see text.h.
#include "platform/posix/text.h"

#include "platform/posix/api_path.h"

#include <cstring>

namespace {

// The code point of the valid UTF-8 sequence at p and its length, or 0 when
// the bytes there are not one (overlong, surrogate, beyond U+10FFFF, cut).
size_t utf8_sequence(const unsigned char* p, uint32_t* cp) {
  const uint32_t b = p[0];
  size_t n;
  uint32_t min;
  if (b < 0x80) {
    *cp = b;
    return 1;
  } else if (b >= 0xC2 && b < 0xE0) {
    n = 2, min = 0x80, *cp = b & 0x1F;
  } else if (b >= 0xE0 && b < 0xF0) {
    n = 3, min = 0x800, *cp = b & 0x0F;
  } else if (b >= 0xF0 && b < 0xF5) {
    n = 4, min = 0x10000, *cp = b & 0x07;
  } else {
    return 0;
  }
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;  // also stops at the terminator
    *cp = (*cp << 6) | (p[i] & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) return 0;
  return n;
}

struct UnitSink {
  WCHAR* out;
  size_t cap;
  size_t len = 0;
  void put(uint32_t u) {
    if (len < cap) out[len] = static_cast<WCHAR>(u);
    ++len;
  }
  void put_code_point(uint32_t cp) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
};

// Whether the component starting at p is three or more dots only.
bool dots_only_component(const char* p) {
  size_t n = 0;
  while (p[n] == '.') ++n;
  return n >= 3 && (p[n] == 0 || p[n] == '/');
}

// With `separators`, '/' becomes the program's '\\'.
void put_path(UnitSink& sink, const char* s, bool separators) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  bool component_start = true;
  while (*p) {
    if (component_start && dots_only_component(reinterpret_cast<const char*>(p))) {
      while (*p == '.') sink.put(kPosixEscapeBase + *p++);
      component_start = false;
      continue;
    }
    uint32_t cp = 0;
    const size_t n = utf8_sequence(p, &cp);
    if (n == 0 || cp == '\\' || posix_is_escape(cp)) {
      for (size_t i = 0; i < (n ? n : 1); ++i) sink.put(kPosixEscapeBase + p[i]);
      p += n ? n : 1;
    } else {
      sink.put_code_point(cp == '/' && separators ? '\\' : cp);
      p += n;
    }
    component_start = cp == '/';
  }
}

}  // namespace

size_t posix_units_from_utf8(const char* s, WCHAR* out, size_t cap) {
  UnitSink sink{out, out ? cap : 0};
  put_path(sink, s, true);
  return sink.len;
}

size_t posix_units_from_argument(const char* s, WCHAR* out, size_t cap) {
  UnitSink sink{out, out ? cap : 0};
  if (posix_is_letter(static_cast<unsigned char>(s[0])) && s[1] == ':') {
    sink.put(static_cast<unsigned char>(s[0]));
    sink.put(kPosixEscapeBase + ':');
    s += 2;
  }
  put_path(sink, s, false);
  return sink.len;
}

bool posix_bytes_from_units(const WCHAR* s, size_t n, char* out, size_t cap, size_t* len) {
  size_t o = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    char b[4];
    size_t k;
    if (posix_is_escape(cp)) {
      b[0] = static_cast<char>(cp - kPosixEscapeBase), k = 1;
    } else if (cp < 0x80) {
      b[0] = static_cast<char>(cp == '\\' ? '/' : cp), k = 1;
    } else if (cp < 0x800) {
      b[0] = static_cast<char>(0xC0 | cp >> 6), b[1] = static_cast<char>(0x80 | (cp & 0x3F)), k = 2;
    } else if (cp < 0x10000) {
      b[0] = static_cast<char>(0xE0 | cp >> 12), b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      b[2] = static_cast<char>(0x80 | (cp & 0x3F)), k = 3;
    } else {
      b[0] = static_cast<char>(0xF0 | cp >> 18), b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), b[3] = static_cast<char>(0x80 | (cp & 0x3F)), k = 4;
    }
    if (o + k + 1 > cap) return false;
    std::memcpy(out + o, b, k);
    o += k;
  }
  out[o] = 0;
  *len = o;
  return true;
}

size_t PathDisplayForm(const char* path, char* out, size_t cap) {
  if (!out) cap = 0;
  size_t o = 0;
  auto put = [&](char c) {
    if (o + 1 < cap) out[o] = c;
    ++o;
  };
  auto put_hex = [&](uint32_t byte) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    put('\\'), put('x'), put(kDigits[byte >> 4]), put(kDigits[byte & 0xF]);
  };
  const auto* p = reinterpret_cast<const unsigned char*>(path ? path : "");
  while (*p) {
    uint32_t cp = 0;
    const size_t n = utf8_sequence(p, &cp);
    if (n == 0) {
      put_hex(*p++);
      continue;
    }
    if (cp == '\\' || cp == '/') {
      put('/');
    } else if (cp == kPosixEscapeBase + '\\') {
      put('\\'), put('\\');
    } else if (posix_is_escape(cp)) {
      const uint32_t byte = cp - kPosixEscapeBase;
      if (byte >= 0x20 && byte < 0x7F) put(static_cast<char>(byte));
      else put_hex(byte);
    } else if (cp == '\n') {
      put('\\'), put('n');
    } else if (cp == '\t') {
      put('\\'), put('t');
    } else if (cp == '\r') {
      put('\\'), put('r');
    } else if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029) {
      for (size_t i = 0; i < n; ++i) put_hex(p[i]);
    } else {
      for (size_t i = 0; i < n; ++i) put(static_cast<char>(p[i]));
    }
    p += n;
  }
  if (cap) out[o < cap ? o : cap - 1] = 0;
  return o;
}
