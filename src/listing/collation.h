// The order of entries in a tree listing, built on the name order of
// base/casefold.h.
#pragma once

#include <cstdint>

#include "base/casefold.h"
#include "fs/file_info.h"

// The order of two names of one folder: -1, 0 or 1 (lengths as for
// name_compare; 0 only for the same bytes). Where the system's names are
// bytes, an escaped name is ordered by what it stands for: an escaped
// backslash or dot as that character, a real U+F7xx character as itself, a
// byte that is not UTF-8 after every character and by its value.
int name_order(const char* a, uint64_t len_a, const char* b, uint64_t len_b);

// A key of `name` for sorting many names at once: where the keys of two
// names differ, they order the names as name_order does (the smaller key
// first); equal keys leave the order to name_order. `skip`: a start of ASCII
// bytes that every name being sorted shares, left out of the key.
uint64_t name_order_key(const char* name, uint64_t skip);

// The order of two entries in a tree listing: relative paths compared element
// by element ('\' or '/' separated); a folder's ordinary entry before its
// contents, its after-contents entry (info->after_contents) after them.
// Null paths are empty; null information counts as an ordinary entry.
int entry_compare(const char* path_a, const FileInfo* info_a, const char* path_b,
                  const FileInfo* info_b);
