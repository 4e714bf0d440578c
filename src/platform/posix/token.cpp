// Linux error-mode switch and token privilege calls.
#include "platform/posix/file_state.h"

#include "platform/posix/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::atomic<UINT> g_error_mode{0};

}  // namespace

// The mode is only remembered: there are no system dialogs to suppress.
UINT SetErrorMode(UINT mode) { return g_error_mode.exchange(mode); }
UINT GetErrorMode() { return g_error_mode.load(); }

// Threads have no token of their own; the process token is a descriptor of
// /dev/null so that it is released like any other handle. Symbolic links
// need no privilege here, so every privilege counts as enabled.
BOOL OpenThreadToken(HANDLE, DWORD, BOOL, PHANDLE token) {
  if (token) *token = nullptr;
  SetLastError(err::no_token);
  return FALSE;
}

BOOL OpenProcessToken(HANDLE process, DWORD, PHANDLE token) {
  if (token) *token = nullptr;
  if (process != NtCurrentProcess() || !token) {
    SetLastError(err::invalid_handle);
    return FALSE;
  }
  const int fd = libc::open("/dev/null", O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    SetLastError(posix_error_from_errno(errno));
    return FALSE;
  }
  *token = posix_handle_from_fd(fd);
  return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR, LPCWSTR name, PLUID luid) {
  if (!name || !luid) {
    SetLastError(err::invalid_parameter);
    return FALSE;
  }
  luid->LowPart = 35;  // the identifier Windows gives SeCreateSymbolicLinkPrivilege
  luid->HighPart = 0;
  return TRUE;
}

BOOL PrivilegeCheck(HANDLE token, PPRIVILEGE_SET privileges, PBOOL result) {
  if (!token || !privileges || !result) {
    SetLastError(err::invalid_parameter);
    return FALSE;
  }
  *result = TRUE;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL, PTOKEN_PRIVILEGES new_state, DWORD, PTOKEN_PRIVILEGES,
                           LPDWORD) {
  if (!token || !new_state) {
    SetLastError(err::invalid_parameter);
    return FALSE;
  }
  SetLastError(err::ok);
  return TRUE;
}
