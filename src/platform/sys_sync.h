// System calls of the sync area (wrappers in namespace sys, see platform.h).
#pragma once

namespace sys {
}  // namespace sys
