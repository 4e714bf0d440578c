// Linux implementation of the file area: status conversion, the error-mode
// switch and the token privilege calls. The native file calls are not mapped
// onto POSIX yet and answer STATUS_NOT_IMPLEMENTED.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<UINT> g_error_mode{0};

struct StatusMap {
  NTSTATUS status;
  ULONG error;
};

// The statuses this layer produces and the Win32 errors Windows gives them.
constexpr StatusMap kStatusMap[] = {
    {STATUS_SUCCESS, 0},
    {STATUS_PENDING, 997},
    {STATUS_USER_APC, 737},
    {STATUS_BUFFER_OVERFLOW, 234},
    {STATUS_NO_MORE_FILES, 18},
    {STATUS_STOPPED_ON_SYMLINK, 1463},
    {STATUS_NOT_IMPLEMENTED, 1},
    {STATUS_INVALID_INFO_CLASS, 87},
    {STATUS_INFO_LENGTH_MISMATCH, 24},
    {STATUS_INVALID_HANDLE, 6},
    {STATUS_INVALID_PARAMETER, 87},
    {STATUS_END_OF_FILE, 38},
    {STATUS_NO_MEMORY, 8},
    {STATUS_ACCESS_DENIED, 5},
    {STATUS_BUFFER_TOO_SMALL, 122},
    {STATUS_OBJECT_NAME_INVALID, 123},
    {STATUS_OBJECT_NAME_NOT_FOUND, 2},
    {STATUS_OBJECT_NAME_COLLISION, 183},
    {STATUS_OBJECT_PATH_NOT_FOUND, 3},
    {STATUS_SHARING_VIOLATION, 32},
    {STATUS_DELETE_PENDING, 5},
    {STATUS_PRIVILEGE_NOT_HELD, 1314},
    {STATUS_DISK_FULL, 112},
    {STATUS_MEDIA_WRITE_PROTECTED, 19},
    {STATUS_FILE_IS_A_DIRECTORY, 5},
    {STATUS_NOT_SUPPORTED, 50},
    {STATUS_NOT_SAME_DEVICE, 17},
    {STATUS_DIRECTORY_NOT_EMPTY, 145},
    {STATUS_NOT_A_DIRECTORY, 267},
    {STATUS_NAME_TOO_LONG, 206},
    {STATUS_TOO_MANY_OPENED_FILES, 4},
    {STATUS_CANNOT_DELETE, 5},
    {STATUS_IO_DEVICE_ERROR, 1117},
    {STATUS_TOO_MANY_LINKS, 1142},
    {STATUS_NOT_A_REPARSE_POINT, 4390},
    {STATUS_IO_REPARSE_DATA_INVALID, 4392},
    {STATUS_FILE_TOO_LARGE, 223},
};

}  // namespace

ULONG RtlNtStatusToDosError(NTSTATUS status) {
  for (const StatusMap& m : kStatusMap)
    if (m.status == status) return m.error;
  // Statuses of the Win32 facility carry the error in their low word.
  if ((static_cast<uint32_t>(status) & 0xFFFF0000u) == 0xC0070000u) return static_cast<uint32_t>(status) & 0xFFFFu;
  return 317;  // no text for this status (ERROR_MR_MID_NOT_FOUND)
}

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                      ULONG, ULONG, ULONG, PVOID, ULONG) {
  if (handle) *handle = INVALID_HANDLE_VALUE;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NtClose(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || posix_fd_from_handle(handle) < 0)
    return STATUS_INVALID_HANDLE;
  return close(posix_fd_from_handle(handle)) == 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS NtQueryDirectoryFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                              FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NtQueryInformationFile(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NtSetInformationFile(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NtQueryVolumeInformationFile(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FS_INFORMATION_CLASS) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NtQueryObject(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG returned) {
  if (returned) *returned = 0;
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS NtFsControlFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, ULONG, PVOID, ULONG, PVOID,
                         ULONG) {
  return STATUS_NOT_IMPLEMENTED;
}

// The mode is only remembered: there are no system dialogs to suppress.
UINT SetErrorMode(UINT mode) { return g_error_mode.exchange(mode); }

// Threads have no token of their own; the process token is a descriptor of
// /dev/null so that it is released like any other handle. Symbolic links
// need no privilege here, so every privilege counts as enabled.
BOOL OpenThreadToken(HANDLE, DWORD, BOOL, PHANDLE token) {
  if (token) *token = nullptr;
  SetLastError(1008);  // no token
  return FALSE;
}

BOOL OpenProcessToken(HANDLE process, DWORD, PHANDLE token) {
  if (token) *token = nullptr;
  if (process != NtCurrentProcess() || !token) {
    SetLastError(6);
    return FALSE;
  }
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(posix_error_from_errno(errno));
    return FALSE;
  }
  *token = posix_handle_from_fd(fd);
  return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR, LPCWSTR name, PLUID luid) {
  if (!name || !luid) {
    SetLastError(87);
    return FALSE;
  }
  luid->LowPart = 35;  // the identifier Windows gives SeCreateSymbolicLinkPrivilege
  luid->HighPart = 0;
  return TRUE;
}

BOOL PrivilegeCheck(HANDLE token, PPRIVILEGE_SET privileges, PBOOL result) {
  if (!token || !privileges || !result) {
    SetLastError(87);
    return FALSE;
  }
  *result = TRUE;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL, PTOKEN_PRIVILEGES new_state, DWORD, PTOKEN_PRIVILEGES,
                           LPDWORD) {
  if (!token || !new_state) {
    SetLastError(87);
    return FALSE;
  }
  SetLastError(0);
  return TRUE;
}
