#include "fs/stream.h"

#include <cstring>

#include "fs/native.h"

namespace {

// One transfer, built afresh for every call.
struct TransferRequest {
  bool write;
  HANDLE handle;
  char* position;  // advanced by each piece
  uint32_t zero_retries;
};

enum class Piece { moved, end_of_data, aborted, failed };

Piece classify(Error code, Error* short_code) {
  switch (code) {
    case err::ok:
      return Piece::moved;
    case err::handle_eof:
    case err::handle_disk_full:
    case err::disk_full:
      *short_code = code;
      return Piece::end_of_data;
    case err::broken_pipe:
    case err::unexp_net_err:
    case err::netname_deleted:
    case err::no_data:
    case err::pipe_not_connected:
    case err::connection_aborted:
      *short_code = err::broken_pipe;
      return Piece::end_of_data;
    case err::operation_aborted:
      return Piece::aborted;
    default:
      return Piece::failed;
  }
}

// Moves up to `total` bytes, at least `minimum` unless the data ends or the
// transfer fails, in pieces of at most kStreamPieceMax bytes.
Error stream_transfer(TransferRequest& req, uint64_t minimum, uint64_t total, uint64_t* done) {
  if (req.handle == INVALID_HANDLE_VALUE) {
    if (done) *done = 0;
    return err::invalid_handle;
  }
  Error short_code = err::broken_pipe;
  Error failure = err::ok;
  uint64_t moved_total = 0;
  uint32_t aborted_in_row = 0;
  for (;;) {
    const uint64_t left = total - moved_total;
    const DWORD piece = static_cast<DWORD>(left < kStreamPieceMax ? left : kStreamPieceMax);
    DWORD moved = 0;
    const BOOL ok = req.write ? sys::WriteFile(req.handle, req.position, piece, &moved, nullptr)
                              : sys::ReadFile(req.handle, req.position, piece, &moved, nullptr);
    const Error code = ok ? err::ok : sys::GetLastError();
    const Piece kind = classify(code, &short_code);
    if (kind == Piece::failed) {
      failure = code;
      break;
    }
    if (kind == Piece::moved) {
      if (moved > piece) moved = piece;  // never trust a count beyond the request
      moved_total += moved;
      req.position += moved;
      aborted_in_row = 0;
    } else {
      moved = 0;
    }
    if (kind == Piece::aborted && ++aborted_in_row > kStreamAbortRetryMax && moved_total < minimum) {
      // A write that keeps being aborted before its first byte gives up.
      failure = err::operation_aborted;
      break;
    }
    const bool more = moved_total < total &&
                      (moved == kStreamPieceMax ||
                       (moved_total < minimum && (moved >= 1 || kind == Piece::aborted)));
    if (!more) break;
  }
  if (done) *done = moved_total;
  if (failure) return failure;
  return moved_total < minimum ? short_code : err::ok;
}

}  // namespace

Error stream_read(HANDLE h, void* buffer, uint64_t length, uint64_t* done) {
  TransferRequest req{false, h, static_cast<char*>(buffer), 0};
  return stream_transfer(req, 0, length, done);
}

Error stream_copy(HANDLE from, HANDLE to, uint64_t length, uint64_t* done) {
  *done = 0;
  if (length > UINT32_MAX) return err::invalid_parameter;
  // While a fault plan is armed, planned read and write failures must meet
  // the ordinary path.
  if (sys::g_fault_armed.load(std::memory_order_relaxed) != 0) return err::not_supported;
  DWORD moved = 0;
  if (!sys::CopyFileData(from, to, static_cast<DWORD>(length), &moved)) return sys::GetLastError();
  *done = moved < length ? moved : length;
  return err::ok;
}

Error stream_write(HANDLE h, const void* buffer, uint64_t length, uint64_t* done) {
  // The system only reads from the buffer of a write.
  TransferRequest req{true, h, static_cast<char*>(const_cast<void*>(buffer)), 0};
  // A write is done only when all of it is: the rest of a partial piece is
  // written again, and a write that stops short fails.
  return stream_transfer(req, length, length, done);
}

Error stream_ranges(HANDLE h, uint64_t from, uint64_t end, StreamRange* ranges, uint32_t room, uint32_t* count,
                    bool* more) {
  *count = 0;
  *more = false;
  if (from >= end) return err::ok;
  const StreamRange asked{from, end - from};
  uint32_t returned = 0;
  const Error e = native_fs_control(h, kFsctlQueryAllocatedRanges, &asked, sizeof asked, ranges,
                                    room * static_cast<uint32_t>(sizeof *ranges), &returned);
  if (e != err::ok && e != err::more_data) return e;
  const uint32_t n = returned / static_cast<uint32_t>(sizeof *ranges);
  *count = n < room ? n : room;
  *more = e == err::more_data && *count != 0;
  // A list that ends short without saying so is never trusted further.
  return e == err::more_data && *count == 0 ? err::more_data : err::ok;
}

Error stream_set_sparse(HANDLE h) { return native_fs_control(h, kFsctlSetSparse, nullptr, 0, nullptr, 0); }

Error stream_seek(HANDLE h, uint64_t offset) {
  const int64_t at = static_cast<int64_t>(offset);
  return native_set_info(h, kFileInfoPosition, &at, sizeof at);
}

bool stream_has_named(HANDLE h) {
  // Each record: next offset, name length in bytes, two sizes, the name.
  constexpr uint32_t kNameAt = 24;
  constexpr char16_t kUnnamed[] = u"::$DATA";
  alignas(8) uint8_t buffer[1024];
  uint32_t returned = 0;
  const Error e = native_query_info(h, kFileInfoStream, buffer, sizeof buffer, &returned);
  if (e == err::more_data || e == err::buffer_overflow) return true;  // more than one record
  if (e != err::ok || returned > sizeof buffer) return false;
  for (uint32_t at = 0; at + kNameAt <= returned;) {
    uint32_t next = 0, name_bytes = 0;
    std::memcpy(&next, buffer + at, sizeof next);
    std::memcpy(&name_bytes, buffer + at + 4, sizeof name_bytes);
    const bool unnamed = name_bytes == sizeof kUnnamed - 2 && at + kNameAt + name_bytes <= returned &&
                         std::memcmp(buffer + at + kNameAt, kUnnamed, name_bytes) == 0;
    if (!unnamed) return true;
    if (next == 0) break;
    at += next;
  }
  return false;
}
