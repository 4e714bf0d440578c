// Preloaded into the Linux program by a test: just before the first open for
// reading of an entry named $SWAP_NAME, the entry at $SWAP_WITH is renamed
// into its place, the last moment at which another process could swap it.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

extern "C" int openat(int dir_fd, const char* path, int flags, ...) {
  va_list more;
  va_start(more, flags);
  const mode_t mode = (flags & O_CREAT) ? va_arg(more, mode_t) : 0;
  va_end(more);
  static std::atomic<bool> swapped{false};
  const char *name = std::getenv("SWAP_NAME"), *with = std::getenv("SWAP_WITH");
  if (name && with && std::strcmp(path, name) == 0 && !(flags & (O_PATH | O_ACCMODE)) && !swapped.exchange(true))
    renameat(AT_FDCWD, with, dir_fd, path);
  static const auto real = reinterpret_cast<int (*)(int, const char*, int, ...)>(dlsym(RTLD_NEXT, "openat"));
  return real(dir_fd, path, flags, mode);
}
