// System calls of the file area (wrappers in namespace sys, see platform.h).
#pragma once

namespace sys {
}  // namespace sys
