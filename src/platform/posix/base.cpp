// Linux implementation of the base calls: last-error slot, virtual memory,
// standard handles and synchronous reads and writes on descriptors.
#include "platform/platform.h"
#include "platform/posix/libc_door.h"
#include "platform/posix/file_state.h"
#include "platform/utf.h"

#include <cerrno>
#include <csignal>
#include <sys/mman.h>
#include <unistd.h>

namespace {

thread_local DWORD t_last_error = 0;

constexpr DWORD kProcessedLineEchoInput = 0x1 | 0x2 | 0x4;  // the console input modes of a terminal

// A write to a pipe whose reader has gone must fail with an error, as on
// Windows, instead of killing the process.
struct IgnoreSigpipe {
  IgnoreSigpipe() noexcept { std::signal(SIGPIPE, SIG_IGN); }
} g_ignore_sigpipe;

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD error) { t_last_error = error; }

// Memory comes as whole pages that read as zero. One extra page in front of
// the block records its size so that release with size 0 frees it all, as
// the system does.
NTSTATUS NtAllocateVirtualMemory(HANDLE process, PVOID* base, ULONG_PTR zero_bits, SIZE_T* size,
                                 ULONG type, ULONG protect) {
  if (process != NtCurrentProcess() || !base || !size || *base != nullptr || zero_bits != 0 ||
      !(type & MEM_COMMIT) || protect != PAGE_READWRITE || *size == 0)
    return STATUS_INVALID_PARAMETER;
  const size_t page = page_size();
  if (*size > SIZE_MAX - 2 * page) return STATUS_NO_MEMORY;
  const size_t rounded = (*size + page - 1) & ~(page - 1);
  void* p = mmap(nullptr, rounded + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return STATUS_NO_MEMORY;
  *static_cast<size_t*>(p) = rounded;
  *base = static_cast<char*>(p) + page;
  *size = rounded;
  return STATUS_SUCCESS;
}

NTSTATUS NtFreeVirtualMemory(HANDLE process, PVOID* base, SIZE_T* size, ULONG type) {
  if (process != NtCurrentProcess() || !base || !*base || !size || *size != 0 || type != MEM_RELEASE)
    return STATUS_INVALID_PARAMETER;
  const size_t page = page_size();
  char* start = static_cast<char*>(*base) - page;
  const size_t rounded = *reinterpret_cast<size_t*>(start);
  if (munmap(start, rounded + page) != 0) return STATUS_MEMORY_NOT_ALLOCATED;
  *size = rounded;
  return STATUS_SUCCESS;
}

HANDLE GetStdHandle(DWORD which) {
  switch (which) {
    case STD_INPUT_HANDLE: return posix_handle_from_fd(0);
    case STD_OUTPUT_HANDLE: return posix_handle_from_fd(1);
    case STD_ERROR_HANDLE: return posix_handle_from_fd(2);
    default:
      SetLastError(err::invalid_handle);
      return INVALID_HANDLE_VALUE;
  }
}

static bool handle_valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE && posix_fd_from_handle(h) >= 0; }

// Synchronous read: one read(2), retried on interruption. End of file is
// success with 0 bytes.
BOOL ReadFile(HANDLE h, void* buffer, DWORD length, DWORD* done, OVERLAPPED* ov) {
  if (done) *done = 0;
  if (!handle_valid(h) || ov) {
    SetLastError(err::invalid_handle);
    return FALSE;
  }
  ssize_t n;
  do n = libc::read(posix_fd_from_handle(h), buffer, length);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(posix_error_from_errno(errno));
    return FALSE;
  }
  if (done) *done = static_cast<DWORD>(n);
  return TRUE;
}

// Synchronous write: the whole piece is written or the call fails, as a
// synchronous write on Windows does; a short write is never success.
BOOL WriteFile(HANDLE h, const void* buffer, DWORD length, DWORD* done, OVERLAPPED* ov) {
  if (done) *done = 0;
  if (!handle_valid(h) || ov) {
    SetLastError(err::invalid_handle);
    return FALSE;
  }
  const int fd = posix_fd_from_handle(h);
  const char* p = static_cast<const char*>(buffer);
  DWORD moved = 0;
  if (length == 0) {
    if (libc::write(fd, p, 0) < 0 && errno != EINTR) {
      SetLastError(posix_error_from_errno(errno));
      return FALSE;
    }
    return TRUE;
  }
  while (moved < length) {
    ssize_t n = libc::write(fd, p + moved, length - moved);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(posix_error_from_errno(errno));
      return FALSE;
    }
    if (n == 0) {
      SetLastError(err::disk_full);
      return FALSE;
    }
    moved += static_cast<DWORD>(n);
  }
  if (done) *done = moved;
  return TRUE;
}

namespace {

// Where the source's data goes on from its offset `at`: *data the start of
// the next data (the end of the file when only a hole follows), *hole the
// end of that data. False where the file cannot seek its holes.
bool next_data(int fd, off_t at, off_t* data, off_t* hole) {
  *data = libc::lseek(fd, at, SEEK_DATA);
  if (*data < 0) {
    struct stat st;
    if (errno != ENXIO || libc::fstat(fd, &st) != 0) return false;
    *data = *hole = st.st_size > at ? st.st_size : at;
    return true;
  }
  *hole = libc::lseek(fd, *data, SEEK_HOLE);
  return *hole >= *data;
}

// Passes over a hole of the source: both offsets move on by `length` and
// the target, written nowhere, grows to its new offset. On a failure the
// target's offset is where it was (a grown target reads zeros there, as the
// source does); the caller puts the source's back.
bool skip_hole(int from, int to, off_t from_at, off_t length) {
  const off_t to_at = libc::lseek(to, 0, SEEK_CUR);
  struct stat st;
  if (to_at < 0 || libc::fstat(to, &st) != 0 ||
      (st.st_size < to_at + length && libc::ftruncate(to, to_at + length) != 0))
    return false;
  return libc::lseek(from, from_at + length, SEEK_SET) >= 0 && libc::lseek(to, to_at + length, SEEK_SET) >= 0;
}

}  // namespace

// In-kernel copy (copy_file_range): page cache to page cache, or shared
// extents where the file system can. A source with holes keeps them: a hole
// at the offset is passed over in both files (the call's count includes
// it), and data is copied only up to the next hole. Any refusal is
// err::not_supported and the caller falls back to reading and writing,
// which also reports real failures.
BOOL CopyFileData(HANDLE from, HANDLE to, DWORD length, DWORD* done) {
  if (done) *done = 0;
  if (!handle_valid(from) || !handle_valid(to)) {
    SetLastError(err::invalid_handle);
    return FALSE;
  }
  const int in = posix_fd_from_handle(from), out = posix_fd_from_handle(to);
  size_t want = length;
  const off_t at = libc::lseek(in, 0, SEEK_CUR);
  off_t data = 0, hole = 0;
  // Seeking moves the offset: it goes back to where it was after the look.
  if (at >= 0 && next_data(in, at, &data, &hole)) {
    if (data > at) {
      const off_t skip = data - at < static_cast<off_t>(length) ? data - at : static_cast<off_t>(length);
      if (!skip_hole(in, out, at, skip)) {
        libc::lseek(in, at, SEEK_SET);
        SetLastError(err::not_supported);
        return FALSE;
      }
      if (done) *done = static_cast<DWORD>(skip);
      return TRUE;
    }
    if (hole - at < static_cast<off_t>(want)) want = static_cast<size_t>(hole - at);
  }
  if (at >= 0 && libc::lseek(in, at, SEEK_SET) < 0) {
    SetLastError(err::not_supported);
    return FALSE;
  }
  ssize_t n;
  do n = libc::copy_file_range(in, nullptr, out, nullptr, want, 0);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(err::not_supported);
    return FALSE;
  }
  if (done) *done = static_cast<DWORD>(n);
  return TRUE;
}

BOOL GetConsoleMode(HANDLE h, DWORD* mode) {
  if (mode) *mode = 0;
  if (!handle_valid(h) || !isatty(posix_fd_from_handle(h))) {
    SetLastError(err::invalid_handle);
    return FALSE;
  }
  if (mode) *mode = kProcessedLineEchoInput;
  return TRUE;
}

BOOL WriteConsoleW(HANDLE h, const WCHAR* text, DWORD units, DWORD* done, void*) {
  if (done) *done = 0;
  if (!handle_valid(h) || !isatty(posix_fd_from_handle(h))) {
    SetLastError(err::invalid_handle);
    return FALSE;
  }
  char piece[1024];
  uint64_t at = 0;
  while (at < units) {
    // Encode whole characters into the piece, then write it out.
    uint64_t n = 0;
    while (at < units && n + 4 <= sizeof piece) {
      uint32_t cp = utf16_decode_next(text, units, at, &at);
      if (cp == INVALID_CODE_POINT) cp = kReplacementCharacter;
      utf8_encode_put(piece, sizeof piece, &n, cp);
    }
    if (!WriteFile(h, piece, static_cast<DWORD>(n), nullptr, nullptr)) return FALSE;
  }
  if (done) *done = units;
  return TRUE;
}

BOOL CloseHandle(HANDLE h) {
  // The file record goes with the descriptor: a folder's record holds a
  // second descriptor for its listing, which would otherwise stay open until
  // the number is reused.
  if (handle_valid(h)) posix_file::file_state_set(posix_fd_from_handle(h), nullptr);
  if (!handle_valid(h) || libc::close(posix_fd_from_handle(h)) != 0) {
    SetLastError(err::invalid_handle);
    return FALSE;
  }
  return TRUE;
}
