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
    char full[kPathMax];
    std::snprintf(full, sizeof full, "%s/%s", f->path, name);
    FILE_ID_EXTD_DIR_INFORMATION entry{};
    entry.CreationTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
    entry.LastAccessTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_atim));
    entry.LastWriteTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_mtim));
    entry.ChangeTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
    const bool dir = S_ISDIR(st.st_mode);
    entry.EndOfFile.QuadPart = dir || link ? 0 : static_cast<LONGLONG>(st.st_size);
    entry.AllocationSize.QuadPart = static_cast<LONGLONG>(st.st_blocks) * 512;
    entry.FileAttributes = attributes_of(st, link, full);
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
