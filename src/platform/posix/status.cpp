// Linux error conversion: the one errno -> status table and the one
// status -> Win32 error table. A Win32 call of this layer reports an errno
// value as the error its status converts to, as the system's own Win32 calls
// report the status of the native call beneath them.
#include "platform/posix/file_state.h"

#include <cerrno>

namespace {

struct ErrnoStatus {
  int errno_value;
  NTSTATUS status;
};

// Any other errno value is an I/O device error.
constexpr ErrnoStatus kErrnoTable[] = {
    {0, STATUS_SUCCESS},
    {ENOENT, STATUS_OBJECT_NAME_NOT_FOUND},
    {ENOTDIR, STATUS_OBJECT_PATH_NOT_FOUND},
    {EEXIST, STATUS_OBJECT_NAME_COLLISION},
    {EACCES, STATUS_ACCESS_DENIED},
    {EPERM, STATUS_ACCESS_DENIED},
    {EISDIR, STATUS_FILE_IS_A_DIRECTORY},
    {ENOTEMPTY, STATUS_DIRECTORY_NOT_EMPTY},
    {ENAMETOOLONG, STATUS_NAME_TOO_LONG},
    {ENOSPC, STATUS_DISK_FULL},
    {EDQUOT, STATUS_DISK_FULL},
    {EROFS, STATUS_MEDIA_WRITE_PROTECTED},
    {EMFILE, STATUS_TOO_MANY_OPENED_FILES},
    {ENFILE, STATUS_TOO_MANY_OPENED_FILES},
    {EBADF, STATUS_INVALID_HANDLE},
    {EINVAL, STATUS_INVALID_PARAMETER},
    {ENOMEM, STATUS_NO_MEMORY},
    {EXDEV, STATUS_NOT_SAME_DEVICE},
    {EFBIG, STATUS_FILE_TOO_LARGE},
    // A loop of symbolic links: what Windows reports when a name cannot be
    // resolved through its links.
    {ELOOP, STATUS_REPARSE_POINT_NOT_RESOLVED},
    {EBUSY, STATUS_SHARING_VIOLATION},
    {ETXTBSY, STATUS_SHARING_VIOLATION},
    {ENXIO, STATUS_NOT_SUPPORTED},  // a special file asked for data
    {EPIPE, STATUS_PIPE_BROKEN},
};

struct StatusError {
  NTSTATUS status;
  Error error;
};

// The statuses this layer produces and the Win32 errors Windows gives them.
constexpr StatusError kStatusTable[] = {
    {STATUS_SUCCESS, err::ok},
    {STATUS_PENDING, err::io_pending},
    {STATUS_USER_APC, err::user_apc},
    {STATUS_BUFFER_OVERFLOW, err::more_data},
    {STATUS_NO_MORE_FILES, err::no_more_files},
    {STATUS_STOPPED_ON_SYMLINK, err::stopped_on_symlink},
    {STATUS_NOT_IMPLEMENTED, err::invalid_function},
    {STATUS_INVALID_INFO_CLASS, err::invalid_parameter},
    {STATUS_INFO_LENGTH_MISMATCH, err::bad_length},
    {STATUS_INVALID_HANDLE, err::invalid_handle},
    {STATUS_INVALID_PARAMETER, err::invalid_parameter},
    {STATUS_END_OF_FILE, err::handle_eof},
    {STATUS_NO_MEMORY, err::not_enough_memory},
    {STATUS_ACCESS_DENIED, err::access_denied},
    {STATUS_BUFFER_TOO_SMALL, err::insufficient_buffer},
    {STATUS_OBJECT_NAME_INVALID, err::invalid_name},
    {STATUS_OBJECT_NAME_NOT_FOUND, err::file_not_found},
    {STATUS_OBJECT_NAME_COLLISION, err::already_exists},
    {STATUS_OBJECT_PATH_NOT_FOUND, err::path_not_found},
    {STATUS_SHARING_VIOLATION, err::sharing_violation},
    {STATUS_DELETE_PENDING, err::access_denied},
    {STATUS_PRIVILEGE_NOT_HELD, err::privilege_not_held},
    {STATUS_DISK_FULL, err::disk_full},
    {STATUS_MEDIA_WRITE_PROTECTED, err::write_protect},
    {STATUS_FILE_IS_A_DIRECTORY, err::access_denied},
    {STATUS_NOT_SUPPORTED, err::not_supported},
    {STATUS_NOT_SAME_DEVICE, err::not_same_device},
    {STATUS_DIRECTORY_NOT_EMPTY, err::dir_not_empty},
    {STATUS_NOT_A_DIRECTORY, err::directory},
    {STATUS_NAME_TOO_LONG, err::filename_too_long},
    {STATUS_TOO_MANY_OPENED_FILES, err::too_many_open_files},
    {STATUS_CANNOT_DELETE, err::access_denied},
    {STATUS_IO_DEVICE_ERROR, err::io_device},
    {STATUS_REPARSE_POINT_NOT_RESOLVED, err::folder_cycle},
    {STATUS_PIPE_BROKEN, err::broken_pipe},
    {STATUS_NOT_A_REPARSE_POINT, err::not_a_reparse_point},
    {STATUS_IO_REPARSE_DATA_INVALID, err::invalid_reparse_data},
    {STATUS_FILE_TOO_LARGE, err::file_too_large},
};

constexpr uint32_t kWin32Facility = 0xC0070000u;  // statuses that carry a Win32 error in their low word

constexpr Error error_of(NTSTATUS status) {
  for (const StatusError& m : kStatusTable)
    if (m.status == status) return m.error;
  if ((static_cast<uint32_t>(status) & 0xFFFF0000u) == kWin32Facility) return static_cast<uint32_t>(status) & 0xFFFFu;
  return err::mr_mid_not_found;
}

constexpr NTSTATUS status_of(int e) {
  for (const ErrnoStatus& m : kErrnoTable)
    if (m.errno_value == e) return m.status;
  return STATUS_IO_DEVICE_ERROR;
}

// Every status of the errno table has its own Win32 error.
constexpr bool every_status_converts() {
  for (const ErrnoStatus& m : kErrnoTable)
    if (m.status != STATUS_SUCCESS && error_of(m.status) == err::mr_mid_not_found) return false;
  return true;
}
static_assert(every_status_converts());
static_assert(error_of(status_of(ELOOP)) == err::folder_cycle);

}  // namespace

ULONG RtlNtStatusToDosError(NTSTATUS status) { return error_of(status); }

DWORD posix_error_from_errno(int e) { return error_of(status_of(e)); }

namespace posix_file {

NTSTATUS status_from_errno(int e) { return status_of(e); }

}  // namespace posix_file
