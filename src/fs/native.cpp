// Native file layer: opens, the query/set/control wrappers and closing.
#include "fs/native.h"

#include <atomic>

#include "base/memory.h"
#include "base/unicode.h"

namespace {

constexpr uint32_t kObjCaseInsensitive = 0x40;
constexpr uint32_t kErrorModeNoPopups = 0x0001 | 0x8000;  // fail critical errors, no open-file error box
constexpr NTSTATUS kStatusPending = 0x103;
constexpr NTSTATUS kStatusUserApc = 0xC0;

std::atomic<bool> g_error_popups_disabled{false};

Error map_status(NTSTATUS st) { return st == 0 ? err::ok : sys::RtlNtStatusToDosError(st); }

// A non-zero returned status wins; otherwise the I/O status record's.
Error map_io(NTSTATUS st, const IO_STATUS_BLOCK& io) {
  if (st != 0) return map_status(st);
  return map_status(io.Status);
}

void put_returned(uint32_t* returned, const IO_STATUS_BLOCK& io) {
  if (returned) *returned = static_cast<uint32_t>(io.Information);
}

}  // namespace

OpenProfile file_create_profile(uint32_t flags) {
  OpenProfile p{0x100183, SHARE_READ | SHARE_DELETE, FA_ARCHIVE, DISP_CREATE, OPT_SYNCHRONOUS | OPT_NON_DIRECTORY};
  if (flags & FOPEN_APPEND) p.access = (p.access & ~(ACCESS_READ_DATA | ACCESS_WRITE_DATA)) | ACCESS_APPEND_DATA;
  if (flags & FOPEN_SHARE_ALL) p.share = SHARE_ALL;
  if (flags & FOPEN_TRUNCATE) p.disposition = DISP_SUPERSEDE;
  if (flags & FOPEN_NO_BUFFERING) p.options |= OPT_NO_BUFFERING;
  if (flags & FOPEN_ASYNC) {
    p.options &= ~OPT_SYNCHRONOUS;
    p.access &= ~ACCESS_SYNCHRONIZE;
  }
  if (flags & FOPEN_REPARSE_POINT) p.options |= OPT_OPEN_REPARSE_POINT;
  return p;
}

OpenProfile file_open_profile(uint32_t flags) {
  OpenProfile p{0x100080, SHARE_ALL, 6, DISP_OPEN, OPT_SYNCHRONOUS};
  if (flags & FOPEN_READ) p.access |= ACCESS_READ_DATA;
  if (flags & FOPEN_EXECUTE) p.access |= ACCESS_EXECUTE;
  if (flags & (FOPEN_WRITE_ATTRIBUTES | FOPEN_CREATE)) p.access |= ACCESS_WRITE_ATTRIBUTES;
  if (flags & (FOPEN_WRITE | FOPEN_CREATE | FOPEN_TRUNCATE)) p.access |= ACCESS_WRITE_DATA;
  if (flags & FOPEN_APPEND) p.access = (p.access & ~(ACCESS_READ_DATA | ACCESS_WRITE_DATA)) | ACCESS_APPEND_DATA;
  if (flags & FOPEN_ASYNC) p.access &= ~ACCESS_SYNCHRONIZE;

  if ((flags & (FOPEN_APPEND | FOPEN_TRUNCATE | FOPEN_CREATE | FOPEN_WRITE)) && !(flags & FOPEN_SHARE_ALL))
    p.share = SHARE_READ | SHARE_DELETE;
  if (flags & FOPEN_DENY_WRITE) p.share &= ~SHARE_WRITE;

  switch (flags & (FOPEN_CREATE | FOPEN_TRUNCATE)) {
    case FOPEN_CREATE: p.disposition = DISP_OPEN_IF; break;
    case FOPEN_TRUNCATE: p.disposition = DISP_OVERWRITE; break;
    case FOPEN_CREATE | FOPEN_TRUNCATE: p.disposition = DISP_OVERWRITE_IF; break;
    default: break;
  }
  if (p.disposition != DISP_OPEN) p.attributes = FA_NORMAL;

  if (flags & FOPEN_NO_BUFFERING) p.options |= OPT_NO_BUFFERING;
  if (flags & FOPEN_ASYNC) p.options &= ~OPT_SYNCHRONOUS;
  if (flags & FOPEN_REPARSE_POINT) p.options |= OPT_OPEN_REPARSE_POINT;
  return p;
}

void disable_error_popups() {
  if (g_error_popups_disabled.load(std::memory_order_relaxed)) return;
  sys::SetErrorMode(sys::GetErrorMode() | kErrorModeNoPopups);
  g_error_popups_disabled.store(true, std::memory_order_relaxed);
}

Error native_open(const char* path, uint32_t access, uint32_t share, uint32_t attributes, uint32_t disposition,
                  uint32_t options, HANDLE* handle, uint32_t* info) {
  *handle = INVALID_HANDLE_VALUE;
  if (info) *info = 0;
  ScopedPool scratch;
  NtName name{};
  Error e = path_to_nt_name(scratch.get(), path, &name);
  if (e != err::ok) return e;
  return native_open_name(&name, access, share, attributes, disposition, options, handle, info);
}

namespace {

Error open_object(HANDLE root, const UNICODE_STRING* name, uint32_t access, uint32_t share, uint32_t attributes,
                  uint32_t disposition, uint32_t options, HANDLE* handle, uint32_t* info);

}  // namespace

Error native_open_relative(HANDLE folder, const char* name, const OpenProfile& p, HANDLE* handle, uint32_t* info) {
  *handle = INVALID_HANDLE_VALUE;
  if (info) *info = 0;
  if (handle_is_none(folder)) return err::invalid_handle;
  for (const char* c = name; *c; ++c)
    if (is_path_separator(*c)) return err::invalid_name;
  ScopedPool scratch;
  const uint64_t units = utf8_to_utf16_measure(name);
  if (units == 0 || units > kNtNameMaxUnits) return err::invalid_name;
  auto* text = static_cast<wchar16*>(pool_allocate(scratch.get(), (units + 1) * sizeof(wchar16)));
  if (!text) return err::out_of_memory;
  utf8_to_utf16(text, units + 1, name);
  UNICODE_STRING us{};
  us.Length = static_cast<uint16_t>(units * sizeof(wchar16));
  us.MaximumLength = static_cast<uint16_t>(us.Length + sizeof(wchar16));
  us.Buffer = text;
  return open_object(folder, &us, p.access, p.share, p.attributes, p.disposition, p.options, handle, info);
}

Error native_open_name(const NtName* name, uint32_t access, uint32_t share, uint32_t attributes,
                       uint32_t disposition, uint32_t options, HANDLE* handle, uint32_t* info) {
  return open_object(nullptr, &name->name, access, share, attributes, disposition, options, handle, info);
}

namespace {

Error open_object(HANDLE root, const UNICODE_STRING* name, uint32_t access, uint32_t share, uint32_t attributes,
                  uint32_t disposition, uint32_t options, HANDLE* handle, uint32_t* info) {
  disable_error_popups();
  OBJECT_ATTRIBUTES oa{};
  oa.Length = sizeof(OBJECT_ATTRIBUTES);
  oa.RootDirectory = root;
  oa.ObjectName = const_cast<UNICODE_STRING*>(name);
  oa.Attributes = kObjCaseInsensitive;
  IO_STATUS_BLOCK io{};
  HANDLE h = INVALID_HANDLE_VALUE;
  const NTSTATUS st = sys::NtCreateFile(&h, access, &oa, &io, nullptr, attributes, share, disposition, options,
                                        nullptr, 0);
  if (st != 0) {
    // A success status other than 0 still hands out a handle; the caller is
    // told of a failure, so it must not stay open.
    if (NT_SUCCESS(st) && !handle_is_none(h)) sys::NtClose(h);
    *handle = INVALID_HANDLE_VALUE;
    if (info) *info = 0;
    return map_status(st);
  }
  *handle = h;
  if (info) *info = io.Status == 0 ? static_cast<uint32_t>(io.Information) : 0;
  return map_status(io.Status);
}

}  // namespace

Error native_file_create(const char* path, uint32_t flags, HANDLE* handle) {
  return native_open(path, file_create_profile(flags), handle);
}

Error native_file_open(const char* path, uint32_t flags, HANDLE* handle) {
  OpenProfile p = file_open_profile(flags);
  Error e = native_open(path, p, handle);
  if (e != err::access_denied || !(flags & FOPEN_CREATE)) return e;
  // Creating was refused: the file may exist and only be refused to a
  // create; open it as it is.
  p.disposition = DISP_OPEN;
  p.attributes = 6;
  e = native_open(path, p, handle);
  if (e != err::ok || !(flags & FOPEN_TRUNCATE)) return e;
  e = native_set_size(*handle, 0, true);
  if (e != err::ok) {
    native_close(*handle);
    *handle = INVALID_HANDLE_VALUE;
  }
  return e;
}

Error native_close(HANDLE h) {
  if (handle_is_none(h)) return err::ok;
  const uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if ((v & 3) == 3) {
    // A console handle: a standard handle that the console does not accept
    // belongs to someone else's redirection and stays open.
    if (h == sys::GetStdHandle(STD_INPUT_HANDLE) || h == sys::GetStdHandle(STD_OUTPUT_HANDLE) ||
        h == sys::GetStdHandle(STD_ERROR_HANDLE)) {
      DWORD mode;
      if (!sys::GetConsoleMode(h, &mode)) return err::ok;
    }
    return sys::CloseHandle(h) ? err::ok : sys::GetLastError();
  }
  return map_status(sys::NtClose(h));
}

Error native_query_info(HANDLE h, uint32_t info_class, void* buffer, uint32_t length, uint32_t* returned) {
  if (returned) *returned = 0;
  if (handle_is_none(h)) return err::invalid_handle;
  IO_STATUS_BLOCK io{};
  const NTSTATUS st =
      sys::NtQueryInformationFile(h, &io, buffer, length, static_cast<FILE_INFORMATION_CLASS>(info_class));
  put_returned(returned, io);
  return map_io(st, io);
}

Error native_query_volume(HANDLE h, uint32_t info_class, void* buffer, uint32_t length, uint32_t* returned) {
  if (returned) *returned = 0;
  if (handle_is_none(h)) return err::invalid_handle;
  IO_STATUS_BLOCK io{};
  const NTSTATUS st =
      sys::NtQueryVolumeInformationFile(h, &io, buffer, length, static_cast<FS_INFORMATION_CLASS>(info_class));
  put_returned(returned, io);
  return map_io(st, io);
}

Error native_set_info(HANDLE h, uint32_t info_class, const void* buffer, uint32_t length) {
  if (handle_is_none(h)) return err::invalid_handle;
  IO_STATUS_BLOCK io{};
  const NTSTATUS st = sys::NtSetInformationFile(h, &io, const_cast<void*>(buffer), length,
                                                static_cast<FILE_INFORMATION_CLASS>(info_class));
  return map_io(st, io);
}

Error native_query_object(HANDLE h, uint32_t info_class, void* buffer, uint32_t length, uint32_t* returned) {
  if (returned) *returned = 0;
  if (handle_is_none(h)) return err::invalid_handle;
  ULONG got = 0;
  const NTSTATUS st =
      sys::NtQueryObject(h, static_cast<OBJECT_INFORMATION_CLASS>(info_class), buffer, length, &got);
  if (returned) *returned = got;
  return map_status(st);
}

Error native_fs_control(HANDLE h, uint32_t code, const void* in, uint32_t in_length, void* out,
                        uint32_t out_length, uint32_t* returned) {
  if (returned) *returned = 0;
  if (handle_is_none(h)) return err::invalid_handle;
  IO_STATUS_BLOCK io{};
  NTSTATUS st = sys::NtFsControlFile(h, nullptr, nullptr, nullptr, &io, code, const_cast<void*>(in), in_length,
                                     out, out_length);
  if (st == kStatusPending || st == kStatusUserApc) st = 0;
  put_returned(returned, io);
  return map_io(st, io);
}

Error native_query_mode(HANDLE h, FILE_POSIX_MODE* mode) {
  if (handle_is_none(h)) {
    *mode = FILE_POSIX_MODE{};
    return err::invalid_handle;
  }
  return map_status(sys::NtQueryPosixMode(h, mode));
}

Error native_set_mode(HANDLE h, const FILE_POSIX_MODE* mode) {
  if (handle_is_none(h)) return err::invalid_handle;
  return map_status(sys::NtSetPosixMode(h, mode));
}

Error native_copy_xattrs(HANDLE from, HANDLE to, uint32_t* changed) {
  ULONG count = 0;
  const Error e = handle_is_none(from) || handle_is_none(to) ? err::invalid_handle
                                                             : map_status(sys::NtCopyXattrs(from, to, &count));
  if (changed) *changed = e == err::ok ? count : 0;
  return e;
}

Error native_set_size(HANDLE h, uint64_t size, bool eof_only) {
  int64_t value = static_cast<int64_t>(size);
  const Error e = native_set_info(h, kFileInfoEndOfFile, &value, sizeof value);
  if (e == err::ok && !eof_only) native_set_info(h, kFileInfoValidDataLength, &value, sizeof value);
  return e;
}
