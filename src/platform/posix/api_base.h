// Basic Windows types, constants and the calls of the text and memory base.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using UCHAR = uint8_t;
using WORD = uint16_t;
using USHORT = uint16_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using UINT = uint32_t;
using INT = int32_t;
using BOOL = int32_t;
using BOOLEAN = uint8_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using DWORD64 = uint64_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using PSIZE_T = size_t*;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using NTSTATUS = int32_t;
using WCHAR = char16_t;
using PWSTR = WCHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};

struct OVERLAPPED;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define NtCurrentProcess() ((HANDLE)(intptr_t)-1)
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define MEM_COMMIT 0x1000
#define MEM_RESERVE 0x2000
#define MEM_RELEASE 0x8000
#define PAGE_READWRITE 0x04

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017)
#define STATUS_MEMORY_NOT_ALLOCATED ((NTSTATUS)0xC00000A0)

// Handles of file descriptors: the descriptor plus 4, so that descriptor 0
// is not the null handle and no descriptor is INVALID_HANDLE_VALUE.
inline HANDLE posix_handle_from_fd(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 4); }
inline int posix_fd_from_handle(HANDLE h) { return static_cast<int>(reinterpret_cast<intptr_t>(h) - 4); }

DWORD GetLastError();
void SetLastError(DWORD error);

NTSTATUS NtAllocateVirtualMemory(HANDLE process, PVOID* base, ULONG_PTR zero_bits, SIZE_T* size,
                                 ULONG type, ULONG protect);
NTSTATUS NtFreeVirtualMemory(HANDLE process, PVOID* base, SIZE_T* size, ULONG type);

HANDLE GetStdHandle(DWORD which);
BOOL ReadFile(HANDLE h, void* buffer, DWORD length, DWORD* done, OVERLAPPED* ov);
BOOL WriteFile(HANDLE h, const void* buffer, DWORD length, DWORD* done, OVERLAPPED* ov);
BOOL CopyFileData(HANDLE from, HANDLE to, DWORD length, DWORD* done);
BOOL GetConsoleMode(HANDLE h, DWORD* mode);
// UTF-16 text to a terminal, written as UTF-8 (a lone surrogate as U+FFFD).
BOOL WriteConsoleW(HANDLE h, const WCHAR* text, DWORD units, DWORD* done, void* reserved);
BOOL CloseHandle(HANDLE h);

// Win32 error for an errno value.
DWORD posix_error_from_errno(int e);
