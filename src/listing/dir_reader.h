// Directory reader: the entries of one folder, read in large batches through
// the native directory query and handed out one at a time as a full UTF-8
// path, the offset of the name within it and a FileInfo.
#pragma once

#include <cstdint>

#include "base/error.h"
#include "fs/file_info.h"
#include "platform/platform.h"

// Listing flags (32-bit word, shared with the tree lister).
constexpr uint32_t LIST_LINK_NO_INFO = 1;         // without LIST_NO_FOLLOW_LINKS: a link comes with no information
constexpr uint32_t LIST_NO_FOLLOW_LINKS = 2;      // a link comes with its own information and is never entered
constexpr uint32_t LIST_DIRS_AFTER_CONTENTS = 4;  // an entered, selected folder comes again after its contents
constexpr uint32_t LIST_READ_AHEAD = 8;           // tree lister: a thread of its own reads the next folders early

// System entry formats (directory information classes), richest first.
// id-extended directory information; the Linux program asks for its own
// class instead, the same entry with the mode and owner after it
constexpr uint32_t kDirClassIdExtended = kSystemKeepsPosixModes ? kFileLinuxDirectoryInformation : 60;
constexpr uint32_t kDirClassIdFull = 38;      // id-full directory information
constexpr uint32_t kDirClassPlain = 1;        // directory information

constexpr uint32_t kDirQueryBytes = 61440;    // one batch
constexpr uint32_t kDirQuerySpare = 512;      // spare bytes after the batch
constexpr uint32_t kDirNameBytes = 776;       // a name of 255 UTF-16 units in UTF-8, with room to spare

// Calls the native directory query once. `pattern` (UTF-16, terminated) may
// be null. The end of the folder comes back as 18.
Error native_query_directory(HANDLE handle, uint32_t info_class, const wchar16* pattern, bool single_entry,
                             bool restart, void* buffer, uint32_t size);

struct DirReader;

// Operations of one entry format.
struct DirFormatOps {
  uint32_t info_class;
  uint32_t fixed;  // fixed part size in bytes; the name follows it
  uint64_t (*entry_size)(const uint8_t* entry, uint32_t fixed);
  uint64_t (*name_to_utf8)(const uint8_t* entry, uint32_t fixed, char* name, uint64_t capacity);
  void (*fill)(const void* entry, uint32_t info_class, FileInfo* info);
};

struct DirReaderOps {
  void (*destroy)(DirReader* self);
  // Next entry: 0, 18 at the end of the folder, or an error value; on a
  // non-zero result every output is null or 0. Path and information stay
  // valid until the next call on the reader. A name that is empty, holds a
  // separator or a NUL is never handed out (it would name something outside
  // the folder): the entry is skipped and counted in `refused`; "." and ".."
  // are skipped silently.
  Error (*next)(DirReader* self, const char** path, uint64_t* name_offset, const FileInfo** info);
};

struct DirReader {
  const DirReaderOps* ops;
  uint32_t flags;
  HANDLE handle;
  uint64_t folder_length;  // bytes, including the trailing separator
  uint64_t path_capacity;  // bytes
  char* path;              // folder path, then the current entry's name, terminated
  uint32_t format;         // information class in use, 0 until chosen
  uint32_t fixed;          // fixed part of the format; 1 before the first batch
  const DirFormatOps* format_ops;
  uint64_t cursor;         // byte positions in the query buffer
  uint64_t end;
  FileInfo folder_info;
  FileInfo target_info;    // what a symbolic link points to
  FileInfo entry_info;
  uint64_t refused;        // entries left out: their names were not plain names
  char refused_name[kDirNameBytes];  // the first of them, as far as it converts
  char name[kDirNameBytes];
  alignas(8) uint8_t query[kDirQueryBytes + kDirQuerySpare];
};

// Opens the folder for reading; on failure *out is null and nothing is left open.
Error dir_reader_open(DirReader** out, const char* folder_path, uint32_t flags);

// Opens a listed subfolder by its name within its open parent folder, never
// through a link, and only when it is still the entry that was listed (same
// file id, not a link); otherwise fails with 3. A mount point, or a folder
// whose reparse tag is not a name surrogate, is then reopened through itself:
// the reader lists, and its folder_info describes, the folder it leads to.
// `folder_path` is the path the entries are handed out under, its name
// starting at `name_offset`: the subfolder's full path, or its name alone for
// a reader that follows no link (the path is taken as it is, not resolved).
Error dir_reader_open_at(DirReader** out, HANDLE parent, const char* folder_path, uint64_t name_offset,
                         const FileInfo* listed, uint32_t flags);

inline Error dir_reader_next(DirReader* r, const char** path, uint64_t* name_offset, const FileInfo** info) {
  return r->ops->next(r, path, name_offset, info);
}
inline void dir_reader_destroy(DirReader* r) {
  if (r) r->ops->destroy(r);
}
