// System calls of the path area (wrappers in namespace sys, see platform.h).
#pragma once

namespace sys {
}  // namespace sys
