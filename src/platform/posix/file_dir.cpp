// Linux file calls: directory enumeration in the three entry formats.
#include "platform/posix/file_state.h"

#include "platform/posix/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

using namespace posix_file;

static_assert(FileLinuxDirectoryInformation == kFileLinuxDirectoryInformation);

namespace {

// Bytes before the name in an entry of the class; 0 for a class not served.
size_t fixed_size(FILE_INFORMATION_CLASS info_class) {
  switch (info_class) {
    case FileDirectoryInformation: return offsetof(FILE_DIRECTORY_INFORMATION, FileName);
    case FileIdFullDirectoryInformation: return offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName);
    case FileIdExtdDirectoryInformation: return offsetof(FILE_ID_EXTD_DIR_INFORMATION, FileName);
    case FileLinuxDirectoryInformation: return kLinuxDirNameAt;
    default: return 0;
  }
}

// The directory cursor of the handle, made on the first query from a
// duplicate of its descriptor.
NTSTATUS open_cursor(int fd, PosixFile* f) {
  if (f->dir) return STATUS_SUCCESS;
  const int dup_fd = libc::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0 || !(f->dir = libc::fdopendir(dup_fd))) {
    const int e = errno;
    if (dup_fd >= 0) libc::close(dup_fd);
    return status_from_errno(e);
  }
  return STATUS_SUCCESS;
}

// The next name: the one held back from the last call, else the next one
// read. False at the end.
bool next_name(PosixFile* f, char* name, size_t size) {
  if (f->has_pending) {
    std::memcpy(name, f->pending, size);
    f->has_pending = false;
    return true;
  }
  errno = 0;
  dirent* e = libc::readdir(f->dir);
  if (!e) return false;
  std::strncpy(name, e->d_name, size - 1);
  name[size - 1] = 0;
  return true;
}

// Set once the kernel turns out to lack listxattrat (an entry's attributes
// by name within its folder); then they are asked through /proc/self/fd.
std::atomic<bool> g_no_listxattrat{false};

// Whether the file or folder `name` of the open folder has extended
// attributes of the kinds the process copies (`root`: as root): the size of
// their names (0: none, or none on its file system; 1 when it cannot be
// told). Others (security.selinux of a user's files) cost a re-run nothing.
// Links and special files have none that are copied.
ULONG xattr_names(const PosixFile* f, const char* name, const struct stat& st, bool root) {
  if (!(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) || st.st_ino == 0) return 0;
  char list[1024];
  ssize_t n = -1;
  bool by_path = g_no_listxattrat.load(std::memory_order_relaxed);
  if (!by_path) {
    n = libc::listxattr_at(dirfd(f->dir), name, AT_SYMLINK_NOFOLLOW, list, sizeof list);
    // Not there (an older kernel), or refused by a system call filter.
    by_path = n < 0 && (errno == ENOSYS || errno == EPERM);
    if (n < 0 && errno == ENOSYS) g_no_listxattrat.store(true, std::memory_order_relaxed);
  }
  if (by_path) {
    char path[64 + sizeof f->pending];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", dirfd(f->dir), name);
    n = libc::llistxattr(path, list, sizeof list);
  }
  if (n < 0) return errno == EOPNOTSUPP || errno == ENOTSUP ? 0 : 1;  // ERANGE: a long list, told apart later
  ULONG copied = 0;
  const size_t size = static_cast<size_t>(n);
  for (size_t at = 0; at < size;) {
    const size_t length = strnlen(list + at, size - at);
    if (at + length < size && xattr_copied(list + at, root)) copied += static_cast<ULONG>(length + 1);
    at += length + 1;
  }
  return copied;
}

// Writes the entry of `name` (its `units` name units) at `e` in the
// class's layout. The entry is described without following a link and
// without opening it, so special files never block the listing.
void put_entry(uint8_t* e, FILE_INFORMATION_CLASS info_class, size_t fixed, const PosixFile* f, const char* name,
               const WCHAR* units, size_t unit_count, bool owners) {
  // "." and ".." are folders; no caller looks further at them.
  struct stat st{};
  // A folder where a file system is mounted is a mount point, like a
  // junction on Windows.
  bool mount = false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
    st.st_mode = S_IFDIR;
  else if (!entry_status(f, dirfd(f->dir), name, &st, &mount))
    st = {};
  const bool link = S_ISLNK(st.st_mode);
  FILE_ID_EXTD_DIR_INFORMATION entry{};
  entry.CreationTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
  entry.LastAccessTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_atim));
  entry.LastWriteTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_mtim));
  entry.ChangeTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
  const bool dir = S_ISDIR(st.st_mode);
  entry.EndOfFile.QuadPart = dir || link ? 0 : static_cast<LONGLONG>(st.st_size);
  entry.AllocationSize.QuadPart = static_cast<LONGLONG>(uint64_t(st.st_blocks) * 512);
  entry.FileAttributes = attributes_of(st, link) | (mount ? kAttrReparsePoint : 0);
  const uint32_t tag = link ? kTagSymlink : mount ? kTagMountPoint : 0;
  entry.FileNameLength = static_cast<ULONG>(unit_count * 2);
  std::memcpy(e, &entry, offsetof(FILE_DIRECTORY_INFORMATION, FileName));
  if (info_class == FileIdFullDirectoryInformation) {
    FILE_ID_FULL_DIR_INFORMATION full_entry{};
    full_entry.EaSize = tag;
    full_entry.FileId.QuadPart = static_cast<LONGLONG>(st.st_ino);
    std::memcpy(e + offsetof(FILE_ID_FULL_DIR_INFORMATION, EaSize), &full_entry.EaSize,
                fixed - offsetof(FILE_ID_FULL_DIR_INFORMATION, EaSize));
  } else if (info_class == FileIdExtdDirectoryInformation || info_class == FileLinuxDirectoryInformation) {
    entry.ReparsePointTag = tag;
    const uint64_t ino = st.st_ino;
    std::memcpy(entry.FileId.Identifier, &ino, sizeof ino);
    std::memcpy(e, &entry, offsetof(FILE_ID_EXTD_DIR_INFORMATION, FileName));
    if (info_class == FileLinuxDirectoryInformation) {
      // The mode and owner that copying the mode compares; owners only where
      // the process may give them (root), else 0.
      const FILE_POSIX_MODE posix{st.st_mode, owners ? st.st_uid : 0, owners ? st.st_gid : 0,
                                  static_cast<ULONG>(st.st_nlink), xattr_names(f, name, st, owners)};
      std::memcpy(e + kLinuxDirModeAt, &posix, sizeof posix);
    }
  }
  std::memcpy(e + fixed, units, entry.FileNameLength);
}

}  // namespace

NTSTATUS NtQueryDirectoryFile(HANDLE handle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS info_class, BOOLEAN single_entry,
                              PUNICODE_STRING, BOOLEAN restart_scan) {
  const int fd = handle_fd(handle);
  PosixFile* f = fd >= 0 ? file_state(fd) : nullptr;
  if (!f) return STATUS_INVALID_HANDLE;
  if (!f->is_dir) return STATUS_INVALID_PARAMETER;
  const size_t fixed = fixed_size(info_class);
  if (fixed == 0) return STATUS_INVALID_INFO_CLASS;
  const NTSTATUS opened = open_cursor(fd, f);
  if (opened != STATUS_SUCCESS) return opened;
  if (restart_scan) {
    rewinddir(f->dir);
    f->has_pending = false;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t used = 0, last = SIZE_MAX;
  char name[sizeof f->pending];
  const bool owners = geteuid() == 0;
  while (next_name(f, name, sizeof name)) {
    WCHAR wide[512];
    const size_t needed = posix_units_from_utf8(name, wide, 512);
    const size_t units = needed < 512 ? needed : 512;
    const size_t size = fixed + units * 2;
    const size_t start = (used + 7) & ~size_t{7};
    if (start + size > length) {
      // Held back for the next call.
      std::memcpy(f->pending, name, sizeof name);
      f->has_pending = true;
      if (last == SIZE_MAX) return done(io, STATUS_BUFFER_OVERFLOW, 0);
      break;
    }
    put_entry(out + start, info_class, fixed, f, name, wide, units, owners);
    if (last != SIZE_MAX) {
      const ULONG next = static_cast<ULONG>(start - last);
      std::memcpy(out + last, &next, sizeof next);
    }
    last = start;
    used = start + size;
    if (single_entry) break;
  }
  if (last == SIZE_MAX) {
    // A folder read to its end gives back its cursor's buffer (tens of KiB),
    // which a deep walk would otherwise hold for every open level. A later
    // query makes a new cursor, which shares the descriptor's position.
    libc::closedir(f->dir);
    f->dir = nullptr;
    return done(io, STATUS_NO_MORE_FILES, 0);
  }
  return done(io, STATUS_SUCCESS, used);
}
