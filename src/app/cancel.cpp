// The console control handler and the exit clean-up; see cancel.h.
#include "app/cancel.h"

#include <atomic>

#include "platform/platform.h"

namespace {

std::atomic<uint32_t> g_handler_installed{0};

BOOL WINAPI console_ctrl_handler(DWORD event) {
  if (!console_control_event(event)) return FALSE;
  // Returning would let the system end the process while the main thread
  // is still winding down.
  if (event == CTRL_CLOSE_EVENT) sys::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

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

void console_handler_install() {
  RecursiveLockGuard guard(process_lock());
  if (g_handler_installed.load(std::memory_order_acquire)) return;
  sys::SetConsoleCtrlHandler(console_ctrl_handler, TRUE);
  g_handler_installed.store(1, std::memory_order_release);
}

void console_handler_remove() {
  RecursiveLockGuard guard(process_lock());
  if (g_handler_installed.exchange(0) == 1) sys::SetConsoleCtrlHandler(console_ctrl_handler, FALSE);
}
