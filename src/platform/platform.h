// The one door to the operating system.
//
// Every system call the program makes goes through a wrapper of the same name
// in namespace `sys`, generated from the list in platform/calls.def (see
// platform/door.h). On Windows the wrapper calls the real function; on Linux
// it calls the function of the same name that the POSIX layer provides. Each
// wrapper counts the call and first asks the fault plan whether this call is
// to fail, so tests can make the Nth call of any function fail with a chosen
// status.
//
// No other file includes a system header.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#include <winternl.h>
#include "platform/win/nt_extra.h"
#define WSTR(s) L"" s
#else
#include "platform/posix/win_api.h"
#define WSTR(s) u"" s
#endif

// A UTF-16 code unit as the system takes it.
using wchar16 = WCHAR;
static_assert(sizeof(wchar16) == 2, "UTF-16 unit must be 16 bits");

#include "platform/conventions.h"
#include "platform/errors.h"
#include "platform/door.h"
