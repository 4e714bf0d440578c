// Symbolic-link reparse data: parsing any buffer stays inside it, and data
// built from two names parses back to the substitute name.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fs/link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> copy(data, data + size);
  const wchar16* name = nullptr;
  size_t units = 0;
  if (reparse_substitute_name(copy.data(), static_cast<uint32_t>(copy.size()), &name, &units) == 0) {
    const auto* start = reinterpret_cast<const uint8_t*>(name);
    if (start < copy.data() || start + units * 2 > copy.data() + copy.size()) std::abort();
  }
  const size_t n = size / 2;
  std::vector<wchar16> names(n + 1);
  std::memcpy(names.data(), data, n * 2);
  const size_t split = n ? data[0] % (n + 1) : 0;
  alignas(8) uint8_t built[16384];
  uint32_t total = 0;
  if (reparse_link_build(built, sizeof built, names.data(), split, names.data() + split, n - split, size % 2,
                         &total) == 0) {
    if (reparse_substitute_name(built, total, &name, &units) != 0 || units != split ||
        std::memcmp(name, names.data(), split * 2) != 0)
      std::abort();
  }
  return 0;
}
