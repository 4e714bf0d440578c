// Native declarations of the path area that mingw-w64's headers lack.
// (UNICODE_STRING comes from <winternl.h>; GetCurrentDirectoryW and
// GetFullPathNameW from <windows.h>.)
#pragma once

#include <cstring>

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
