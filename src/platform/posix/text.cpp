// Name and path mapping of the Linux layer; see text.h.
#include "platform/posix/text.h"

#include "platform/posix/api_path.h"
#include "platform/utf.h"

#include <cstring>

namespace {

// The code point of the valid UTF-8 sequence at p and its length, or 0 when
// the bytes there are not one (overlong, surrogate, beyond U+10FFFF, cut).
size_t utf8_sequence(const unsigned char* p, uint32_t* cp) {
  uint64_t next = 0;
  *cp = utf8_decode_strict(reinterpret_cast<const char*>(p), UINT64_MAX, 0, &next);
  return *cp == INVALID_CODE_POINT ? 0 : static_cast<size_t>(next);
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
    WCHAR units[3];  // the encoder stores a pair only with room behind it
    uint64_t n = 0;
    utf16_encode_put(units, 3, &n, cp);
    for (uint64_t i = 0; i < n; ++i) put(units[i]);
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
      while (*p == '.') sink.put(kNameEscapeBase + *p++);
      component_start = false;
      continue;
    }
    uint32_t cp = 0;
    const size_t n = utf8_sequence(p, &cp);
    if (n == 0 || cp == '\\' || is_name_escape(cp)) {
      for (size_t i = 0; i < (n ? n : 1); ++i) sink.put(kNameEscapeBase + p[i]);
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
    sink.put(kNameEscapeBase + ':');
    s += 2;
  }
  put_path(sink, s, false);
  return sink.len;
}

bool posix_bytes_from_units(const WCHAR* s, size_t n, char* out, size_t cap, size_t* len) {
  size_t o = 0;
  for (uint64_t i = 0; i < n;) {
    uint32_t cp = utf16_decode_next(s, n, i, &i);
    if (cp == INVALID_CODE_POINT) cp = kReplacementCharacter;
    char b[4];
    uint64_t k = 0;
    if (is_name_escape(cp))
      b[k++] = static_cast<char>(cp - kNameEscapeBase);
    else
      utf8_encode_put(b, sizeof b, &k, cp == '\\' ? '/' : cp);
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
    if (is_path_separator(cp)) {
      put('/');
    } else if (cp == kNameEscapeBase + '\\') {
      put('\\'), put('\\');
    } else if (is_name_escape(cp)) {
      // A real U+F700..U+F7FF character (its bytes escaped) prints as itself.
      uint64_t next = 0;
      const uint32_t meant = utf8_decode_unescaped(reinterpret_cast<const char*>(p), UINT64_MAX, 0, &next);
      if (meant >= 0x80 && meant < kEscapedByteBase) {
        char bytes[4];
        uint64_t k = 0;
        utf8_encode_put(bytes, sizeof bytes, &k, meant);
        for (uint64_t i = 0; i < k; ++i) put(bytes[i]);
        p += next;
        continue;
      }
      const uint32_t byte = cp - kNameEscapeBase;
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
