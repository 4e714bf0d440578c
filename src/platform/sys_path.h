// System calls of the path area (wrappers in namespace sys, see platform.h).
#pragma once

namespace sys {

// Test hooks: when set, they answer in place of the system (after the fault
// plan), so tests can give the resolver a current directory of their choice.
inline DWORD (*g_hook_GetCurrentDirectoryW)(DWORD length, LPWSTR buffer) = nullptr;
inline DWORD (*g_hook_GetFullPathNameW)(LPCWSTR name, DWORD length, LPWSTR buffer,
                                        LPWSTR* file_part) = nullptr;

inline DWORD GetCurrentDirectoryW(DWORD length, LPWSTR buffer) {
  uint32_t st;
  if (fault_hit("GetCurrentDirectoryW", &st)) {
    ::SetLastError(st);
    return 0;
  }
  if (g_hook_GetCurrentDirectoryW) return g_hook_GetCurrentDirectoryW(length, buffer);
  return ::GetCurrentDirectoryW(length, buffer);
}

inline DWORD GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer, LPWSTR* file_part) {
  uint32_t st;
  if (fault_hit("GetFullPathNameW", &st)) {
    ::SetLastError(st);
    return 0;
  }
  if (g_hook_GetFullPathNameW) return g_hook_GetFullPathNameW(name, length, buffer, file_part);
  return ::GetFullPathNameW(name, length, buffer, file_part);
}

// Cannot fail: no fault plan applies.
inline size_t PathDisplayForm(const char* path, char* out, size_t cap) { return ::PathDisplayForm(path, out, cap); }

}  // namespace sys
