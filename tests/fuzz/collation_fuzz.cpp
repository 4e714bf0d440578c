// Entry order: a strict weak order on any three paths (irreflexive,
// antisymmetric, transitive, with transitive equivalence).
#include <cstdlib>

#include "fuzz_util.h"
#include "listing/collation.h"

namespace {
int sign(int v) { return (v > 0) - (v < 0); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parts = split_input(data, size, 3);
  parts.resize(3);
  FileInfo infos[3]{};
  for (int i = 0; i < 3; ++i) {
    infos[i].is_dir = parts[i].size() % 2 ? 0x10 : 0;
    infos[i].after_contents = infos[i].is_dir && parts[i].size() % 4 == 1;
  }
  auto cmp = [&](int x, int y) { return sign(entry_compare(parts[x].c_str(), &infos[x], parts[y].c_str(), &infos[y])); };
  for (int x = 0; x < 3; ++x) {
    if (cmp(x, x) != 0) std::abort();
    for (int y = 0; y < 3; ++y) {
      if (cmp(x, y) != -cmp(y, x)) std::abort();
      for (int z = 0; z < 3; ++z) {
        if (cmp(x, y) < 0 && cmp(y, z) < 0 && cmp(x, z) >= 0) std::abort();
        if (cmp(x, y) == 0 && cmp(y, z) == 0 && cmp(x, z) != 0) std::abort();
      }
    }
  }
  return 0;
}
