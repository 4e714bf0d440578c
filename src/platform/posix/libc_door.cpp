// The POSIX layer's door table; see libc_door.h.
#include "platform/posix/libc_door.h"

#include <sys/syscall.h>
#include <unistd.h>

// listxattrat: system calls added since Linux 5.1 have one number on every
// architecture (alpha aside).
ssize_t listxattr_at(int dir_fd, const char* path, unsigned flags, char* list, size_t size) {
#ifdef SYS_listxattrat
  return syscall(SYS_listxattrat, dir_fd, path, flags, list, size);
#else
  return syscall(465, dir_fd, path, flags, list, size);
#endif
}

namespace {

// The default of each call: the C library's function; the variadic ones in
// the fixed form the list gives them.
namespace fixed {
#define LIBC_CALL(name, ...) using ::name;
#include "platform/posix/libc_calls.def"
int open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int openat(int dir_fd, const char* path, int flags, mode_t mode) { return ::openat(dir_fd, path, flags, mode); }
int fcntl(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }
}  // namespace fixed

}  // namespace

namespace sys {

LibcTable g_libc = {
#define LIBC_CALL(name, ...) {#name, fixed::name, fixed::name},
#include "platform/posix/libc_calls.def"
};

}  // namespace sys
