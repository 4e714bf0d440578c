// Windows names of the path area for the Linux build.
//
// Path mapping: the POSIX root is the root of the program's current drive, so
// /home/u is the root-relative path \home\u, and the current directory is
// reported in that form. A drive path X:\a is the POSIX path /mnt/x/a.
#pragma once

#include "platform/posix/api_base.h"

// The system's counted UTF-16 string: lengths in bytes, without and with
// room for a terminator.
struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

// Both answer the units written without the terminator, or, when the buffer
// is too small, the units needed with it; 0 on failure (last error set).
DWORD GetCurrentDirectoryW(DWORD length, LPWSTR buffer);
DWORD GetFullPathNameW(LPCWSTR name, DWORD length, LPWSTR buffer, LPWSTR* file_part);


// The form of a program path (UTF-8) in the program's output: the POSIX path
// it stands for, with '/' separators and the bytes a line could not show
// escaped (see text.h). Stores what fits below `cap`, terminates when `cap`
// is not zero and returns the bytes needed without the terminator.
size_t PathDisplayForm(const char* path, char* out, size_t cap);
