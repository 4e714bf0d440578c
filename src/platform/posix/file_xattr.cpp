// Linux file calls: the extended attributes of an entry copied to another.
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/file_state.h"

using namespace posix_file;

namespace {

// The largest list of names and the largest value the kernel keeps.
constexpr size_t kXattrMax = 65536;

// One open entry's attributes: by its descriptor, or for a bare descriptor
// (O_PATH: a file opened without read permission) through its /proc name.
struct XattrEntry {
  int fd;
  bool by_path = false;
  char path[32] = {};

  explicit XattrEntry(int descriptor) : fd(descriptor) {}
  // Runs `call` by descriptor; on EBADF once more by path.
  template <typename ByFd, typename ByPath>
  ssize_t run(ByFd by_fd, ByPath by_path_call) {
    if (!by_path) {
      const ssize_t r = by_fd(fd);
      if (r >= 0 || errno != EBADF) return r;
      std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
      by_path = true;
    }
    return by_path_call(path);
  }
  ssize_t list(char* out, size_t size) {
    return run([&](int d) { return libc::flistxattr(d, out, size); },
               [&](const char* p) { return libc::listxattr(p, out, size); });
  }
  ssize_t get(const char* name, void* out, size_t size) {
    return run([&](int d) { return libc::fgetxattr(d, name, out, size); },
               [&](const char* p) { return libc::getxattr(p, name, out, size); });
  }
  int set(const char* name, const void* value, size_t size) {
    return static_cast<int>(run([&](int d) { return ssize_t{libc::fsetxattr(d, name, value, size, 0)}; },
                                [&](const char* p) { return ssize_t{libc::setxattr(p, name, value, size, 0)}; }));
  }
  int remove(const char* name) {
    return static_cast<int>(run([&](int d) { return ssize_t{libc::fremovexattr(d, name)}; },
                                [&](const char* p) { return ssize_t{libc::removexattr(p, name)}; }));
  }
  int chmod(mode_t mode) {
    return static_cast<int>(run([&](int d) { return ssize_t{libc::fchmod(d, mode)}; },
                                [&](const char* p) { return ssize_t{libc::chmod(p, mode)}; }));
  }
};

// A read-only entry of the process's own refuses user.* attributes even to
// its owner: the owner's write bit is added for the change and taken away
// again (nobody else gains any access meanwhile).
struct OwnerWrite {
  XattrEntry* entry;
  mode_t restore = 0;
  bool added = false;

  // Whether a change refused with `error` may be tried again so.
  bool add(int error) {
    struct stat st;
    if (added || error != EACCES || libc::fstat(entry->fd, &st) != 0 || st.st_uid != geteuid() ||
        (st.st_mode & S_IWUSR) || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
      return false;
    restore = st.st_mode & 07777;
    added = entry->chmod(restore | S_IWUSR) == 0;
    return added;
  }
  ~OwnerWrite() {
    if (added) entry->chmod(restore);
  }
};

bool unsupported(int e) { return e == EOPNOTSUPP || e == ENOTSUP; }

bool copied(const char* name, bool root) { return xattr_copied(name, root); }

// Reads the entry's list of names into a new block (*list, *size); an
// entry or file system without attributes gives an empty list.
int read_list(XattrEntry* e, char** list, size_t* size) {
  *list = nullptr;
  *size = 0;
  for (int tries = 0; tries < 4; ++tries) {
    const ssize_t need = e->list(nullptr, 0);
    if (need < 0) return unsupported(errno) ? 0 : errno;
    if (need == 0) return 0;
    auto* block = static_cast<char*>(std::malloc(static_cast<size_t>(need)));
    if (!block) return ENOMEM;
    const ssize_t got = e->list(block, static_cast<size_t>(need));
    if (got >= 0) {
      *list = block;
      *size = static_cast<size_t>(got);
      return 0;
    }
    std::free(block);
    if (errno != ERANGE) return unsupported(errno) ? 0 : errno;  // ERANGE: the list grew meanwhile
  }
  return ERANGE;
}

bool any_copied(const char* list, size_t size, bool root) {
  for (size_t at = 0; at < size; at += std::strlen(list + at) + 1)
    if (copied(list + at, root)) return true;
  return false;
}

bool listed(const char* list, size_t size, const char* name) {
  for (size_t at = 0; at < size; at += std::strlen(list + at) + 1)
    if (std::strcmp(list + at, name) == 0) return true;
  return false;
}

}  // namespace

bool posix_file::xattr_copied(const char* name, bool root) {
  auto starts = [&](const char* prefix) { return std::strncmp(name, prefix, std::strlen(prefix)) == 0; };
  if (starts("user.") || std::strcmp(name, "system.posix_acl_access") == 0 ||
      std::strcmp(name, "system.posix_acl_default") == 0)
    return true;
  return root && (starts("trusted.") || starts("security."));
}

NTSTATUS NtCopyXattrs(HANDLE from, HANDLE to, ULONG* changed) {
  if (changed) *changed = 0;
  const int from_fd = handle_fd(from);
  const int to_fd = handle_fd(to);
  if (from_fd < 0 || to_fd < 0) return STATUS_INVALID_HANDLE;
  const PosixFile* source_file = file_state(from_fd);
  const PosixFile* target_file = file_state(to_fd);
  if ((source_file && source_file->is_link) || (target_file && target_file->is_link)) return STATUS_SUCCESS;
  const bool root = process_is_root();
  XattrEntry source(from_fd), target(to_fd);
  char* source_list = nullptr;
  char* target_list = nullptr;
  size_t source_size = 0, target_size = 0;
  int failure = read_list(&source, &source_list, &source_size);
  if (failure == 0) failure = read_list(&target, &target_list, &target_size);
  // Room for a value of each side, only when there is something to compare.
  const bool some = any_copied(source_list, source_size, root) || any_copied(target_list, target_size, root);
  char* values = failure == 0 && some ? static_cast<char*>(std::malloc(2 * kXattrMax)) : nullptr;
  if (failure == 0 && some && !values) failure = ENOMEM;
  ULONG count = 0;
  OwnerWrite unlocked{&target};
  // Each source attribute the target lacks or holds otherwise is written;
  // a failure is remembered and the others still go.
  for (size_t at = 0; failure != ENOMEM && at < source_size; at += std::strlen(source_list + at) + 1) {
    const char* name = source_list + at;
    if (!copied(name, root)) continue;
    const ssize_t n = source.get(name, values, kXattrMax);
    if (n < 0) {
      if (errno != ENODATA && failure == 0) failure = errno;  // ENODATA: gone since listed
      continue;
    }
    const ssize_t m = listed(target_list, target_size, name) ? target.get(name, values + kXattrMax, kXattrMax) : -1;
    if (m == n && std::memcmp(values, values + kXattrMax, static_cast<size_t>(n)) == 0) continue;
    if (target.set(name, values, static_cast<size_t>(n)) == 0 ||
        (unlocked.add(errno) && target.set(name, values, static_cast<size_t>(n)) == 0))
      ++count;
    else if (failure == 0 || unsupported(errno))
      failure = errno;
  }
  // Then those of the copied kinds the source does not hold are removed.
  for (size_t at = 0; failure != ENOMEM && at < target_size; at += std::strlen(target_list + at) + 1) {
    const char* name = target_list + at;
    if (!copied(name, root) || listed(source_list, source_size, name)) continue;
    if (target.remove(name) == 0 || (unlocked.add(errno) && target.remove(name) == 0))
      ++count;
    else if (errno != ENODATA && failure == 0)
      failure = errno;
  }
  std::free(values);
  std::free(source_list);
  std::free(target_list);
  if (changed) *changed = count;
  if (failure == 0) return STATUS_SUCCESS;
  return unsupported(failure) ? STATUS_NOT_SUPPORTED : status_from_errno(failure);
}
