// The formatter: any format with string arguments renders the same text into
// any capacity (cut and terminated) as into a large buffer, and reports the
// full length.
#include <cstdlib>
#include <cstring>

#include "base/text_format.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = split_input(data, size, 4);
  const char* format = parts[0].c_str();
  // Every slot holds a valid string, so %s and friends read safely; number
  // conversions render the pointer values.
  uint64_t slots[8];
  for (size_t i = 0; i < 8; ++i) slots[i] = format_slot(parts[1 + i % (parts.size() - 1 + (parts.size() == 1))].c_str());
  const uint64_t full = text_vformat(nullptr, 0, format, FormatArgs{slots, 8});
  if (full > (uint64_t{1} << 24)) return 0;
  std::string big(full + 1, '\x7f');
  if (text_vformat(big.data(), big.size(), format, FormatArgs{slots, 8}) != full || big[full] != 0) std::abort();
  const uint64_t capacity = size % (full + 2);
  std::string small(capacity + 1, '\x7f');
  if (text_vformat(small.data(), capacity, format, FormatArgs{slots, 8}) != full) std::abort();
  if (small[capacity] != '\x7f') std::abort();  // never past the capacity
  return 0;
}
