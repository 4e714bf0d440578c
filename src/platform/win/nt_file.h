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

// Information class 59: volume serial number and 128-bit file id.
typedef struct _FILE_ID_INFORMATION {
  ULONGLONG VolumeSerialNumber;
  FILE_ID_128 FileId;
} FILE_ID_INFORMATION, *PFILE_ID_INFORMATION;

// Information class 39.
typedef struct _FILE_VALID_DATA_LENGTH_INFORMATION {
  LARGE_INTEGER ValidDataLength;
} FILE_VALID_DATA_LENGTH_INFORMATION, *PFILE_VALID_DATA_LENGTH_INFORMATION;

// Directory entry format of information class 60.
typedef struct _FILE_ID_EXTD_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;
  ULONG ReparsePointTag;
  FILE_ID_128 FileId;
  WCHAR FileName[1];
} FILE_ID_EXTD_DIR_INFORMATION, *PFILE_ID_EXTD_DIR_INFORMATION;

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
