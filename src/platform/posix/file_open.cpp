// Linux file calls: opening and closing entries.
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

namespace {

// FIFOs, sockets and devices hold no file data: opening one for data could
// block for ever (a FIFO) or read without end (a device).
bool is_special(mode_t m) { return S_ISFIFO(m) || S_ISSOCK(m) || S_ISCHR(m) || S_ISBLK(m); }

// An existing special file opens only bare, for its information, its mode
// and its removal; an open that asks for data fails. -1 with errno set when
// the open fails, -2 when the entry is no special file.
int open_special(const char* path, ACCESS_MASK access, ULONG disposition) {
  struct stat st;
  if (stat(path, &st) != 0 || !is_special(st.st_mode)) return -2;
  if ((access & 0x7) || disposition == 0 || disposition >= 4) {
    errno = ENXIO;
    return -1;
  }
  return open(path, O_PATH | O_CLOEXEC);
}

// New files and folders start owner-only; the caller gives them their final
// mode when their contents are done.
constexpr mode_t kNewFileMode = 0600;
constexpr mode_t kNewFolderMode = 0700;

}  // namespace

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                      PLARGE_INTEGER, ULONG file_attributes, ULONG, ULONG disposition, ULONG options, PVOID,
                      ULONG) {
  if (handle) *handle = INVALID_HANDLE_VALUE;
  if (!handle || !attributes || disposition > 5) return STATUS_INVALID_PARAMETER;
  char path[kPathMax];
  NTSTATUS st = posix_path(attributes->ObjectName, path, sizeof path);
  if (st != STATUS_SUCCESS) return st;

  const bool want_dir = options & 0x1, want_file = options & 0x40, as_link = options & 0x200000;
  struct stat before;
  const bool existed = lstat(path, &before) == 0;
  const bool link_itself = existed && as_link && S_ISLNK(before.st_mode);
  if (existed && (disposition == 2)) return STATUS_OBJECT_NAME_COLLISION;
  if (!existed && (disposition == 1 || disposition == 4)) return missing_status(path);
  if (existed && !link_itself) {
    struct stat target;
    if (stat(path, &target) != 0) {
      if (disposition == 1 || disposition == 4) return status_from_errno(errno);
    } else {
      if (want_dir && !S_ISDIR(target.st_mode)) return STATUS_NOT_A_DIRECTORY;
      if (want_file && S_ISDIR(target.st_mode)) return STATUS_FILE_IS_A_DIRECTORY;
    }
  }

  ULONG info = 1;
  int fd = -1;
  const mode_t mode = (file_attributes & 0x01) ? kNewFileMode & ~mode_t{0222} : kNewFileMode;
  if (link_itself) {
    fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  } else if (want_dir && !existed) {
    if (mkdir(path, kNewFolderMode) != 0)
      return errno == ENOENT ? STATUS_OBJECT_PATH_NOT_FOUND : status_from_errno(errno);
    info = 2;
    fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else if (existed && (fd = open_special(path, access, disposition)) != -2) {
    if (fd < 0) return status_from_errno(errno);
  } else {
    struct stat target;
    const bool is_dir = existed && stat(path, &target) == 0 && S_ISDIR(target.st_mode);
    int flags = O_CLOEXEC;
    if (is_dir) {
      flags |= O_RDONLY | O_DIRECTORY;
    } else {
      const bool write = access & 0x6, read = access & 0x1;
      flags |= write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
      if (access & 0x4) flags |= O_APPEND;
      switch (disposition) {
        case 0: flags |= O_CREAT | O_TRUNC; info = existed ? 0 : 2; break;
        case 2: flags |= O_CREAT | O_EXCL; info = 2; break;
        case 3: flags |= O_CREAT; info = existed ? 1 : 2; break;
        case 4: flags |= O_TRUNC; info = 3; break;
        case 5: flags |= O_CREAT | O_TRUNC; info = existed ? 3 : 2; break;
        default: break;
      }
      if ((flags & O_TRUNC) && !(flags & (O_WRONLY | O_RDWR))) flags = (flags & ~O_RDONLY) | O_RDWR;
    }
    fd = open(path, flags, mode);
    // An entry opened only for its attributes needs no read permission.
    if (fd < 0 && errno == EACCES && existed && !(access & 0x7) && !(flags & (O_CREAT | O_TRUNC)))
      fd = open(path, O_PATH | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return missing_status(path);
  }
  if (fd < 0) return status_from_errno(errno);

  auto* f = static_cast<PosixFile*>(std::calloc(1, sizeof(PosixFile)));
  const size_t plen = std::strlen(path);
  if (f) f->path = static_cast<char*>(std::malloc(plen + 1));
  if (!f || !f->path || !file_state_set(fd, f)) {
    file_state_free(f);
    close(fd);
    return STATUS_NO_MEMORY;
  }
  std::memcpy(f->path, path, plen + 1);
  struct stat now{};
  fstat(fd, &now);
  f->dev = now.st_dev;
  f->ino = now.st_ino;
  f->is_link = link_itself;
  f->is_dir = !link_itself && S_ISDIR(now.st_mode);
  if (options & 0x1000) {
    f->delete_pending = true;
    if (f->is_dir) rmdir(path);
    else unlink(path);
  }
  *handle = posix_handle_from_fd(fd);
  return done(io, STATUS_SUCCESS, info);
}

NTSTATUS NtClose(HANDLE handle) {
  const int fd = handle_fd(handle);
  if (fd < 0) return STATUS_INVALID_HANDLE;
  file_state(fd);  // drops a stale record
  file_state_set(fd, nullptr);
  return close(fd) == 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
