// Linux file calls: symbolic links as reparse points.
#include "platform/posix/file_state.h"

#include "platform/posix/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

using namespace posix_file;

NTSTATUS NtFsControlFile(HANDLE handle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, ULONG code,
                         PVOID in_buffer, ULONG in_length, PVOID out_buffer, ULONG out_length) {
  const int fd = handle_fd(handle);
  PosixFile* f = fd >= 0 ? file_state(fd) : nullptr;
  if (!f) return STATUS_INVALID_HANDLE;
  if (code == kFsctlGet) {
    if (!f->is_link) return STATUS_NOT_A_REPARSE_POINT;
    char target[kPathMax];
    const ssize_t n = libc::readlink(f->path, target, sizeof target - 1);
    if (n < 0) return status_from_errno(errno);
    target[n] = 0;
    // The link text in the system's form: /mnt/x/a is \??\X:\a. The drive
    // prefix is written as units; the rest maps as names do (text.h).
    const bool drive = n >= 6 && std::strncmp(target, "/mnt/", 5) == 0 && std::isalpha(target[5]) &&
                       (n == 6 || target[6] == '/');
    const WCHAR prefix[] = {u'\\', u'?', u'?', u'\\', static_cast<WCHAR>(std::toupper(target[5])), u':'};
    const size_t prefix_units = drive ? 6 : 0;
    const char* rest = drive ? target + 6 : target;
    const size_t units = prefix_units + posix_units_from_utf8(rest, nullptr, 0);
    const size_t print_skip = drive ? 4 : 0;
    const size_t total = 20 + (units + 1) * 2 + (units - print_skip + 1) * 2;
    if (out_length < total || total > 16384) return STATUS_BUFFER_TOO_SMALL;
    auto* p = static_cast<uint8_t*>(out_buffer);
    std::memset(p, 0, total);
    const uint32_t tag = kTagSymlink, flags = target[0] != '/';
    const uint16_t hdr[6] = {static_cast<uint16_t>(total - 8), 0, 0, static_cast<uint16_t>(units * 2),
                             static_cast<uint16_t>(units * 2 + 2), static_cast<uint16_t>((units - print_skip) * 2)};
    std::memcpy(p, &tag, 4);
    std::memcpy(p + 4, hdr, sizeof hdr);
    std::memcpy(p + 16, &flags, 4);
    auto* names = reinterpret_cast<WCHAR*>(p + 20);
    std::memcpy(names, prefix, prefix_units * 2);
    posix_units_from_utf8(rest, names + prefix_units, units - prefix_units);
    std::memcpy(names + units + 1, names + print_skip, (units - print_skip) * 2);
    return done(io, STATUS_SUCCESS, total);
  }
  if (code == kFsctlSet) {
    const auto* p = static_cast<const uint8_t*>(in_buffer);
    if (!p || in_length < 20) return STATUS_IO_REPARSE_DATA_INVALID;
    uint32_t tag;
    uint16_t offset, bytes;
    std::memcpy(&tag, p, 4);
    std::memcpy(&offset, p + 8, 2);
    std::memcpy(&bytes, p + 10, 2);
    if (tag != kTagSymlink) return STATUS_NOT_SUPPORTED;
    if (size_t{20} + offset + bytes > in_length || (offset | bytes) & 1) return STATUS_IO_REPARSE_DATA_INVALID;
    WCHAR name[kPathMax];
    const size_t units = bytes / 2 < kPathMax ? bytes / 2 : kPathMax;
    std::memcpy(name, p + 20 + offset, units * 2);
    UNICODE_STRING us{static_cast<USHORT>(units * 2), static_cast<USHORT>(units * 2), name};
    char target[kPathMax];
    if (units > 0 && name[0] == u'\\') {
      const NTSTATUS st = posix_path(&us, target, sizeof target);
      if (st != STATUS_SUCCESS) return st;
    } else {
      size_t len;
      if (!posix_bytes_from_units(name, units, target, sizeof target, &len)) return STATUS_NAME_TOO_LONG;
    }
    // The entry the handle names becomes the link.
    if ((f->is_dir ? libc::rmdir(f->path) : libc::unlink(f->path)) != 0) return status_from_errno(errno);
    if (libc::symlink(target, f->path) != 0) return status_from_errno(errno);
    f->is_link = true;
    f->is_dir = false;
    return done(io, STATUS_SUCCESS, 0);
  }
  return STATUS_NOT_SUPPORTED;
}
