// The door: names, the fault plan, counts and replacement through the one
// table; and, on Linux, failures planned below the POSIX layer reaching the
// program as the errors Windows gives.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "base/error.h"
#include "fs/file_ops.h"
#include "fs/native.h"
#include "fs/stream.h"
#include "platform/platform.h"
#include "test_os.h"

namespace {

using sys::SysCall;

// Ordinals count the calls of every thread together: the second call fails
// though another thread makes it, and the plan then runs out.
TEST(Door, PlannedFailureReachesAnyThread) {
  const UINT mode = sys::GetErrorMode();
  sys::FaultScope plan;
  ASSERT_TRUE(sys::fault_arm(SysCall::SetErrorMode, 2, 0x1234));
  EXPECT_EQ(sys::SetErrorMode(mode), mode);
  UINT on_thread = 0;
  std::thread([&] { on_thread = sys::SetErrorMode(mode); }).join();
  EXPECT_EQ(on_thread, 0x1234u);
  EXPECT_EQ(sys::SetErrorMode(mode), mode);
}

TEST(Door, NamesPlanAndCounts) {
  // Every id has its name and is found by it; a misspelt name is refused,
  // and so is a call that cannot fail.
  for (size_t i = 0; i < sys::kSysCallCount; ++i) {
    const auto call = static_cast<SysCall>(i);
    SysCall found{};
    ASSERT_TRUE(sys::call_by_name(sys::call_name(call), &found)) << sys::call_name(call);
    EXPECT_EQ(found, call);
  }
  sys::FaultScope plan;
  EXPECT_FALSE(sys::fault_arm("WriteFiel", 1, err::access_denied));
  EXPECT_FALSE(sys::fault_arm(SysCall::GetTickCount, 1, 0));
  // Calls 2 and 3 from now fail; every call is counted, failed or not.
  ASSERT_TRUE(sys::fault_arm("GetModuleHandleW", 2, err::mod_not_found, 2));
  sys::CallCounter calls(SysCall::GetModuleHandleW);
  std::string outcomes;
  for (int i = 0; i < 5; ++i) {
    sys::SetLastError(0);
    const bool ok = sys::GetModuleHandleW(WSTR("kernel32")) != nullptr;
    outcomes += ok ? 'o' : sys::GetLastError() == err::mod_not_found ? 'x' : '?';
  }
  EXPECT_EQ(outcomes, "oxxoo");
  EXPECT_EQ(calls.count(), 5u);
}

DWORD fixed_tick() { return 1234; }

TEST(Door, ReplacementLastsForItsScope) {
  {
    sys::CallReplacement<SysCall::GetTickCount> tick(fixed_tick);
    EXPECT_EQ(sys::GetTickCount(), 1234u);
    EXPECT_EQ(sys::g_calls.GetTickCount.current, &fixed_tick);
  }
  EXPECT_EQ(sys::g_calls.GetTickCount.current, sys::g_calls.GetTickCount.fallback);
}

#ifndef _WIN32
// A C library failure inside the POSIX layer reaches the caller as the error
// Windows gives for the same condition.
TEST(PosixDoor, LibraryFailuresBecomeWindowsErrors) {
  testos::TempDir dir;
  const std::string path = dir.join("f.txt");
  ASSERT_TRUE(testos::write_file(path, "hello"));
  struct Case {
    const char* what;
    SysCall call;
    int errno_value;
    Error (*operation)(HANDLE h);
    Error want;
  };
  const Case cases[] = {
      {"status of a link loop", SysCall::fstat, ELOOP,
       [](HANDLE h) {
         uint8_t info[64];
         return native_query_info(h, 4, info, sizeof info);
       },
       err::folder_cycle},
      {"size on a full disk", SysCall::ftruncate, ENOSPC, [](HANDLE h) { return native_set_size(h, 1, true); },
       err::disk_full},
      {"time on a read-only volume", SysCall::futimens, EROFS,
       [](HANDLE h) { return write_time_set(h, 130000000000000000ull); }, err::write_protect},
      {"write to a closed pipe", SysCall::write, EPIPE,
       [](HANDLE h) { return stream_write(h, "x", 1); }, err::broken_pipe},
      {"read of a bad descriptor", SysCall::read, EBADF,
       [](HANDLE h) {
         char b[4];
         return stream_read(h, b, sizeof b);
       },
       err::invalid_handle},
      {"unknown errno", SysCall::fstat, EOVERFLOW,
       [](HANDLE h) {
         uint8_t info[64];
         return native_query_info(h, 4, info, sizeof info);
       },
       err::io_device},
  };
  for (const Case& c : cases) {
    HANDLE h = INVALID_HANDLE_VALUE;
    // Read, write data and attributes: each case's call is allowed.
    ASSERT_EQ(native_file_open(path.c_str(), 0xF, &h), err::ok) << c.what;
    {
      sys::FaultScope plan;
      ASSERT_TRUE(sys::fault_arm(c.call, 1, static_cast<uint32_t>(c.errno_value))) << c.what;
      sys::CallCounter calls(c.call);
      EXPECT_EQ(c.operation(h), c.want) << c.what;
      EXPECT_GE(calls.count(), 1u) << c.what << ": the failure was never reached";
    }
    native_close(h);
  }
  std::string content;
  ASSERT_TRUE(testos::read_file(path, &content));
  EXPECT_EQ(content, "hello");
}

// An interrupted read is tried again and then delivers the data.
TEST(PosixDoor, InterruptedReadIsRetried) {
  testos::TempDir dir;
  const std::string path = dir.join("f.txt");
  ASSERT_TRUE(testos::write_file(path, "abc"));
  HANDLE h = testos::open_read(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  sys::FaultScope plan;
  ASSERT_TRUE(sys::fault_arm(SysCall::read, 1, EINTR, 3));
  sys::CallCounter reads(SysCall::read);
  char buffer[8] = {};
  DWORD done = 0;
  EXPECT_TRUE(sys::ReadFile(h, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "abc");
  EXPECT_EQ(reads.count(), 4u);
  testos::close(h);
}
#endif

}  // namespace
