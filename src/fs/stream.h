// Synchronous data transfer on a handle: data moved, end of data, or failure.
#pragma once

#include <cstdint>

#include "base/error.h"
#include "platform/platform.h"

constexpr uint64_t kStreamPieceMax = 0x1000000;  // 16 MiB per system call
constexpr uint32_t kStreamAbortRetryMax = 16;    // aborted write pieces in a row

// Fills the buffer from the handle; returns after the first piece that moves
// less than 16 MiB. 0 bytes with result 0 means end of data.
Error stream_read(HANDLE h, void* buffer, uint64_t length, uint64_t* done = nullptr);

// Writes the whole buffer to the handle; a write that stops short fails
// (disk full, 109 for a pipe that ends or a piece that moves nothing).
Error stream_write(HANDLE h, const void* buffer, uint64_t length, uint64_t* done = nullptr);

// Moves up to `length` bytes (below 4 GiB) from one open file to another
// inside the system, both positions advanced. An error (50 where the system
// has no such copy) leaves the rest to stream_read and stream_write.
Error stream_copy(HANDLE from, HANDLE to, uint64_t length, uint64_t* done);

// A run of a file's data that is stored on disk.
struct StreamRange {
  uint64_t offset;
  uint64_t length;
};

// Up to `room` stored ranges of the open file at or after `from` and before
// `end`, in order; *more is set when further ranges follow the last one
// given. A system that keeps no such list fails (the caller then copies all).
Error stream_ranges(HANDLE h, uint64_t from, uint64_t end, StreamRange* ranges, uint32_t room, uint32_t* count,
                    bool* more);

// Marks the open file sparse: the parts never written take no space.
Error stream_set_sparse(HANDLE h);

// Moves the handle's position for the next read or write.
Error stream_seek(HANDLE h, uint64_t offset);

// Whether the open file has data streams besides its unnamed one; false
// where the system cannot tell.
bool stream_has_named(HANDLE h);
