// Shared state of the Linux file calls: handle records, status conversion,
// name mapping and information filling.
// Names: \??\X:\a is /mnt/x/a and \a is /a (the POSIX root is the root of
// the current drive). A handle is a descriptor (posix_handle_from_fd) with a
// record of what the open asked for: the path, whether the entry was opened
// as a symbolic link itself, and the directory cursor. Both the native and
// the Win32 close drop the record with its descriptor. Deletion happens at once
// (when marked, or at the open for delete-on-close): open descriptors keep
// the data, as handles do on Windows until the last one closes.
// Attributes: directory, reparse point for a symbolic link (never a folder:
// what a link points to is never looked at) and, in a listing, for a folder
// where a file system is mounted; read-only from
// the owner's write permission, archive for every file. Object names are
// \Device\HarddiskVolume<device>\<path>.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/conventions.h"
#include "platform/posix/libc_door.h"

namespace posix_file {

constexpr uint32_t kTagSymlink = 0xA000000Cu;
// File attribute bits the layer reports and takes.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kAttrReparsePoint = 0x400;
// The access rights that reach a file's data: read, write and append.
constexpr uint32_t kDataAccess = 0x1 | 0x2 | 0x4;
constexpr uint32_t kTagMountPoint = 0xA0000003u;
constexpr uint32_t kFsctlSet = 0x900A4;
constexpr uint32_t kFsctlGet = 0x900A8;
constexpr size_t kPathMax = size_t{4096} * 3;

// The device and inode of an open entry (a descriptor's never change): set
// at the open where its status is at hand, else by the first status asked,
// from whichever thread asks first.
struct FileIdentity {
  std::atomic<uint64_t> dev{0};
  std::atomic<uint64_t> ino{0};
  std::atomic<bool> known{false};
};

// A folder read by its descriptor: the batch of entries the kernel gave
// (heap, made on the first query and dropped at the end of the folder) and
// the place of the next entry in it.
struct FolderCursor {
  char* batch;
  uint32_t at;
  uint32_t end;
  bool finished;  // the kernel has no more entries: later queries ask nothing
  int8_t remote;  // the folder lies on a network file system: 1, local 0, -1 not asked yet
};

struct PosixFile {
  char* path;        // POSIX path as opened (heap)
  // An entry opened by name within an open folder: a copy of that folder's
  // descriptor and the name (heap), so that deleting it never re-walks the
  // path. Name null otherwise.
  int parent_fd;
  char* name;
  mutable FileIdentity identity;
  bool is_dir;
  bool is_link;      // the symbolic link itself
  bool delete_pending;
  // The access the open asked for: the information calls check it as
  // Windows does, so an open that asks for too little fails here too.
  ACCESS_MASK access;
  FolderCursor cursor;
};

// The record of an open descriptor, or null when it has none.
PosixFile* file_state(int fd);
bool file_state_set(int fd, PosixFile* f);
void file_state_free(PosixFile* f);
int handle_fd(HANDLE h);
NTSTATUS status_from_errno(int e);
// The POSIX path of a native name.
NTSTATUS posix_path(const UNICODE_STRING* name, char* out, size_t cap);
// Missing entry: its name, or a folder on the way.
NTSTATUS missing_status(const char* path);
uint64_t file_time(const timespec& t);
uint32_t attributes_of(const struct stat& st, bool link);
// Status of the entry `name` of the open folder `f` (a link itself, never
// what it points to), and whether a file system is mounted there: a folder
// on another device than its folder, or the root of a mount (bind mounts of
// the same file system included). False with errno set on failure.
bool entry_status(const PosixFile* f, int dir_fd, const char* name, struct stat* st, bool* mount_point);
// Status of the open entry: the link itself when it was opened as one.
bool stat_of(int fd, const PosixFile* f, struct stat* st);
// Device and inode of the open entry: those kept, else from its status
// (then kept). False with errno set when the status fails.
bool identity_of(int fd, const PosixFile* f, dev_t* dev, ino_t* ino);
void identity_keep(const PosixFile* f, const struct stat& st);
// Whether the process runs as root (asked once).
bool process_is_root();
void fill_basic(FILE_BASIC_INFORMATION* b, const struct stat& st, uint32_t attrs);
void fill_standard(FILE_STANDARD_INFORMATION* s, const struct stat& st, const PosixFile* f);
bool dir_is_empty(const char* path);
// STATUS_ACCESS_DENIED when the handle's open asked for none of `needed`
// (a handle without a record is not checked).
inline NTSTATUS access_check(const PosixFile* f, ACCESS_MASK needed) {
  return f && needed && !(f->access & needed) ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
}
// Stores the status and information in the I/O status block and returns the status.
NTSTATUS done(PIO_STATUS_BLOCK io, NTSTATUS st, ULONG_PTR information);

// Whether the open entry `fd` of device `dev` lies on a file system where
// each status is a round trip (network file systems, FUSE).
bool folder_is_remote(int fd, dev_t dev);

// Whether the extended attribute `name` is one the process copies: user.*
// and the access lists always, trusted.* and security.* as root (only root
// may set them).
bool xattr_copied(const char* name, bool root);

}  // namespace posix_file
