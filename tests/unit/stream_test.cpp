#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fs/stream.h"
#include "platform/platform.h"
#include "test_os.h"

namespace {

// A file handle that is closed when the test ends.
struct Handle {
  HANDLE h;
  explicit Handle(HANDLE handle) : h(handle) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) testos::close(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
};

TEST(StreamRead, FilesEmptyAndToTheEnd) {
  testos::TempDir dir;
  ASSERT_TRUE(testos::write_file(dir.join("empty"), ""));
  ASSERT_TRUE(testos::write_file(dir.join("data"), "0123456789"));
  char buf[32];
  uint64_t n = 99;
  {
    Handle f(testos::open_read(dir.join("empty")));
    ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(stream_read(f.h, buf, sizeof buf, &n), 0u);
    EXPECT_EQ(n, 0u);
  }
  Handle f(testos::open_read(dir.join("data")));
  ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(stream_read(f.h, buf, 4, &n), 0u);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(stream_read(f.h, buf, sizeof buf, &n), 0u);  // fewer than asked: the rest
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(std::string(buf, 6), "456789");
  n = 99;
  EXPECT_EQ(stream_read(f.h, buf, sizeof buf, &n), 0u);  // end of file
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(stream_read(f.h, buf, sizeof buf), 0u);  // no count wanted
}

TEST(StreamRead, ReturnsAfterAShortPiece) {
  HANDLE r, w;
  ASSERT_TRUE(testos::make_pipe(&r, &w));
  Handle reader(r);
  Handle writer(w);
  ASSERT_EQ(stream_write(w, "abc", 3), 0u);
  // The writer stays open: a second piece would wait for data. Should one be
  // asked for, it fails instead of blocking the test.
  sys::FaultScope faults;
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::ReadFile, 2, 5));
  sys::CallCounter read_file_calls(sys::SysCall::ReadFile);
  char buf[16];
  uint64_t n = 0;
  EXPECT_EQ(stream_read(r, buf, sizeof buf, &n), 0u);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(read_file_calls.count(), 1u);
}

TEST(StreamRead, PipeWhoseWriterClosed) {
  HANDLE r, w;
  ASSERT_TRUE(testos::make_pipe(&r, &w));
  Handle reader(r);
  uint64_t n = 0;
  ASSERT_EQ(stream_write(w, "abc", 3, &n), 0u);
  EXPECT_EQ(n, 3u);
  testos::close(w);
  char buf[16];
  EXPECT_EQ(stream_read(r, buf, sizeof buf, &n), 0u);
  EXPECT_EQ(n, 3u);
  n = 99;
  EXPECT_EQ(stream_read(r, buf, sizeof buf, &n), 0u);
  EXPECT_EQ(n, 0u);
}

TEST(StreamWrite, ZeroBytesMakeOneCall) {
  testos::TempDir dir;
  Handle f(testos::open_write(dir.join("out")));
  ASSERT_NE(f.h, INVALID_HANDLE_VALUE);
  sys::FaultScope faults;
  sys::CallCounter write_file_calls(sys::SysCall::WriteFile);
  uint64_t n = 99;
  EXPECT_EQ(stream_write(f.h, "", 0, &n), 0u);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(write_file_calls.count(), 1u);
  ASSERT_TRUE(testos::write_file(dir.join("in"), "abc"));
  Handle in(testos::open_read(dir.join("in")));
  sys::CallCounter read_file_calls(sys::SysCall::ReadFile);
  char buf[4];
  EXPECT_EQ(stream_read(in.h, buf, 0, &n), 0u);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(read_file_calls.count(), 1u);
}

TEST(StreamWrite, PipeWhoseReaderIsGone) {
  HANDLE r, w;
  ASSERT_TRUE(testos::make_pipe(&r, &w));
  Handle writer(w);
  testos::close(r);
  uint64_t n = 99;
  EXPECT_EQ(stream_write(w, "abc", 3, &n), err::broken_pipe);
  EXPECT_EQ(n, 0u);
}

TEST(Stream, InvalidHandle) {
  sys::FaultScope faults;
  sys::CallCounter write_file_calls(sys::SysCall::WriteFile);
  sys::CallCounter read_file_calls(sys::SysCall::ReadFile);
  char buf[4];
  uint64_t n = 99;
  EXPECT_EQ(stream_write(INVALID_HANDLE_VALUE, "abc", 3, &n), err::invalid_handle);
  EXPECT_EQ(n, 0u);
  n = 99;
  EXPECT_EQ(stream_read(INVALID_HANDLE_VALUE, buf, 4, &n), err::invalid_handle);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(write_file_calls.count() + read_file_calls.count(), 0u);
}

// How a piece that ends with each status is treated: the result and count
// of a read and a write of 10 bytes whose first system call fails with it.
TEST(Stream, PieceClassification) {
  struct Case {
    uint32_t status;
    Error write_result;
    uint64_t write_count;  // the write is tried again only after 995
    Error read_result;
  } cases[] = {
      {38, 38, 0, 0},     {39, 39, 0, 0},     {112, 112, 0, 0},
      {109, 109, 0, 0},   {59, 109, 0, 0},    {64, 109, 0, 0},
      {232, 109, 0, 0},   {233, 109, 0, 0},   {1236, 109, 0, 0},
      {995, 0, 10, 0},    {5, 5, 0, 5},       {87, 87, 0, 87},
  };
  testos::TempDir dir;
  ASSERT_TRUE(testos::write_file(dir.join("in"), "0123456789"));
  for (const auto& c : cases) {
    Handle out(testos::open_write(dir.join("out")));
    Handle in(testos::open_read(dir.join("in")));
    ASSERT_NE(out.h, INVALID_HANDLE_VALUE);
    ASSERT_NE(in.h, INVALID_HANDLE_VALUE);
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::WriteFile, 1, c.status));
    sys::CallCounter write_file_calls(sys::SysCall::WriteFile);
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::ReadFile, 1, c.status));
    sys::CallCounter read_file_calls(sys::SysCall::ReadFile);
    uint64_t n = 99;
    EXPECT_EQ(stream_write(out.h, "abcdefghij", 10, &n), c.write_result) << c.status;
    EXPECT_EQ(n, c.write_count) << c.status;
    EXPECT_EQ(write_file_calls.count(), c.status == 995 ? 2u : 1u) << c.status;
    char buf[16];
    n = 99;
    EXPECT_EQ(stream_read(in.h, buf, sizeof buf, &n), c.read_result) << c.status;
    EXPECT_EQ(n, 0u) << c.status;
    EXPECT_EQ(read_file_calls.count(), 1u) << c.status;  // a read never tries again
  }
}

TEST(StreamWrite, AbortedPiecesAreRetriedSixteenTimes) {
  testos::TempDir dir;
  for (uint32_t aborted : {kStreamAbortRetryMax, kStreamAbortRetryMax + 1}) {
    Handle out(testos::open_write(dir.join("out")));
    ASSERT_NE(out.h, INVALID_HANDLE_VALUE);
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::WriteFile, 1, err::operation_aborted, aborted));
    sys::CallCounter write_file_calls(sys::SysCall::WriteFile);
    uint64_t n = 99;
    const Error e = stream_write(out.h, "abc", 3, &n);
    if (aborted == kStreamAbortRetryMax) {
      EXPECT_EQ(e, 0u);
      EXPECT_EQ(n, 3u);
      EXPECT_EQ(write_file_calls.count(), kStreamAbortRetryMax + 1);
    } else {
      EXPECT_EQ(e, err::operation_aborted);
      EXPECT_EQ(n, 0u);
      EXPECT_EQ(write_file_calls.count(), kStreamAbortRetryMax + 1);
    }
  }
  std::string bytes;
  ASSERT_TRUE(testos::read_file(dir.join("out"), &bytes));
  EXPECT_EQ(bytes, "");
}

// Requests above 16 MiB go in pieces; a piece that fails after earlier
// pieces moved data leaves those bytes counted.
TEST(Stream, LargeTransfersInPieces) {
  const uint64_t size = kStreamPieceMax + 1000;
  std::vector<char> data(size);
  for (uint64_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  testos::TempDir dir;
  const std::string path = dir.join("big");
  {
    Handle out(testos::open_write(path));
    sys::FaultScope faults;
    sys::CallCounter write_file_calls(sys::SysCall::WriteFile);
    uint64_t n = 0;
    EXPECT_EQ(stream_write(out.h, data.data(), size, &n), 0u);
    EXPECT_EQ(n, size);
    EXPECT_EQ(write_file_calls.count(), 2u);
  }
  std::string bytes;
  ASSERT_TRUE(testos::read_file(path, &bytes));
  ASSERT_EQ(bytes.size(), size);
  EXPECT_TRUE(bytes == std::string(data.data(), size));
  {
    // A read goes on after a full 16 MiB piece.
    Handle in(testos::open_read(path));
    std::vector<char> back(size + 10);
    uint64_t n = 0;
    EXPECT_EQ(stream_read(in.h, back.data(), back.size(), &n), 0u);
    EXPECT_EQ(n, size);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  }
  // A write that stops short of its length fails, whatever it moved; an
  // aborted piece is tried again.
  struct Case {
    uint32_t status;
    Error write_result;
    uint64_t written;
    Error read_result;
  } cases[] = {
      {5, 5, kStreamPieceMax, 5},  // failure: the code, with the first piece counted
      {112, 112, kStreamPieceMax, 0},  // end of data after data moved: a read is short, a write fails
      {232, 109, kStreamPieceMax, 0},
      {995, 0, size, 0},  // aborted after data moved: a read ends, a write goes on
  };
  for (const auto& c : cases) {
    Handle out(testos::open_write(dir.join("out")));
    Handle in(testos::open_read(path));
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::WriteFile, 2, c.status));
    sys::CallCounter write_file_calls(sys::SysCall::WriteFile);
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::ReadFile, 2, c.status));
    uint64_t n = 0;
    EXPECT_EQ(stream_write(out.h, data.data(), size, &n), c.write_result) << c.status;
    EXPECT_EQ(n, c.written) << c.status;
    EXPECT_EQ(write_file_calls.count(), c.written == size ? 3u : 2u) << c.status;
    std::vector<char> back(size);
    n = 0;
    EXPECT_EQ(stream_read(in.h, back.data(), size, &n), c.read_result) << c.status;
    EXPECT_EQ(n, kStreamPieceMax) << c.status;
  }
}

// A system write that moves at most two bytes a call, and then, after
// `g_short_budget` calls, nothing at all.
uint32_t g_short_budget = 0;
BOOL short_write(HANDLE h, const void* buffer, DWORD length, DWORD* done, OVERLAPPED* ov) {
  if (g_short_budget == 0) {
    *done = 0;
    return TRUE;
  }
  --g_short_budget;
  return sys::g_calls.WriteFile.fallback(h, buffer, length < 2 ? length : 2, done, ov);
}

// A partial piece is followed by the rest; a write that stops short fails
// with what it moved counted.
TEST(StreamWrite, PartialPiecesCompleteOrFail) {
  testos::TempDir dir;
  const sys::CallReplacement<sys::SysCall::WriteFile> replaced(short_write);
  for (const uint32_t budget : {5u, 2u}) {
    g_short_budget = budget;
    Handle out(testos::open_write(dir.join("out")));
    uint64_t n = 99;
    EXPECT_EQ(stream_write(out.h, "abcdefghij", 10, &n), budget == 5 ? err::ok : err::broken_pipe);
    EXPECT_EQ(n, budget * 2u);
    std::string bytes;
    ASSERT_TRUE(testos::read_file(dir.join("out"), &bytes));
    EXPECT_EQ(bytes, std::string("abcdefghij").substr(0, budget * 2));
  }
}

}  // namespace
