// Console control set-up and the hidden signal window; see signal_window.h.
#include "app/signal_window.h"

#include <atomic>
#include <cstdlib>

#include "app/cancel.h"
#include "base/threads.h"
#include "platform/platform.h"

namespace {

constexpr UINT kMsgDestroy = WM_USER + 100;  // 1124: destroy the window
constexpr DWORD kWindowStyle = WS_CLIPSIBLINGS | WS_CAPTION | WS_SYSMENU;
static_assert(kWindowStyle == 0x04C80000u);

// Guarded by the process lock, except the first store of the window handle
// (made by the window thread while the window is created).
std::atomic<HWND> g_window{nullptr};
bool g_window_started = false;
HANDLE g_thread = nullptr;
std::atomic<bool> g_shutting_down{false};
// The exit clean-up runs only when this reads 1; it swaps it to 0.
std::atomic<uint32_t> g_cleanup_guard{0};
std::atomic<uint32_t> g_cleanup_registered{0};

void forget_window() {
  RecursiveLockGuard guard(process_lock());
  g_window.store(nullptr);
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      g_window.store(window);
      break;
    case WM_DESTROY:
      forget_window();
      break;
    case WM_CLOSE:
      // The same request as Ctrl+C; the window stays.
      signal_raise(cancel_context(kAbortSignal));
      return 0;
    case WM_ENDSESSION:
      if (!wparam) return 0;  // log-off or shut-down was called off
      {
        RecursiveLockGuard guard(process_lock());
        g_window.store(nullptr);
        g_shutting_down.store(true);
      }
      signal_raise(cancel_context(kAbortSignal));
      // The system ends the process; this thread must not return into the
      // window system meanwhile.
      sleep_ms(kNoTimeout);
      return 0;
    case kMsgDestroy:
      sys::DestroyWindow(window);
      return 0;
    default:
      break;
  }
  return sys::DefWindowProcW(window, message, wparam, lparam);
}

DWORD WINAPI window_thread(void* parameter) {
  Signal* started = static_cast<Signal*>(parameter);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = window_proc;
  window_class.lpszClassName = WSTR("SignalWindow");
  sys::RegisterClassW(&window_class);
  HWND window = sys::CreateWindowExW(0, WSTR("SignalWindow"), WSTR("SignalWindow"), kWindowStyle, 100, 100,
                                     200, 200, nullptr, nullptr, nullptr, nullptr);
  // The starter may be gone once this is raised.
  signal_raise(started);
  if (!window) return 0;
  sys::ShowWindow(window, SW_HIDE);
  sys::ShowWindow(window, SW_HIDE);
  while (g_window.load()) {
    MSG msg;
    const BOOL got = sys::GetMessageW(&msg, nullptr, 0, 0);
    if (got > 0) {
      sys::TranslateMessage(&msg);
      sys::DispatchMessageW(&msg);
    } else if (got < 0) {
      sleep_ms(20);  // a failing queue must not spin
    }
  }
  return 0;
}

}  // namespace

void signal_window_start() {
  Signal started;
  signal_init(&started);
  signal_raise(&started);
  {
    RecursiveLockGuard guard(process_lock());
    if (!g_window_started) {
      signal_reset(&started);
      g_thread = thread_start(ThreadKind::signal_window, window_thread, &started);
      if (!g_thread) signal_raise(&started);
      g_window_started = true;
    }
  }
  signal_wait(&started, nullptr, kNoTimeout);
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

void signals_start() {
  exit_cleanup_register();
  console_handler_install();
  // Also with a console: a process that has loaded the window library gets
  // no log-off or shut-down console events, only its windows are told.
  signal_window_start();
}

bool shutting_down() { return g_shutting_down.load(); }

bool signal_window_exists() { return g_window.load() != nullptr; }

void signal_cleanup_arm() { g_cleanup_guard.store(1); }

void signal_process_cleanup() {
  if (g_cleanup_guard.exchange(0) != 1) return;
  console_handler_remove();
  HANDLE thread;
  {
    RecursiveLockGuard guard(process_lock());
    thread = g_window_started ? g_thread : nullptr;
    g_thread = nullptr;
  }
  if (!thread) return;
  HWND window = g_window.load();
  // Without a delivered request the thread would never end: leave it to the
  // end of the process then.
  if (!window || sys::PostMessageW(window, kMsgDestroy, 0, 0)) {
    while (g_window.load() && sys::WaitForSingleObject(thread, 20) == WAIT_TIMEOUT) {
    }
    if (!g_shutting_down.load()) sys::WaitForSingleObject(thread, INFINITE);
  }
  sys::CloseHandle(thread);
}
