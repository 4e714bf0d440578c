// Test program: runs the command line with one planned system call failure.
//   tarn_fault <call> <nth>[x<count>] <status> [<tarn argument> ...]
// makes the <nth> call of <call> from the start (and the count - 1 calls
// after it) fail with <status> (decimal or 0x hexadecimal), then runs
// "tarn <tarn argument> ...". A name the list of calls does not hold, or a
// call that cannot fail, exits with 101.
#include <cstdlib>

#include "app/run.h"
#include "base/memory.h"
#include "base/unicode.h"
#include "platform/platform.h"

extern "C" int wmain(int argc, wchar16** argv) {
  char** args = argv_to_utf8(&heap_allocator, argv);
  if (args == nullptr || argc < 4) return 100;
  char* rest = nullptr;
  const auto nth = static_cast<uint32_t>(std::strtoul(args[2], &rest, 10));
  const auto count = *rest == 'x' ? static_cast<uint32_t>(std::strtoul(rest + 1, nullptr, 10)) : 1u;
  const auto status = static_cast<uint32_t>(std::strtoul(args[3], nullptr, 0));
  if (!sys::fault_arm(args[1], nth, status, count)) return 101;
  args[3] = args[0];
  const int result = run_command(argc - 3, args + 3);
  sys::fault_clear();
  std::free(args);
  return result;
}
