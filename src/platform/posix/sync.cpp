// Linux implementation of the sync area: events as eventfds, threads as
// detached pthreads whose handle is an eventfd set when the thread ends,
// ticks from CLOCK_MONOTONIC, console control events from signals.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// A wait that sees an event set by another thread orders that thread's
// earlier writes before the waiter's later reads. The thread sanitizer does
// not see this through a descriptor it only polls, so its builds are told,
// keyed by descriptor number (a reused number only adds an order).
#if defined(__SANITIZE_THREAD__)
char g_event_keys[1024];
void event_released(int fd) { __tsan_release(&g_event_keys[fd & 1023]); }
void event_acquired(int fd) { __tsan_acquire(&g_event_keys[fd & 1023]); }
#else
void event_released(int) {}
void event_acquired(int) {}
#endif

bool fd_valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE && posix_fd_from_handle(h) >= 0; }

int64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the descriptor polls readable. timeout_ms < 0: no limit.
// Returns 1 when readable, 0 on time-out, -1 on failure.
int wait_readable(int fd, int64_t timeout_ms) {
  const int64_t deadline = timeout_ms < 0 ? 0 : monotonic_ms() + timeout_ms;
  for (;;) {
    int step = -1;
    if (timeout_ms >= 0) {
      const int64_t left = deadline - monotonic_ms();
      step = left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left);
    }
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, step);
    if (n > 0) return (p.revents & (POLLNVAL | POLLERR)) ? -1 : 1;
    if (n == 0) {
      if (step == 0 || monotonic_ms() >= deadline) return 0;
      continue;
    }
    if (errno != EINTR) return -1;
  }
}

void signal_fd(int fd) {
  event_released(fd);
  const uint64_t one = 1;
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace

NTSTATUS NtCreateEvent(HANDLE* event, ACCESS_MASK, void*, EVENT_TYPE type, BOOLEAN initial_state) {
  if (!event) return STATUS_INVALID_PARAMETER;
  *event = nullptr;
  if (type != NotificationEvent) return STATUS_INVALID_PARAMETER;
  const int fd = eventfd(initial_state ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return STATUS_INSUFFICIENT_RESOURCES;
  *event = posix_handle_from_fd(fd);
  return STATUS_SUCCESS;
}

NTSTATUS NtSetEvent(HANDLE event, LONG* previous_state) {
  if (previous_state) *previous_state = 0;
  if (!fd_valid(event)) return STATUS_INVALID_HANDLE;
  signal_fd(posix_fd_from_handle(event));
  return STATUS_SUCCESS;
}

NTSTATUS NtClearEvent(HANDLE event) {
  if (!fd_valid(event)) return STATUS_INVALID_HANDLE;
  uint64_t value;
  while (read(posix_fd_from_handle(event), &value, sizeof value) < 0 && errno == EINTR) {
  }
  return STATUS_SUCCESS;
}

// There are no queued calls here, so an alertable wait is a plain wait.
NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN, LARGE_INTEGER* timeout) {
  if (!fd_valid(handle)) return STATUS_INVALID_HANDLE;
  int64_t ms = -1;
  if (timeout) {
    if (timeout->QuadPart > 0) return STATUS_INVALID_PARAMETER;  // absolute times are not used
    ms = (-timeout->QuadPart + 9999) / 10000;
  }
  const int r = wait_readable(posix_fd_from_handle(handle), ms);
  if (r > 0) event_acquired(posix_fd_from_handle(handle));
  return r > 0 ? STATUS_SUCCESS : r == 0 ? STATUS_TIMEOUT : STATUS_INVALID_HANDLE;
}

NTSTATUS NtDelayExecution(BOOLEAN, LARGE_INTEGER* interval) {
  if (!interval || interval->QuadPart > 0) return STATUS_INVALID_PARAMETER;
  const int64_t units = -interval->QuadPart;
  timespec ts{static_cast<time_t>(units / 10000000), static_cast<long>(units % 10000000) * 100};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
  return STATUS_SUCCESS;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (!fd_valid(handle)) {
    SetLastError(err::invalid_handle);
    return WAIT_FAILED;
  }
  const int r = wait_readable(posix_fd_from_handle(handle), milliseconds == INFINITE ? -1 : milliseconds);
  if (r > 0) event_acquired(posix_fd_from_handle(handle));
  if (r < 0) SetLastError(err::invalid_handle);
  return r > 0 ? WAIT_OBJECT_0 : r == 0 ? WAIT_TIMEOUT : WAIT_FAILED;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

DWORD GetCurrentThreadId() {
  thread_local DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
  return id;
}

HMODULE GetModuleHandleW(LPCWSTR name) {
  static const char16_t kKernel32[] = u"kernel32";
  for (size_t i = 0; name; ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != kKernel32[i]) break;
    if (c == 0) {
      static char module_tag;
      return reinterpret_cast<HMODULE>(&module_tag);
    }
  }
  SetLastError(err::mod_not_found);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (module && name && std::strcmp(name, "GetTickCount64") == 0)
    return reinterpret_cast<FARPROC>(&GetTickCount64);
  SetLastError(err::proc_not_found);
  return nullptr;
}

ULONGLONG GetTickCount64() { return static_cast<ULONGLONG>(monotonic_ms()); }
DWORD GetTickCount() { return static_cast<DWORD>(monotonic_ms()); }

DWORD GetActiveProcessorCount(WORD) {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<DWORD>(CPU_COUNT(&set));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<DWORD>(online) : 1;
}

namespace {

struct ThreadStart {
  LPTHREAD_START_ROUTINE start;
  void* parameter;
  int done_fd;    // the thread's own descriptor of the handle's eventfd
  int handle_fd;  // the handle's descriptor, which waits use
};

void* thread_main(void* arg) {
  ThreadStart s = *static_cast<ThreadStart*>(arg);
  std::free(arg);
  s.start(s.parameter);
  event_released(s.handle_fd);
  signal_fd(s.done_fd);
  close(s.done_fd);
  return nullptr;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size, LPTHREAD_START_ROUTINE start, void* parameter,
                    DWORD flags, DWORD* thread_id) {
  if (thread_id) *thread_id = 0;
  if (!start || flags != 0) {
    SetLastError(err::invalid_parameter);
    return nullptr;
  }
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    SetLastError(err::not_enough_memory);
    return nullptr;
  }
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  auto* s = own < 0 ? nullptr : static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (s) *s = ThreadStart{start, parameter, own, fd};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_size) pthread_attr_setstacksize(&attr, stack_size);
  pthread_t t;
  const int rc = s ? pthread_create(&t, &attr, thread_main, s) : ENOMEM;
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::free(s);
    if (own >= 0) close(own);
    close(fd);
    SetLastError(err::not_enough_memory);
    return nullptr;
  }
  return posix_handle_from_fd(fd);
}

// Console control. The control signals are blocked in the thread that sets
// the handling up (and so in every thread it starts later) and taken by a
// dispatcher thread from a signal descriptor, so no signal handler runs in
// the middle of the program's work and a run blocked in a call still sees
// them at once. A thread that does not block them (one started before the
// set-up) meets the fallback handler, which only passes the number on
// through a pipe. Like the system's per-event thread on Windows, the
// dispatcher runs the handler chain (newest first) on a new thread; when no
// handler takes the event, the signal's default action ends the process.
namespace {

constexpr int kMaxHandlers = 16;
pthread_mutex_t g_ctrl_mutex = PTHREAD_MUTEX_INITIALIZER;
PHANDLER_ROUTINE g_ctrl_handlers[kMaxHandlers];
int g_ctrl_count = 0;
bool g_ctrl_ignore_c = false;
int g_ctrl_pipe[2] = {-1, -1};
int g_ctrl_signal_fd = -1;

constexpr int kCtrlSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

sigset_t ctrl_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kCtrlSignals) sigaddset(&set, sig);
  return set;
}

DWORD ctrl_event_of(int sig) {
  switch (sig) {
    case SIGINT: return CTRL_C_EVENT;
    case SIGQUIT: return CTRL_BREAK_EVENT;
    case SIGHUP: return CTRL_CLOSE_EVENT;
    default: return CTRL_SHUTDOWN_EVENT;
  }
}

int signal_of(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return SIGINT;
    case CTRL_BREAK_EVENT: return SIGQUIT;
    case CTRL_CLOSE_EVENT: return SIGHUP;
    default: return SIGTERM;
  }
}

// Ends the process by the signal's default action, from any thread.
[[noreturn]] void end_by_signal(int sig) {
  std::signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);
  _exit(128 + sig);  // not reached: the default action of these ends the process
}

void on_ctrl_signal(int sig) {
  const int saved = errno;
  const unsigned char code = static_cast<unsigned char>(sig);
  if (write(g_ctrl_pipe[1], &code, 1) < 0) {
  }
  errno = saved;
}

void* run_ctrl_event(void* arg) {
  const DWORD event = static_cast<DWORD>(reinterpret_cast<uintptr_t>(arg));
  PHANDLER_ROUTINE chain[kMaxHandlers];
  pthread_mutex_lock(&g_ctrl_mutex);
  const int n = g_ctrl_count;
  const bool ignore = event == CTRL_C_EVENT && g_ctrl_ignore_c;
  std::memcpy(chain, g_ctrl_handlers, sizeof(PHANDLER_ROUTINE) * static_cast<size_t>(n));
  pthread_mutex_unlock(&g_ctrl_mutex);
  if (ignore) return nullptr;
  for (int i = n - 1; i >= 0; --i)
    if (chain[i](event)) return nullptr;
  end_by_signal(signal_of(event));
}

// Takes one control signal: the first stop request (SIGINT, SIGTERM) is
// handed on like every control event; a second ends the process at once, so
// a run stuck in a blocking call still ends.
void take_ctrl_signal(int sig, int* stop_requests) {
  if ((sig == SIGINT || sig == SIGTERM) && (*stop_requests)++ > 0) end_by_signal(sig);
  void* code = reinterpret_cast<void*>(static_cast<uintptr_t>(ctrl_event_of(sig)));
  pthread_t t;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (pthread_create(&t, &attr, run_ctrl_event, code) != 0) run_ctrl_event(code);
  pthread_attr_destroy(&attr);
}

void* ctrl_dispatcher(void*) {
  int stop_requests = 0;
  for (;;) {
    pollfd p[2] = {{g_ctrl_signal_fd, POLLIN, 0}, {g_ctrl_pipe[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return nullptr;
    }
    if (p[0].revents & POLLIN) {
      signalfd_siginfo info;
      if (read(g_ctrl_signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        take_ctrl_signal(static_cast<int>(info.ssi_signo), &stop_requests);
    }
    if (p[1].revents & POLLIN) {
      unsigned char code;
      if (read(g_ctrl_pipe[0], &code, 1) == 1) take_ctrl_signal(code, &stop_requests);
    }
  }
}

// Called with the mutex held.
bool ctrl_start() {
  if (g_ctrl_pipe[0] >= 0) return true;
  const sigset_t ctrl = ctrl_signal_set();
  if (pipe2(g_ctrl_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  g_ctrl_signal_fd = signalfd(-1, &ctrl, SFD_CLOEXEC | SFD_NONBLOCK);
  // The dispatcher takes no signal itself while it waits.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t t;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  const int rc = g_ctrl_signal_fd < 0 ? -1 : pthread_create(&t, &attr, ctrl_dispatcher, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (g_ctrl_signal_fd >= 0) close(g_ctrl_signal_fd);
    close(g_ctrl_pipe[0]);
    close(g_ctrl_pipe[1]);
    g_ctrl_pipe[0] = g_ctrl_pipe[1] = g_ctrl_signal_fd = -1;
    return false;
  }
  // This thread, and every thread it starts from now on, leaves the control
  // signals to the dispatcher.
  sigorset(&old, &old, &ctrl);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  // A handler rather than the default (or an inherited "ignore") keeps the
  // signals coming to the descriptor and to threads that do not block them.
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_ctrl_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kCtrlSignals) sigaction(sig, &sa, nullptr);
  return true;
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  pthread_mutex_lock(&g_ctrl_mutex);
  BOOL ok = TRUE;
  if (!handler) {
    g_ctrl_ignore_c = add != 0;
  } else if (add) {
    if (g_ctrl_count == kMaxHandlers || !ctrl_start()) {
      SetLastError(err::not_enough_memory);
      ok = FALSE;
    } else {
      g_ctrl_handlers[g_ctrl_count++] = handler;
    }
  } else {
    int i = g_ctrl_count - 1;
    while (i >= 0 && g_ctrl_handlers[i] != handler) --i;
    if (i < 0) {
      SetLastError(err::invalid_parameter);
      ok = FALSE;
    } else {
      for (; i + 1 < g_ctrl_count; ++i) g_ctrl_handlers[i] = g_ctrl_handlers[i + 1];
      --g_ctrl_count;
    }
  }
  pthread_mutex_unlock(&g_ctrl_mutex);
  return ok;
}

// Only the console input device is known here; it exists when standard
// input is a terminal.
HANDLE CreateFileW(LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
  static const char16_t kConin[] = u"CONIN$";
  size_t i = 0;
  while (name && name[i] && name[i] == kConin[i]) ++i;
  if (!name || name[i] != 0 || kConin[i] != 0 || disposition != OPEN_EXISTING) {
    SetLastError(name ? err::file_not_found : err::invalid_parameter);
    return INVALID_HANDLE_VALUE;
  }
  if (!isatty(0)) {
    SetLastError(err::file_not_found);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = fcntl(0, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    SetLastError(posix_error_from_errno(errno));
    return INVALID_HANDLE_VALUE;
  }
  return posix_handle_from_fd(fd);
}

ATOM RegisterClassW(const WNDCLASSW*) {
  SetLastError(err::call_not_implemented);
  return 0;
}

HWND CreateWindowExW(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, void*) {
  SetLastError(err::call_not_implemented);
  return nullptr;
}

BOOL ShowWindow(HWND, int) { return FALSE; }

BOOL GetMessageW(MSG* msg, HWND, UINT, UINT) {
  if (msg) std::memset(msg, 0, sizeof *msg);
  SetLastError(err::invalid_window_handle);
  return -1;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }
LRESULT DispatchMessageW(const MSG*) { return 0; }
LRESULT DefWindowProcW(HWND, UINT, WPARAM, LPARAM) { return 0; }

BOOL DestroyWindow(HWND) {
  SetLastError(err::invalid_window_handle);
  return FALSE;
}

BOOL PostMessageW(HWND, UINT, WPARAM, LPARAM) {
  SetLastError(err::invalid_window_handle);
  return FALSE;
}

HWND FindWindowW(LPCWSTR, LPCWSTR) {
  SetLastError(err::invalid_window_handle);
  return nullptr;
}
