// Linux file calls: information queries and sets, volume and object names.
#include "platform/posix/file_state.h"

#include "platform/posix/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstddef>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

using namespace posix_file;

NTSTATUS NtQueryInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                FILE_INFORMATION_CLASS info_class) {
  const int fd = handle_fd(handle);
  if (fd < 0) return STATUS_INVALID_HANDLE;
  const PosixFile* f = file_state(fd);
  // The identity of an open entry never changes: kept, it needs no status.
  if (info_class == FileInternalInformation || info_class == FileIdInformation) {
    const size_t size = info_class == FileIdInformation ? sizeof(FILE_ID_INFORMATION) : sizeof(FILE_INTERNAL_INFORMATION);
    if (length < size) return STATUS_INFO_LENGTH_MISMATCH;
    dev_t dev;
    ino_t ino;
    if (!identity_of(fd, f, &dev, &ino)) return status_from_errno(errno);
    if (info_class == FileInternalInformation) {
      static_cast<FILE_INTERNAL_INFORMATION*>(buffer)->IndexNumber.QuadPart = static_cast<LONGLONG>(ino);
    } else {
      auto* id = static_cast<FILE_ID_INFORMATION*>(buffer);
      std::memset(id, 0, sizeof *id);
      id->VolumeSerialNumber = dev;
      const uint64_t number = ino;
      std::memcpy(id->FileId.Identifier, &number, sizeof number);
    }
    return done(io, STATUS_SUCCESS, size);
  }
  struct stat st;
  if (!stat_of(fd, f, &st)) return status_from_errno(errno);
  const uint32_t attrs = attributes_of(st, f && f->is_link);
  constexpr ACCESS_MASK kReadAttributes = 0x80;
  const bool attributes = info_class == FileBasicInformation || info_class == FileAttributeTagInformation ||
                          info_class == FileAllInformation;
  const NTSTATUS allowed = access_check(f, attributes ? kReadAttributes : 0);
  if (allowed != STATUS_SUCCESS) return allowed;
  auto need = [&](size_t n) { return length >= n; };
  switch (info_class) {
    case FileBasicInformation: {
      if (!need(sizeof(FILE_BASIC_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      fill_basic(static_cast<FILE_BASIC_INFORMATION*>(buffer), st, attrs);
      return done(io, STATUS_SUCCESS, sizeof(FILE_BASIC_INFORMATION));
    }
    case FileStandardInformation: {
      if (!need(sizeof(FILE_STANDARD_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      fill_standard(static_cast<FILE_STANDARD_INFORMATION*>(buffer), st, f);
      return done(io, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
    }
    case FileAttributeTagInformation: {
      if (!need(sizeof(FILE_ATTRIBUTE_TAG_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      auto* t = static_cast<FILE_ATTRIBUTE_TAG_INFORMATION*>(buffer);
      t->FileAttributes = attrs;
      t->ReparseTag = f && f->is_link ? kTagSymlink : 0;
      return done(io, STATUS_SUCCESS, sizeof(FILE_ATTRIBUTE_TAG_INFORMATION));
    }
    case FileAllInformation: {
      constexpr size_t fixed = offsetof(FILE_ALL_INFORMATION, NameInformation.FileName);
      if (!need(fixed)) return STATUS_INFO_LENGTH_MISMATCH;
      auto* all = static_cast<FILE_ALL_INFORMATION*>(buffer);
      std::memset(all, 0, fixed);
      fill_basic(&all->BasicInformation, st, attrs);
      fill_standard(&all->StandardInformation, st, f);
      all->InternalInformation.IndexNumber.QuadPart = static_cast<LONGLONG>(st.st_ino);
      WCHAR name[kPathMax];
      size_t units = f ? posix_units_from_utf8(f->path, name, kPathMax) : 0;
      if (units > kPathMax) units = kPathMax;
      all->NameInformation.FileNameLength = static_cast<ULONG>(units * 2);
      const size_t room = (length - fixed) / 2;
      const size_t copy = units < room ? units : room;
      std::memcpy(all->NameInformation.FileName, name, copy * 2);
      if (copy < units) return done(io, STATUS_BUFFER_OVERFLOW, length);
      return done(io, STATUS_SUCCESS, fixed + units * 2);
    }
    default:
      return STATUS_INVALID_INFO_CLASS;
  }
}

// Marks the open entry deleted: removed from its folder at once.
// A rename's new name without any separator: a name in the same folder.
static bool is_bare_name(const WCHAR* name, size_t units) {
  for (size_t i = 0; i < units; ++i)
    if (name[i] == u'\\' || name[i] == u'/') return false;
  return true;
}

// The path of `name` beside the entry at `path` (its folder's path, a
// separator and the name), in `out`; false when it does not fit. An entry
// kept with no path gives none.
static bool sibling_path(const char* path, const char* name, char* out, size_t size) {
  if (*path == 0) {
    out[0] = 0;
    return true;
  }
  const char* slash = std::strrchr(path, '/');
  const size_t folder = slash ? static_cast<size_t>(slash - path) + 1 : 0;
  const size_t length = std::strlen(name);
  if (folder + length + 1 > size || length >= kPathMax) return false;
  char copy[kPathMax];
  std::memcpy(copy, name, length + 1);  // name and out may be the same buffer
  std::memmove(out, path, folder);
  std::memcpy(out + folder, copy, length + 1);
  return true;
}

static NTSTATUS set_disposition(PIO_STATUS_BLOCK io, PosixFile* f, const struct stat& st, bool yes, bool ignore_readonly) {
  if (!f) return STATUS_INVALID_PARAMETER;
  if (!yes || f->delete_pending) return done(io, STATUS_SUCCESS, 0);
  if (!f->is_link) {
    if (f->is_dir && !f->name && !dir_is_empty(f->path)) return STATUS_DIRECTORY_NOT_EMPTY;
    // Windows refuses to delete a read-only entry unless told to ignore it.
    if (!(st.st_mode & S_IWUSR) && !ignore_readonly) return STATUS_CANNOT_DELETE;
  }
  if (f->name) {
    // Opened within a folder: removed there, and only while the name
    // still names this entry.
    struct stat named;
    if (libc::fstatat(f->parent_fd, f->name, &named, AT_SYMLINK_NOFOLLOW) != 0) return status_from_errno(errno);
    if (named.st_dev != st.st_dev || named.st_ino != st.st_ino) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (libc::unlinkat(f->parent_fd, f->name, f->is_dir ? AT_REMOVEDIR : 0) != 0) return status_from_errno(errno);
  } else if ((f->is_dir ? libc::rmdir(f->path) : libc::unlink(f->path)) != 0) {
    return status_from_errno(errno);
  }
  f->delete_pending = true;
  return done(io, STATUS_SUCCESS, 0);
}

NTSTATUS NtSetInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                              FILE_INFORMATION_CLASS info_class) {
  const int fd = handle_fd(handle);
  if (fd < 0) return STATUS_INVALID_HANDLE;
  PosixFile* f = file_state(fd);
  struct stat st;
  // A change of times alone needs no status of the entry.
  const bool times_only = info_class == FileBasicInformation && length >= sizeof(FILE_BASIC_INFORMATION) &&
                          static_cast<const FILE_BASIC_INFORMATION*>(buffer)->FileAttributes == 0;
  if (!times_only && !stat_of(fd, f, &st)) return status_from_errno(errno);
  // What each change needs: writing attributes, deleting, writing data.
  ACCESS_MASK needed = 0;
  switch (info_class) {
    case FileBasicInformation: needed = 0x100; break;
    case FileDispositionInformation:
    case FileDispositionInformationEx:
    case FileRenameInformationEx:
    case FileRenameInformation: needed = 0x10000; break;
    case FileEndOfFileInformation:
    case FileValidDataLengthInformation: needed = 0x2; break;
    default: break;
  }
  const NTSTATUS allowed = access_check(f, needed);
  if (allowed != STATUS_SUCCESS) return allowed;
  switch (info_class) {
    case FileBasicInformation: {
      if (length < sizeof(FILE_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      const auto* b = static_cast<const FILE_BASIC_INFORMATION*>(buffer);
      timespec times[2];
      auto put = [](timespec* t, LONGLONG v) {
        if (v == 0 || v == -1) {
          t->tv_sec = 0;
          t->tv_nsec = UTIME_OMIT;
        } else {
          int64_t nanoseconds = 0;
          t->tv_sec = static_cast<time_t>(unix_from_file_time(v, &nanoseconds));
          t->tv_nsec = static_cast<long>(nanoseconds);
        }
      };
      put(&times[0], b->LastAccessTime.QuadPart);
      put(&times[1], b->LastWriteTime.QuadPart);
      // A time kept unchanged goes with its present value beside the other:
      // some file systems (the FUSE exFAT driver) ignore a change that
      // leaves one of the two out.
      if ((times[0].tv_nsec == UTIME_OMIT) != (times[1].tv_nsec == UTIME_OMIT)) {
        if (times_only && !stat_of(fd, f, &st)) return status_from_errno(errno);
        if (times[0].tv_nsec == UTIME_OMIT) times[0] = st.st_atim;
        if (times[1].tv_nsec == UTIME_OMIT) times[1] = st.st_mtim;
      }
      if (times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) {
        // The descriptor itself where it can take the change; a link opened
        // as itself and a bare descriptor go by name.
        int r = f && f->is_link ? -1 : libc::futimens(fd, times);
        if (f && (f->is_link || (r != 0 && errno == EBADF)))
          r = libc::utimensat(f->name ? f->parent_fd : AT_FDCWD, f->name ? f->name : f->path, times,
                              f->is_link ? AT_SYMLINK_NOFOLLOW : 0);
        if (r != 0) return status_from_errno(errno);
      }
      if (b->FileAttributes != 0 && !(f && f->is_link)) {
        const mode_t mode = (b->FileAttributes & kAttrReadOnly) ? (st.st_mode & ~mode_t{0222}) : (st.st_mode | S_IWUSR);
        if ((mode & 07777) != (st.st_mode & 07777)) {
          const int r = !f ? libc::fchmod(fd, mode & 07777)
                        : f->name ? libc::fchmodat(f->parent_fd, f->name, mode & 07777, 0)
                                  : libc::chmod(f->path, mode & 07777);
          if (r != 0) return status_from_errno(errno);
        }
      }
      return done(io, STATUS_SUCCESS, 0);
    }
    case FileDispositionInformation:
      if (length < 1) return STATUS_INVALID_PARAMETER;
      return set_disposition(io, f, st, *static_cast<const BOOLEAN*>(buffer) != 0, false);
    case FileDispositionInformationEx: {
      // Deletion here is always at once, as POSIX semantics ask; closing
      // decides nothing.
      constexpr ULONG kDelete = 0x1, kPosix = 0x2, kIgnoreReadOnly = 0x10;
      if (length < sizeof(ULONG)) return STATUS_INFO_LENGTH_MISMATCH;
      ULONG flags;
      std::memcpy(&flags, buffer, sizeof flags);
      if (flags & ~(kDelete | kPosix | kIgnoreReadOnly)) return STATUS_INVALID_PARAMETER;
      return set_disposition(io, f, st, flags & kDelete, flags & kIgnoreReadOnly);
    }
    case FileRenameInformationEx:
    case FileRenameInformation: {
      const size_t fixed = offsetof(FILE_RENAME_RECORD, FileName);
      if (length < fixed || !f) return STATUS_INVALID_PARAMETER;
      const auto* r = static_cast<const FILE_RENAME_RECORD*>(buffer);
      // The extended record's flag word overlays the replace flag; a Linux
      // rename has POSIX semantics anyway.
      uint32_t ex_flags = 0;
      std::memcpy(&ex_flags, buffer, sizeof ex_flags);
      const bool replace = info_class == FileRenameInformationEx ? (ex_flags & 1) != 0 : r->ReplaceIfExists != 0;
      if (r->FileNameLength > length - fixed) return STATUS_INVALID_PARAMETER;
      // A new name within a root folder is a name there (no separator),
      // reached without walking a path; otherwise a full native name.
      int to_fd = AT_FDCWD;
      const PosixFile* root = nullptr;
      bool same_folder = false;  // renamed within the folder it was opened in
      char to[kPathMax];
      if (r->RootDirectory) {
        to_fd = handle_fd(r->RootDirectory);
        root = to_fd >= 0 ? file_state(to_fd) : nullptr;
        if (!root || !root->is_dir) return STATUS_INVALID_HANDLE;
        size_t n = 0;
        if (!posix_bytes_from_units(r->FileName, r->FileNameLength / 2, to, sizeof to, &n)) return STATUS_NAME_TOO_LONG;
        if (n == 0 || std::strchr(to, '/') || std::strcmp(to, ".") == 0 || std::strcmp(to, "..") == 0)
          return STATUS_OBJECT_NAME_INVALID;
      } else if (is_bare_name(r->FileName, r->FileNameLength / 2)) {
        // No root and a bare name: a new name in the entry's own folder.
        size_t n = 0;
        if (!posix_bytes_from_units(r->FileName, r->FileNameLength / 2, to, sizeof to, &n)) return STATUS_NAME_TOO_LONG;
        if (n == 0 || std::strcmp(to, ".") == 0 || std::strcmp(to, "..") == 0) return STATUS_OBJECT_NAME_INVALID;
        if (f->name) {
          to_fd = f->parent_fd;
          same_folder = true;
        } else if (!sibling_path(f->path, to, to, sizeof to)) {
          return STATUS_NAME_TOO_LONG;
        } else if (to[0] == 0) {
          return STATUS_OBJECT_PATH_NOT_FOUND;
        }
      } else {
        UNICODE_STRING name;
        name.Length = static_cast<USHORT>(r->FileNameLength);
        name.MaximumLength = name.Length;
        name.Buffer = const_cast<WCHAR*>(r->FileName);
        const NTSTATUS named = posix_path(&name, to, sizeof to);
        if (named != STATUS_SUCCESS) return named;
      }
      // Windows replaces only a file that is not read-only, and never a folder.
      struct stat old;
      if (libc::fstatat(to_fd, to, &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!replace) return STATUS_OBJECT_NAME_COLLISION;
        if (S_ISDIR(old.st_mode) || (!S_ISLNK(old.st_mode) && !(old.st_mode & S_IWUSR))) return STATUS_ACCESS_DENIED;
      }
      char full[kPathMax];
      if (root) {
        if (std::snprintf(full, sizeof full, "%s/%s", root->path, to) >= static_cast<int>(sizeof full))
          full[sizeof full - 1] = 0;  // past the limit the kept path is cut, as at an open
      } else if (same_folder) {
        if (!sibling_path(f->path, to, full, sizeof full)) full[0] = 0;  // too long to keep: names nothing
      } else {
        std::memcpy(full, to, std::strlen(to) + 1);
      }
      const size_t full_length = std::strlen(full);
      char* path = static_cast<char*>(std::malloc(full_length + 1));
      char* new_name = root || same_folder ? static_cast<char*>(std::malloc(std::strlen(to) + 1)) : nullptr;
      if (!path || ((root || same_folder) && !new_name)) {
        std::free(path);
        std::free(new_name);
        return STATUS_NO_MEMORY;
      }
      std::memcpy(path, full, full_length + 1);
      if (new_name) std::memcpy(new_name, to, std::strlen(to) + 1);
      const int moved = f->name ? libc::renameat(f->parent_fd, f->name, to_fd, to) : libc::renameat(AT_FDCWD, f->path, to_fd, to);
      if (moved != 0) {
        const int e = errno;
        std::free(path);
        std::free(new_name);
        return e == EXDEV ? STATUS_NOT_SAME_DEVICE : status_from_errno(e);
      }
      std::free(f->path);
      f->path = path;
      // The entry now lives by its new name in the same folder or the root
      // folder, or by path.
      if (same_folder) {
        std::free(f->name);
        f->name = new_name;
        new_name = nullptr;
      } else if (f->name) {
        std::free(f->name);
        f->name = nullptr;
        if (f->parent_fd >= 0) libc::close(f->parent_fd);
        f->parent_fd = -1;
      }
      if (root) {
        const int parent = libc::fcntl(to_fd, F_DUPFD_CLOEXEC, 0);
        if (parent >= 0) {
          f->parent_fd = parent;
          f->name = new_name;
          new_name = nullptr;
        }
      }
      std::free(new_name);
      return done(io, STATUS_SUCCESS, 0);
    }
    case FileLinkInformation: {
      // A new name for the open file, within the root folder the record
      // names (the only form the program uses): made by name, never through
      // a link, and kept only while it names the open file.
      const size_t fixed = offsetof(FILE_RENAME_RECORD, FileName);
      if (length < fixed || !f) return STATUS_INVALID_PARAMETER;
      const auto* r = static_cast<const FILE_RENAME_RECORD*>(buffer);
      if (r->FileNameLength > length - fixed || !r->RootDirectory) return STATUS_INVALID_PARAMETER;
      if (f->is_dir || f->is_link || !S_ISREG(st.st_mode)) return STATUS_FILE_IS_A_DIRECTORY;
      const int to_fd = handle_fd(r->RootDirectory);
      const PosixFile* root = to_fd >= 0 ? file_state(to_fd) : nullptr;
      if (!root || !root->is_dir) return STATUS_INVALID_HANDLE;
      char to[kPathMax];
      size_t n = 0;
      if (!posix_bytes_from_units(r->FileName, r->FileNameLength / 2, to, sizeof to, &n)) return STATUS_NAME_TOO_LONG;
      if (n == 0 || std::strchr(to, '/') || std::strcmp(to, ".") == 0 || std::strcmp(to, "..") == 0)
        return STATUS_OBJECT_NAME_INVALID;
      if (r->ReplaceIfExists) return STATUS_INVALID_PARAMETER;
      if (libc::linkat(f->name ? f->parent_fd : AT_FDCWD, f->name ? f->name : f->path, to_fd, to, 0) != 0)
        return status_from_errno(errno);
      struct stat made;
      if (libc::fstatat(to_fd, to, &made, AT_SYMLINK_NOFOLLOW) != 0 || made.st_dev != st.st_dev ||
          made.st_ino != st.st_ino) {
        // The name the file was opened by has meanwhile come to lead elsewhere.
        libc::unlinkat(to_fd, to, 0);
        return STATUS_OBJECT_NAME_NOT_FOUND;
      }
      return done(io, STATUS_SUCCESS, 0);
    }
    case FileEndOfFileInformation: {
      if (length < 8) return STATUS_INFO_LENGTH_MISMATCH;
      const auto* eof = static_cast<const LARGE_INTEGER*>(buffer);
      if (libc::ftruncate(fd, static_cast<off_t>(eof->QuadPart)) != 0) return status_from_errno(errno);
      return done(io, STATUS_SUCCESS, 0);
    }
    case FilePositionInformation: {
      if (length < 8) return STATUS_INFO_LENGTH_MISMATCH;
      const auto* at = static_cast<const LARGE_INTEGER*>(buffer);
      if (at->QuadPart < 0) return STATUS_INVALID_PARAMETER;
      if (libc::lseek(fd, static_cast<off_t>(at->QuadPart), SEEK_SET) < 0) return status_from_errno(errno);
      return done(io, STATUS_SUCCESS, 0);
    }
    case FileValidDataLengthInformation:
      if (length < 8) return STATUS_INFO_LENGTH_MISMATCH;
      return done(io, S_ISREG(st.st_mode) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, 0);
    default:
      return STATUS_INVALID_INFO_CLASS;
  }
}

NTSTATUS NtQueryVolumeInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                      FS_INFORMATION_CLASS info_class) {
  const int fd = handle_fd(handle);
  if (fd < 0) return STATUS_INVALID_HANDLE;
  dev_t dev;
  ino_t ino;
  if (!identity_of(fd, file_state(fd), &dev, &ino)) return status_from_errno(errno);
  if (info_class == FileFsVolumeInformation) {
    constexpr size_t fixed = offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
    if (length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
    auto* v = static_cast<FILE_FS_VOLUME_INFORMATION*>(buffer);
    std::memset(v, 0, fixed);
    v->VolumeSerialNumber = static_cast<ULONG>(dev);
    return done(io, STATUS_SUCCESS, fixed);
  }
  if (info_class == FileFsDeviceInformation) {
    if (length < sizeof(FILE_FS_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    auto* d = static_cast<FILE_FS_DEVICE_INFORMATION*>(buffer);
    d->DeviceType = 7;  // disk
    d->Characteristics = folder_is_remote(fd, dev) ? 0x10 : 0;  // FILE_REMOTE_DEVICE
    return done(io, STATUS_SUCCESS, sizeof *d);
  }
  return STATUS_INVALID_INFO_CLASS;
}

NTSTATUS NtQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS info_class, PVOID buffer, ULONG length,
                       PULONG returned) {
  if (returned) *returned = 0;
  const int fd = handle_fd(handle);
  const PosixFile* f = fd >= 0 ? file_state(fd) : nullptr;
  if (!f) return STATUS_INVALID_HANDLE;
  if (info_class != ObjectNameInformation) return STATUS_INVALID_INFO_CLASS;
  dev_t dev;
  ino_t ino;
  if (!identity_of(fd, f, &dev, &ino)) return status_from_errno(errno);
  char text[kPathMax + 64];
  std::snprintf(text, sizeof text, "/Device/HarddiskVolume%llu%s", static_cast<unsigned long long>(dev),
                f->path);
  const size_t units = posix_units_from_utf8(text, nullptr, 0);
  const size_t need = sizeof(OBJECT_NAME_INFORMATION) + (units + 1) * 2;
  if (returned) *returned = static_cast<ULONG>(need);
  if (length < need || units * 2 > 0xFFFC) return STATUS_INFO_LENGTH_MISMATCH;
  auto* info = static_cast<OBJECT_NAME_INFORMATION*>(buffer);
  auto* units_out = reinterpret_cast<WCHAR*>(info + 1);
  posix_units_from_utf8(text, units_out, units);
  units_out[units] = 0;
  info->Name.Buffer = units_out;
  info->Name.Length = static_cast<USHORT>(units * 2);
  info->Name.MaximumLength = static_cast<USHORT>(units * 2 + 2);
  return STATUS_SUCCESS;
}

NTSTATUS NtQueryPosixMode(HANDLE handle, FILE_POSIX_MODE* mode) {
  if (mode) *mode = FILE_POSIX_MODE{};
  const int fd = handle_fd(handle);
  if (fd < 0) return STATUS_INVALID_HANDLE;
  if (!mode) return STATUS_INVALID_PARAMETER;
  struct stat st;
  if (!stat_of(fd, file_state(fd), &st)) return status_from_errno(errno);
  mode->Mode = st.st_mode;
  mode->Owner = st.st_uid;
  mode->Group = st.st_gid;
  mode->Links = static_cast<ULONG>(st.st_nlink);
  return STATUS_SUCCESS;
}

NTSTATUS NtSetPosixMode(HANDLE handle, const FILE_POSIX_MODE* mode) {
  const int fd = handle_fd(handle);
  if (fd < 0) return STATUS_INVALID_HANDLE;
  if (!mode) return STATUS_INVALID_PARAMETER;
  const PosixFile* f = file_state(fd);
  struct stat st;
  if (!stat_of(fd, f, &st)) return status_from_errno(errno);
  const bool link = f && f->is_link;
  // The owner first: a change of owner clears the set-id bits.
  if ((st.st_uid != mode->Owner || st.st_gid != mode->Group) && process_is_root()) {
    // AT_EMPTY_PATH works on every descriptor, the bare ones of links and
    // special files included, and never follows a link.
    if (libc::fchownat(fd, "", mode->Owner, mode->Group, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
      return status_from_errno(errno);
    if (!stat_of(fd, f, &st)) return status_from_errno(errno);
  }
  const mode_t bits = mode->Mode & 07777;
  if (link || (st.st_mode & 07777) == bits) return STATUS_SUCCESS;
  // A bare descriptor (special file, unreadable entry) takes no fchmod.
  if (libc::fchmod(fd, bits) != 0 && !(errno == EBADF && f && libc::chmod(f->path, bits) == 0)) return status_from_errno(errno);
  return STATUS_SUCCESS;
}
