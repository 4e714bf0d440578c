#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fs/native.h"
#include "platform/platform.h"
#include "fixtures.h"
#include "test_os.h"

namespace {

const HANDLE kFakeHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1230));

bool same(const OpenProfile& a, const OpenProfile& b) {
  return a.access == b.access && a.share == b.share && a.attributes == b.attributes &&
         a.disposition == b.disposition && a.options == b.options;
}

struct ProfileCase {
  uint32_t flags;
  OpenProfile want;
};

TEST(NativeOpenFlags, CreateProfiles) {
  const ProfileCase cases[] = {
      {0, {0x100183, 5, 0x20, 2, 0x60}},  // the copy engine's target file
      {0x2000, {0x100184, 5, 0x20, 2, 0x60}},
      {0x40, {0x100183, 7, 0x20, 2, 0x60}},
      {0x100, {0x100183, 5, 0x20, 0, 0x60}},
      {0x200, {0x100183, 5, 0x20, 2, 0x68}},
      {0x400, {0x000183, 5, 0x20, 2, 0x40}},
      {0x1000, {0x100183, 5, 0x20, 2, 0x200060}},
      {0x2 | 0x8 | 0x80, {0x100183, 5, 0x20, 2, 0x60}},  // bits without meaning for a create
  };
  for (const ProfileCase& c : cases) EXPECT_TRUE(same(file_create_profile(c.flags), c.want)) << std::hex << c.flags;
}

TEST(NativeOpenFlags, OpenProfiles) {
  const ProfileCase cases[] = {
      {3, {0x100081, 7, 6, 1, 0x20}},  // the copy engine's source file
      {0, {0x100080, 7, 6, 1, 0x20}},
      {0x4, {0x100180, 7, 6, 1, 0x20}},
      {0x8, {0x100082, 5, 6, 1, 0x20}},
      {0x8 | 0x40, {0x100082, 7, 6, 1, 0x20}},
      {0x8 | 0x40 | 0x20, {0x100082, 5, 6, 1, 0x20}},
      {0x20, {0x100080, 5, 6, 1, 0x20}},
      {0x80, {0x100182, 5, 0x80, 3, 0x20}},
      {0x100, {0x100082, 5, 0x80, 4, 0x20}},
      {0x180, {0x100182, 5, 0x80, 5, 0x20}},
      {0x800, {0x1000A0, 7, 6, 1, 0x20}},
      {0x2000 | 0x2, {0x100084, 5, 6, 1, 0x20}},
      {0x2000 | 0x8, {0x100084, 5, 6, 1, 0x20}},
      {0x400, {0x000080, 7, 6, 1, 0}},
      {0x200 | 0x2, {0x100081, 7, 6, 1, 0x28}},
      {0x1000, {0x100080, 7, 6, 1, 0x200020}},
  };
  for (const ProfileCase& c : cases) EXPECT_TRUE(same(file_open_profile(c.flags), c.want)) << std::hex << c.flags;
}

TEST(NativeWrappers, NoHandleMeansNoSystemCall) {
  sys::FaultScope faults;
  using sys::SysCall;
  const SysCall calls[] = {SysCall::NtQueryInformationFile, SysCall::NtQueryVolumeInformationFile,
                           SysCall::NtSetInformationFile,   SysCall::NtQueryObject,
                           SysCall::NtFsControlFile,        SysCall::NtClose,
                           SysCall::CloseHandle};
  uint32_t before[std::size(calls)];
  for (size_t i = 0; i < std::size(calls); ++i) before[i] = sys::calls_made(calls[i]);
  uint8_t buf[16];
  for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    uint32_t got = 99;
    EXPECT_EQ(native_query_info(h, 4, buf, sizeof buf, &got), err::invalid_handle);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(native_query_volume(h, 1, buf, sizeof buf), err::invalid_handle);
    EXPECT_EQ(native_set_info(h, 4, buf, sizeof buf), err::invalid_handle);
    EXPECT_EQ(native_query_object(h, 1, buf, sizeof buf), err::invalid_handle);
    EXPECT_EQ(native_fs_control(h, kFsctlGetReparsePoint, nullptr, 0, buf, sizeof buf), err::invalid_handle);
    EXPECT_EQ(native_set_size(h, 0, false), err::invalid_handle);
    EXPECT_EQ(native_close(h), err::ok);
  }
  for (size_t i = 0; i < std::size(calls); ++i)
    EXPECT_EQ(sys::calls_made(calls[i]), before[i]) << sys::call_name(calls[i]);
}

TEST(NativeWrappers, InvalidPathMakesNoSystemCall) {
  sys::FaultScope faults;
  sys::CallCounter nt_create_file_calls(sys::SysCall::NtCreateFile);
  for (const char* path : {"\\\\srv", "\\\\\\x", "\\\\srv\\"}) {
    HANDLE h = kFakeHandle;
    uint32_t info = 7;
    EXPECT_EQ(native_open(path, kOpenReadInfo, &h, &info), err::invalid_name) << path;
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(info, 0u);
  }
  EXPECT_EQ(nt_create_file_calls.count(), 0u);
}

// Each wrapper reports a failing status as its Win32 error; the fault plan
// makes the system call fail before it reaches the system.
TEST(NativeWrappers, StatusMapping) {
  struct Case {
    uint32_t status;
    Error want;
  };
  const Case cases[] = {
      {0xC0000022, 5},   {0xC0000034, 2},   {0xC000003A, 3},  {0xC0000035, 183}, {0x80000005, 234},
      {0xC0000101, 145}, {0xC0000008, 6},   {0xC0000043, 32}, {0x80000006, 18},  {0xC0000103, 267},
      {0xC000000D, 87},  {0xC0000061, 1314},
  };
  uint8_t buf[16];
  for (const Case& c : cases) {
    sys::FaultScope faults;
    using sys::SysCall;
    for (SysCall call : {SysCall::NtQueryInformationFile, SysCall::NtQueryVolumeInformationFile,
                         SysCall::NtSetInformationFile, SysCall::NtQueryObject, SysCall::NtFsControlFile,
                         SysCall::NtCreateFile})
      ASSERT_TRUE(sys::fault_arm(call, 1, c.status));
    uint32_t got = 99;
    EXPECT_EQ(native_query_info(kFakeHandle, 4, buf, sizeof buf, &got), c.want) << std::hex << c.status;
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(native_query_volume(kFakeHandle, 1, buf, sizeof buf), c.want);
    EXPECT_EQ(native_set_info(kFakeHandle, 4, buf, sizeof buf), c.want);
    EXPECT_EQ(native_query_object(kFakeHandle, 1, buf, sizeof buf), c.want);
    EXPECT_EQ(native_fs_control(kFakeHandle, kFsctlGetReparsePoint, nullptr, 0, buf, sizeof buf), c.want);
    HANDLE h = kFakeHandle;
    uint32_t info = 9;
    EXPECT_EQ(native_open("C:\\x", kOpenReadInfo, &h, &info), c.want);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(info, 0u);
  }
}

TEST(NativeWrappers, ControlTreatsPendingAndApcAsDone) {
  for (uint32_t status : {0x103u, 0xC0u}) {
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtFsControlFile, 1, status));
    EXPECT_EQ(native_fs_control(kFakeHandle, kFsctlGetReparsePoint, nullptr, 0, nullptr, 0), err::ok);
  }
}

TEST(NativeWrappers, SetSizeCalls) {
  sys::FaultScope faults;
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtSetInformationFile, 1, 0, 2));  // both calls "succeed"
  sys::CallCounter nt_set_information_file_calls(sys::SysCall::NtSetInformationFile);
  EXPECT_EQ(native_set_size(kFakeHandle, 5, true), err::ok);     // end of file only: one call
  EXPECT_EQ(nt_set_information_file_calls.count(), 1u);
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtSetInformationFile, 1, 0, 2));
  nt_set_information_file_calls = sys::CallCounter(sys::SysCall::NtSetInformationFile);
  EXPECT_EQ(native_set_size(kFakeHandle, 5, false), err::ok);    // and the valid data length
  EXPECT_EQ(nt_set_information_file_calls.count(), 2u);
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtSetInformationFile, 1, 0xC0000022, 2));
  nt_set_information_file_calls = sys::CallCounter(sys::SysCall::NtSetInformationFile);
  EXPECT_EQ(native_set_size(kFakeHandle, 5, false), err::access_denied);
  EXPECT_EQ(nt_set_information_file_calls.count(), 1u);  // no second call after a failure
}

TEST(NativeClose, HandleKinds) {
  sys::FaultScope faults;
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtClose, 1, 0xC0000008, 10));
  sys::CallCounter nt_close_calls(sys::SysCall::NtClose);
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::CloseHandle, 1, 6, 10));
  sys::CallCounter close_handle_calls(sys::SysCall::CloseHandle);
  native_close(kFakeHandle);  // an ordinary handle: the native close
  EXPECT_EQ(nt_close_calls.count(), 1u);
  EXPECT_EQ(close_handle_calls.count(), 0u);
  // A console handle (two low bits set) that is no standard handle: the
  // Win32 close.
  native_close(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1233)));
  EXPECT_EQ(nt_close_calls.count(), 1u);
  EXPECT_EQ(close_handle_calls.count(), 1u);
}

// Real files.

struct Files {
  testos::TempDir dir;
  std::string path(const char* rel) const { return dir.join(rel); }
};

uint64_t file_size(const std::string& path) {
  std::string bytes;
  return testos::read_file(path, &bytes) ? bytes.size() : UINT64_MAX;
}

TEST(NativeOpen, OpenResultInformation) {
  SKIP_WITHOUT_NATIVE_FILES();
  Files f;
  const std::string p = f.path("a.txt");
  HANDLE h;
  uint32_t info = 9;
  ASSERT_EQ(native_open(p.c_str(), file_create_profile(0), &h, &info), err::ok);
  EXPECT_EQ(info, OPEN_RESULT_CREATED);
  native_close(h);
  EXPECT_EQ(native_open(p.c_str(), file_create_profile(0), &h, &info), err::already_exists);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(info, 0u);
  ASSERT_EQ(native_open(p.c_str(), file_open_profile(3), &h, &info), err::ok);
  EXPECT_EQ(info, OPEN_RESULT_OPENED);
  native_close(h);
}

TEST(NativeOpen, AccessDeniedFallback) {
  SKIP_WITHOUT_NATIVE_FILES();
  Files f;
  const std::string p = f.path("a.txt");
  HANDLE h;
  {
    // Open-if refused: opened as it is, content kept.
    ASSERT_TRUE(testos::write_file(p, "hello"));
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtCreateFile, 1, 0xC0000022));
    sys::CallCounter nt_create_file_calls(sys::SysCall::NtCreateFile);
    ASSERT_EQ(native_file_open(p.c_str(), 0x80 | 0x2, &h), err::ok);
    EXPECT_EQ(nt_create_file_calls.count(), 2u);
    native_close(h);
    EXPECT_EQ(file_size(p), 5u);
  }
  {
    // Overwrite-if refused: opened, then cut to length 0.
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtCreateFile, 1, 0xC0000022));
    sys::CallCounter nt_create_file_calls(sys::SysCall::NtCreateFile);
    ASSERT_EQ(native_file_open(p.c_str(), 0x180 | 0x2, &h), err::ok);
    native_close(h);
    EXPECT_EQ(file_size(p), 0u);
  }
  {
    // Cutting fails: the handle is closed and the error returned.
    ASSERT_TRUE(testos::write_file(p, "hello"));
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtCreateFile, 1, 0xC0000022));
    sys::CallCounter nt_create_file_calls(sys::SysCall::NtCreateFile);
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtSetInformationFile, 1, 0xC000007F));
    EXPECT_EQ(native_file_open(p.c_str(), 0x180, &h), err::disk_full);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_size(p), 5u);
  }
  {
    // No fallback without the create bit, nor for other errors.
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtCreateFile, 1, 0xC0000022));
    sys::CallCounter nt_create_file_calls(sys::SysCall::NtCreateFile);
    EXPECT_EQ(native_file_open(p.c_str(), 0x100, &h), err::access_denied);
    EXPECT_EQ(nt_create_file_calls.count(), 1u);
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtCreateFile, 1, 0xC0000043));
    nt_create_file_calls = sys::CallCounter(sys::SysCall::NtCreateFile);
    EXPECT_EQ(native_file_open(p.c_str(), 0x180, &h), 32u);
    EXPECT_EQ(nt_create_file_calls.count(), 1u);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  }
}

TEST(NativeOpen, SetSizeAndQueries) {
  SKIP_WITHOUT_NATIVE_FILES();
  Files f;
  const std::string p = f.path("a.txt");
  HANDLE h;
  ASSERT_EQ(native_file_create(p.c_str(), 0, &h), err::ok);
  {
    // The valid data length needs a privilege the process may lack; its
    // failure does not count.
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtSetInformationFile, 2, 0xC0000061));
    EXPECT_EQ(native_set_size(h, 10, false), err::ok);
  }
  FILE_STANDARD_INFORMATION standard{};
  uint32_t got = 0;
  EXPECT_EQ(native_query_info(h, kFileInfoStandard, &standard, sizeof standard, &got), err::ok);
  EXPECT_EQ(got, sizeof standard);
  EXPECT_EQ(standard.EndOfFile.QuadPart, 10);
  EXPECT_EQ(standard.Directory, 0);
  // A buffer too small for the fixed part.
  EXPECT_NE(native_query_info(h, kFileInfoStandard, &standard, 4), err::ok);
  native_close(h);
  EXPECT_EQ(file_size(p), 10u);
}

}  // namespace

namespace {

// The first open adds "fail critical errors, no open-file error box" to the
// mode the process inherited, once; a mode set by the parent stays.
TEST(Native, ErrorModeAddsToTheInheritedMode) {
  TARN_TEST_IN_CHILD_PROCESS();
  constexpr UINT kInherited = 0x0002;  // no alignment fault fix-up
  sys::SetErrorMode(kInherited);
  sys::CallCounter sets(sys::SysCall::SetErrorMode);
  disable_error_popups();
  disable_error_popups();
  EXPECT_EQ(sys::GetErrorMode(), kInherited | 0x0001u | 0x8000u);
  EXPECT_EQ(sets.count(), 1u);
}

}  // namespace
