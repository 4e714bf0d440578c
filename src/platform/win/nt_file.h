// Native declarations of the file area that mingw-w64's headers lack.
// <winternl.h> already has the basic, standard, all-information, directory,
// attribute-tag, volume, device and object-name records and most of the
// native file calls; what follows is only what it does not declare.
#pragma once

extern "C" {
NTSYSAPI NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc,
                                             PVOID apc_context, PIO_STATUS_BLOCK io, PVOID buffer,
                                             ULONG length, FILE_INFORMATION_CLASS info_class,
                                             BOOLEAN single_entry, PUNICODE_STRING file_name,
                                             BOOLEAN restart_scan);
}

#include "platform/nt_records.h"

#ifndef STATUS_BUFFER_OVERFLOW
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#endif
#ifndef STATUS_NOT_IMPLEMENTED
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#endif
#ifndef STATUS_USER_APC
#define STATUS_USER_APC ((NTSTATUS)0x000000C0L)
#endif
#ifndef NtCurrentThread
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#endif

// Arguments may name paths in the device forms \\?\ and \\.\ (a '?' there
// is no wildcard).
constexpr bool kDevicePathForms = true;
