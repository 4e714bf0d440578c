// The POSIX layer's door table; see libc_door.h.
#include "platform/posix/libc_door.h"

namespace sys {

LibcTable g_libc = {
#define LIBC_CALL(name, ...) {#name, ::name, ::name},
#include "platform/posix/libc_calls.def"
};

}  // namespace sys
