// System calls of the file area (wrappers in namespace sys, see platform.h):
// the native file calls, the status conversion, the process error mode and
// the token privilege calls used before a symbolic link is created.
#pragma once

namespace sys {

inline NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             PIO_STATUS_BLOCK io, PLARGE_INTEGER allocation_size, ULONG file_attributes,
                             ULONG share, ULONG disposition, ULONG options, PVOID ea_buffer, ULONG ea_length) {
  uint32_t st;
  if (fault_hit("NtCreateFile", &st)) {
    if (handle) *handle = INVALID_HANDLE_VALUE;
    return static_cast<NTSTATUS>(st);
  }
  return ::NtCreateFile(handle, access, attributes, io, allocation_size, file_attributes, share, disposition,
                        options, ea_buffer, ea_length);
}

inline NTSTATUS NtClose(HANDLE handle) {
  uint32_t st;
  if (fault_hit("NtClose", &st)) return static_cast<NTSTATUS>(st);
  return ::NtClose(handle);
}

inline NTSTATUS NtQueryDirectoryFile(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                     PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                     FILE_INFORMATION_CLASS info_class, BOOLEAN single_entry,
                                     PUNICODE_STRING file_name, BOOLEAN restart_scan) {
  uint32_t st;
  if (fault_hit("NtQueryDirectoryFile", &st)) return static_cast<NTSTATUS>(st);
  return ::NtQueryDirectoryFile(handle, event, apc, apc_context, io, buffer, length, info_class, single_entry,
                                file_name, restart_scan);
}

inline NTSTATUS NtQueryInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                       FILE_INFORMATION_CLASS info_class) {
  uint32_t st;
  if (fault_hit("NtQueryInformationFile", &st)) return static_cast<NTSTATUS>(st);
  return ::NtQueryInformationFile(handle, io, buffer, length, info_class);
}

inline NTSTATUS NtSetInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                     FILE_INFORMATION_CLASS info_class) {
  uint32_t st;
  if (fault_hit("NtSetInformationFile", &st)) return static_cast<NTSTATUS>(st);
  return ::NtSetInformationFile(handle, io, buffer, length, info_class);
}

inline NTSTATUS NtQueryVolumeInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                             FS_INFORMATION_CLASS info_class) {
  uint32_t st;
  if (fault_hit("NtQueryVolumeInformationFile", &st)) return static_cast<NTSTATUS>(st);
  return ::NtQueryVolumeInformationFile(handle, io, buffer, length, info_class);
}

inline NTSTATUS NtQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS info_class, PVOID buffer, ULONG length,
                              PULONG returned) {
  uint32_t st;
  if (fault_hit("NtQueryObject", &st)) return static_cast<NTSTATUS>(st);
  return ::NtQueryObject(handle, info_class, buffer, length, returned);
}

inline NTSTATUS NtFsControlFile(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                                PIO_STATUS_BLOCK io, ULONG code, PVOID in_buffer, ULONG in_length,
                                PVOID out_buffer, ULONG out_length) {
  uint32_t st;
  if (fault_hit("NtFsControlFile", &st)) return static_cast<NTSTATUS>(st);
  return ::NtFsControlFile(handle, event, apc, apc_context, io, code, in_buffer, in_length, out_buffer,
                           out_length);
}

inline NTSTATUS NtQueryPosixMode(HANDLE handle, FILE_POSIX_MODE* mode) {
  uint32_t st;
  if (fault_hit("NtQueryPosixMode", &st)) {
    if (mode) *mode = FILE_POSIX_MODE{};
    return static_cast<NTSTATUS>(st);
  }
  return ::NtQueryPosixMode(handle, mode);
}

inline NTSTATUS NtSetPosixMode(HANDLE handle, const FILE_POSIX_MODE* mode) {
  uint32_t st;
  if (fault_hit("NtSetPosixMode", &st)) return static_cast<NTSTATUS>(st);
  return ::NtSetPosixMode(handle, mode);
}

// A planned failure returns the planned value as the Win32 error.
inline ULONG RtlNtStatusToDosError(NTSTATUS status) {
  uint32_t st;
  if (fault_hit("RtlNtStatusToDosError", &st)) return st;
  return ::RtlNtStatusToDosError(status);
}

// A planned failure leaves the mode unchanged and returns the planned value.
inline UINT SetErrorMode(UINT mode) {
  uint32_t st;
  if (fault_hit("SetErrorMode", &st)) return st;
  return ::SetErrorMode(mode);
}

inline BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL open_as_self, PHANDLE token) {
  uint32_t st;
  if (fault_hit("OpenThreadToken", &st)) {
    if (token) *token = nullptr;
    ::SetLastError(st);
    return FALSE;
  }
  return ::OpenThreadToken(thread, access, open_as_self, token);
}

inline BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  uint32_t st;
  if (fault_hit("OpenProcessToken", &st)) {
    if (token) *token = nullptr;
    ::SetLastError(st);
    return FALSE;
  }
  return ::OpenProcessToken(process, access, token);
}

inline BOOL LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, PLUID luid) {
  uint32_t st;
  if (fault_hit("LookupPrivilegeValueW", &st)) {
    ::SetLastError(st);
    return FALSE;
  }
  return ::LookupPrivilegeValueW(system_name, name, luid);
}

inline BOOL PrivilegeCheck(HANDLE token, PPRIVILEGE_SET privileges, PBOOL result) {
  uint32_t st;
  if (fault_hit("PrivilegeCheck", &st)) {
    ::SetLastError(st);
    return FALSE;
  }
  return ::PrivilegeCheck(token, privileges, result);
}

inline BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state, DWORD length,
                                  PTOKEN_PRIVILEGES previous_state, LPDWORD return_length) {
  uint32_t st;
  if (fault_hit("AdjustTokenPrivileges", &st)) {
    ::SetLastError(st);
    return FALSE;
  }
  return ::AdjustTokenPrivileges(token, disable_all, new_state, length, previous_state, return_length);
}

}  // namespace sys
