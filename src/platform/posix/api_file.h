// Windows names of the file area for the Linux build: the native file calls,
// their records and information classes, the error-mode switch and the token
// privilege calls. Layouts and sizes are those of Windows x64.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/posix/api_base.h"
#include "platform/posix/api_path.h"  // UNICODE_STRING
#include "platform/posix/api_sync.h"  // STATUS_USER_APC, STATUS_INVALID_HANDLE

using ACCESS_MASK = DWORD;
using PULONG = ULONG*;
using PLARGE_INTEGER = LARGE_INTEGER*;
using PBOOL = BOOL*;

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef void (*PIO_APC_ROUTINE)(PVOID context, PIO_STATUS_BLOCK io, ULONG reserved);

enum FILE_INFORMATION_CLASS : int {
  FileDirectoryInformation = 1,
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FileInternalInformation = 6,
  FileRenameInformation = 10,
  FileLinkInformation = 11,
  FileDispositionInformation = 13,
  FilePositionInformation = 14,
  FileAllInformation = 18,
  FileEndOfFileInformation = 20,
  FileAttributeTagInformation = 35,
  FileIdFullDirectoryInformation = 38,
  FileValidDataLengthInformation = 39,
  FileIdInformation = 59,
  FileIdExtdDirectoryInformation = 60,
  FileLinuxDirectoryInformation = 1060,  // Linux only: kFileLinuxDirectoryInformation
  FileDispositionInformationEx = 64,
  FileRenameInformationEx = 65,
};

enum FS_INFORMATION_CLASS : int {
  FileFsVolumeInformation = 1,
  FileFsDeviceInformation = 4,
};

enum OBJECT_INFORMATION_CLASS : int {
  ObjectBasicInformation = 0,
  ObjectNameInformation = 1,
};

typedef struct _FILE_BASIC_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  ULONG FileAttributes;
} FILE_BASIC_INFORMATION, *PFILE_BASIC_INFORMATION;

typedef struct _FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;

typedef struct _FILE_INTERNAL_INFORMATION {
  LARGE_INTEGER IndexNumber;
} FILE_INTERNAL_INFORMATION;

typedef struct _FILE_EA_INFORMATION {
  ULONG EaSize;
} FILE_EA_INFORMATION;

typedef struct _FILE_ACCESS_INFORMATION {
  ACCESS_MASK AccessFlags;
} FILE_ACCESS_INFORMATION;

typedef struct _FILE_POSITION_INFORMATION {
  LARGE_INTEGER CurrentByteOffset;
} FILE_POSITION_INFORMATION;

typedef struct _FILE_MODE_INFORMATION {
  ULONG Mode;
} FILE_MODE_INFORMATION;

typedef struct _FILE_ALIGNMENT_INFORMATION {
  ULONG AlignmentRequirement;
} FILE_ALIGNMENT_INFORMATION;

typedef struct _FILE_NAME_INFORMATION {
  ULONG FileNameLength;
  WCHAR FileName[1];
} FILE_NAME_INFORMATION;

typedef struct _FILE_ALL_INFORMATION {
  FILE_BASIC_INFORMATION BasicInformation;
  FILE_STANDARD_INFORMATION StandardInformation;
  FILE_INTERNAL_INFORMATION InternalInformation;
  FILE_EA_INFORMATION EaInformation;
  FILE_ACCESS_INFORMATION AccessInformation;
  FILE_POSITION_INFORMATION PositionInformation;
  FILE_MODE_INFORMATION ModeInformation;
  FILE_ALIGNMENT_INFORMATION AlignmentInformation;
  FILE_NAME_INFORMATION NameInformation;
} FILE_ALL_INFORMATION, *PFILE_ALL_INFORMATION;

typedef struct _FILE_DISPOSITION_INFORMATION {
  BOOLEAN DoDeleteFile;
} FILE_DISPOSITION_INFORMATION;

typedef struct _FILE_END_OF_FILE_INFORMATION {
  LARGE_INTEGER EndOfFile;
} FILE_END_OF_FILE_INFORMATION;

typedef struct _FILE_ATTRIBUTE_TAG_INFORMATION {
  ULONG FileAttributes;
  ULONG ReparseTag;
} FILE_ATTRIBUTE_TAG_INFORMATION;

typedef struct FILE_ID_128 {
  BYTE Identifier[16];
} FILE_ID_128;

#include "platform/nt_records.h"

typedef struct _FILE_DIRECTORY_INFORMATION {
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
  WCHAR FileName[1];
} FILE_DIRECTORY_INFORMATION;

typedef struct _FILE_ID_FULL_DIR_INFORMATION {
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
  LARGE_INTEGER FileId;
  WCHAR FileName[1];
} FILE_ID_FULL_DIR_INFORMATION;

typedef struct _FILE_FS_VOLUME_INFORMATION {
  LARGE_INTEGER VolumeCreationTime;
  ULONG VolumeSerialNumber;
  ULONG VolumeLabelLength;
  BOOLEAN SupportsObjects;
  WCHAR VolumeLabel[1];
} FILE_FS_VOLUME_INFORMATION;

typedef struct _FILE_FS_DEVICE_INFORMATION {
  ULONG DeviceType;
  ULONG Characteristics;
} FILE_FS_DEVICE_INFORMATION;

typedef struct _OBJECT_NAME_INFORMATION {
  UNICODE_STRING Name;
} OBJECT_NAME_INFORMATION;

// Token privileges.
typedef struct _LUID {
  DWORD LowPart;
  LONG HighPart;
} LUID, *PLUID;

typedef struct _LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
} LUID_AND_ATTRIBUTES;

typedef struct _TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

typedef struct _PRIVILEGE_SET {
  DWORD PrivilegeCount;
  DWORD Control;
  LUID_AND_ATTRIBUTES Privilege[1];
} PRIVILEGE_SET, *PPRIVILEGE_SET;

#define MAXIMUM_ALLOWED 0x02000000
#define SE_PRIVILEGE_ENABLED 0x00000002
#define PRIVILEGE_SET_ALL_NECESSARY 1
#define SEM_FAILCRITICALERRORS 0x0001
#define SEM_NOOPENFILEERRORBOX 0x8000
#define NtCurrentThread() ((HANDLE)(intptr_t)-2)

#define STATUS_PENDING ((NTSTATUS)0x00000103)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_NO_MORE_FILES ((NTSTATUS)0x80000006)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003A)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056)
#define STATUS_DISK_FULL ((NTSTATUS)0xC000007F)
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BA)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121)
#define STATUS_DIRECTORY_NOT_EMPTY ((NTSTATUS)0xC0000101)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103)
#define STATUS_NAME_TOO_LONG ((NTSTATUS)0xC0000106)
#define STATUS_PRIVILEGE_NOT_HELD ((NTSTATUS)0xC0000061)
#define STATUS_NOT_A_REPARSE_POINT ((NTSTATUS)0xC0000275)
#define STATUS_IO_REPARSE_DATA_INVALID ((NTSTATUS)0xC0000278)
#define STATUS_STOPPED_ON_SYMLINK ((NTSTATUS)0x8000002D)
#define STATUS_REPARSE_POINT_NOT_RESOLVED ((NTSTATUS)0xC0000280)
#define STATUS_PIPE_BROKEN ((NTSTATUS)0xC000014B)
#define STATUS_MEDIA_WRITE_PROTECTED ((NTSTATUS)0xC00000A2)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185)
#define STATUS_TOO_MANY_OPENED_FILES ((NTSTATUS)0xC000011F)
#define STATUS_NOT_SAME_DEVICE ((NTSTATUS)0xC00000D4)
#define STATUS_FILE_TOO_LARGE ((NTSTATUS)0xC0000904)

NTSTATUS NtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                      PLARGE_INTEGER allocation_size, ULONG file_attributes, ULONG share, ULONG disposition,
                      ULONG options, PVOID ea_buffer, ULONG ea_length);
NTSTATUS NtClose(HANDLE handle);
NTSTATUS NtQueryDirectoryFile(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                              PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, FILE_INFORMATION_CLASS info_class,
                              BOOLEAN single_entry, PUNICODE_STRING file_name, BOOLEAN restart_scan);
NTSTATUS NtQueryInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                FILE_INFORMATION_CLASS info_class);
NTSTATUS NtSetInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                              FILE_INFORMATION_CLASS info_class);
NTSTATUS NtQueryVolumeInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                      FS_INFORMATION_CLASS info_class);
NTSTATUS NtQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS info_class, PVOID buffer, ULONG length,
                       PULONG returned);
NTSTATUS NtFsControlFile(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context, PIO_STATUS_BLOCK io,
                         ULONG code, PVOID in_buffer, ULONG in_length, PVOID out_buffer, ULONG out_length);
// The permission bits and owner of an open entry (a link itself when opened
// as one), and their change: owner and group only when the process runs as
// root (a link's own, not followed), then the bits, except on a link.
// Entries of the Linux-only class kFileLinuxDirectoryInformation carry the
// same (owner and group 0 unless the process runs as root, since only then
// are they copied).
constexpr bool kSystemKeepsPosixModes = true;
// Names and link texts are any bytes: '*' and '?' are name characters, the
// bytes a program name cannot hold travel as escapes (platform/utf.h), and
// a link's text is kept byte for byte ("a//b", "x/../y" and a trailing '/'
// may name other things than their normal form through links to folders).
constexpr bool kSystemNamesAreBytes = true;
// No device path forms: "\\?\" is a name like any other.
constexpr bool kDevicePathForms = false;
NTSTATUS NtQueryPosixMode(HANDLE handle, FILE_POSIX_MODE* mode);
NTSTATUS NtSetPosixMode(HANDLE handle, const FILE_POSIX_MODE* mode);
// The extended attributes copied: user.* and the POSIX access lists
// (system.posix_acl_access, system.posix_acl_default), and as root also
// trusted.* and security.*. Links are never given any.
constexpr bool kSystemKeepsXattrs = true;
NTSTATUS NtCopyXattrs(HANDLE from, HANDLE to, ULONG* changed);

ULONG RtlNtStatusToDosError(NTSTATUS status);

UINT SetErrorMode(UINT mode);
UINT GetErrorMode();

BOOL OpenThreadToken(HANDLE thread, DWORD access, BOOL open_as_self, PHANDLE token);
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL LookupPrivilegeValueW(LPCWSTR system_name, LPCWSTR name, PLUID luid);
BOOL PrivilegeCheck(HANDLE token, PPRIVILEGE_SET privileges, PBOOL result);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES new_state, DWORD length,
                           PTOKEN_PRIVILEGES previous_state, LPDWORD return_length);
BOOLEAN CreateSymbolicLinkW(LPCWSTR link, LPCWSTR target, DWORD flags);
