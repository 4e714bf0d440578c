// Linux entry: the arguments arrive as bytes (taken as UTF-8) and are handed
// to the program's wide entry as UTF-16, as the system does on Windows.
#include <cstdlib>

#include "base/unicode.h"
#include "platform/platform.h"

extern "C" int wmain(int argc, wchar16** argv);

int main(int argc, char** argv) {
  wchar16** wide = static_cast<wchar16**>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(wchar16*)));
  int status = -1;
  bool converted = wide != nullptr;
  for (int i = 0; converted && i < argc; ++i) {
    const uint64_t units = utf8_to_utf16_measure(argv[i]);
    wide[i] = static_cast<wchar16*>(std::calloc(units + 1, sizeof(wchar16)));
    converted = wide[i] != nullptr;
    if (converted) utf8_to_utf16(wide[i], units + 1, argv[i]);
  }
  if (converted) status = wmain(argc, wide);
  for (int i = 0; wide != nullptr && i < argc; ++i) std::free(wide[i]);
  std::free(wide);
  return status;
}
