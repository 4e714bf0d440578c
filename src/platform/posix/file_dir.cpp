// Linux file calls: directory enumeration in the three entry formats.
#include "platform/posix/file_state.h"

#include "platform/posix/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>
#include <signal.h>
#include <sys/vfs.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
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

// Set once the kernel turns out to lack listxattrat (an entry's attributes
// by name within its folder); then they are asked through /proc/self/fd.
std::atomic<bool> g_no_listxattrat{false};

// Whether the file or folder `name` of the open folder has extended
// attributes of the kinds the process copies (`root`: as root): the size of
// their names (0: none, or none on its file system; 1 when it cannot be
// told). Others (security.selinux of a user's files) cost a re-run nothing.
// Links and special files have none that are copied.
ULONG xattr_names(int dir_fd, const char* name, const struct stat& st, bool root) {
  if (!(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) || st.st_ino == 0) return 0;
  char list[1024];
  ssize_t n = -1;
  bool by_path = g_no_listxattrat.load(std::memory_order_relaxed);
  if (!by_path) {
    n = libc::listxattr_at(dir_fd, name, AT_SYMLINK_NOFOLLOW, list, sizeof list);
    // Not there (an older kernel), or refused by a system call filter.
    by_path = n < 0 && (errno == ENOSYS || errno == EPERM);
    if (n < 0 && errno == ENOSYS) g_no_listxattrat.store(true, std::memory_order_relaxed);
  }
  if (by_path) {
    char path[64 + 256];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", dir_fd, name);
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

// What the listing tells of one entry, found without following a link and
// without opening it, so special files never block the listing.
struct EntryFacts {
  struct stat st;
  bool mount;     // a folder where a file system is mounted, like a junction on Windows
  ULONG xattrs;   // the size of the names of its copied extended attributes
};

// One entry of the folder on its way into the caller's buffer: its name and
// where its record starts.
struct Pending {
  const char* name;
  size_t start;
};

// `xattrs`: whether the class in use carries the attribute names' size.
void describe(const PosixFile* f, int dir_fd, const char* name, bool owners, bool xattrs, EntryFacts* facts) {
  facts->mount = false;
  facts->xattrs = 0;
  // "." and ".." are folders; no caller looks further at them.
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
    facts->st = {};
    facts->st.st_mode = S_IFDIR;
    return;
  }
  if (!entry_status(f, dir_fd, name, &facts->st, &facts->mount)) {
    facts->st = {};
    return;
  }
  if (xattrs) facts->xattrs = xattr_names(dir_fd, name, facts->st, owners);
}

// Writes the record at `e` in the class's layout from the facts; its name
// units are there already.
void put_entry(uint8_t* e, FILE_INFORMATION_CLASS info_class, size_t fixed, size_t unit_count, const EntryFacts& facts,
               bool owners) {
  const struct stat& st = facts.st;
  const bool link = S_ISLNK(st.st_mode);
  FILE_ID_EXTD_DIR_INFORMATION entry{};
  entry.CreationTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
  entry.LastAccessTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_atim));
  entry.LastWriteTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_mtim));
  entry.ChangeTime.QuadPart = static_cast<LONGLONG>(file_time(st.st_ctim));
  const bool dir = S_ISDIR(st.st_mode);
  entry.EndOfFile.QuadPart = dir || link ? 0 : static_cast<LONGLONG>(st.st_size);
  entry.AllocationSize.QuadPart = static_cast<LONGLONG>(uint64_t(st.st_blocks) * 512);
  entry.FileAttributes = attributes_of(st, link) | (facts.mount ? kAttrReparsePoint : 0);
  const uint32_t tag = link ? kTagSymlink : facts.mount ? kTagMountPoint : 0;
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
                                  static_cast<ULONG>(st.st_nlink), facts.xattrs};
      std::memcpy(e + kLinuxDirModeAt, &posix, sizeof posix);
    }
  }
}

// ---- Statuses of a network folder's entries, asked on several threads.
// On a share every status is a round trip; the Windows call that lists a
// folder returns them all in one, so this layer asks a batch of them at
// once. The threads are the layer's own, started at the first such folder
// and kept for the life of the process.

constexpr size_t kStatusThreads = 8;

struct StatusJob {
  const PosixFile* f;
  int dir_fd;
  bool owners;
  bool xattrs;
  const Pending* run;
  EntryFacts* facts;
  size_t count;
  std::atomic<size_t> next{0};
  size_t workers = 0;  // threads of the pool at work on it (under the pool's lock)
};

struct StatusPool {
  std::mutex lock;
  std::condition_variable work;      // a job was posted
  std::condition_variable finished;  // a thread left a job
  StatusJob* jobs[8] = {};
  size_t job_count = 0;
  size_t threads = 0;
};

// Never destroyed: its threads wait on it until the process ends.
StatusPool& status_pool() {
  static StatusPool* pool = new StatusPool;
  return *pool;
}

void work_on(StatusJob* job) {
  for (size_t i; (i = job->next.fetch_add(1, std::memory_order_relaxed)) < job->count;)
    describe(job->f, job->dir_fd, job->run[i].name, job->owners, job->xattrs, &job->facts[i]);
}

void* status_thread(void* parameter) {
  auto* pool = static_cast<StatusPool*>(parameter);
  std::unique_lock<std::mutex> held(pool->lock);
  for (;;) {
    StatusJob* job = nullptr;
    pool->work.wait(held, [&] {
      for (size_t i = 0; i < pool->job_count && !job; ++i)
        if (pool->jobs[i]->next.load(std::memory_order_relaxed) < pool->jobs[i]->count) job = pool->jobs[i];
      return job != nullptr;
    });
    ++job->workers;
    held.unlock();
    work_on(job);
    held.lock();
    if (--job->workers == 0) pool->finished.notify_all();
  }
}

// The facts of every entry of the run, on the pool's threads and this one.
void describe_in_parallel(StatusJob* job) {
  StatusPool& pool = status_pool();
  bool posted = false;
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    if (pool.job_count < sizeof pool.jobs / sizeof pool.jobs[0]) {
      pool.jobs[pool.job_count++] = job;
      posted = true;
    }
    if (posted && pool.threads < kStatusThreads) {
      // Console control is taken by the layer's own thread, never by these.
      sigset_t all, before;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, &before);
      pthread_attr_t attr;
      pthread_attr_init(&attr);
      pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
      pthread_t started;
      // Where no more threads can be had, those there are do the work.
      while (pool.threads < kStatusThreads && pthread_create(&started, &attr, status_thread, &pool) == 0)
        ++pool.threads;
      pthread_attr_destroy(&attr);
      pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
  }
  if (posted) pool.work.notify_all();
  work_on(job);
  if (!posted) return;
  std::unique_lock<std::mutex> held(pool.lock);
  for (size_t i = 0; i < pool.job_count; ++i) {
    if (pool.jobs[i] == job) {
      pool.jobs[i] = pool.jobs[--pool.job_count];
      break;
    }
  }
  pool.finished.wait(held, [&] { return job->workers == 0; });
}


// The kernel's batch of entries: the next one, or null when it is used up.
const dirent64* batch_entry(const FolderCursor& c) {
  return c.at < c.end ? reinterpret_cast<const dirent64*>(c.batch + c.at) : nullptr;
}

constexpr size_t kBatchBytes = 32768;
constexpr size_t kRunMax = 64;  // entries described at a time

}  // namespace

// Whether the open folder lies on a file system where each status is a round
// trip: network file systems and FUSE. Asked once per device (and anew once
// the call that tells is replaced).
bool posix_file::folder_is_remote(int fd, dev_t dev) {
  static std::mutex lock;
  static dev_t known_dev[16];
  static bool known_remote[16];
  static size_t known = 0;
  static decltype(sys::g_libc.fstatfs.current) asked_by = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (asked_by != sys::g_libc.fstatfs.current) {
      asked_by = sys::g_libc.fstatfs.current;
      known = 0;
    }
    for (size_t i = 0; i < known; ++i)
      if (known_dev[i] == dev) return known_remote[i];
  }
  struct statfs fs;
  if (libc::fstatfs(fd, &fs) != 0) return false;
  constexpr uint32_t kRemote[] = {
      0x6969,      // NFS
      0x517B,      // SMB
      0xFF534D42,  // CIFS
      0xFE534D42,  // SMB2
      0x65735546,  // FUSE
      0x00C36400,  // Ceph
      0x5346414F,  // AFS
      0x6B414653,  // kAFS
      0x01021997,  // 9P
      0x564C,      // NCP
      0x73757245,  // Coda
      0x0BD00BD0,  // Lustre
      0x47504653,  // GPFS
  };
  bool remote = false;
  for (uint32_t magic : kRemote) remote |= static_cast<uint32_t>(fs.f_type) == magic;
  std::lock_guard<std::mutex> guard(lock);
  if (known < sizeof known_dev / sizeof known_dev[0]) {
    known_dev[known] = dev;
    known_remote[known++] = remote;
  }
  return remote;
}

NTSTATUS NtQueryDirectoryFile(HANDLE handle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS info_class, BOOLEAN single_entry,
                              PUNICODE_STRING, BOOLEAN restart_scan) {
  const int fd = handle_fd(handle);
  PosixFile* f = fd >= 0 ? file_state(fd) : nullptr;
  if (!f) return STATUS_INVALID_HANDLE;
  if (!f->is_dir) return STATUS_INVALID_PARAMETER;
  const size_t fixed = fixed_size(info_class);
  if (fixed == 0) return STATUS_INVALID_INFO_CLASS;
  // The folder's device tells mount points among its entries.
  dev_t dev;
  ino_t ino;
  if (!identity_of(fd, f, &dev, &ino)) return status_from_errno(errno);
  FolderCursor& c = f->cursor;
  if (restart_scan) {
    if (libc::lseek(fd, 0, SEEK_SET) < 0) return status_from_errno(errno);
    c.at = c.end = 0;
    c.finished = false;
  }
  if (c.finished) return done(io, STATUS_NO_MORE_FILES, 0);
  if (!c.batch && !(c.batch = static_cast<char*>(std::malloc(kBatchBytes)))) return STATUS_NO_MEMORY;
  if (c.remote < 0) c.remote = folder_is_remote(fd, dev) ? 1 : 0;
  const bool owners = process_is_root();

  auto* out = static_cast<uint8_t*>(buffer);
  size_t used = 0, last = SIZE_MAX;
  bool full = false;
  int failed = 0;
  while (!full && !c.finished) {
    if (!batch_entry(c)) {
      const ssize_t got = libc::getdents64(fd, c.batch, kBatchBytes);
      // A folder removed while open reads as empty, as the C library's
      // reader has it.
      if (got == 0 || (got < 0 && errno == ENOENT)) {
        c.finished = true;
        break;
      }
      if (got < 0) {
        failed = errno;
        break;
      }
      c.at = 0;
      c.end = static_cast<uint32_t>(got);
    }
    // A run of entries that fit: their names go in place at once, their
    // statuses are asked together, then their records are written.
    Pending run[kRunMax];
    size_t count = 0;
    for (const dirent64* d; count < kRunMax && (d = batch_entry(c));) {
      WCHAR wide[512];
      const size_t needed = posix_units_from_utf8(d->d_name, wide, 512);
      const size_t units = needed < 512 ? needed : 512;
      const size_t size = fixed + units * 2;
      const size_t start = (used + 7) & ~size_t{7};
      if (start + size > length) {
        full = true;  // held back for the next call
        break;
      }
      std::memcpy(out + start + fixed, wide, units * 2);
      std::memset(out + start, 0, fixed);
      const ULONG name_length = static_cast<ULONG>(units * 2);
      std::memcpy(out + start + offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength), &name_length,
                  sizeof name_length);
      run[count++] = Pending{d->d_name, start};
      c.at += d->d_reclen;
      if (last != SIZE_MAX) {
        const ULONG next = static_cast<ULONG>(start - last);
        std::memcpy(out + last, &next, sizeof next);
      }
      last = start;
      used = start + size;
      if (single_entry) {
        full = true;
        break;
      }
    }
    if (count == 0) continue;
    EntryFacts facts[kRunMax];
    StatusJob job;
    job.f = f;
    job.dir_fd = fd;
    job.owners = owners;
    job.xattrs = info_class == FileLinuxDirectoryInformation;
    job.run = run;
    job.facts = facts;
    job.count = count;
    if (c.remote == 1 && count > 1)
      describe_in_parallel(&job);
    else
      work_on(&job);
    for (size_t i = 0; i < count; ++i) {
      uint8_t* e = out + run[i].start;
      ULONG name_length;
      std::memcpy(&name_length, e + offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength), sizeof name_length);
      ULONG next_offset;
      std::memcpy(&next_offset, e, sizeof next_offset);
      put_entry(e, info_class, fixed, name_length / 2, facts[i], owners);
      std::memcpy(e, &next_offset, sizeof next_offset);
    }
  }
  if (c.finished) {
    // A folder read to its end gives back its batch buffer, which a deep walk
    // would otherwise hold for every open level.
    std::free(c.batch);
    c.batch = nullptr;
    c.at = c.end = 0;
  }
  if (last == SIZE_MAX) {
    if (failed) return status_from_errno(failed);
    if (full) return done(io, STATUS_BUFFER_OVERFLOW, 0);
    return done(io, STATUS_NO_MORE_FILES, 0);
  }
  return done(io, STATUS_SUCCESS, used);
}
