// Test library, preloaded into the Linux program: just before the first open
// for reading of an entry named $SWAP_NAME, the entry at the path $SWAP_WITH
// (a FIFO, a device) is renamed into its place, the last moment at which
// another process could swap it.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

extern "C" int openat(int dir_fd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list more;
    va_start(more, flags);
    mode = va_arg(more, mode_t);
    va_end(more);
  }
  using Open = int (*)(int, const char*, int, ...);
  static const auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "openat"));
  static std::atomic<bool> swapped{false};
  const char* name = std::getenv("SWAP_NAME");
  const char* with = std::getenv("SWAP_WITH");
  if (name && with && std::strcmp(path, name) == 0 && (flags & O_ACCMODE) == O_RDONLY && !(flags & O_PATH) &&
      !swapped.exchange(true))
    renameat(AT_FDCWD, with, dir_fd, path);
  return real(dir_fd, path, flags, mode);
}
