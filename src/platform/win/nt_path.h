// Native declarations of the path area that mingw-w64's headers lack.
// (UNICODE_STRING comes from <winternl.h>; GetCurrentDirectoryW and
// GetFullPathNameW from <windows.h>.)
#pragma once

