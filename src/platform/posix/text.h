// Text helpers shared by the Linux implementation of the system calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/api_base.h"

inline bool posix_is_letter(WCHAR c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// UTF-8 bytes to UTF-16 units; a malformed byte becomes U+FFFD. Stores the
// units that fit below `cap` and returns the units needed (no terminator).
size_t posix_units_from_utf8(const char* s, WCHAR* out, size_t cap);
