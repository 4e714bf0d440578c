// The process signal table and the console control handler; see cancel.h.
#include "app/cancel.h"

#include <atomic>
#include <cstdlib>

#include "app/signal_window.h"
#include "platform/platform.h"

namespace {

CancelContext g_signals[kCancelSignalCount];
std::atomic<uint32_t> g_table_done{0};
std::atomic<uint32_t> g_cleanup_registered{0};
std::atomic<uint32_t> g_handler_installed{0};

void raise_exit_signal() { signal_raise(&g_signals[kExitSignal]); }

void table_init() {
  bool made = false;
  addr_lock(&g_table_done);
  if (!g_table_done.load(std::memory_order_acquire)) {
    for (CancelContext& s : g_signals) signal_init(&s);
    signal_init_constant(&g_signals[0], false);
    signal_init_constant(&g_signals[kCancelSignalCount - 1], true);
    signal_raise(&g_signals[3]);
    g_table_done.store(1, std::memory_order_release);
    made = true;
  }
  addr_unlock(&g_table_done);
  if (made) std::atexit(raise_exit_signal);
}

BOOL WINAPI console_ctrl_handler(DWORD event) {
  if (!console_control_event(event)) return FALSE;
  // Returning would let the system end the process while the main thread
  // is still winding down.
  if (event == CTRL_CLOSE_EVENT) sys::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

CancelContext* cancel_context(uint32_t number) {
  if (!g_table_done.load(std::memory_order_acquire)) table_init();
  CancelContext* s = &g_signals[number < kCancelSignalCount - 1 ? number : kCancelSignalCount - 1];
  signal_ops(s);
  return s;
}

bool console_control_event(uint32_t event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      signal_raise(cancel_context(kAbortSignal));
      return true;
    default:
      return false;
  }
}

void exit_cleanup_register() {
  RecursiveLockGuard guard(process_lock());
  if (g_cleanup_registered.load(std::memory_order_acquire)) return;
  // The table and its exit action exist before this registration, so they
  // run after the clean-up at exit.
  cancel_context(0);
  signal_cleanup_arm();
  std::atexit(signal_process_cleanup);
  g_cleanup_registered.store(1, std::memory_order_release);
}

void console_handler_install() {
  exit_cleanup_register();
  RecursiveLockGuard guard(process_lock());
  if (g_handler_installed.load(std::memory_order_acquire)) return;
  sys::SetConsoleCtrlHandler(console_ctrl_handler, TRUE);
  g_handler_installed.store(1, std::memory_order_release);
}

void console_handler_remove() {
  RecursiveLockGuard guard(process_lock());
  if (g_handler_installed.exchange(0) == 1) sys::SetConsoleCtrlHandler(console_ctrl_handler, FALSE);
}
