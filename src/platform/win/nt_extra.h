// Native declarations that mingw-w64's headers lack. Included by platform.h
// only, after <windows.h> and <winternl.h>.
#pragma once

#include "platform/win/nt_base.h"
#include "platform/win/nt_path.h"
#include "platform/win/nt_sync.h"
#include "platform/win/nt_file.h"
#include "platform/win/own_calls.h"
