// Linux entry: the arguments arrive as bytes (taken as UTF-8) and are handed
// to the program's wide entry as UTF-16, as the system does on Windows.
#include <cstdlib>

#include "base/unicode.h"
#include "platform/platform.h"

extern "C" int wmain(int argc, wchar16** argv);

int main(int argc, char** argv) {
  wchar16** wide = static_cast<wchar16**>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(wchar16*)));
  if (wide == nullptr) return -1;
  for (int i = 0; i < argc; ++i) {
    const uint64_t units = utf8_to_utf16_measure(argv[i]);
    wide[i] = static_cast<wchar16*>(std::calloc(units + 1, sizeof(wchar16)));
    if (wide[i] == nullptr) return -1;
    utf8_to_utf16(wide[i], units + 1, argv[i]);
  }
  // The vector stays allocated for the life of the process, as the
  // system's own argument vector does.
  return wmain(argc, wide);
}
