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

namespace {

// The POSIX text of a link from its system form: a native name (\??\X:\a)
// or, where a Win32 path is taken, a drive path (X:\a) becomes the path it
// names; a relative text keeps its names.
NTSTATUS link_target(const WCHAR* text, size_t units, char* out, size_t cap, bool win32_form) {
  WCHAR name[kPathMax];
  if (units >= kPathMax - 4) return STATUS_NAME_TOO_LONG;
  size_t n = 0;
  if (win32_form && units >= 2 && text[1] == u':') {
    const WCHAR native[] = {u'\\', u'?', u'?', u'\\'};
    std::memcpy(name, native, sizeof native);
    n = 4;
  }
  std::memcpy(name + n, text, units * 2);
  n += units;
  // The Win32 long-path form \\?\ names what \??\ names.
  if (n >= 4 && name[0] == u'\\' && name[1] == u'\\' && name[2] == u'?' && name[3] == u'\\') name[1] = u'?';
  if (n > 0 && name[0] == u'\\') {
    UNICODE_STRING us{static_cast<USHORT>(n * 2), static_cast<USHORT>(n * 2), name};
    return posix_path(&us, out, cap);
  }
  size_t length;
  return posix_bytes_from_units(name, n, out, cap, &length) ? STATUS_SUCCESS : STATUS_NAME_TOO_LONG;
}

}  // namespace

BOOLEAN CreateSymbolicLinkW(LPCWSTR link, LPCWSTR target, DWORD) {
  size_t link_units = 0, target_units = 0;
  while (link && link[link_units]) ++link_units;
  while (target && target[target_units]) ++target_units;
  char path[kPathMax], text[kPathMax];
  NTSTATUS st = link_units ? link_target(link, link_units, path, sizeof path, true) : STATUS_OBJECT_NAME_INVALID;
  if (st == STATUS_SUCCESS) st = target_units ? link_target(target, target_units, text, sizeof text, true) : STATUS_INVALID_PARAMETER;
  if (st == STATUS_SUCCESS && libc::symlink(text, path) != 0) st = status_from_errno(errno);
  if (st == STATUS_SUCCESS) return TRUE;
  SetLastError(RtlNtStatusToDosError(st));
  return FALSE;
}

NTSTATUS NtFsControlFile(HANDLE handle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK io, ULONG code,
                         PVOID in_buffer, ULONG in_length, PVOID out_buffer, ULONG out_length) {
  const int fd = handle_fd(handle);
  PosixFile* f = fd >= 0 ? file_state(fd) : nullptr;
  if (!f) return STATUS_INVALID_HANDLE;
  if (code == kFsctlGet) {
    if (!f->is_link) return STATUS_NOT_A_REPARSE_POINT;
    char target[kPathMax];
    // The link the handle holds; by name only where the kernel cannot read
    // a link by its bare descriptor (before Linux 2.6.39).
    ssize_t n = libc::readlinkat(fd, "", target, sizeof target - 1);
    if (n < 0 && (errno == ENOENT || errno == EINVAL))
      n = f->name ? libc::readlinkat(f->parent_fd, f->name, target, sizeof target - 1)
                  : libc::readlink(f->path, target, sizeof target - 1);
    if (n < 0) return status_from_errno(errno);
    target[n] = 0;
    // The link text in the system's form: /mnt/x/a is \??\X:\a (x a lower
    // case letter, which reads back the same). The drive prefix is written
    // as units; the rest maps as names do (text.h), so the text reads back
    // byte for byte.
    const bool drive = n >= 6 && std::strncmp(target, "/mnt/", 5) == 0 && target[5] >= 'a' && target[5] <= 'z' &&
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
    // A text that would read as an object name (/??/C: or //?/C:) keeps its
    // third byte '?' escaped: it reads back as the same bytes, never as a drive.
    if (!drive && n > 2 && target[0] == '/' && target[2] == '?') names[2] = static_cast<WCHAR>(kNameEscapeBase + '?');
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
    char target[kPathMax];
    const NTSTATUS named = link_target(reinterpret_cast<const WCHAR*>(p + 20 + offset), bytes / 2, target, sizeof target, false);
    if (named != STATUS_SUCCESS) return named;
    // The entry the handle names becomes the link.
    if (f->name) {
      if (libc::unlinkat(f->parent_fd, f->name, f->is_dir ? AT_REMOVEDIR : 0) != 0) return status_from_errno(errno);
      if (libc::symlinkat(target, f->parent_fd, f->name) != 0) return status_from_errno(errno);
    } else {
      if ((f->is_dir ? libc::rmdir(f->path) : libc::unlink(f->path)) != 0) return status_from_errno(errno);
      if (libc::symlink(target, f->path) != 0) return status_from_errno(errno);
    }
    f->is_link = true;
    f->is_dir = false;
    return done(io, STATUS_SUCCESS, 0);
  }
  return STATUS_NOT_SUPPORTED;
}
