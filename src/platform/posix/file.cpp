// Linux implementation of the file area: the native file calls mapped onto
// POSIX, status conversion, the error-mode switch and the token privilege
// calls.
#include "platform/platform.h"
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

namespace {

std::atomic<UINT> g_error_mode{0};

struct StatusMap {
  NTSTATUS status;
  ULONG error;
};

// The statuses this layer produces and the Win32 errors Windows gives them.
constexpr StatusMap kStatusMap[] = {
    {STATUS_SUCCESS, 0},
    {STATUS_PENDING, 997},
    {STATUS_USER_APC, 737},
    {STATUS_BUFFER_OVERFLOW, 234},
    {STATUS_NO_MORE_FILES, 18},
    {STATUS_STOPPED_ON_SYMLINK, 1463},
    {STATUS_NOT_IMPLEMENTED, 1},
    {STATUS_INVALID_INFO_CLASS, 87},
    {STATUS_INFO_LENGTH_MISMATCH, 24},
    {STATUS_INVALID_HANDLE, 6},
    {STATUS_INVALID_PARAMETER, 87},
    {STATUS_END_OF_FILE, 38},
    {STATUS_NO_MEMORY, 8},
    {STATUS_ACCESS_DENIED, 5},
    {STATUS_BUFFER_TOO_SMALL, 122},
    {STATUS_OBJECT_NAME_INVALID, 123},
    {STATUS_OBJECT_NAME_NOT_FOUND, 2},
    {STATUS_OBJECT_NAME_COLLISION, 183},
    {STATUS_OBJECT_PATH_NOT_FOUND, 3},
    {STATUS_SHARING_VIOLATION, 32},
    {STATUS_DELETE_PENDING, 5},
    {STATUS_PRIVILEGE_NOT_HELD, 1314},
    {STATUS_DISK_FULL, 112},
    {STATUS_MEDIA_WRITE_PROTECTED, 19},
    {STATUS_FILE_IS_A_DIRECTORY, 5},
    {STATUS_NOT_SUPPORTED, 50},
    {STATUS_NOT_SAME_DEVICE, 17},
    {STATUS_DIRECTORY_NOT_EMPTY, 145},
    {STATUS_NOT_A_DIRECTORY, 267},
    {STATUS_NAME_TOO_LONG, 206},
    {STATUS_TOO_MANY_OPENED_FILES, 4},
    {STATUS_CANNOT_DELETE, 5},
    {STATUS_IO_DEVICE_ERROR, 1117},
    {STATUS_TOO_MANY_LINKS, 1142},
    {STATUS_NOT_A_REPARSE_POINT, 4390},
    {STATUS_IO_REPARSE_DATA_INVALID, 4392},
    {STATUS_FILE_TOO_LARGE, 223},
};

}  // namespace

ULONG RtlNtStatusToDosError(NTSTATUS status) {
  for (const StatusMap& m : kStatusMap)
    if (m.status == status) return m.error;
  // Statuses of the Win32 facility carry the error in their low word.
  if ((static_cast<uint32_t>(status) & 0xFFFF0000u) == 0xC0070000u) return static_cast<uint32_t>(status) & 0xFFFFu;
  return 317;  // no text for this status (ERROR_MR_MID_NOT_FOUND)
}

// ---- native file calls on POSIX ----
//
// Names: \??\X:\a is /mnt/x/a and \a is /a (the POSIX root is the root of
// the current drive). A handle is a descriptor (posix_handle_from_fd) with a
// record of what the open asked for: the path, whether the entry was opened
// as a symbolic link itself, and the directory cursor. A record is trusted
// only while its descriptor still names the file it was made for, since a
// handle may also be closed by the Win32 close. Deletion happens at once
// (when marked, or at the open for delete-on-close): open descriptors keep
// the data, as handles do on Windows until the last one closes.
// Attributes: directory, reparse point for a symbolic link, read-only from
// the owner's write permission, archive for every file. Object names are
// \Device\HarddiskVolume<device>\<path>.

namespace {

constexpr uint64_t kEpochTicks = 116444736000000000ull;  // 1970-01-01 in 100 ns units since 1601
constexpr uint32_t kTagSymlink = 0xA000000Cu;
constexpr uint32_t kFsctlSet = 0x900A4;
constexpr uint32_t kFsctlGet = 0x900A8;
constexpr size_t kPathMax = 4096 * 3;

struct PosixFile {
  char* path;        // POSIX path as opened (heap)
  dev_t dev;
  ino_t ino;
  bool is_dir;
  bool is_link;      // the symbolic link itself
  bool delete_pending;
  DIR* dir;          // directory cursor, made on the first query
  char pending[1024];  // an entry read but not yet handed out
  bool has_pending;
};

std::mutex g_files_lock;
PosixFile** g_files = nullptr;
size_t g_files_size = 0;

void file_state_free(PosixFile* f);

PosixFile* file_state(int fd) {
  std::lock_guard<std::mutex> guard(g_files_lock);
  PosixFile* f = fd >= 0 && static_cast<size_t>(fd) < g_files_size ? g_files[fd] : nullptr;
  struct stat st;
  if (f && (fstat(fd, &st) != 0 || st.st_dev != f->dev || st.st_ino != f->ino)) {
    file_state_free(f);
    g_files[fd] = f = nullptr;
  }
  return f;
}

bool file_state_set(int fd, PosixFile* f) {
  std::lock_guard<std::mutex> guard(g_files_lock);
  if (static_cast<size_t>(fd) >= g_files_size) {
    size_t n = g_files_size ? g_files_size : 64;
    while (n <= static_cast<size_t>(fd)) n *= 2;
    auto** grown = static_cast<PosixFile**>(std::realloc(g_files, n * sizeof(PosixFile*)));
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
  if (f->dir) closedir(f->dir);
  std::free(f->path);
  std::free(f);
}

int handle_fd(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return -1;
  return posix_fd_from_handle(h);
}

NTSTATUS status_from_errno(int e) {
  switch (e) {
    case 0: return STATUS_SUCCESS;
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case EACCES: case EPERM: return STATUS_ACCESS_DENIED;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case ENOTEMPTY: return STATUS_DIRECTORY_NOT_EMPTY;
    case ENAMETOOLONG: return STATUS_NAME_TOO_LONG;
    case ENOSPC: case EDQUOT: return STATUS_DISK_FULL;
    case EROFS: return STATUS_MEDIA_WRITE_PROTECTED;
    case EMFILE: case ENFILE: return STATUS_TOO_MANY_OPENED_FILES;
    case EBADF: return STATUS_INVALID_HANDLE;
    case EINVAL: return STATUS_INVALID_PARAMETER;
    case ENOMEM: return STATUS_NO_MEMORY;
    case EXDEV: return STATUS_NOT_SAME_DEVICE;
    case EFBIG: return STATUS_FILE_TOO_LARGE;
    case ELOOP: return STATUS_TOO_MANY_LINKS;
    case EBUSY: case ETXTBSY: return STATUS_SHARING_VIOLATION;
    default: return STATUS_IO_DEVICE_ERROR;
  }
}

// UTF-16 units to UTF-8 bytes; a lone surrogate becomes U+FFFD. False when
// the result does not fit.
bool utf8_from_units(const WCHAR* s, size_t n, char* out, size_t cap, size_t* len) {
  size_t o = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    char b[4];
    size_t k;
    if (cp < 0x80) {
      b[0] = static_cast<char>(cp), k = 1;
    } else if (cp < 0x800) {
      b[0] = static_cast<char>(0xC0 | cp >> 6), b[1] = static_cast<char>(0x80 | (cp & 0x3F)), k = 2;
    } else if (cp < 0x10000) {
      b[0] = static_cast<char>(0xE0 | cp >> 12), b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      b[2] = static_cast<char>(0x80 | (cp & 0x3F)), k = 3;
    } else {
      b[0] = static_cast<char>(0xF0 | cp >> 18), b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), b[3] = static_cast<char>(0x80 | (cp & 0x3F)), k = 4;
    }
    if (o + k + 1 > cap) return false;
    std::memcpy(out + o, b, k);
    o += k;
  }
  out[o] = 0;
  *len = o;
  return true;
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
  if (!utf8_from_units(s, n, o, room, &len)) return STATUS_NAME_TOO_LONG;
  for (size_t i = 0; i < len; ++i)
    if (o[i] == '\\') o[i] = '/';
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
  return stat(parent, &st) == 0 && S_ISDIR(st.st_mode) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

uint64_t file_time(const timespec& t) {
  return kEpochTicks + static_cast<uint64_t>(t.tv_sec) * 10000000ull + static_cast<uint64_t>(t.tv_nsec) / 100;
}

uint32_t attributes_of(const struct stat& st, bool link, const char* path) {
  uint32_t a = 0;
  if (link) {
    a |= 0x400;
    struct stat target;
    if (path && stat(path, &target) == 0 && S_ISDIR(target.st_mode)) a |= 0x10;
    return a;
  }
  if (S_ISDIR(st.st_mode)) a |= 0x10;
  else a |= 0x20;
  if (!(st.st_mode & S_IWUSR)) a |= 0x01;
  return a ? a : 0x80;
}

// Status of the open entry: the link itself when it was opened as one.
bool stat_of(int fd, const PosixFile* f, struct stat* st) {
  if (f && f->is_link) return lstat(f->path, st) == 0;
  return fstat(fd, st) == 0;
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
  DIR* d = opendir(path);
  if (!d) return false;
  bool empty = true;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(d);
  return empty;
}

NTSTATUS done(PIO_STATUS_BLOCK io, NTSTATUS st, ULONG_PTR information) {
  if (io) {
    io->Status = st;
    io->Information = information;
  }
  return st;
}

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
  const mode_t mode = (file_attributes & 0x01) ? 0444 : 0666;
  if (link_itself) {
    fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  } else if (want_dir && !existed) {
    if (mkdir(path, 0777) != 0) return errno == ENOENT ? STATUS_OBJECT_PATH_NOT_FOUND : status_from_errno(errno);
    info = 2;
    fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

NTSTATUS NtQueryDirectoryFile(HANDLE handle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS info_class, BOOLEAN single_entry,
                              PUNICODE_STRING, BOOLEAN restart_scan) {
  const int fd = handle_fd(handle);
  PosixFile* f = fd >= 0 ? file_state(fd) : nullptr;
  if (!f) return STATUS_INVALID_HANDLE;
  if (!f->is_dir) return STATUS_INVALID_PARAMETER;
  size_t fixed;
  switch (info_class) {
    case FileDirectoryInformation: fixed = offsetof(FILE_DIRECTORY_INFORMATION, FileName); break;
    case FileIdFullDirectoryInformation: fixed = offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName); break;
    case FileIdExtdDirectoryInformation: fixed = offsetof(FILE_ID_EXTD_DIR_INFORMATION, FileName); break;
    default: return STATUS_INVALID_INFO_CLASS;
  }
  if (!f->dir) {
    const int dup_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dup_fd < 0 || !(f->dir = fdopendir(dup_fd))) {
      if (dup_fd >= 0) close(dup_fd);
      return status_from_errno(errno);
    }
  }
  if (restart_scan) {
    rewinddir(f->dir);
    f->has_pending = false;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  size_t used = 0, last = SIZE_MAX;
  for (;;) {
    char name[sizeof f->pending];
    if (f->has_pending) {
      std::memcpy(name, f->pending, sizeof name);
      f->has_pending = false;
    } else {
      errno = 0;
      dirent* e = readdir(f->dir);
      if (!e) break;
      std::strncpy(name, e->d_name, sizeof name - 1);
      name[sizeof name - 1] = 0;
    }
    WCHAR wide[512];
    const size_t units = posix_units_from_utf8(name, wide, 512);
    const size_t size = fixed + (units < 512 ? units : 512) * 2;
    const size_t start = (used + 7) & ~size_t{7};
    if (start + size > length) {
      std::memcpy(f->pending, name, sizeof name);
      f->has_pending = true;
      if (last == SIZE_MAX) return done(io, STATUS_BUFFER_OVERFLOW, 0);
      break;
    }
    struct stat st{};
    fstatat(dirfd(f->dir), name, &st, AT_SYMLINK_NOFOLLOW);
    const bool link = S_ISLNK(st.st_mode);
    // Only a link's attributes need its full path (to look at its target).
    char full[kPathMax];
    if (link) std::snprintf(full, sizeof full, "%s/%s", f->path, name);
    FILE_ID_EXTD_DIR_INFORMATION entry{};
    entry.CreationTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
    entry.LastAccessTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_atim));
    entry.LastWriteTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_mtim));
    entry.ChangeTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
    const bool dir = S_ISDIR(st.st_mode);
    entry.EndOfFile.QuadPart = dir || link ? 0 : static_cast<LONGLONG>(st.st_size);
    entry.AllocationSize.QuadPart = static_cast<LONGLONG>(st.st_blocks) * 512;
    entry.FileAttributes = attributes_of(st, link, link ? full : nullptr);
    entry.FileNameLength = static_cast<ULONG>((units < 512 ? units : 512) * 2);
    uint8_t* e = out + start;
    std::memcpy(e, &entry, offsetof(FILE_DIRECTORY_INFORMATION, FileName));
    if (info_class == FileIdFullDirectoryInformation) {
      FILE_ID_FULL_DIR_INFORMATION full_entry{};
      full_entry.EaSize = link ? kTagSymlink : 0;
      full_entry.FileId.QuadPart = static_cast<LONGLONG>(st.st_ino);
      std::memcpy(e + offsetof(FILE_ID_FULL_DIR_INFORMATION, EaSize), &full_entry.EaSize,
                  fixed - offsetof(FILE_ID_FULL_DIR_INFORMATION, EaSize));
    } else if (info_class == FileIdExtdDirectoryInformation) {
      entry.ReparsePointTag = link ? kTagSymlink : 0;
      const uint64_t ino = st.st_ino;
      std::memcpy(entry.FileId.Identifier, &ino, sizeof ino);
      std::memcpy(e, &entry, fixed);
    }
    std::memcpy(e + fixed, wide, entry.FileNameLength);
    if (last != SIZE_MAX) {
      const ULONG next = static_cast<ULONG>(start - last);
      std::memcpy(out + last, &next, sizeof next);
    }
    last = start;
    used = start + size;
    if (single_entry) break;
  }
  if (last == SIZE_MAX) return done(io, STATUS_NO_MORE_FILES, 0);
  return done(io, STATUS_SUCCESS, used);
}

NTSTATUS NtQueryInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                FILE_INFORMATION_CLASS info_class) {
  const int fd = handle_fd(handle);
  if (fd < 0) return STATUS_INVALID_HANDLE;
  const PosixFile* f = file_state(fd);
  struct stat st;
  if (!stat_of(fd, f, &st)) return status_from_errno(errno);
  const uint32_t attrs = attributes_of(st, f && f->is_link, f ? f->path : nullptr);
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
    case FileInternalInformation: {
      if (!need(sizeof(FILE_INTERNAL_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      static_cast<FILE_INTERNAL_INFORMATION*>(buffer)->IndexNumber.QuadPart = static_cast<LONGLONG>(st.st_ino);
      return done(io, STATUS_SUCCESS, sizeof(FILE_INTERNAL_INFORMATION));
    }
    case FileAttributeTagInformation: {
      if (!need(sizeof(FILE_ATTRIBUTE_TAG_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      auto* t = static_cast<FILE_ATTRIBUTE_TAG_INFORMATION*>(buffer);
      t->FileAttributes = attrs;
      t->ReparseTag = f && f->is_link ? kTagSymlink : 0;
      return done(io, STATUS_SUCCESS, sizeof(FILE_ATTRIBUTE_TAG_INFORMATION));
    }
    case FileIdInformation: {
      if (!need(sizeof(FILE_ID_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      auto* id = static_cast<FILE_ID_INFORMATION*>(buffer);
      std::memset(id, 0, sizeof *id);
      id->VolumeSerialNumber = st.st_dev;
      const uint64_t ino = st.st_ino;
      std::memcpy(id->FileId.Identifier, &ino, sizeof ino);
      return done(io, STATUS_SUCCESS, sizeof(FILE_ID_INFORMATION));
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
      for (size_t i = 0; i < units; ++i)
        if (name[i] == u'/') name[i] = u'\\';
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

NTSTATUS NtSetInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                              FILE_INFORMATION_CLASS info_class) {
  const int fd = handle_fd(handle);
  if (fd < 0) return STATUS_INVALID_HANDLE;
  PosixFile* f = file_state(fd);
  struct stat st;
  if (!stat_of(fd, f, &st)) return status_from_errno(errno);
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
          const int64_t ticks = v - static_cast<int64_t>(kEpochTicks);
          int64_t sec = ticks / 10000000, rem = ticks % 10000000;
          if (rem < 0) rem += 10000000, --sec;
          t->tv_sec = static_cast<time_t>(sec);
          t->tv_nsec = static_cast<long>(rem * 100);
        }
      };
      put(&times[0], b->LastAccessTime.QuadPart);
      put(&times[1], b->LastWriteTime.QuadPart);
      if (times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) {
        const int r = f ? utimensat(AT_FDCWD, f->path, times, f->is_link ? AT_SYMLINK_NOFOLLOW : 0)
                        : futimens(fd, times);
        if (r != 0) return status_from_errno(errno);
      }
      if (b->FileAttributes != 0 && !(f && f->is_link)) {
        const mode_t mode = (b->FileAttributes & 0x01) ? (st.st_mode & ~mode_t{0222}) : (st.st_mode | S_IWUSR);
        if ((mode & 07777) != (st.st_mode & 07777)) {
          const int r = f ? chmod(f->path, mode & 07777) : fchmod(fd, mode & 07777);
          if (r != 0) return status_from_errno(errno);
        }
      }
      return done(io, STATUS_SUCCESS, 0);
    }
    case FileDispositionInformation: {
      if (length < 1 || !f) return STATUS_INVALID_PARAMETER;
      const bool yes = *static_cast<const BOOLEAN*>(buffer) != 0;
      if (!yes || f->delete_pending) return done(io, STATUS_SUCCESS, 0);
      if (!f->is_link) {
        if (f->is_dir && !dir_is_empty(f->path)) return STATUS_DIRECTORY_NOT_EMPTY;
        // Windows refuses to delete a read-only entry.
        if (!(st.st_mode & S_IWUSR)) return STATUS_CANNOT_DELETE;
      }
      if ((f->is_dir ? rmdir(f->path) : unlink(f->path)) != 0) return status_from_errno(errno);
      f->delete_pending = true;
      return done(io, STATUS_SUCCESS, 0);
    }
    case FileEndOfFileInformation: {
      if (length < 8) return STATUS_INFO_LENGTH_MISMATCH;
      const auto* eof = static_cast<const LARGE_INTEGER*>(buffer);
      if (ftruncate(fd, static_cast<off_t>(eof->QuadPart)) != 0) return status_from_errno(errno);
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
  struct stat st;
  if (!stat_of(fd, file_state(fd), &st)) return status_from_errno(errno);
  if (info_class == FileFsVolumeInformation) {
    constexpr size_t fixed = offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
    if (length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
    auto* v = static_cast<FILE_FS_VOLUME_INFORMATION*>(buffer);
    std::memset(v, 0, fixed);
    v->VolumeSerialNumber = static_cast<ULONG>(st.st_dev);
    return done(io, STATUS_SUCCESS, fixed);
  }
  if (info_class == FileFsDeviceInformation) {
    if (length < sizeof(FILE_FS_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    auto* d = static_cast<FILE_FS_DEVICE_INFORMATION*>(buffer);
    d->DeviceType = 7;  // disk
    d->Characteristics = 0;
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
  struct stat st;
  if (!stat_of(fd, f, &st)) return status_from_errno(errno);
  char text[kPathMax + 64];
  std::snprintf(text, sizeof text, "/Device/HarddiskVolume%llu%s", static_cast<unsigned long long>(st.st_dev),
                f->path);
  for (char* p = text; *p; ++p)
    if (*p == '/') *p = '\\';
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

NTSTATUS NtFsControlFile(HANDLE handle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, ULONG code,
                         PVOID in_buffer, ULONG in_length, PVOID out_buffer, ULONG out_length) {
  const int fd = handle_fd(handle);
  PosixFile* f = fd >= 0 ? file_state(fd) : nullptr;
  if (!f) return STATUS_INVALID_HANDLE;
  if (code == kFsctlGet) {
    if (!f->is_link) return STATUS_NOT_A_REPARSE_POINT;
    char target[kPathMax];
    const ssize_t n = readlink(f->path, target, sizeof target - 1);
    if (n < 0) return status_from_errno(errno);
    target[n] = 0;
    // The link text in the system's form: /mnt/x/a is \??\X:\a.
    char text[kPathMax + 8];
    const bool drive = n >= 6 && std::strncmp(target, "/mnt/", 5) == 0 && std::isalpha(target[5]) &&
                       (n == 6 || target[6] == '/');
    if (drive)
      std::snprintf(text, sizeof text, "\\??\\%c:%s", std::toupper(target[5]), target + 6);
    else
      std::snprintf(text, sizeof text, "%s", target);
    for (char* p = text; *p; ++p)
      if (*p == '/') *p = '\\';
    const size_t units = posix_units_from_utf8(text, nullptr, 0);
    const size_t print_skip = drive ? 4 : 0;
    const size_t total = 20 + (units + 1) * 2 + (units - print_skip + 1) * 2;
    if (out_length < total || total > 16384) return STATUS_BUFFER_TOO_SMALL;
    auto* p = static_cast<uint8_t*>(out_buffer);
    std::memset(p, 0, total);
    const uint32_t tag = kTagSymlink, flags = target[0] != '/';
    const uint16_t hdr[6] = {static_cast<uint16_t>(total - 8), 0, 0, static_cast<uint16_t>(units * 2),
                             static_cast<uint16_t>(units * 2 + 2), static_cast<uint16_t>((units - print_skip) * 2)};
    std::memcpy(p, &tag, 4);
    std::memcpy(p + 4, hdr, sizeof hdr);
    std::memcpy(p + 16, &flags, 4);
    auto* names = reinterpret_cast<WCHAR*>(p + 20);
    posix_units_from_utf8(text, names, units);
    posix_units_from_utf8(text + print_skip, names + units + 1, units - print_skip);
    return done(io, STATUS_SUCCESS, total);
  }
  if (code == kFsctlSet) {
    const auto* p = static_cast<const uint8_t*>(in_buffer);
    if (!p || in_length < 20) return STATUS_IO_REPARSE_DATA_INVALID;
    uint32_t tag;
    uint16_t offset, bytes;
    std::memcpy(&tag, p, 4);
    std::memcpy(&offset, p + 8, 2);
    std::memcpy(&bytes, p + 10, 2);
    if (tag != kTagSymlink) return STATUS_NOT_SUPPORTED;
    if (size_t{20} + offset + bytes > in_length || (offset | bytes) & 1) return STATUS_IO_REPARSE_DATA_INVALID;
    WCHAR name[kPathMax];
    const size_t units = bytes / 2 < kPathMax ? bytes / 2 : kPathMax;
    std::memcpy(name, p + 20 + offset, units * 2);
    UNICODE_STRING us{static_cast<USHORT>(units * 2), static_cast<USHORT>(units * 2), name};
    char target[kPathMax];
    if (units > 0 && name[0] == u'\\') {
      const NTSTATUS st = posix_path(&us, target, sizeof target);
      if (st != STATUS_SUCCESS) return st;
    } else {
      size_t len;
      if (!utf8_from_units(name, units, target, sizeof target, &len)) return STATUS_NAME_TOO_LONG;
      for (char* c = target; *c; ++c)
        if (*c == '\\') *c = '/';
    }
    // The entry the handle names becomes the link.
    if ((f->is_dir ? rmdir(f->path) : unlink(f->path)) != 0) return status_from_errno(errno);
    if (symlink(target, f->path) != 0) return status_from_errno(errno);
    f->is_link = true;
    f->is_dir = false;
    return done(io, STATUS_SUCCESS, 0);
  }
  return STATUS_NOT_SUPPORTED;
}

// The mode is only remembered: there are no system dialogs to suppress.
UINT SetErrorMode(UINT mode) { return g_error_mode.exchange(mode); }

// Threads have no token of their own; the process token is a descriptor of
// /dev/null so that it is released like any other handle. Symbolic links
// need no privilege here, so every privilege counts as enabled.
BOOL OpenThreadToken(HANDLE, DWORD, BOOL, PHANDLE token) {
  if (token) *token = nullptr;
  SetLastError(1008);  // no token
  return FALSE;
}

BOOL OpenProcessToken(HANDLE process, DWORD, PHANDLE token) {
  if (token) *token = nullptr;
  if (process != NtCurrentProcess() || !token) {
    SetLastError(6);
    return FALSE;
  }
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(posix_error_from_errno(errno));
    return FALSE;
  }
  *token = posix_handle_from_fd(fd);
  return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR, LPCWSTR name, PLUID luid) {
  if (!name || !luid) {
    SetLastError(87);
    return FALSE;
  }
  luid->LowPart = 35;  // the identifier Windows gives SeCreateSymbolicLinkPrivilege
  luid->HighPart = 0;
  return TRUE;
}

BOOL PrivilegeCheck(HANDLE token, PPRIVILEGE_SET privileges, PBOOL result) {
  if (!token || !privileges || !result) {
    SetLastError(87);
    return FALSE;
  }
  *result = TRUE;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL, PTOKEN_PRIVILEGES new_state, DWORD, PTOKEN_PRIVILEGES,
                           LPDWORD) {
  if (!token || !new_state) {
    SetLastError(87);
    return FALSE;
  }
  SetLastError(0);
  return TRUE;
}
