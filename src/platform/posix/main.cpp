// Linux entry: the arguments arrive as bytes and are handed to the program's
// wide entry as UTF-16, mapped losslessly as this layer maps names (see
// text.h), so any argument names exactly the file it spells.
#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/text.h"

extern "C" int wmain(int argc, wchar16** argv);

int main(int argc, char** argv) {
  wchar16** wide = static_cast<wchar16**>(std::calloc(static_cast<size_t>(argc) + 1, sizeof(wchar16*)));
  int status = -1;
  bool converted = wide != nullptr;
  for (int i = 0; converted && i < argc; ++i) {
    const size_t units = posix_units_from_argument(argv[i], nullptr, 0);
    wide[i] = static_cast<wchar16*>(std::calloc(units + 1, sizeof(wchar16)));
    converted = wide[i] != nullptr;
    if (converted) posix_units_from_argument(argv[i], wide[i], units);
  }
  if (converted) status = wmain(argc, wide);
  for (int i = 0; wide != nullptr && i < argc; ++i) std::free(wide[i]);
  std::free(wide);
  return status;
}
