// The command line through run_command, always as a test run (-t) in a
// scratch tree: any arguments end with a status and change nothing. Paths
// that leave the scratch tree are dropped, and so is -e (its abort request
// lasts for the process). Each argument reaches the program as the Linux
// entry hands it on: its bytes mapped to UTF-16 as the platform maps names,
// then UTF-8, so no byte sequence spells a name it does not name. Both forms
// are checked: the mapping writes the dots of ".." as characters of its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/run.h"
#include "base/unicode.h"
#include "fuzz_util.h"
#include "platform/posix/text.h"

namespace {

std::string as_the_entry_passes(const std::string& bytes) {
  const size_t units = posix_units_from_argument(bytes.c_str(), nullptr, 0);
  std::vector<WCHAR> wide(units + 1, 0);
  posix_units_from_argument(bytes.c_str(), wide.data(), units);
  std::vector<char> text(units * 3 + 1, 0);
  utf16_to_utf8(text.data(), text.size() - 1, reinterpret_cast<const wchar16*>(wide.data()), units);
  return std::string(text.data());
}

// Switches other than -e, and relative paths that stay below the scratch
// folder (a rooted one would list the whole file system).
bool allowed(const std::string& a) {
  if (a.empty() || a.find("..") != std::string::npos || a.find(':') != std::string::npos) return false;
  if (a[0] == '/' || a[0] == '\\' || a[0] == '-') {
    if (a.size() == 1) return a[0] == '-';
    const char s = static_cast<char>(a[1] | 0x20);
    return a.size() == 2 && s >= 'a' && s <= 'z' && s != 'e';
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char scratch[] = "/tmp/tarn-run-fuzz-XXXXXX";
  if (!mkdtemp(scratch) || chdir(scratch) != 0) std::abort();
  mkdir("src", 0755);
  mkdir("src/d", 0755);
  mkdir("dst", 0755);
  for (const char* f : {"src/a.txt", "src/d/b.obj", "dst/a.txt", "dst/x"}) close(open(f, O_CREAT | O_WRONLY, 0644));
  symlink("a.txt", "src/link");
  // The runs' output is of no interest.
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto parts = split_input(data, size, 8);
  std::vector<std::string> args{"tarn", "-t"};
  for (const std::string& p : parts)
    if (const std::string a = as_the_entry_passes(p); allowed(p) && allowed(a)) args.push_back(a);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  run_command(static_cast<int32_t>(args.size()), argv.data());
  return 0;
}
