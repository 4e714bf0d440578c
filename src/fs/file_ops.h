// Operations on single entries: test a path, create a folder, create and
// open files, delete an entry, change attributes and set the write time of a
// copied file. Each returns a Win32 error code (0 for success) and keeps no
// state between calls.
#pragma once

#include <cstdint>

#include "base/error.h"
#include "fs/file_info.h"
#include "platform/platform.h"

// Seconds since 1970-01-01 UTC of a file time; -1 stays -1 and 0 stays 0.
int64_t filetime_to_unix(uint64_t file_time);

// 14 for an absent path, 123 for an empty one, else 0.
Error path_check(const char* path);

// Whether the path can be opened (links followed) and, when asked, whether
// it is a folder (0 whenever the open or the query fails).
Error file_probe(const char* path, uint8_t* is_folder = nullptr);

// Creates the last element of the path as a folder; fails when anything of
// that name exists. An absent or empty path is refused like in path_check.
Error folder_create(const char* path);

// The flag-driven opens (flag word 0: a new file that must not exist; 3: read
// an existing one). With no place for the handle it is closed again.
Error file_create(HANDLE* handle, const char* path, uint32_t flags);
Error file_open(HANDLE* handle, const char* path, uint32_t flags);

// Opens the file `name` of the open folder to read its data, only while it is
// still the listed entry (same file id, when the listing knew it; not a
// link). On failure *handle is -1.
Error file_open_at(HANDLE* handle, HANDLE folder, const char* name, const FileInfo* listed);

// Deletes the entry itself (a link or mount point as such), also when it is
// read-only. A folder that still holds entries is not deleted.
Error entry_delete(const char* path);

// Removes the entry `name` of the open folder (never following a link, never
// re-walking a path): only while it is still the listed entry (same file id,
// when the listing knew it), with its protective attributes cleared first
// and put back when it stays.
Error entry_remove_at(HANDLE folder, const char* name, const FileInfo* listed);

// Clears the read-only, hidden and system attributes of the entry, taking
// its attribute word from `info` when given.
Error attr_clear_protect(const char* path, const FileInfo* info = nullptr);

// Sets the attribute word of the entry itself (a link or mount point is not
// followed); 0 is written as 0x80. An absent or empty path is refused like in path_check.
Error attr_set(const char* path, uint32_t attributes);

// The write time the system keeps for a file time: 0 and all ones tell it to
// leave the time unchanged, so both stand for 1 (1601-01-01 00:00:00.0000001,
// within 200 ns of either). What write_time_set stores, and what write times
// are compared as.
constexpr uint64_t write_time_kept(uint64_t file_time) {
  return file_time == 0 || file_time == UINT64_MAX ? 1 : file_time;
}

// Sets only the last write time of an open file (as write_time_kept gives it).
Error write_time_set(HANDLE h, uint64_t file_time);

// Rebuilds the attribute word of an open file: each of read-only, hidden,
// system and archive is kept where `keep` has it, then set where `set` has
// it; bit 0x08 does the same for the content-indexed state of a file.
Error attr_update_handle(HANDLE h, uint32_t keep, uint32_t set);

// The word attr_update_handle writes for a current word (0x80 read as 0),
// before its exception for links and mount points, whose content-indexed
// state never changes.
uint32_t attr_update_word(uint32_t current, uint32_t keep, uint32_t set);

// Gives the entry open as `to` the permission bits of the entry open as
// `from` and, where the process may (root on Linux), its owner and group; a
// link keeps its own bits. Nothing where the system keeps neither (Windows).
Error mode_copy(HANDLE from, HANDLE to);

// Whether the source's write time goes with its mode: for folders and links,
// whose times never decide identity (a file's time comes with its data).
// Only where the system keeps modes: the Windows program leaves folder and
// link times as the system sets them. A time that cannot be set is not an
// error (as after a copy).
enum class WithTime : bool { no, yes };

// The same between two paths, links taken as themselves; nothing is opened
// where the system keeps no modes.
Error mode_copy_path(const char* from, const char* to, WithTime time = WithTime::no);

// Gives the entry open as `to` the extended attributes (and access lists)
// of the entry open as `from` that the process may give, and takes away
// those `from` lacks; a pair that agrees is not written. Error 50 where the
// target keeps none; nothing where the system has none (Windows) or either
// side is a link.
Error xattr_copy(HANDLE from, HANDLE to);

// The same between two paths, links taken as themselves.
Error xattr_copy_path(const char* from, const char* to);

// The target's entries, each by its name within an open folder: never a
// path re-walked, never a link followed in the folder's place.

// Opens the subfolder `name` to create entries in: a link there is refused
// (3), a mount point or a folder kept by a file system filter is entered like
// a folder. On failure *handle is -1.
Error folder_open_at(HANDLE* handle, HANDLE folder, const char* name);

// Creates the folder `name`; fails when anything of that name exists.
Error folder_create_at(HANDLE folder, const char* name);

// Creates the new file `name` (it must not exist) for writing. On failure
// *handle is -1.
Error file_create_at(HANDLE* handle, HANDLE folder, const char* name);

// Deletes the entry `name` itself, also when it is read-only.
Error entry_delete_at(HANDLE folder, const char* name);

// Renames the entry `name` to `new_name` in the same folder, replacing a file
// of that name; fails when it names a folder or a read-only file.
Error file_rename_over_at(HANDLE folder, const char* name, const char* new_name);

// Makes `name` (which must not exist) a second name of the open file `file`:
// a hard link, never through a link.
Error file_link_at(HANDLE file, HANDLE folder, const char* name);

// Sets the attribute word of the entry `name` itself; 0 is written as 0x80.
Error attr_set_at(HANDLE folder, const char* name, uint32_t attributes);

// The same between two entries named within open folders; nothing is
// opened either when the records the listings gave of both entries show the
// modes and owners agree already.
Error mode_copy_at(HANDLE from_folder, const char* from, HANDLE to_folder, const char* to,
                   const FileInfo* from_info = nullptr, const FileInfo* to_info = nullptr,
                   WithTime time = WithTime::no);

// Gives the entry `name` of the open folder the mode, owner and write time
// the listing read of its source (`from`), where the system keeps modes.
Error mode_set_at(HANDLE folder, const char* name, const FileInfo* from);

// Extended attributes between two entries named within open folders.
Error xattr_copy_at(HANDLE from_folder, const char* from, HANDLE to_folder, const char* to);
// The same from the entry at path `from`.
Error xattr_copy_to(const char* from, HANDLE to_folder, const char* to);
