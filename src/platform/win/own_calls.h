// The Windows side of the program's own calls (see the last section of
// platform/calls.def): what the Linux layer does with a system call of its
// own, Windows answers here.
#pragma once

#include <cstring>

// The byte range from both files' positions, copied by the system where the
// target's volume shares clusters between files (block cloning, as on
// ReFS): the whole clusters of the range are cloned, the target extended
// to hold them first, and both positions moved past them. Both files must
// stand at the same position, on a cluster boundary. Anything else, and
// any refusal, answers not supported with both files as they were: the
// caller then reads and writes.
namespace own_calls_detail {
struct FsSize {
  LARGE_INTEGER total_units;
  LARGE_INTEGER available_units;
  ULONG sectors_per_unit;
  ULONG bytes_per_sector;
};
struct FsAttributes {
  ULONG attributes;
  LONG longest_name;
  ULONG name_length;
  WCHAR name[64];
};
struct Clone {
  HANDLE source;
  LARGE_INTEGER source_offset;
  LARGE_INTEGER target_offset;
  LARGE_INTEGER count;
};
constexpr ULONG kSupportsBlockRefcounting = 0x08000000;
constexpr ULONG kFsctlDuplicateExtents = 0x98344;
constexpr int kFsSizeClass = 3, kFsAttributeClass = 5;
constexpr int kStandardClass = 5, kPositionClass = 14, kEndOfFileClass = 20;

inline bool query_file(HANDLE h, void* out, ULONG size, int info_class) {
  IO_STATUS_BLOCK io{};
  return NT_SUCCESS(::NtQueryInformationFile(h, &io, out, size, static_cast<FILE_INFORMATION_CLASS>(info_class)));
}
inline bool set_file(HANDLE h, LONGLONG value, int info_class) {
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER v;
  v.QuadPart = value;
  return NT_SUCCESS(::NtSetInformationFile(h, &io, &v, sizeof v, static_cast<FILE_INFORMATION_CLASS>(info_class)));
}
inline bool query_volume(HANDLE h, void* out, ULONG size, int info_class) {
  IO_STATUS_BLOCK io{};
  const NTSTATUS st = ::NtQueryVolumeInformationFile(h, &io, out, size, static_cast<FS_INFORMATION_CLASS>(info_class));
  return NT_SUCCESS(st) || st == static_cast<NTSTATUS>(0x80000005L);  // a long name cut short
}
}  // namespace own_calls_detail

inline BOOL CopyFileData(HANDLE from, HANDLE to, DWORD length, DWORD* done) {
  using namespace own_calls_detail;
  if (done) *done = 0;
  FsAttributes fs{};
  FsSize size{};
  LARGE_INTEGER at{}, target_at{};
  struct {
    LARGE_INTEGER allocation;
    LARGE_INTEGER end;
    ULONG links;
    BOOLEAN delete_pending;
    BOOLEAN directory;
  } standard{};
  bool usable = query_volume(to, &fs, sizeof fs, kFsAttributeClass) && (fs.attributes & kSupportsBlockRefcounting) &&
                query_volume(to, &size, sizeof size, kFsSizeClass) && query_file(from, &at, sizeof at, kPositionClass) &&
                query_file(to, &target_at, sizeof target_at, kPositionClass) &&
                query_file(from, &standard, sizeof standard, kStandardClass);
  const LONGLONG cluster = static_cast<LONGLONG>(size.sectors_per_unit) * size.bytes_per_sector;
  usable = usable && cluster > 0 && at.QuadPart == target_at.QuadPart && at.QuadPart % cluster == 0 &&
           standard.end.QuadPart > at.QuadPart;
  LONGLONG count = 0;
  if (usable) {
    const LONGLONG left = standard.end.QuadPart - at.QuadPart;
    count = (left < static_cast<LONGLONG>(length) ? left : static_cast<LONGLONG>(length)) / cluster * cluster;
  }
  if (count > 0 && set_file(to, at.QuadPart + count, kEndOfFileClass)) {
    Clone clone{from, at, at, {}};
    clone.count.QuadPart = count;
    IO_STATUS_BLOCK io{};
    if (NT_SUCCESS(::NtFsControlFile(to, nullptr, nullptr, nullptr, &io, kFsctlDuplicateExtents, &clone, sizeof clone,
                                     nullptr, 0)) &&
        set_file(from, at.QuadPart + count, kPositionClass) && set_file(to, at.QuadPart + count, kPositionClass)) {
      if (done) *done = static_cast<DWORD>(count);
      return TRUE;
    }
    // Refused: the target as it was, both files where they were.
    set_file(to, at.QuadPart, kEndOfFileClass);
    set_file(from, at.QuadPart, kPositionClass);
    set_file(to, at.QuadPart, kPositionClass);
  }
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// Windows keeps no POSIX permission bits or owner: the query and the set
// answer kStatusNotSupported and change nothing.
constexpr bool kSystemKeepsPosixModes = false;
// Names and link texts are characters: '*' and '?' are never part of a
// name, no escapes, and a link's text takes the system's normal form.
constexpr bool kSystemNamesAreBytes = false;
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
inline NTSTATUS NtQueryPosixMode(HANDLE, FILE_POSIX_MODE* mode) {
  if (mode) *mode = FILE_POSIX_MODE{};
  return kStatusNotSupported;
}
inline NTSTATUS NtSetPosixMode(HANDLE, const FILE_POSIX_MODE*) { return kStatusNotSupported; }

// Nor the extended attributes of Linux (user.*, access lists): nothing to
// copy, and the program never asks.
constexpr bool kSystemKeepsXattrs = false;
inline NTSTATUS NtCopyXattrs(HANDLE, HANDLE, ULONG* changed) {
  if (changed) *changed = 0;
  return kStatusNotSupported;
}

// The form of a program path in the program's output: on Windows the path
// itself. Stores what fits below `cap`, terminates when `cap` is not zero and
// returns the bytes needed without the terminator.
inline size_t PathDisplayForm(const char* path, char* out, size_t cap) {
  const size_t n = path ? std::strlen(path) : 0;
  if (out && cap) {
    const size_t copy = n < cap ? n : cap - 1;
    if (copy) std::memcpy(out, path, copy);
    out[copy] = 0;
  }
  return n;
}
