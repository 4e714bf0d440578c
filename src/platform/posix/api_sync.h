// Windows names of the sync area for the Linux build: wait objects, ticks,
// threads, console control and the window calls.
//
// Events and thread handles are descriptors (an eventfd each), so the same
// CloseHandle closes them. Console control events come from SIGINT (Ctrl+C),
// SIGQUIT (Ctrl+Break), SIGHUP (console closed) and SIGTERM (shut-down). There
// is no window system: the window calls fail.
#pragma once

#include <cstdint>

using ACCESS_MASK = DWORD;
using PLONG = LONG*;
using PLARGE_INTEGER = LARGE_INTEGER*;
using ATOM = WORD;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LPCSTR = const char*;

struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HMENU__;
using HMENU = HMENU__*;
using FARPROC = intptr_t (*)();
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#define WINAPI
#define CALLBACK

enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };

using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrl_type);
using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct WNDCLASSW {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  void* hIcon;
  void* hCursor;
  void* hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
};

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

#define STATUS_ALERTED ((NTSTATUS)0x00000101)
#define STATUS_USER_APC ((NTSTATUS)0x000000C0)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6

#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 1u
#define FILE_SHARE_WRITE 2u
#define FILE_SHARE_DELETE 4u
#define OPEN_EXISTING 3u

#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_CLOSE 0x0010u
#define WM_ENDSESSION 0x0016u
#define WM_USER 0x0400u
#define SW_HIDE 0
#define WS_CLIPSIBLINGS 0x04000000u
#define WS_CAPTION 0x00C00000u
#define WS_SYSMENU 0x00080000u

// Wait objects. An event is a descriptor that polls readable while set.
NTSTATUS NtCreateEvent(HANDLE* event, ACCESS_MASK access, void* attributes, EVENT_TYPE type,
                       BOOLEAN initial_state);
NTSTATUS NtSetEvent(HANDLE event, LONG* previous_state);
NTSTATUS NtClearEvent(HANDLE event);
NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, LARGE_INTEGER* timeout);
NTSTATUS NtDelayExecution(BOOLEAN alertable, LARGE_INTEGER* interval);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
void Sleep(DWORD milliseconds);

// Threads and modules. The only module is "kernel32", and the only procedure
// it offers is "GetTickCount64".
DWORD GetCurrentThreadId();
HMODULE GetModuleHandleW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
DWORD GetTickCount();
// The processors the process may run on (every group: ALL_PROCESSOR_GROUPS).
constexpr WORD ALL_PROCESSOR_GROUPS = 0xFFFF;
DWORD GetActiveProcessorCount(WORD group);
ULONGLONG GetTickCount64();
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD flags, DWORD* thread_id);

// Console. "CONIN$" opens when standard input is a terminal; no other name
// is supported here.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);

// Window system: none on this platform.
ATOM RegisterClassW(const WNDCLASSW* window_class);
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param);
BOOL ShowWindow(HWND window, int command);
BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL DestroyWindow(HWND window);
BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
HWND FindWindowW(LPCWSTR class_name, LPCWSTR title);
