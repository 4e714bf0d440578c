// Native memory calls.
#pragma once

extern "C" {
NTSYSAPI NTSTATUS NTAPI NtAllocateVirtualMemory(HANDLE process, PVOID* base, ULONG_PTR zero_bits,
                                                PSIZE_T size, ULONG type, ULONG protect);
NTSYSAPI NTSTATUS NTAPI NtFreeVirtualMemory(HANDLE process, PVOID* base, PSIZE_T size, ULONG type);
}

#ifndef NtCurrentProcess
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#endif

// Windows offers no copy of a byte range between two open files: the caller
// reads and writes instead.
inline BOOL CopyFileData(HANDLE, HANDLE, DWORD, DWORD* done) {
  if (done) *done = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
