// Test program for the console control and signal window set-up.
//
//   signal_probe wait          set up, print "ready window=<0|1>", wait for
//                              the abort request (60 s at most), print
//                              "raised 1" or "timeout", exit
//   signal_probe wait-destroy  as wait, then wait (60 s at most) until the
//                              window is gone and print "window gone"
//   signal_probe exit          set up, print "ready window=<0|1>", exit
//   signal_probe exit-lost     as exit, but the clean-up's request to the
//                              window is made to fail
//
// At exit, after the clean-up, it prints "teardown window=<0|1>".
#include <cstdlib>
#include <cstring>

#include "app/cancel.h"
#include "app/signal_window.h"
#include "arg_is.h"
#include "base/threads.h"
#include "platform/platform.h"

namespace {

void out(const char* text) {
  DWORD done = 0;
  sys::WriteFile(sys::GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &done,
                 nullptr);
}

void print_window_state(const char* prefix) {
  out(prefix);
  out(signal_window_exists() ? "window=1\n" : "window=0\n");
}

void after_teardown() { print_window_state("teardown "); }

template <typename Char>
int probe(int argc, Char** argv) {
  if (argc != 2) {
    out("usage: signal_probe wait|wait-destroy|exit|exit-lost\n");
    return 4;
  }
  const bool wait = is(argv[1], "wait") || is(argv[1], "wait-destroy");
  if (!wait && !is(argv[1], "exit") && !is(argv[1], "exit-lost")) return 4;
  // Registered before the set-up, so it runs after the set-up's clean-up.
  std::atexit(after_teardown);
  signals_start();
  print_window_state("ready ");
  if (is(argv[1], "exit-lost")) sys::fault_arm(sys::SysCall::PostMessageW, 1, 1400);
  if (!wait) return 0;
  out(signal_wait(cancel_context(kAbortSignal), nullptr, 60000) ? "raised 1\n" : "timeout\n");
  if (is(argv[1], "wait-destroy")) {
    const uint64_t end = tick_ms() + 60000;
    while (signal_window_exists() && tick_ms() < end) sleep_ms(10);
    out(signal_window_exists() ? "window stays\n" : "window gone\n");
  }
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return probe(argc, argv); }
#else
int main(int argc, char** argv) { return probe(argc, argv); }
#endif
