// The order of entries in a tree listing, built on the name order of
// base/casefold.h.
#pragma once

#include <cstdint>

#include "base/casefold.h"
#include "fs/file_info.h"

// The order of two entries in a tree listing: relative paths compared element
// by element ('\' or '/' separated); a folder's ordinary entry before its
// contents, its after-contents entry (info->after_contents) after them.
// Null paths are empty; null information counts as an ordinary entry.
int entry_compare(const char* path_a, const FileInfo* info_a, const char* path_b,
                  const FileInfo* info_b);
