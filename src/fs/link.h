// Symbolic links: reading the text a link holds and creating a link that
// holds a given text. Between the two the text is in the program's own form:
// UTF-8 with '/' separators, and a drive-absolute target written as "/mnt/"
// followed by the lower-case drive letter (\??\C:\data reads as /mnt/c/data).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "base/memory.h"
#include "platform/platform.h"

constexpr uint32_t kReparseMax = 16384;           // largest reparse data
constexpr uint32_t kReparseLinkHeader = 20;        // symbolic link: name area offset
constexpr uint32_t kReparseMountHeader = 16;       // mount point: name area offset
constexpr uint32_t kReparseLinkRelative = 1;       // flags: relative to the link's folder

// Reads the text of the link at `path` (the link itself is opened) into
// `pool`. 1168 when the entry is neither a symbolic link nor a mount point.
Error link_read(StringPool* pool, const char* path, char** text);
// The same for the entry `name` of the open folder.
Error link_read_at(StringPool* pool, HANDLE folder, const char* name, char** text);
// Whether the links `a` and `b` of two open folders hold the same text
// (byte for byte), read into `pool`; false when either cannot be read.
bool link_texts_same_at(StringPool* pool, HANDLE folder_a, const char* a, HANDLE folder_b, const char* b);

// Creates a symbolic link at `path` (which must not exist yet) holding
// `text`, a folder link when the text names a folder. A link file left
// half-made by a failure is removed again. Without the privilege to create
// links, the system's create-symbolic-link call is tried for a standard user.
Error link_create(const char* path, const char* text);

// The same by `name` within the open folder, a folder link when asked (the
// kind is never probed); `path` is the link's full path, for the system's
// create-symbolic-link call only.
Error link_create_at(HANDLE folder, const char* name, const char* text, bool folder_kind, const char* path);

// Enables a privilege of the calling thread's (or else the process's)
// token: 0 or the system's last error.
Error privilege_enable(const char* name);

// Translations of the link text, in place. From the system's form: '\'
// becomes '/', and the object-name prefix of a drive becomes /mnt/<letter>.
void link_text_from_system(char* text, size_t length);
// To the system's form: /mnt/<letter> becomes //?/<LETTER>: (unless
// `drives` is false: where link texts are bytes, /mnt/x is a path like any
// other), then every '/' becomes '\'.
void link_text_to_system(char* text, size_t length, bool drives = true);

// The print name of a normalized link text: without the long-path prefix,
// and the long UNC form as \\server\share...; null when out of memory.
const char* link_print_name(StringPool* pool, const char* normalized);

// Builds symbolic-link reparse data: substitute name, its terminator, print
// name, its terminator. 87 when the total would exceed 16384 bytes or the
// capacity; *size is the total.
Error reparse_link_build(void* buffer, uint32_t capacity, const wchar16* substitute, size_t substitute_units,
                         const wchar16* print, size_t print_units, bool relative, uint32_t* size);

// Finds the substitute name in reparse data of `length` bytes: 1168 for a
// tag that is neither a link nor a mount point, 4392 for names outside the
// data.
Error reparse_substitute_name(const void* buffer, uint32_t length, const wchar16** name, size_t* units);
