// Operations on single entries, each a short sequence of native opens and
// information calls with a fixed open profile.
#include "fs/file_ops.h"

#include <cstddef>
#include <cstring>

#include "base/memory.h"
#include "base/unicode.h"
#include "fs/native.h"

static_assert(sizeof(FILE_BASIC_INFORMATION) == 40, "basic-information record");

namespace {

constexpr int64_t kTimeUnchanged = -1;
constexpr uint32_t kReparseSmall = 328;
constexpr uint32_t kReparseLarge = 16384;

// A basic-information record that changes only what is given: times of -1
// are left alone, an attribute word of 0 leaves the attributes.
FILE_BASIC_INFORMATION basic_record(int64_t write_time, uint32_t attributes) {
  FILE_BASIC_INFORMATION b{};
  b.CreationTime.QuadPart = kTimeUnchanged;
  b.LastAccessTime.QuadPart = kTimeUnchanged;
  b.LastWriteTime.QuadPart = write_time;
  b.ChangeTime.QuadPart = kTimeUnchanged;
  b.FileAttributes = attributes;
  return b;
}

Error set_attributes(HANDLE h, uint32_t attributes) {
  const FILE_BASIC_INFORMATION b = basic_record(kTimeUnchanged, attributes ? attributes : FA_NORMAL);
  return native_set_info(h, kFileInfoBasic, &b, sizeof b);
}

Error mark_for_deletion(HANDLE h) {
  const uint8_t yes = 1;
  return native_set_info(h, kFileInfoDisposition, &yes, sizeof yes);
}

// The reparse tag of an open entry, or 0 when its reparse data cannot be read.
uint32_t reparse_tag(HANDLE h) {
  alignas(8) uint8_t small[kReparseSmall];
  uint32_t tag = 0;
  if (native_fs_control(h, kFsctlGetReparsePoint, nullptr, 0, small, sizeof small) == err::ok) {
    std::memcpy(&tag, small, sizeof tag);
    return tag;
  }
  ScopedPool scratch;
  void* large = pool_allocate(scratch.get(), kReparseLarge);
  if (large && native_fs_control(h, kFsctlGetReparsePoint, nullptr, 0, large, kReparseLarge) == err::ok)
    std::memcpy(&tag, large, sizeof tag);
  return tag;
}

// Hands the handle out or closes it.
Error hand_out(HANDLE* out, HANDLE h, Error e) {
  if (out)
    *out = h;
  else
    native_close(h);
  return e;
}

}  // namespace

int64_t filetime_to_unix(uint64_t file_time) {
  if (file_time == UINT64_MAX) return -1;
  if (file_time == 0) return 0;
  return static_cast<int64_t>(file_time / kTicksPerSecond) - kUnixEpochSeconds;
}

Error path_check(const char* path) {
  if (!path) return err::out_of_memory;
  if (*path == 0) return err::invalid_name;
  return err::ok;
}

Error file_probe(const char* path, uint8_t* is_folder) {
  if (is_folder) *is_folder = 0;
  Error e = path_check(path);
  if (e != err::ok) return e;
  ScopedHandle h;
  e = native_open(path, kOpenProbe, h.out());
  if (e == err::ok && is_folder) {
    FILE_STANDARD_INFORMATION standard{};
    e = native_query_info(h.get(), kFileInfoStandard, &standard, sizeof standard);
    if (e == err::ok) *is_folder = standard.Directory;
  }
  return e;
}

Error folder_create(const char* path) {
  Error e = path_check(path);
  if (e != err::ok) return e;
  ScopedHandle h;
  return native_open(path, kOpenCreateFolder, h.out());
}

Error file_create(HANDLE* handle, const char* path, uint32_t flags) {
  HANDLE h = INVALID_HANDLE_VALUE;
  Error e = path_check(path);
  if (e == err::ok) e = native_file_create(path, flags, &h);
  return hand_out(handle, h, e);
}

Error file_open(HANDLE* handle, const char* path, uint32_t flags) {
  HANDLE h = INVALID_HANDLE_VALUE;
  Error e = path_check(path);
  if (e == err::ok) e = native_file_open(path, flags, &h);
  return hand_out(handle, h, e);
}

namespace {

// Marks an entry opened for deletion. First with the extended disposition:
// the name goes when the handle closes even while others (a virus scanner,
// an indexer) still hold the file, and read-only is no obstacle. Where the
// system or the volume refuses that, the classic disposition: protective
// attributes are cleared first when asked, or when the entry refuses; an
// entry that stays gets its attributes back.
Error delete_open_entry(HANDLE h, bool clear_protect) {
  const FILE_DISPOSITION_INFORMATION_EX ex{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                                           DISPOSITION_IGNORE_READONLY};
  const Error first = native_set_info(h, kFileInfoDispositionEx, &ex, sizeof ex);
  if (first == err::ok || first == err::dir_not_empty) return first;
  constexpr uint32_t kProtect = FA_READONLY | FA_HIDDEN | FA_SYSTEM;
  FILE_BASIC_INFORMATION was{};
  const bool known = native_query_info(h, kFileInfoBasic, &was, sizeof was) == err::ok;
  bool cleared = clear_protect && known && (was.FileAttributes & kProtect) &&
                 set_attributes(h, was.FileAttributes & ~kProtect) == err::ok;
  Error e = mark_for_deletion(h);
  if (e == err::access_denied && known && !cleared && set_attributes(h, FA_NORMAL) == err::ok) {
    cleared = true;
    e = mark_for_deletion(h);
  }
  if (e != err::ok && cleared) set_attributes(h, was.FileAttributes);
  return e;
}

}  // namespace

Error entry_delete(const char* path) {
  Error e = path_check(path);
  if (e != err::ok) return e;
  ScopedHandle h;
  e = native_open(path, kOpenDeleteEntry, h.out());
  return e != err::ok ? e : delete_open_entry(h.get(), false);
}

namespace {

// The file id of an open entry in the form a listing gives it, and whether
// it is a symbolic link. Two small queries: the full record costs some
// systems a read of the file's data.
Error identity_of(HANDLE h, uint64_t id[2], bool* link) {
  constexpr uint32_t kFileInfoInternal = 6;
  id[0] = id[1] = 0;
  FILE_ATTRIBUTE_TAG_INFORMATION tag{};
  Error e = native_query_info(h, kFileInfoAttributeTag, &tag, sizeof tag);
  if (e != err::ok) return e;
  *link = (tag.FileAttributes & FA_REPARSE_POINT) && tag.ReparseTag == REPARSE_TAG_SYMLINK;
  FILE_ID_INFORMATION full{};
  if (native_query_info(h, kFileInfoId, &full, sizeof full) == err::ok) {
    std::memcpy(id, full.FileId.Identifier, 2 * sizeof id[0]);
    return err::ok;
  }
  return native_query_info(h, kFileInfoInternal, &id[0], sizeof id[0]);
}

// Opens `name` of the open folder and checks that it is still the listed
// entry: the same file id when the listing knew it, and a link only if it
// was listed as one.
Error open_listed(HANDLE folder, const char* name, const FileInfo* listed, const OpenProfile& p, HANDLE* out) {
  ScopedHandle h;
  Error e = native_open_relative(folder, name, p, h.out());
  if (e != err::ok) return e;
  if (listed) {
    uint64_t id[2];
    bool link = false;
    e = identity_of(h.get(), id, &link);
    if (e != err::ok) return e;
    const bool known = (listed->file_id[0] | listed->file_id[1]) != 0;
    if ((known && (id[0] != listed->file_id[0] || id[1] != listed->file_id[1])) || (link && !listed->is_link))
      return err::file_not_found;
  }
  *out = h.release();
  return err::ok;
}

}  // namespace

Error entry_remove_at(HANDLE folder, const char* name, const FileInfo* listed) {
  ScopedHandle h;
  const Error e = open_listed(folder, name, listed, kOpenDeleteEntry, h.out());
  return e != err::ok ? e : delete_open_entry(h.get(), true);
}

Error file_open_at(HANDLE* handle, HANDLE folder, const char* name, const FileInfo* listed) {
  *handle = INVALID_HANDLE_VALUE;
  // A link put in the file's place is followed on Windows, but then the
  // opened file is not the listed one.
  return open_listed(folder, name, listed, file_open_profile(FOPEN_READ), handle);
}

Error attr_clear_protect(const char* path, const FileInfo* info) {
  uint32_t word;
  if (info) {
    word = info->sys_attr;
  } else {
    FileInfo fi;
    const Error e = file_info_from_path(path, &fi);
    if (e != err::ok) return e;
    word = fi.sys_attr;
  }
  constexpr uint32_t kProtect = FA_READONLY | FA_HIDDEN | FA_SYSTEM;
  if (!(word & kProtect)) return err::ok;
  return attr_set(path, word & ~kProtect);
}

Error attr_set(const char* path, uint32_t attributes) {
  Error e = path_check(path);
  if (e != err::ok) return e;
  ScopedHandle h;
  e = native_open(path, kOpenSetAttributes, h.out());
  if (e != err::ok) return e;
  return set_attributes(h.get(), attributes);
}

Error write_time_set(HANDLE h, uint64_t file_time) {
  if (handle_is_none(h)) return err::invalid_handle;
  const FILE_BASIC_INFORMATION b = basic_record(static_cast<int64_t>(write_time_kept(file_time)), 0);
  return native_set_info(h, kFileInfoBasic, &b, sizeof b);
}

uint32_t attr_update_word(uint32_t current, uint32_t keep, uint32_t set) {
  uint32_t word = current;
  constexpr uint32_t kBits[] = {FA_READONLY, FA_HIDDEN, FA_SYSTEM, FA_ARCHIVE};
  for (uint32_t bit : kBits) {
    if (!(keep & bit)) word &= ~bit;
    if (set & bit) word |= bit;
  }
  if (!(current & FA_DIRECTORY)) {
    const bool indexed_now = !(current & FA_NOT_CONTENT_INDEXED);
    const bool indexed = (set & ATTR_CONTENT_INDEXED) || ((keep & ATTR_CONTENT_INDEXED) && indexed_now);
    word = indexed ? word & ~FA_NOT_CONTENT_INDEXED : word | FA_NOT_CONTENT_INDEXED;
  }
  return word;
}

Error attr_update_handle(HANDLE h, uint32_t keep, uint32_t set) {
  uint32_t current = 0;
  Error e = err::invalid_handle;
  if (!handle_is_none(h)) {
    FILE_BASIC_INFORMATION b{};
    e = native_query_info(h, kFileInfoBasic, &b, sizeof b);
    current = b.FileAttributes == FA_NORMAL ? 0 : b.FileAttributes;
  }

  uint32_t word = attr_update_word(current, keep, set);
  // Links and mount points keep their content-indexed state.
  if (((word ^ current) & FA_NOT_CONTENT_INDEXED) && (current & FA_REPARSE_POINT) && !handle_is_none(h)) {
    const uint32_t tag = reparse_tag(h);
    if (tag == REPARSE_TAG_MOUNT_POINT || tag == REPARSE_TAG_SYMLINK)
      word = (word & ~FA_NOT_CONTENT_INDEXED) | (current & FA_NOT_CONTENT_INDEXED);
  }

  if (e == err::ok && word != current) return set_attributes(h, word);
  return e;
}

Error mode_copy(HANDLE from, HANDLE to) {
  if (!kSystemKeepsPosixModes) return err::ok;
  FILE_POSIX_MODE mode{};
  const Error e = native_query_mode(from, &mode);
  return e == err::ok ? native_set_mode(to, &mode) : e;
}

namespace {

// Whether modes the listings read already agree, so no open is needed: the
// same owner and group, and the same bits unless the target is a link (whose
// own bits never change).
bool modes_agree(const FileInfo* from_info, const FileInfo* to_info) {
  return from_info && to_info && from_info->posix_mode != 0 && to_info->posix_mode != 0 &&
         from_info->owner == to_info->owner && from_info->group == to_info->group &&
         (to_info->is_link || ((from_info->posix_mode ^ to_info->posix_mode) & 07777) == 0);
}

// The write time of the open entry; 0 when it cannot be read.
uint64_t write_time_of(HANDLE h) {
  FILE_BASIC_INFORMATION b{};
  return native_query_info(h, kFileInfoBasic, &b, sizeof b) == err::ok ? static_cast<uint64_t>(b.LastWriteTime.QuadPart)
                                                                        : 0;
}

// Gives the open entry the write time `time` unless it has it already (a
// folder's or a link's own: set on a link itself, never through it).
void write_time_keep(HANDLE h, uint64_t time) {
  if (time != 0 && write_time_of(h) != write_time_kept(time)) write_time_set(h, time);
}

// Opens both entries as themselves and applies `copy` to them.
Error copy_between_paths(const char* from, const char* to, Error (*copy)(HANDLE, HANDLE)) {
  ScopedHandle source;
  ScopedHandle target;
  Error e = native_open(from, kOpenReadLink, source.out());
  if (e == err::ok) e = native_open(to, kOpenReadLink, target.out());
  return e == err::ok ? copy(source.get(), target.get()) : e;
}

// The same for two entries named within open folders.
Error copy_between_names(HANDLE from_folder, const char* from, HANDLE to_folder, const char* to,
                         Error (*copy)(HANDLE, HANDLE)) {
  ScopedHandle source;
  ScopedHandle target;
  Error e = native_open_relative(from_folder, from, kOpenReadLink, source.out());
  if (e == err::ok) e = native_open_relative(to_folder, to, kOpenReadLink, target.out());
  return e == err::ok ? copy(source.get(), target.get()) : e;
}

}  // namespace

Error mode_copy_path(const char* from, const char* to, WithTime time) {
  if (!kSystemKeepsPosixModes) return err::ok;
  ScopedHandle source;
  ScopedHandle target;
  Error e = native_open(from, kOpenReadLink, source.out());
  if (e == err::ok) e = native_open(to, kOpenSetAttributes, target.out());
  if (e == err::ok && time == WithTime::yes) write_time_keep(target.get(), write_time_of(source.get()));
  return e == err::ok ? mode_copy(source.get(), target.get()) : e;
}

Error xattr_copy(HANDLE from, HANDLE to) {
  if (!kSystemKeepsXattrs) return err::ok;
  return native_copy_xattrs(from, to);
}

Error xattr_copy_path(const char* from, const char* to) {
  if (!kSystemKeepsXattrs) return err::ok;
  return copy_between_paths(from, to, xattr_copy);
}

Error xattr_copy_at(HANDLE from_folder, const char* from, HANDLE to_folder, const char* to) {
  if (!kSystemKeepsXattrs) return err::ok;
  return copy_between_names(from_folder, from, to_folder, to, xattr_copy);
}

Error xattr_copy_to(const char* from, HANDLE to_folder, const char* to) {
  if (!kSystemKeepsXattrs) return err::ok;
  ScopedHandle source;
  ScopedHandle target;
  Error e = native_open(from, kOpenReadLink, source.out());
  if (e == err::ok) e = native_open_relative(to_folder, to, kOpenReadLink, target.out());
  return e == err::ok ? xattr_copy(source.get(), target.get()) : e;
}

// ---- Entries of the target, each by name within its open folder.

Error folder_open_at(HANDLE* handle, HANDLE folder, const char* name) {
  *handle = INVALID_HANDLE_VALUE;
  ScopedHandle h;
  Error e = native_open_relative(folder, name, kOpenListSubfolder, h.out());
  if (e != err::ok) return e;
  FileInfo fi{};
  e = file_info_from_handle(h.get(), &fi);
  if (e != err::ok) return e;
  // A link in a folder's place leads elsewhere: never entered.
  if (fi.is_link || !fi.is_dir) return err::path_not_found;
  // A mount point (or a folder a file system filter keeps) is entered like a
  // folder: what it leads to is opened.
  if (file_info_enters_through(h.get(), &fi)) {
    h.close();
    e = native_open_relative(folder, name, kOpenListFolder, h.out());
    if (e != err::ok) return e;
  }
  *handle = h.release();
  return err::ok;
}

Error folder_create_at(HANDLE folder, const char* name) {
  ScopedHandle h;
  return native_open_relative(folder, name, kOpenCreateFolder, h.out());
}

Error file_create_at(HANDLE* handle, HANDLE folder, const char* name) {
  *handle = INVALID_HANDLE_VALUE;
  return native_open_relative(folder, name, file_create_profile(0), handle);
}

Error entry_delete_at(HANDLE folder, const char* name) {
  ScopedHandle h;
  const Error e = native_open_relative(folder, name, kOpenDeleteEntry, h.out());
  return e != err::ok ? e : delete_open_entry(h.get(), false);
}

namespace {

// Renames the open entry by the record: first the extended rename with
// POSIX semantics, which also replaces a file that others hold open (its
// flag word overlays the classic record's replace flag); where the system
// refuses it, the classic rename.
Error rename_open_entry(HANDLE h, FILE_RENAME_RECORD* record, uint32_t size) {
  constexpr uint32_t kReplaceIfExists = 0x1, kPosixSemantics = 0x2;
  const uint32_t flags = kReplaceIfExists | kPosixSemantics;
  std::memcpy(record, &flags, sizeof flags);
  if (native_set_info(h, kFileInfoRenameEx, record, size) == err::ok) return err::ok;
  std::memset(record, 0, sizeof flags);
  record->ReplaceIfExists = 1;
  return native_set_info(h, kFileInfoRename, record, size);
}

// The record that names `new_name` within `folder` (the layout of a rename
// and of a new link), in the pool; null with *e set for a name that is no
// single name, or when the pool is out of memory.
FILE_RENAME_RECORD* name_record(StringPool* pool, HANDLE folder, const char* new_name, uint32_t* size, Error* e) {
  const uint64_t units = utf8_to_utf16_measure(new_name);
  *e = err::invalid_name;
  if (units == 0 || units > kNtNameMaxUnits) return nullptr;
  for (const char* c = new_name; *c; ++c)
    if (is_path_separator(*c)) return nullptr;
  *size = static_cast<uint32_t>(offsetof(FILE_RENAME_RECORD, FileName) + (units + 1) * 2);
  auto* record = static_cast<FILE_RENAME_RECORD*>(pool_allocate(pool, *size));
  *e = record == nullptr ? err::out_of_memory : err::ok;
  if (record == nullptr) return nullptr;
  record->RootDirectory = folder;
  record->FileNameLength = static_cast<uint32_t>(units * 2);
  utf8_to_utf16(reinterpret_cast<wchar16*>(record->FileName), units + 1, new_name);
  return record;
}

}  // namespace

Error file_link_at(HANDLE file, HANDLE folder, const char* name) {
  ScopedPool scratch;
  uint32_t size = 0;
  Error e = err::ok;
  const FILE_RENAME_RECORD* record = name_record(scratch.get(), folder, name, &size, &e);
  return record == nullptr ? e : native_set_info(file, kFileInfoLink, record, size);
}

Error file_rename_over_at(HANDLE folder, const char* name, const char* new_name) {
  ScopedPool scratch;
  uint32_t size = 0;
  Error e = err::ok;
  FILE_RENAME_RECORD* record = name_record(scratch.get(), folder, new_name, &size, &e);
  if (record == nullptr) return e;
  ScopedHandle h;
  e = native_open_relative(folder, name, kOpenRenameEntry, h.out());
  if (e != err::ok) return e;
  e = rename_open_entry(h.get(), record, size);
  // A network share takes no root folder in a rename: there the bare name
  // with no root renames within the entry's own folder.
  if (e == err::invalid_parameter || e == err::not_supported) {
    record->RootDirectory = nullptr;
    e = rename_open_entry(h.get(), record, size);
  }
  return e;
}

Error attr_set_at(HANDLE folder, const char* name, uint32_t attributes) {
  ScopedHandle h;
  const Error e = native_open_relative(folder, name, kOpenSetAttributes, h.out());
  return e != err::ok ? e : set_attributes(h.get(), attributes);
}

Error mode_copy_at(HANDLE from_folder, const char* from, HANDLE to_folder, const char* to, const FileInfo* from_info,
                   const FileInfo* to_info, WithTime time) {
  if (!kSystemKeepsPosixModes) return err::ok;
  const bool agree = modes_agree(from_info, to_info);
  if (agree && time == WithTime::no) return err::ok;
  // A link has no contents to change its time since it was listed: a
  // listed time that agrees needs no open.
  if (agree && from_info != nullptr && to_info != nullptr && to_info->is_link &&
      to_info->write_time == write_time_kept(from_info->write_time))
    return err::ok;
  ScopedHandle source;
  ScopedHandle target;
  Error e = agree ? err::ok : native_open_relative(from_folder, from, kOpenReadLink, source.out());
  if (e == err::ok) e = native_open_relative(to_folder, to, kOpenSetAttributes, target.out());
  // A folder's time as it is now, not as listed: its contents may have
  // changed it since.
  if (e == err::ok && time == WithTime::yes)
    write_time_keep(target.get(), from_info ? from_info->write_time : write_time_of(source.get()));
  return e == err::ok && !agree ? mode_copy(source.get(), target.get()) : e;
}

Error mode_set_at(HANDLE folder, const char* name, const FileInfo* from) {
  if (!kSystemKeepsPosixModes) return err::ok;
  ScopedHandle target;
  const Error e = native_open_relative(folder, name, kOpenSetAttributes, target.out());
  if (e != err::ok) return e;
  write_time_keep(target.get(), from->write_time);
  const FILE_POSIX_MODE mode{from->posix_mode, from->owner, from->group, 0, 0};
  return from->posix_mode != 0 ? native_set_mode(target.get(), &mode) : err::ok;
}
