// Native records that neither mingw-w64's headers nor the Linux layer's
// basic declarations provide; included by both after LARGE_INTEGER and
// FILE_ID_128 are known.
#pragma once

#include <cstddef>

// Information class 59: volume serial number and 128-bit file id.
typedef struct _FILE_ID_INFORMATION {
  ULONGLONG VolumeSerialNumber;
  FILE_ID_128 FileId;
} FILE_ID_INFORMATION;

// Information class 10: the new name of the open entry.
typedef struct _FILE_RENAME_RECORD {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;  // in bytes
  WCHAR FileName[1];
} FILE_RENAME_RECORD;

// Information class 39.
typedef struct _FILE_VALID_DATA_LENGTH_INFORMATION {
  LARGE_INTEGER ValidDataLength;
} FILE_VALID_DATA_LENGTH_INFORMATION;

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
} FILE_ID_EXTD_DIR_INFORMATION;

// Permission bits (07777 and the kind bits above them) and owner of an
// entry, as the Linux program keeps them; the Windows program keeps neither.
// Links and Xattrs, as read (a change ignores them): the number of names of
// the entry, and in a listing, whether a file or folder has extended
// attributes (non-zero: the size of their list of names, or not known).
typedef struct _FILE_POSIX_MODE {
  ULONG Mode;
  ULONG Owner;
  ULONG Group;
  ULONG Links;
  ULONG Xattrs;
} FILE_POSIX_MODE;

// The Linux layer's own directory class: no Windows class has this number,
// and only the Linux program asks for it. Its entry is the id-extended entry
// (class 60) up to the name, then the entry's FILE_POSIX_MODE (owner and
// group 0 unless the process runs as root), then the name.
constexpr ULONG kFileLinuxDirectoryInformation = 1060;
constexpr size_t kLinuxDirModeAt = offsetof(FILE_ID_EXTD_DIR_INFORMATION, FileName);
constexpr size_t kLinuxDirNameAt = kLinuxDirModeAt + sizeof(FILE_POSIX_MODE);

// Information class 64: deletion with flags (FILE_DISPOSITION_*).
typedef struct _FILE_DISPOSITION_INFORMATION_EX {
  ULONG Flags;
} FILE_DISPOSITION_INFORMATION_EX;

// Reparse data of a symbolic link (tag 0xA000000C), as the reparse-point
// controls carry it: the names are at their offsets in PathBuffer.
typedef struct _REPARSE_SYMLINK_DATA {
  ULONG ReparseTag;
  USHORT ReparseDataLength;  // bytes after the 8-byte header
  USHORT Reserved;
  USHORT SubstituteNameOffset;
  USHORT SubstituteNameLength;
  USHORT PrintNameOffset;
  USHORT PrintNameLength;
  ULONG Flags;  // 1: relative
  WCHAR PathBuffer[1];
} REPARSE_SYMLINK_DATA;

// Reparse data of a mount point (tag 0xA0000003): as above, without flags.
typedef struct _REPARSE_MOUNT_DATA {
  ULONG ReparseTag;
  USHORT ReparseDataLength;
  USHORT Reserved;
  USHORT SubstituteNameOffset;
  USHORT SubstituteNameLength;
  USHORT PrintNameOffset;
  USHORT PrintNameLength;
  WCHAR PathBuffer[1];
} REPARSE_MOUNT_DATA;
