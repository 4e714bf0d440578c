// The Windows names the program uses, for the Linux build. Types have the
// Windows sizes (LONG and ULONG are 32 bits, WCHAR is a UTF-16 unit); the
// functions are implemented in this folder on top of POSIX.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/api_base.h"
#include "platform/posix/api_path.h"
#include "platform/posix/api_sync.h"
#include "platform/posix/api_file.h"
