// The POSIX layer's door table; see libc_door.h.
#include "platform/posix/libc_door.h"

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
