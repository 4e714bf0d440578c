// Start-up and the process argument record.
#include "app/startup.h"

#include <atomic>
#include <cstdlib>

#include "app/run.h"
#include "base/memory.h"
#include "base/unicode.h"

namespace {

// The built-in vector, count 1 with the single argument ".", which code that
// runs late during exit still finds after the clean-up.
wchar16 g_default_wide_arg[] = WSTR(".");
wchar16* g_default_wide[] = {g_default_wide_arg, nullptr};
char g_default_utf8_arg[] = ".";
char* g_default_utf8[] = {g_default_utf8_arg, nullptr};

struct ProcessArguments {
  int32_t count = 1;
  wchar16** wide = g_default_wide;
  char** utf8 = g_default_utf8;
  void* block = nullptr;  // owns the UTF-8 vector and its strings
};

ProcessArguments g_args;
bool g_args_converted = false;
std::atomic<int32_t> g_cleanup_registered{0};

void arguments_cleanup() {
  std::free(g_args.block);
  g_args = ProcessArguments{};
  g_args_converted = false;
}

void ensure_cleanup_registered() {
  int32_t expected = 0;
  if (g_cleanup_registered.load() == 0 && g_cleanup_registered.compare_exchange_strong(expected, 1))
    std::atexit(arguments_cleanup);
}

}  // namespace

char** process_arguments(int32_t* count) {
  if (!g_args_converted) {
    if (count) *count = 0;
    return nullptr;
  }
  if (count) *count = g_args.count;
  return g_args.utf8;
}

int32_t startup_entry(int32_t argc, wchar16** argv) {
  // One zeroed block: the pointer vector with its null entry, then the
  // converted strings one after the other.
  char** utf8 = argv_to_utf8(&heap_allocator, argv);
  if (utf8 != nullptr) {
    g_args.count = argc;
    g_args.wide = argv;
    g_args.utf8 = utf8;
    g_args.block = utf8;
    g_args_converted = true;
    ensure_cleanup_registered();
  }
  int32_t count = 0;
  char** args = process_arguments(&count);
  if (args == nullptr) return -1;
  return run_command(count, args);
}
