// The Windows side of the program's own calls (see the last section of
// platform/calls.def): what the Linux layer does with a system call of its
// own, Windows answers here.
#pragma once

#include <cstring>

// Windows offers no copy of a byte range between two open files: the caller
// reads and writes instead.
inline BOOL CopyFileData(HANDLE, HANDLE, DWORD, DWORD* done) {
  if (done) *done = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// Windows keeps no POSIX permission bits or owner: the query and the set
// answer kStatusNotSupported and change nothing.
constexpr bool kSystemKeepsPosixModes = false;
// Names and link texts are characters: '*' and '?' are never part of a
// name, no escapes, and a link's text takes the system's normal form.
constexpr bool kSystemNamesAreBytes = false;
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
inline NTSTATUS NtQueryPosixMode(HANDLE, FILE_POSIX_MODE* mode) {
  if (mode) *mode = FILE_POSIX_MODE{};
  return kStatusNotSupported;
}
inline NTSTATUS NtSetPosixMode(HANDLE, const FILE_POSIX_MODE*) { return kStatusNotSupported; }

// Nor the extended attributes of Linux (user.*, access lists): nothing to
// copy, and the program never asks.
constexpr bool kSystemKeepsXattrs = false;
inline NTSTATUS NtCopyXattrs(HANDLE, HANDLE, ULONG* changed) {
  if (changed) *changed = 0;
  return kStatusNotSupported;
}

// The form of a program path in the program's output: on Windows the path
// itself. Stores what fits below `cap`, terminates when `cap` is not zero and
// returns the bytes needed without the terminator.
inline size_t PathDisplayForm(const char* path, char* out, size_t cap) {
  const size_t n = path ? std::strlen(path) : 0;
  if (out && cap) {
    const size_t copy = n < cap ? n : cap - 1;
    if (copy) std::memcpy(out, path, copy);
    out[copy] = 0;
  }
  return n;
}
