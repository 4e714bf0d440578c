#include "platform/posix/text.h"

size_t posix_units_from_utf8(const char* s, WCHAR* out, size_t cap) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  size_t o = 0;
  auto put = [&](uint32_t u) {
    if (o < cap) out[o] = static_cast<WCHAR>(u);
    ++o;
  };
  while (*p) {
    uint32_t cp = *p;
    int n = cp < 0x80 ? 0 : cp < 0xC0 ? -1 : cp < 0xE0 ? 1 : cp < 0xF0 ? 2 : cp < 0xF8 ? 3 : -1;
    if (n > 0) {
      cp &= 0x3Fu >> n;
      for (int i = 1; i <= n; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
          n = -1;
          break;
        }
        cp = (cp << 6) | (p[i] & 0x3F);
      }
    }
    if (n < 0) {
      put(0xFFFD);
      ++p;
      continue;
    }
    p += n + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return o;
}
