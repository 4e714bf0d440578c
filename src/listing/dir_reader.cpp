// Directory reader: one folder handle, one batch buffer, entries consumed in
// place from the buffer.
#include "listing/dir_reader.h"

#include <cstddef>
#include <cstring>

#include "base/memory.h"
#include "base/unicode.h"
#include "fs/native.h"
#include "fs/path.h"
#include "platform/conventions.h"

namespace {

// Every entry format starts with the next-entry offset and keeps the name
// length in bytes where the plain format does; the name itself follows the
// fixed part.
constexpr uint32_t kNextOffsetAt = offsetof(FILE_DIRECTORY_INFORMATION, NextEntryOffset);
constexpr uint32_t kNameLengthAt = offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength);
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, NextEntryOffset) == kNextOffsetAt &&
              offsetof(FILE_ID_EXTD_DIR_INFORMATION, NextEntryOffset) == kNextOffsetAt);
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, FileNameLength) == kNameLengthAt &&
              offsetof(FILE_ID_EXTD_DIR_INFORMATION, FileNameLength) == kNameLengthAt);

uint32_t read_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint64_t entry_size(const uint8_t* entry, uint32_t fixed) { return uint64_t{fixed} + read_u32(entry + kNameLengthAt); }

uint64_t name_to_utf8(const uint8_t* entry, uint32_t fixed, char* name, uint64_t capacity) {
  const uint64_t units = read_u32(entry + kNameLengthAt) / sizeof(wchar16);
  // The name need not be aligned for wchar16 in every format; copy it out.
  wchar16 wide[kDirNameBytes / 2];
  const uint64_t take = units < kDirNameBytes / 2 ? units : kDirNameBytes / 2;
  std::memcpy(wide, entry + fixed, take * sizeof(wchar16));
  const uint64_t needed = utf16_to_utf8(name, capacity, wide, take);
  // A name that did not fit was cut on a whole code point.
  return needed < capacity ? needed : str_len_bounded(name, capacity);
}

constexpr DirFormatOps kFormats[] = {
    {kDirClassIdExtended, kSystemKeepsPosixModes ? kLinuxDirNameAt : offsetof(FILE_ID_EXTD_DIR_INFORMATION, FileName),
     entry_size, name_to_utf8,
     file_info_from_dir_entry},
    {kDirClassIdFull, offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName), entry_size, name_to_utf8,
     file_info_from_dir_entry},
    {kDirClassPlain, offsetof(FILE_DIRECTORY_INFORMATION, FileName), entry_size, name_to_utf8,
     file_info_from_dir_entry},
};

void reader_destroy(DirReader* self);
Error reader_next(DirReader* self, const char** path, uint64_t* name_offset, const FileInfo** info);

constexpr DirReaderOps kReaderOps = {reader_destroy, reader_next};

void reader_destroy(DirReader* self) {
  if (!self) return;
  native_close(self->handle);
  block_free(self->path, self->path_capacity);
  block_free(self, sizeof(DirReader));
}

Error query_batch(DirReader* self, const DirFormatOps* format) {
  self->format = format->info_class;
  self->fixed = format->fixed;
  self->format_ops = format;
  return native_query_directory(self->handle, format->info_class, nullptr, false, false, self->query, kDirQueryBytes);
}

// The next raw entry of the folder, fetching a batch when the current one is
// used up. The first batch chooses the format for the rest of the folder.
Error read_raw_entry(DirReader* self, const uint8_t** out) {
  *out = nullptr;
  for (int fetched = 0;; ++fetched) {
    if (self->cursor + self->fixed <= self->end) {
      const uint8_t* e = self->query + self->cursor;
      const uint64_t size = self->format_ops->entry_size(e, self->fixed);
      if (self->cursor + size <= self->end) {
        const uint32_t next = read_u32(e + kNextOffsetAt);
        self->cursor = next != 0 ? self->cursor + next : self->end;
        *out = e;
        return err::ok;
      }
      if (fetched) return err::no_more_files;  // an entry larger than the batch
    } else if (fetched) {
      return err::no_more_files;
    }
    self->cursor = self->end = 0;
    Error e;
    if (self->format == 0) {
      e = query_batch(self, &kFormats[0]);
      if (e != err::ok) e = query_batch(self, &kFormats[1]);
      if (e != err::ok) e = query_batch(self, &kFormats[2]);
    } else {
      e = native_query_directory(self->handle, self->format, nullptr, false, false, self->query, kDirQueryBytes);
    }
    if (e != err::ok) return e;
    self->end = sizeof self->query;
  }
}

// True when the raw name cannot be a plain name within its folder: empty, or
// holding a separator or a NUL.
bool name_is_refused(const uint8_t* entry, uint32_t fixed) {
  const uint64_t units = read_u32(entry + kNameLengthAt) / sizeof(wchar16);
  if (units == 0) return true;
  for (uint64_t i = 0; i < units; ++i) {
    wchar16 c;
    std::memcpy(&c, entry + fixed + i * sizeof c, sizeof c);
    if (c == 0 || is_path_separator(c)) return true;
  }
  return false;
}

bool is_dot_name(const char* name, uint64_t length) {
  return (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.');
}

Error reader_next(DirReader* self, const char** path, uint64_t* name_offset, const FileInfo** info) {
  if (path) *path = nullptr;
  if (name_offset) *name_offset = 0;
  if (info) *info = nullptr;

  const uint8_t* entry;
  uint64_t name_length;
  for (;;) {
    const Error e = read_raw_entry(self, &entry);
    if (e != err::ok) return e;
    if (name_is_refused(entry, self->fixed)) {
      if (self->refused++ == 0)
        self->format_ops->name_to_utf8(entry, self->fixed, self->refused_name, sizeof self->refused_name);
      continue;
    }
    name_length = self->format_ops->name_to_utf8(entry, self->fixed, self->name, sizeof self->name);
    if (!is_dot_name(self->name, name_length)) break;
  }

  const uint64_t need = self->folder_length + name_length;
  if (need >= self->path_capacity) {
    const uint64_t capacity = need + need * 5 / 4 + 50;
    char* grown = static_cast<char*>(block_alloc(capacity));
    if (!grown) return err::out_of_memory;
    std::memcpy(grown, self->path, self->folder_length);
    block_free(self->path, self->path_capacity);
    self->path = grown;
    self->path_capacity = capacity;
  }
  std::memcpy(self->path + self->folder_length, self->name, name_length);
  self->path[need] = 0;

  FileInfo* fi = &self->entry_info;
  *fi = FileInfo{};
  self->format_ops->fill(entry, self->format, fi);
  std::memcpy(fi->volume_id, self->folder_info.volume_id, sizeof fi->volume_id);
  fi->volume_serial = self->folder_info.volume_serial;
  file_info_finish(fi);

  if (info) {
    const FileInfo* chosen = fi;
    if (fi->is_link && !(self->flags & LIST_NO_FOLLOW_LINKS)) {
      if (self->flags & LIST_LINK_NO_INFO) {
        chosen = nullptr;
      } else if (file_info_from_path(self->path, &self->target_info) == err::ok) {
        self->target_info.is_link = 1;
        self->target_info.via_link = 1;
        chosen = &self->target_info;
      } else {
        fi->link_missing = 1;
      }
    }
    *info = chosen;
  }
  if (path) *path = self->path;
  if (name_offset) *name_offset = self->folder_length;
  return err::ok;
}

}  // namespace

Error native_query_directory(HANDLE handle, uint32_t info_class, const wchar16* pattern, bool single_entry,
                             bool restart, void* buffer, uint32_t size) {
  if (handle_is_none(handle)) return err::invalid_handle;
  IO_STATUS_BLOCK iosb{};
  UNICODE_STRING mask{};
  if (pattern) {
    const size_t units = wide_len(pattern);
    if (units > 0x7FFF) return err::invalid_parameter;  // longer than a counted string holds
    const uint16_t bytes = static_cast<uint16_t>(units * sizeof(wchar16));
    mask.Length = bytes;
    mask.MaximumLength = bytes;
    mask.Buffer = const_cast<wchar16*>(pattern);
  }
  const NTSTATUS st = sys::NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, size,
                                                static_cast<FILE_INFORMATION_CLASS>(info_class),
                                                single_entry ? TRUE : FALSE, pattern ? &mask : nullptr,
                                                restart ? TRUE : FALSE);
  if (st != 0) return sys::RtlNtStatusToDosError(st);
  if (iosb.Status != 0) return sys::RtlNtStatusToDosError(iosb.Status);
  return err::ok;
}

namespace {

// The reader record with its path buffer holding the folder path and a
// separator; the folder is not open yet. `resolve`: the path is made
// absolute and canonical first (a listed subfolder's path already is).
Error reader_make(DirReader** out, const char* folder_path, uint32_t flags, bool resolve);

// True when the opened folder `h` is the listed entry: not a link, and the
// same file when the listing knew its id. Ids are compared in the listing's
// width: where the listing had only 64-bit ids and the open gave a 128-bit
// one (ReFS, also behind a share), the open's own 64-bit id is compared.
bool is_listed_folder(HANDLE h, const FileInfo* opened, const FileInfo* listed) {
  if (opened->is_link || !opened->is_dir) return false;
  if (!listed || (listed->file_id[0] | listed->file_id[1]) == 0) return true;
  if (opened->volume_serial != listed->volume_serial) return false;
  if (listed->file_id[1] == 0 && opened->file_id[1] != 0) {
    FILE_INTERNAL_INFORMATION internal{};
    return native_query_info(h, kFileInfoInternal, &internal, sizeof internal) == err::ok &&
           static_cast<uint64_t>(internal.IndexNumber.QuadPart) == listed->file_id[0];
  }
  return opened->file_id[0] == listed->file_id[0] && opened->file_id[1] == listed->file_id[1];
}

}  // namespace

Error dir_reader_open(DirReader** out, const char* folder_path, uint32_t flags) {
  Error e = reader_make(out, folder_path, flags, true);
  if (e != err::ok) return e;
  DirReader* r = *out;
  e = native_open(r->path, kOpenListFolder, &r->handle);
  if (e == err::ok) e = file_info_from_handle(r->handle, &r->folder_info);
  if (e != err::ok) {
    reader_destroy(r);
    *out = nullptr;
  }
  return e;
}

Error dir_reader_open_at(DirReader** out, HANDLE parent, const char* folder_path, uint64_t name_offset,
                         const FileInfo* listed, uint32_t flags) {
  Error e = reader_make(out, folder_path, flags, false);
  if (e != err::ok) return e;
  DirReader* r = *out;
  const char* name = folder_path + name_offset;
  e = native_open_relative(parent, name, kOpenListSubfolder, &r->handle);
  if (e == err::ok) e = file_info_from_handle(r->handle, &r->folder_info);
  if (e == err::ok && !is_listed_folder(r->handle, &r->folder_info, listed)) e = err::path_not_found;
  // Opened as itself, a mount point or a folder kept by a file system filter
  // (cloud files, projections) is only its own place holder: the folder it
  // stands for is opened through it, by the same name in the same parent.
  if (e == err::ok && file_info_enters_through(r->handle, &r->folder_info)) {
    native_close(r->handle);
    e = native_open_relative(parent, name, kOpenListFolder, &r->handle);
    if (e == err::ok) e = file_info_from_handle(r->handle, &r->folder_info);
    if (e == err::ok && (r->folder_info.is_link || !r->folder_info.is_dir)) e = err::path_not_found;
  }
  if (e != err::ok) {
    reader_destroy(r);
    *out = nullptr;
  }
  return e;
}

namespace {

Error reader_make(DirReader** out, const char* folder_path, uint32_t flags, bool resolve) {
  *out = nullptr;
  auto* r = static_cast<DirReader*>(block_alloc(sizeof(DirReader)));
  if (!r) return err::out_of_memory;
  std::memset(r, 0, offsetof(DirReader, query));
  r->ops = &kReaderOps;
  r->flags = flags;
  r->handle = INVALID_HANDLE_VALUE;
  r->fixed = 1;

  {
    ScopedPool scratch;
    const char* resolved = resolve ? path_resolve(scratch.get(), nullptr, folder_path) : folder_path;
    if (!resolved) {
      reader_destroy(r);
      return err::invalid_name;
    }
    const uint64_t length = str_len(resolved);
    const uint64_t capacity = length + (length + 5) / 4 + 50;
    r->path = static_cast<char*>(block_alloc(capacity));
    if (!r->path) {
      reader_destroy(r);
      return err::out_of_memory;
    }
    r->path_capacity = capacity;
    std::memcpy(r->path, resolved, length);
    uint64_t folder_length = length;
    if (length != 0 && resolved[length - 1] != '\\' && resolved[length - 1] != '/') r->path[folder_length++] = '\\';
    r->path[folder_length] = 0;
    r->folder_length = folder_length;
  }
  *out = r;
  return err::ok;
}

}  // namespace
