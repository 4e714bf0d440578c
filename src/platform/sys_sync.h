// System calls of the sync area (wrappers in namespace sys, see platform.h):
// events and waits, ticks, threads, console control and the window calls.
#pragma once

namespace sys {

// Test hook: when set, GetTickCount returns what it returns, so that tests
// can drive the 32-bit tick across its wrap.
using TickCountHook = DWORD (*)();
inline TickCountHook g_tick_count_hook = nullptr;

inline NTSTATUS NtCreateEvent(HANDLE* event, ACCESS_MASK access, EVENT_TYPE type, BOOLEAN initial_state) {
  uint32_t st;
  if (fault_hit("NtCreateEvent", &st)) {
    *event = nullptr;
    return static_cast<NTSTATUS>(st);
  }
  return ::NtCreateEvent(event, access, nullptr, type, initial_state);
}

inline NTSTATUS NtSetEvent(HANDLE event, LONG* previous_state) {
  uint32_t st;
  if (fault_hit("NtSetEvent", &st)) return static_cast<NTSTATUS>(st);
  return ::NtSetEvent(event, previous_state);
}

inline NTSTATUS NtClearEvent(HANDLE event) {
  uint32_t st;
  if (fault_hit("NtClearEvent", &st)) return static_cast<NTSTATUS>(st);
  return ::NtClearEvent(event);
}

inline NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, LARGE_INTEGER* timeout) {
  uint32_t st;
  if (fault_hit("NtWaitForSingleObject", &st)) return static_cast<NTSTATUS>(st);
  return ::NtWaitForSingleObject(handle, alertable, timeout);
}

inline NTSTATUS NtDelayExecution(BOOLEAN alertable, LARGE_INTEGER* interval) {
  uint32_t st;
  if (fault_hit("NtDelayExecution", &st)) return static_cast<NTSTATUS>(st);
  return ::NtDelayExecution(alertable, interval);
}

inline DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }

inline HMODULE GetModuleHandleW(LPCWSTR name) {
  uint32_t st;
  if (fault_hit("GetModuleHandleW", &st)) {
    ::SetLastError(st);
    return nullptr;
  }
  return ::GetModuleHandleW(name);
}

inline FARPROC GetProcAddress(HMODULE module, const char* name) {
  uint32_t st;
  if (fault_hit("GetProcAddress", &st)) {
    ::SetLastError(st);
    return nullptr;
  }
  return ::GetProcAddress(module, name);
}

inline DWORD GetTickCount() {
  if (g_tick_count_hook) return g_tick_count_hook();
  return ::GetTickCount();
}

inline BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  uint32_t st;
  if (fault_hit("SetConsoleCtrlHandler", &st)) {
    ::SetLastError(st);
    return FALSE;
  }
  return ::SetConsoleCtrlHandler(handler, add);
}

inline void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

inline HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  uint32_t st;
  if (fault_hit("CreateFileW", &st)) {
    ::SetLastError(st);
    return INVALID_HANDLE_VALUE;
  }
  return ::CreateFileW(name, access, share, nullptr, disposition, flags, nullptr);
}

inline HANDLE CreateThread(SIZE_T stack_size, LPTHREAD_START_ROUTINE start, void* parameter, DWORD flags,
                           DWORD* thread_id) {
  uint32_t st;
  if (fault_hit("CreateThread", &st)) {
    ::SetLastError(st);
    return nullptr;
  }
  return ::CreateThread(nullptr, stack_size, start, parameter, flags, thread_id);
}

inline DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  uint32_t st;
  if (fault_hit("WaitForSingleObject", &st)) {
    ::SetLastError(st);
    return WAIT_FAILED;
  }
  return ::WaitForSingleObject(handle, milliseconds);
}

inline ATOM RegisterClassW(const WNDCLASSW* window_class) {
  uint32_t st;
  if (fault_hit("RegisterClassW", &st)) {
    ::SetLastError(st);
    return 0;
  }
  return ::RegisterClassW(window_class);
}

inline HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param) {
  uint32_t st;
  if (fault_hit("CreateWindowExW", &st)) {
    ::SetLastError(st);
    return nullptr;
  }
  return ::CreateWindowExW(ex_style, class_name, title, style, x, y, width, height, parent, menu, instance,
                           param);
}

inline BOOL ShowWindow(HWND window, int command) { return ::ShowWindow(window, command); }

inline BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max) {
  uint32_t st;
  if (fault_hit("GetMessageW", &st)) {
    ::SetLastError(st);
    return -1;
  }
  return ::GetMessageW(msg, window, filter_min, filter_max);
}

inline BOOL TranslateMessage(const MSG* msg) { return ::TranslateMessage(msg); }
inline LRESULT DispatchMessageW(const MSG* msg) { return ::DispatchMessageW(msg); }

inline LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return ::DefWindowProcW(window, message, wparam, lparam);
}

inline BOOL DestroyWindow(HWND window) {
  uint32_t st;
  if (fault_hit("DestroyWindow", &st)) {
    ::SetLastError(st);
    return FALSE;
  }
  return ::DestroyWindow(window);
}

inline BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  uint32_t st;
  if (fault_hit("PostMessageW", &st)) {
    ::SetLastError(st);
    return FALSE;
  }
  return ::PostMessageW(window, message, wparam, lparam);
}

inline HWND FindWindowW(LPCWSTR class_name, LPCWSTR title) {
  uint32_t st;
  if (fault_hit("FindWindowW", &st)) {
    ::SetLastError(st);
    return nullptr;
  }
  return ::FindWindowW(class_name, title);
}

}  // namespace sys
