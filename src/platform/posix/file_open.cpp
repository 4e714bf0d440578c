// Linux file calls: opening and closing entries.
#include "platform/posix/file_state.h"

#include "platform/posix/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

using namespace posix_file;

namespace {

// Where an open lands: a full path, or one name within an open folder (the
// object attributes' root handle). A name within a folder is never followed
// through a symbolic link, and never leaves the folder.
struct OpenPlace {
  int dirfd = AT_FDCWD;
  int owned = -1;     // a descriptor opened to reach a long path, closed after the open
  int follow = 0;     // O_NOFOLLOW for a name within a folder
  char path[kPathMax];  // the full path, or the name within dirfd
  char full[kPathMax];  // the path the record keeps for path-based calls
};

// A path longer than the system takes in one call: the folder holding its
// last element is opened in pieces, each shorter than the limit, and the
// open goes on from there by that element's name.
NTSTATUS place_long_path(OpenPlace* at) {
  size_t length = std::strlen(at->path);
  if (length < PATH_MAX) return STATUS_SUCCESS;
  char* last = std::strrchr(at->path, '/');
  if (!last || last == at->path) return STATUS_NAME_TOO_LONG;
  *last = 0;
  char* start = at->path;
  int dirfd = AT_FDCWD;
  for (;;) {
    char* cut = nullptr;
    if (std::strlen(start) >= PATH_MAX) {
      cut = start + PATH_MAX - 1;
      while (cut > start && *cut != '/') --cut;
      if (cut == start) {
        if (dirfd != AT_FDCWD) libc::close(dirfd);
        return STATUS_NAME_TOO_LONG;  // one element longer than the limit
      }
      *cut = 0;
    }
    const int fd = libc::openat(dirfd, start, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    const int e = errno;
    if (dirfd != AT_FDCWD) libc::close(dirfd);
    if (fd < 0) return status_from_errno(e);
    dirfd = fd;
    if (!cut) break;
    start = cut + 1;
  }
  if (dirfd == AT_FDCWD) return STATUS_NAME_TOO_LONG;
  at->dirfd = at->owned = dirfd;
  length = std::strlen(last + 1);
  std::memmove(at->path, last + 1, length + 1);
  return STATUS_SUCCESS;
}

NTSTATUS place_of(const OBJECT_ATTRIBUTES* attributes, OpenPlace* at) {
  if (!attributes->RootDirectory) {
    const NTSTATUS st = posix_path(attributes->ObjectName, at->path, sizeof at->path);
    if (st != STATUS_SUCCESS) return st;
    std::memcpy(at->full, at->path, std::strlen(at->path) + 1);
    return place_long_path(at);
  }
  const int dirfd = handle_fd(attributes->RootDirectory);
  const PosixFile* parent = dirfd >= 0 ? file_state(dirfd) : nullptr;
  if (!parent || !parent->is_dir) return STATUS_INVALID_HANDLE;
  const UNICODE_STRING* name = attributes->ObjectName;
  size_t length = 0;
  if (!name || !name->Buffer ||
      !posix_bytes_from_units(name->Buffer, name->Length / 2, at->path, sizeof at->path, &length))
    return STATUS_OBJECT_NAME_INVALID;
  // The program's separator in a name arrives as '/'; a backslash byte is an
  // ordinary Linux name character.
  if (length == 0 || std::strchr(at->path, '/') || std::strcmp(at->path, ".") == 0 ||
      std::strcmp(at->path, "..") == 0)
    return STATUS_OBJECT_NAME_INVALID;
  at->dirfd = dirfd;
  at->follow = O_NOFOLLOW;
  // A path the system cannot take in one call is not kept: the record's path
  // is then empty, which names nothing, so a call that takes a path fails
  // instead of reaching another entry, and a deep walk holds no path per
  // level. The entry itself is reached by its descriptor or by name.
  const size_t head = std::strlen(parent->path);
  if (head == 0 || head + 1 + length >= PATH_MAX) {
    at->full[0] = 0;
  } else {
    std::memcpy(at->full, parent->path, head);
    at->full[head] = '/';
    std::memcpy(at->full + head + 1, at->path, length + 1);
  }
  return STATUS_SUCCESS;
}

// What the open finds in place: the entry itself (never followed) and what
// it leads to, which differ only for a link reached by a full path.
struct Found {
  bool existed = false;
  bool target_ok = false;  // target holds a status; else target_errno
  int target_errno = 0;
  struct stat named;
  struct stat target;
};

// Whether the entry's kind fits what the open asks for.
NTSTATUS check_kind(const OpenPlace& at, ULONG disposition, ULONG options, const Found& found, bool link_itself) {
  const bool want_dir = options & 0x1, want_file = options & 0x40;
  if (found.existed && disposition == 2) return STATUS_OBJECT_NAME_COLLISION;
  if (!found.existed && (disposition == 1 || disposition == 4)) {
    return at.dirfd == AT_FDCWD ? missing_status(at.path) : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  if (!found.existed || link_itself) return STATUS_SUCCESS;
  if (!found.target_ok)
    return (disposition == 1 || disposition == 4) ? status_from_errno(found.target_errno) : STATUS_SUCCESS;
  const struct stat& target = found.target;
  if (at.follow && S_ISLNK(target.st_mode)) return STATUS_STOPPED_ON_SYMLINK;
  if (want_dir && !S_ISDIR(target.st_mode)) return STATUS_NOT_A_DIRECTORY;
  if (want_file && S_ISDIR(target.st_mode)) return STATUS_FILE_IS_A_DIRECTORY;
  return STATUS_SUCCESS;
}

// The open flags of a file (not a folder) and the information value.
int file_flags(ACCESS_MASK access, ULONG disposition, bool existed, ULONG* info) {
  int flags = O_CLOEXEC;
  const bool write = access & 0x6, read = access & 0x1;
  flags |= write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (access & 0x4) flags |= O_APPEND;
  switch (disposition) {
    case 0: flags |= O_CREAT | O_TRUNC; *info = existed ? 0 : 2; break;
    case 2: flags |= O_CREAT | O_EXCL; *info = 2; break;
    case 3: flags |= O_CREAT; *info = existed ? 1 : 2; break;
    case 4: flags |= O_TRUNC; *info = 3; break;
    case 5: flags |= O_CREAT | O_TRUNC; *info = existed ? 3 : 2; break;
    default: break;
  }
  if ((flags & O_TRUNC) && !(flags & (O_WRONLY | O_RDWR))) flags = (flags & ~O_RDONLY) | O_RDWR;
  return flags;
}

// FIFOs, sockets and devices hold no file data: opening one for data could
// block for ever (a FIFO) or read without end (a device).
bool is_special(mode_t m) { return S_ISFIFO(m) || S_ISSOCK(m) || S_ISCHR(m) || S_ISBLK(m); }

// The descriptor of an open for data when it is a regular file (its status
// in `st`), with the non-blocking flag it was opened with taken off; else -1
// with errno set (ENXIO, or EISDIR for a folder), the descriptor closed.
int keep_regular(int fd, int flags, struct stat* st) {
  int e = libc::fstat(fd, st) != 0 ? errno : S_ISREG(st->st_mode) ? 0 : S_ISDIR(st->st_mode) ? EISDIR : ENXIO;
  if (e == 0 && libc::fcntl(fd, F_SETFL, flags & O_APPEND) != 0) e = errno;
  if (e == 0) return fd;
  libc::close(fd);
  errno = e;
  return -1;
}

// New files and folders start owner-only; the caller gives them their final
// mode when their contents are done.
constexpr mode_t kNewFileMode = 0600;
constexpr mode_t kNewFolderMode = 0700;

// How an open descriptor came to be: a folder (opened as one), or with its
// status at hand; else nothing is known of it yet.
struct Opened {
  bool folder = false;
  bool status_known = false;
  struct stat status;
};

// Opens (or creates) the entry; a descriptor or -1 with errno set. An
// existing special file opens only bare, for its information, its mode and
// its removal; an open that asks for data fails.
int open_entry(const OpenPlace& at, ACCESS_MASK access, ULONG file_attributes, ULONG disposition, ULONG options,
               const Found& found, bool link_itself, ULONG* info, Opened* opened) {
  *info = 1;
  if (link_itself) return libc::openat(at.dirfd, at.path, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
  if ((options & 0x1) && !found.existed) {
    if (libc::mkdirat(at.dirfd, at.path, kNewFolderMode) != 0) return -1;
    *info = 2;
    opened->folder = true;
    return libc::openat(at.dirfd, at.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | at.follow, 0);
  }
  const struct stat& target = found.target;
  if (found.target_ok && S_ISDIR(target.st_mode)) {
    const int fd = libc::openat(at.dirfd, at.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | at.follow, 0);
    // A folder opened only for its attributes needs no read permission.
    if (fd < 0 && errno == EACCES && !(access & kDataAccess))
      return libc::openat(at.dirfd, at.path, O_PATH | O_DIRECTORY | O_CLOEXEC | at.follow, 0);
    opened->folder = fd >= 0;
    return fd;
  }
  if (found.target_ok && is_special(target.st_mode)) {
    if ((access & kDataAccess) || disposition == 0 || disposition >= 4) {
      errno = ENXIO;
      return -1;
    }
    return libc::openat(at.dirfd, at.path, O_PATH | O_CLOEXEC | at.follow, 0);
  }
  // The open never blocks (a FIFO put in the file's place since the status
  // above would wait for a writer), and an open for data keeps only a
  // regular file.
  const bool data = access & kDataAccess;
  const int flags = file_flags(access, disposition, found.existed, info) | at.follow;
  const int fd = libc::openat(at.dirfd, at.path, flags | O_NONBLOCK,
                        (file_attributes & kAttrReadOnly) ? kNewFileMode & ~mode_t{0222} : kNewFileMode);
  // An entry opened only for its attributes needs no read permission.
  if (fd < 0 && errno == EACCES && found.existed && !data && !(flags & (O_CREAT | O_TRUNC)))
    return libc::openat(at.dirfd, at.path, O_PATH | O_CLOEXEC | at.follow, 0);
  if (fd < 0 || !data) return fd;
  opened->status_known = true;
  return keep_regular(fd, flags, &opened->status);
}

// The record of a new handle: what was opened, and how to reach it again.
// An entry opened within a folder to be deleted or changed keeps a copy of
// the folder's descriptor (a folder opened only to be read does not, so deep
// trees hold one descriptor per level).
NTSTATUS attach_record(int fd, const OpenPlace& at, bool link_itself, ACCESS_MASK access, const Opened& opened) {
  constexpr ACCESS_MASK kChanges = 0x10000 | 0x100;  // delete, write attributes
  void* memory = std::malloc(sizeof(PosixFile));
  auto* f = memory ? new (memory) PosixFile{} : nullptr;
  const size_t plen = std::strlen(at.full);
  const bool keep_parent = at.dirfd != AT_FDCWD && (access & kChanges);
  if (f) f->path = static_cast<char*>(std::malloc(plen + 1));
  if (f && f->path && keep_parent) {
    f->name = strdup(at.path);
    f->parent_fd = f->name ? libc::fcntl(at.dirfd, F_DUPFD_CLOEXEC, 0) : -1;
  }
  if (!f || !f->path || (keep_parent && f->parent_fd < 0) || !file_state_set(fd, f)) {
    file_state_free(f);
    return STATUS_NO_MEMORY;
  }
  std::memcpy(f->path, at.full, plen + 1);
  f->cursor.remote = -1;
  f->is_link = link_itself;
  f->access = access;
  // A folder or a link is what its open asked for; any other entry's kind is
  // its status's (an entry put in place since the status before the open is
  // described as what was opened). The identity comes with a status, now or
  // at the first query.
  if (opened.folder) {
    f->is_dir = true;
  } else if (!link_itself) {
    struct stat now{};
    const bool known = opened.status_known || libc::fstat(fd, &now) == 0;
    const struct stat& st = opened.status_known ? opened.status : now;
    f->is_dir = known && S_ISDIR(st.st_mode);
    if (known) identity_keep(f, st);
  }
  return STATUS_SUCCESS;
}

// The open of an existing folder asked for by name, in one call: the
// descriptor, or -1 when the entry needs a closer look (a link, no folder,
// no permission to read it) or the open failed (*st set).
int open_folder_directly(const OpenPlace& at, ULONG options, NTSTATUS* st) {
  const int nofollow = (options & 0x200000) ? O_NOFOLLOW : at.follow;
  const int fd = libc::openat(at.dirfd, at.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | nofollow, 0);
  if (fd >= 0) return fd;
  const int e = errno;
  if (e == ENOENT)
    *st = at.dirfd == AT_FDCWD ? missing_status(at.path) : STATUS_OBJECT_NAME_NOT_FOUND;
  else if (e != ELOOP && e != ENOTDIR && e != EACCES)
    *st = status_from_errno(e);
  return -1;
}

}  // namespace

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                      PLARGE_INTEGER, ULONG file_attributes, ULONG, ULONG disposition, ULONG options, PVOID,
                      ULONG) {
  if (handle) *handle = INVALID_HANDLE_VALUE;
  if (!handle || !attributes || disposition > 5) return STATUS_INVALID_PARAMETER;
  auto* at = static_cast<OpenPlace*>(std::malloc(sizeof(OpenPlace)));
  if (!at) return STATUS_NO_MEMORY;
  *at = OpenPlace{};
  NTSTATUS st = place_of(attributes, at);

  // An existing folder is opened at once: O_DIRECTORY and, where links are
  // not followed, O_NOFOLLOW check in the same call what the status calls
  // below would. Anything else takes the longer way.
  ULONG info = 1;
  int fd = -1;
  Opened opened;
  bool link_itself = false;
  if (st == STATUS_SUCCESS && disposition == 1 && (options & 0x1) && !(options & 0x1000)) {
    fd = open_folder_directly(*at, options, &st);
    opened.folder = fd >= 0;
  }
  if (st == STATUS_SUCCESS && fd < 0) {
    // One status of the entry itself serves every check, and a second one
    // only for a link reached by a full path (what it leads to).
    Found found;
    found.existed = libc::fstatat(at->dirfd, at->path, &found.named, AT_SYMLINK_NOFOLLOW) == 0;
    link_itself = found.existed && (options & 0x200000) && S_ISLNK(found.named.st_mode);
    found.target_ok = found.existed;
    found.target = found.named;
    if (found.existed && !link_itself && !at->follow && S_ISLNK(found.named.st_mode)) {
      found.target_ok = libc::fstatat(at->dirfd, at->path, &found.target, 0) == 0;
      found.target_errno = errno;
    }
    st = check_kind(*at, disposition, options, found, link_itself);
    if (st == STATUS_SUCCESS)
      fd = open_entry(*at, access, file_attributes, disposition, options, found, link_itself, &info, &opened);
    if (st == STATUS_SUCCESS && fd < 0) {
      const int e = errno;
      if (e == ENOENT && at->dirfd == AT_FDCWD) st = missing_status(at->path);
      else if (e == ELOOP && at->follow) st = STATUS_STOPPED_ON_SYMLINK;
      else st = status_from_errno(e);
    }
  }
  if (st == STATUS_SUCCESS) {
    st = attach_record(fd, *at, link_itself, access, opened);
    if (st != STATUS_SUCCESS) libc::close(fd);
  }
  if (st == STATUS_SUCCESS && (options & 0x1000)) {
    PosixFile* f = file_state(fd);
    f->delete_pending = true;
    libc::unlinkat(at->dirfd, at->path, f->is_dir ? AT_REMOVEDIR : 0);
  }
  if (at->owned >= 0) libc::close(at->owned);
  std::free(at);
  if (st != STATUS_SUCCESS) return st;
  *handle = posix_handle_from_fd(fd);
  return done(io, STATUS_SUCCESS, info);
}

NTSTATUS NtClose(HANDLE handle) {
  const int fd = handle_fd(handle);
  if (fd < 0) return STATUS_INVALID_HANDLE;
  file_state_set(fd, nullptr);
  return libc::close(fd) == 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
