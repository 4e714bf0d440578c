// The formatter: any format with string arguments renders the same text into
// any capacity (cut and terminated) as into a large buffer, and reports the
// full length.
#include <cstdlib>
#include <cstring>

#include "base/text_format.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = split_input(data, size, 4);
  // %n stores through its argument, which here is a string: no 'n' at all.
  std::string format_text = parts[0];
  for (char& c : format_text)
    if (c == 'n') c = 'd';
  const char* format = format_text.c_str();
  // Every slot holds a valid string, so %s and friends read safely; number
  // conversions render the pointer values.
  // Each string ends in four zero bytes, so wide-string conversions (%S, %ls)
  // find their terminator as well.
  std::vector<std::string> args{""};
  if (parts.size() > 1) args.assign(parts.begin() + 1, parts.end());
  for (std::string& a : args) a.append(4, '\0');
  uint64_t slots[8];
  for (size_t i = 0; i < 8; ++i) slots[i] = format_slot(args[i % args.size()].c_str());
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
