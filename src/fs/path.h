// The program's path syntax and its native object names.
//
// A path is a NUL-terminated UTF-8 string; '\' and '/' are equivalent on
// input and every path produced here uses '\' only. Root prefix forms:
//   C:\dir (drive, rooted)     C:dir (drive-relative)     \dir (current-drive root)
//   \\server\share\dir, \\?\C:\dir, \\.\X: (server share, rooted)
//   \\=\Device\... (native object name, handed to the system unchanged)
//   dir\sub, ., ..\x (relative)
// Results come from the caller's pool; intermediate strings live in a scratch
// pool released before each operation returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "base/memory.h"
#include "platform/platform.h"

// Splits off the root prefix: its length in bytes and whether the part after
// it starts at a root. 0, or err::invalid_name for an invalid path (absent,
// empty, server share with an empty server or share name or with no
// separator after the server). Either out-pointer may be null.
Error path_parse_root(const char* path, size_t* root_length, bool* rooted);

// Canonical form: separators become '\' and runs of them collapse, "."
// components are dropped, a component of n >= 2 dots steps up n - 1 levels
// (absorbed by the root of a rooted path, kept as leading "..\" otherwise),
// an empty result is ".", and a trailing separator is kept as one '\'.
// Null for an invalid path or a failed allocation.
char* path_normalize(StringPool* pool, const char* path);

// base without one trailing separator, '\', rel without one leading
// separator; a copy of rel when base is absent or empty. Null when the
// allocation fails.
char* path_join(StringPool* pool, const char* base, const char* rel);

// A path (absolute or relative) as the program's output shows it: the
// system's display form (on Linux the POSIX form with '/' and escapes); the
// path itself when memory runs out, "" for an absent path.
const char* path_display(StringPool* pool, const char* path);

// The absolute canonical form of `path` (absent or empty means "."), relative
// to `base` when given, else to the current directory. Null when the path or
// base is invalid, the current directory cannot be read, or memory runs out.
char* path_resolve(StringPool* pool, const char* base, const char* path);

// The process's current directory in UTF-8, or null.
char* current_directory_utf8(StringPool* pool);

// The current directory of drive `letter` (the system's full path of "X:."),
// or null.
char* drive_directory_utf8(StringPool* pool, char letter);

// A converted native name as the native open takes it. The text is
// NUL-terminated and lives in `block`, taken from the caller's pool.
struct NtName {
  UNICODE_STRING name;  // Length = 2 * length, MaximumLength = Length + 2
  wchar16* text;
  uint32_t length;      // in UTF-16 units, without the terminator
  void* block;
  size_t block_size;    // in bytes
};

// Resolves `path` and converts it into its native object name:
// C:\x -> \??\C:\x, \\?\C:\x -> \??\C:\x, \\srv\shr\x -> \??\UNC\srv\shr\x,
// \\=\Device\x -> \Device\x. 0, err::invalid_name (invalid, unresolvable or
// too long) or err::out_of_memory; `out` is cleared on failure.
Error path_to_nt_name(StringPool* pool, const char* path, NtName* out);

// Most UTF-16 units of a native name (its byte length and the byte length of
// its buffer with the terminator must both fit the descriptor's 16 bits).
constexpr uint32_t kNtNameMaxUnits = 32766;
