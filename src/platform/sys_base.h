// System calls of the text and memory base: virtual memory, standard handles,
// synchronous reads and writes, console mode, handle closing.
#pragma once

namespace sys {

inline NTSTATUS NtAllocateVirtualMemory(HANDLE process, PVOID* base, ULONG_PTR zero_bits,
                                        SIZE_T* size, ULONG type, ULONG protect) {
  uint32_t st;
  if (fault_hit("NtAllocateVirtualMemory", &st)) return static_cast<NTSTATUS>(st);
  return ::NtAllocateVirtualMemory(process, base, zero_bits, size, type, protect);
}

inline NTSTATUS NtFreeVirtualMemory(HANDLE process, PVOID* base, SIZE_T* size, ULONG type) {
  uint32_t st;
  if (fault_hit("NtFreeVirtualMemory", &st)) return static_cast<NTSTATUS>(st);
  return ::NtFreeVirtualMemory(process, base, size, type);
}

inline HANDLE GetStdHandle(DWORD which) {
  uint32_t st;
  if (fault_hit("GetStdHandle", &st)) {
    ::SetLastError(st);
    return INVALID_HANDLE_VALUE;
  }
  return ::GetStdHandle(which);
}

inline BOOL ReadFile(HANDLE h, void* buffer, DWORD length, DWORD* done, OVERLAPPED* ov) {
  uint32_t st;
  if (fault_hit("ReadFile", &st)) {
    if (done) *done = 0;
    ::SetLastError(st);
    return FALSE;
  }
  return ::ReadFile(h, buffer, length, done, ov);
}

inline BOOL WriteFile(HANDLE h, const void* buffer, DWORD length, DWORD* done, OVERLAPPED* ov) {
  uint32_t st;
  if (fault_hit("WriteFile", &st)) {
    if (done) *done = 0;
    ::SetLastError(st);
    return FALSE;
  }
  return ::WriteFile(h, buffer, length, done, ov);
}

// Copies up to `length` bytes from the position of `from` to the position of
// `to` inside the system, advancing both; *done 0 at the end of the source.
// FALSE (error 50, not supported) where the system has no such copy
// (Windows) and while a fault plan is armed, so that planned read and write
// failures still meet the ordinary path.
inline BOOL CopyFileData(HANDLE from, HANDLE to, DWORD length, DWORD* done) {
#ifdef _WIN32
  (void)from, (void)to, (void)length;
#else
  if (g_fault_armed == 0) return ::CopyFileData(from, to, length, done);
#endif
  if (done) *done = 0;
  ::SetLastError(50);
  return FALSE;
}

inline BOOL GetConsoleMode(HANDLE h, DWORD* mode) {
  uint32_t st;
  if (fault_hit("GetConsoleMode", &st)) {
    ::SetLastError(st);
    return FALSE;
  }
  return ::GetConsoleMode(h, mode);
}

inline BOOL CloseHandle(HANDLE h) {
  uint32_t st;
  if (fault_hit("CloseHandle", &st)) {
    ::SetLastError(st);
    return FALSE;
  }
  return ::CloseHandle(h);
}

inline DWORD GetLastError() { return ::GetLastError(); }
inline void SetLastError(DWORD e) { ::SetLastError(e); }

}  // namespace sys
