// The POSIX layer's own door: wrappers libc::name(...) for the C library calls
// listed in platform/posix/libc_calls.def. Like the sys:: wrappers they count
// the call, ask the fault plan (which then sets errno and fails) and otherwise
// call the current function of their table, so tests reach this layer's error
// paths and can replace its calls.
#pragma once

#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

namespace sys {

struct LibcTable {
#define LIBC_CALL(name, result, params, ...) CallEntry<result(*) params> name;
#include "platform/posix/libc_calls.def"
};

extern LibcTable g_libc;

#define LIBC_CALL(name, ...)                          \
  template <>                                         \
  struct CallSlot<SysCall::name> {                    \
    static auto& entry() { return g_libc.name; }      \
  };
#include "platform/posix/libc_calls.def"

}  // namespace sys

namespace libc {

#define LIBC_CALL(name, result, params, args, failure)               \
  inline result name params {                                        \
    sys::count_call(sys::SysCall::name);                             \
    if (uint32_t st = 0; sys::fault_hit(sys::SysCall::name, &st)) {  \
      errno = static_cast<int>(st);                                  \
      return failure;                                                \
    }                                                                \
    return sys::g_libc.name.current args;                            \
  }
#include "platform/posix/libc_calls.def"

}  // namespace libc
