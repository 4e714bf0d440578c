// UTF-8 and UTF-16 conversions: measured lengths match converted ones, and
// UTF-16 without lone surrogates or NUL units survives a round trip through UTF-8.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // As UTF-8: the measured sizes are the converted ones, in both directions.
  const char* text = reinterpret_cast<const char*>(data);
  std::vector<wchar16> wide(size * 2 + 2);
  const uint64_t units = utf8_to_utf16(wide.data(), wide.size(), text, size);
  if (units != utf8_to_utf16(nullptr, 0, text, size)) std::abort();
  std::vector<char> back(units * 4 + 2);
  const uint64_t bytes = utf16_to_utf8(back.data(), back.size(), wide.data(), units);
  if (bytes != utf16_to_utf8(nullptr, 0, wide.data(), units)) std::abort();

  // As UTF-16.
  const size_t n = size / 2;
  std::vector<wchar16> in(n + 1, 0);
  std::memcpy(in.data(), data, n * 2);
  // A NUL unit ends a source like its terminator.
  bool lone = false;
  for (size_t i = 0; i < n; ++i) {
    if (in[i] == 0) lone = true;
    if (in[i] >= 0xD800 && in[i] < 0xDC00 && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000) {
      ++i;
    } else if (in[i] >= 0xD800 && in[i] < 0xE000) {
      lone = true;
    }
  }
  std::vector<char> u8(n * 3 + 2);
  const uint64_t len8 = utf16_to_utf8(u8.data(), u8.size(), in.data(), n);
  std::vector<wchar16> out(len8 + 2);
  const uint64_t len16 = utf8_to_utf16(out.data(), out.size(), u8.data(), len8);
  if (!lone && (len16 != n || std::memcmp(out.data(), in.data(), n * 2) != 0)) std::abort();
  return 0;
}
