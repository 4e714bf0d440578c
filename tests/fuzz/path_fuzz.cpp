// Path normalization, joining and resolution: no crash on any input, and a
// normalized path without a drive colon normalizes to itself.
#include <cstdlib>
#include <cstring>

#include "base/memory.h"
#include "fs/path.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = split_input(data, size, 2);
  const char* a = parts[0].c_str();
  const char* b = parts.size() > 1 ? parts[1].c_str() : "";
  ScopedPool pool;
  size_t root_length = 0;
  bool rooted = false;
  path_parse_root(a, &root_length, &rooted);
  // Idempotence is checked without ':' (a dotted step can bring a drive
  // letter to the front, "x/../c:y" gives "c:y", which then reads as a root).
  const char* n = path_normalize(pool.get(), a);
  if (n != nullptr && std::strchr(a, ':') == nullptr) {
    const char* again = path_normalize(pool.get(), n);
    if (again == nullptr || std::strcmp(again, n) != 0) std::abort();
  }
  path_join(pool.get(), a, b);
  path_resolve(pool.get(), a, b);
  NtName name{};
  path_to_nt_name(pool.get(), b, &name);
  return 0;
}
