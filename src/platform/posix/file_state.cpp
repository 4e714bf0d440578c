// Linux file calls, shared part: status conversion, handle records, name
// mapping and information filling; see file_state.h.
#include "platform/posix/file_state.h"

#include "platform/posix/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace posix_file {

std::mutex g_files_lock;
PosixFile** g_files = nullptr;
size_t g_files_size = 0;

void file_state_free(PosixFile* f);

// Both closes (NtClose and CloseHandle) drop the record with the
// descriptor, so a record found is the descriptor's own.
PosixFile* file_state(int fd) {
  std::lock_guard<std::mutex> guard(g_files_lock);
  return fd >= 0 && static_cast<size_t>(fd) < g_files_size ? g_files[fd] : nullptr;
}

bool file_state_set(int fd, PosixFile* f) {
  std::lock_guard<std::mutex> guard(g_files_lock);
  if (static_cast<size_t>(fd) >= g_files_size) {
    size_t n = g_files_size ? g_files_size : 64;
    while (n <= static_cast<size_t>(fd)) n *= 2;
    // An array of pointers, so the size of a pointer each.
    auto** grown = static_cast<PosixFile**>(
        std::realloc(g_files, n * sizeof g_files[0]));  // NOLINT(bugprone-sizeof-expression)
    if (!grown) return false;
    for (size_t i = g_files_size; i < n; ++i) grown[i] = nullptr;
    g_files = grown;
    g_files_size = n;
  }
  if (g_files[fd] != f) file_state_free(g_files[fd]);
  g_files[fd] = f;
  return true;
}

void file_state_free(PosixFile* f) {
  if (!f) return;
  std::free(f->cursor.batch);
  if (f->name && f->parent_fd >= 0) libc::close(f->parent_fd);
  std::free(f->name);
  std::free(f->path);
  std::free(f);
}

int handle_fd(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return -1;
  return posix_fd_from_handle(h);
}

// The POSIX path of a native name.
NTSTATUS posix_path(const UNICODE_STRING* name, char* out, size_t cap) {
  if (!name || !name->Buffer) return STATUS_OBJECT_NAME_INVALID;
  const WCHAR* s = name->Buffer;
  size_t n = name->Length / 2;
  char* o = out;
  size_t room = cap;
  if (n >= 4 && s[0] == u'\\' && s[1] == u'?' && s[2] == u'?' && s[3] == u'\\') {
    s += 4, n -= 4;
    if (n < 2 || !posix_is_letter(s[0]) || s[1] != u':' || (n > 2 && s[2] != u'\\')) return STATUS_OBJECT_PATH_NOT_FOUND;
    const char mount[] = {'/', 'm', 'n', 't', '/', static_cast<char>(s[0] | 0x20)};
    std::memcpy(o, mount, sizeof mount);
    o += sizeof mount, room -= sizeof mount;
    s += 2, n -= 2;
  } else if (n == 0 || s[0] != u'\\') {
    return STATUS_OBJECT_NAME_INVALID;
  }
  size_t len;
  if (!posix_bytes_from_units(s, n, o, room, &len)) return STATUS_NAME_TOO_LONG;
  if (o == out && len == 0) std::strcpy(out, "/");
  if (out[0] == 0) std::strcpy(out, "/");
  return STATUS_SUCCESS;
}

// Missing entry: its name, or a folder on the way.
NTSTATUS missing_status(const char* path) {
  char parent[kPathMax];
  std::strncpy(parent, path, sizeof parent - 1);
  parent[sizeof parent - 1] = 0;
  size_t n = std::strlen(parent);
  while (n > 1 && parent[n - 1] == '/') parent[--n] = 0;
  char* slash = std::strrchr(parent, '/');
  if (!slash) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (slash == parent) return STATUS_OBJECT_NAME_NOT_FOUND;
  *slash = 0;
  struct stat st;
  return libc::stat(parent, &st) == 0 && S_ISDIR(st.st_mode) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

uint64_t file_time(const timespec& t) {
  return file_time_from_unix(t.tv_sec, static_cast<uint64_t>(t.tv_nsec));
}

uint32_t attributes_of(const struct stat& st, bool link) {
  // What a link points to is never looked at (it may lie anywhere, even
  // where a status call blocks): a link is a reparse point and no folder.
  if (link) return kAttrReparsePoint;
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) a |= kAttrDirectory;
  else a |= kAttrArchive;
  if (!(st.st_mode & S_IWUSR)) a |= kAttrReadOnly;
  return a ? a : kAttrNormal;
}

namespace {

#ifndef STATX_ATTR_MOUNT_ROOT
constexpr uint64_t STATX_ATTR_MOUNT_ROOT = 0x2000;
#endif

timespec time_of(const statx_timestamp& t) { return timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)}; }

void stat_from_statx(const struct statx& x, struct stat* st) {
  *st = {};
  st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
  st->st_ino = x.stx_ino;
  st->st_mode = x.stx_mode;
  st->st_nlink = x.stx_nlink;
  st->st_uid = x.stx_uid;
  st->st_gid = x.stx_gid;
  st->st_size = static_cast<off_t>(x.stx_size);
  st->st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
  st->st_atim = time_of(x.stx_atime);
  st->st_mtim = time_of(x.stx_mtime);
  st->st_ctim = time_of(x.stx_ctime);
}

// One line of the mount table ends at `end`: whether its mount point (the
// fifth field, with octal escapes such as \040 for a space) is `path`.
bool mount_line_is(const char* line, const char* end, const char* path) {
  for (int field = 0; field < 4; ++field) {
    while (line < end && *line != ' ') ++line;
    if (line < end) ++line;
  }
  const char* p = path;
  while (line < end && *line != ' ') {
    char c = *line++;
    if (c == '\\' && end - line >= 3) {
      c = static_cast<char>((line[0] - '0') << 6 | (line[1] - '0') << 3 | (line[2] - '0'));
      line += 3;
    }
    if (*p++ != c) return false;
  }
  return *p == 0;
}

// Whether the mount table lists `folder`/`name` as a mount point: for
// systems whose status call does not tell (before Linux 5.8). The folder's
// path is compared as the run spelled it, with repeated separators dropped.
bool mount_table_has(const char* folder, const char* name) {
  if (!*folder) return false;  // a folder whose path is not kept
  char path[kPathMax];
  size_t n = 0;
  for (const char* parts[] = {folder, "/", name}; const char* part : parts)
    for (; *part && n + 1 < sizeof path; ++part)
      if (*part != '/' || n == 0 || path[n - 1] != '/') path[n++] = *part;
  path[n] = 0;
  const int fd = libc::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  // Lines longer than the buffer are passed over.
  char buffer[8192];
  size_t held = 0;
  bool found = false;
  for (;;) {
    const ssize_t got = libc::read(fd, buffer + held, sizeof buffer - held);
    if (got <= 0) break;
    held += static_cast<size_t>(got);
    char* start = buffer;
    for (char* nl; !found && (nl = static_cast<char*>(std::memchr(start, '\n', buffer + held - start)));
         start = nl + 1)
      found = mount_line_is(start, nl, path);
    if (found) break;
    held = start == buffer && held == sizeof buffer ? 0 : held - static_cast<size_t>(start - buffer);
    std::memmove(buffer, start, held);
  }
  libc::close(fd);
  return found;
}

}  // namespace

bool entry_status(const PosixFile* f, int dir_fd, const char* name, struct stat* st, bool* mount_point) {
  struct statx x;
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT;
  const bool extended = libc::statx(dir_fd, name, flags, STATX_BASIC_STATS, &x) == 0;
  if (extended)
    stat_from_statx(x, st);
  else if (libc::fstatat(dir_fd, name, st, flags) != 0)
    return false;
  *mount_point = false;
  if (!S_ISDIR(st->st_mode) || st->st_ino == 0) return true;
  if (st->st_dev != f->identity.dev.load(std::memory_order_relaxed) || (extended && (x.stx_attributes & STATX_ATTR_MOUNT_ROOT)))
    *mount_point = true;
  else if (!extended || !(x.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT))
    *mount_point = mount_table_has(f->path, name);
  return true;
}

// Status of the open entry: the link itself when it was opened as one.
bool stat_of(int fd, const PosixFile* f, struct stat* st) {
  if (f && f->is_link)
    return (f->name ? libc::fstatat(f->parent_fd, f->name, st, AT_SYMLINK_NOFOLLOW) : libc::lstat(f->path, st)) == 0;
  if (libc::fstat(fd, st) != 0) return false;
  identity_keep(f, *st);
  return true;
}

void identity_keep(const PosixFile* f, const struct stat& st) {
  if (!f || f->identity.known.load(std::memory_order_acquire)) return;
  f->identity.dev.store(st.st_dev, std::memory_order_relaxed);
  f->identity.ino.store(st.st_ino, std::memory_order_relaxed);
  f->identity.known.store(true, std::memory_order_release);
}

bool identity_of(int fd, const PosixFile* f, dev_t* dev, ino_t* ino) {
  if (!f || !f->identity.known.load(std::memory_order_acquire)) {
    // The descriptor's own status: a link opened as itself is the link.
    struct stat st;
    if (libc::fstat(fd, &st) != 0) return false;
    if (!f) {
      *dev = st.st_dev;
      *ino = st.st_ino;
      return true;
    }
    identity_keep(f, st);
  }
  *dev = f->identity.dev.load(std::memory_order_relaxed);
  *ino = f->identity.ino.load(std::memory_order_relaxed);
  return true;
}

bool process_is_root() {
  static const bool root = geteuid() == 0;
  return root;
}

void fill_basic(FILE_BASIC_INFORMATION* b, const struct stat& st, uint32_t attrs) {
  b->CreationTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
  b->LastAccessTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_atim));
  b->LastWriteTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_mtim));
  b->ChangeTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
  b->FileAttributes = attrs;
}

void fill_standard(FILE_STANDARD_INFORMATION* s, const struct stat& st, const PosixFile* f) {
  const bool dir = S_ISDIR(st.st_mode);
  s->AllocationSize.QuadPart = dir ? 0 : static_cast<LONGLONG>(st.st_blocks) * 512;
  s->EndOfFile.QuadPart = dir ? 0 : static_cast<LONGLONG>(st.st_size);
  s->NumberOfLinks = static_cast<ULONG>(st.st_nlink);
  s->DeletePending = f && f->delete_pending;
  s->Directory = dir;
}

bool dir_is_empty(const char* path) {
  DIR* d = libc::opendir(path);
  if (!d) return false;
  bool empty = true;
  while (dirent* e = libc::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  libc::closedir(d);
  return empty;
}

NTSTATUS done(PIO_STATUS_BLOCK io, NTSTATUS st, ULONG_PTR information) {
  if (io) {
    io->Status = st;
    io->Information = information;
  }
  return st;
}

}  // namespace posix_file
