#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fs/file_info.h"
#include "fs/file_ops.h"
#include "fs/link.h"
#include "fs/native.h"
#include "platform/platform.h"
#include "fixtures.h"
#include "test_os.h"

namespace {

TEST(FileTime, ToUnix) {
  struct Case {
    uint64_t t;
    int64_t want;
  };
  const Case cases[] = {
      {UINT64_MAX, -1},
      {0, 0},
      {116444736000000000ull, 0},
      {116444736019999999ull, 1},  // the fraction is dropped
      {116444736010000000ull, 1},
      {116444735990000000ull, -1},
      {1, -11644473600},
      {130000000000000000ull, 1355526400},
  };
  for (const Case& c : cases) EXPECT_EQ(filetime_to_unix(c.t), c.want) << c.t;
}

TEST(FileOps, BadPathsMakeNoSystemCall) {
  sys::FaultScope faults;
  sys::CallCounter nt_create_file_calls(sys::SysCall::NtCreateFile);
  for (auto [path, want] : {std::pair<const char*, Error>{nullptr, 14}, std::pair<const char*, Error>{"", 123}}) {
    EXPECT_EQ(path_check(path), want);
    uint8_t folder = 9;
    EXPECT_EQ(file_probe(path, &folder), want);
    EXPECT_EQ(folder, 0);
    HANDLE h = nullptr;
    EXPECT_EQ(file_create(&h, path, 0), want);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    h = nullptr;
    EXPECT_EQ(file_open(&h, path, 3), want);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(entry_delete(path), want);
    EXPECT_EQ(folder_create(path), want);
    EXPECT_EQ(attr_set(path, 0x20), want);
  }
  EXPECT_EQ(path_check("x"), err::ok);
  EXPECT_EQ(nt_create_file_calls.count(), 0u);
}

TEST(FileOps, NoHandle) {
  sys::FaultScope faults;
  sys::CallCounter nt_query_information_file_calls(sys::SysCall::NtQueryInformationFile);
  sys::CallCounter nt_set_information_file_calls(sys::SysCall::NtSetInformationFile);
  for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    EXPECT_EQ(write_time_set(h, 1), err::invalid_handle);
    EXPECT_EQ(attr_update_handle(h, 0, 0x21), err::invalid_handle);
  }
  EXPECT_EQ(nt_query_information_file_calls.count(), 0u);
  EXPECT_EQ(nt_set_information_file_calls.count(), 0u);
}

TEST(FileOps, AttrUpdateWord) {
  struct Case {
    uint32_t current, keep, set, want;
  };
  const Case cases[] = {
      {0x20, 0xFFFFFFF6, 0x01, 0x2021},    // copy of a read-only unindexed source onto a new file
      {0x20, 0xFFFFFFF6, 0x09, 0x21},      // read-only, indexed source
      {0x20, 0xFFFFFFF6, 0x08, 0x20},
      {0x2021, 0xFFFFFFF6, 0x01, 0x2021},  // already as asked
      {0x27, 0, 0x28, 0x20},               // nothing kept
      {0x2027, 0x08, 0x06, 0x2006},        // unindexed stays unindexed when kept
      {0x27, 0x08, 0x06, 0x06},            // indexed stays indexed when kept
      {0x1A7, 0x02, 0, 0x2182},            // other bits stay as they are
      {0x10, 0, 0x01, 0x11},               // a folder's indexed state is never touched
      {0x2010, 0, 0x08, 0x2010},
      {0x420, 0xFFFFFFF6, 0, 0x2420},      // the rule alone; the handle form spares links
  };
  for (const Case& c : cases)
    EXPECT_EQ(attr_update_word(c.current, c.keep, c.set), c.want) << std::hex << c.current << " " << c.keep << " "
                                                                  << c.set;
}

// The attribute bits a file keeps: Wine keeps neither the archive nor the
// not-content-indexed attribute (archive always reads as set); the POSIX
// layer keeps only read-only.
uint32_t kept_bits() {
#ifdef _WIN32
  return testos::running_under_wine() ? 0x07u : 0x2027u;
#else
  return 0x01u;
#endif
}

uint32_t sys_attr_of(const std::string& path) {
  FileInfo fi;
  return file_info_from_path(path.c_str(), &fi) == err::ok ? fi.sys_attr : 0xFFFFFFFFu;
}

TEST(FileOps, ProbeAndCreate) {
  SKIP_WITHOUT_NATIVE_FILES();
  testos::TempDir dir;
  const std::string file = dir.join("f.txt"), sub = dir.join("sub");
  ASSERT_TRUE(testos::write_file(file, "x"));
  uint8_t folder = 9;
  EXPECT_EQ(file_probe(file.c_str(), &folder), err::ok);
  EXPECT_EQ(folder, 0);
  EXPECT_EQ(file_probe(dir.path().c_str(), &folder), err::ok);
  EXPECT_NE(folder, 0);
  folder = 9;
  EXPECT_EQ(file_probe(dir.join("none").c_str(), &folder), err::file_not_found);
  EXPECT_EQ(folder, 0);
  EXPECT_EQ(file_probe(file.c_str()), err::ok);

  // Folders: only the last level is created, and never over an entry.
  EXPECT_EQ(folder_create(sub.c_str()), err::ok);
  EXPECT_EQ(file_probe(sub.c_str(), &folder), err::ok);
  EXPECT_NE(folder, 0);
  EXPECT_EQ(folder_create(sub.c_str()), err::already_exists);
  EXPECT_EQ(folder_create(file.c_str()), err::already_exists);
  EXPECT_EQ(folder_create(dir.join("a\\b").c_str()), err::path_not_found);

  // Files are always created new.
  HANDLE h = nullptr;
  EXPECT_EQ(file_create(&h, file.c_str(), 0), err::already_exists);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  const std::string fresh = dir.join("new.txt");
  ASSERT_EQ(file_create(&h, fresh.c_str(), 0), err::ok);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  native_close(h);
  EXPECT_TRUE(testos::exists(fresh));
  EXPECT_EQ(file_create(nullptr, dir.join("other.txt").c_str(), 0), err::ok);  // closed again
  EXPECT_EQ(entry_delete(dir.join("other.txt").c_str()), err::ok);

  ASSERT_EQ(file_open(&h, file.c_str(), 3), err::ok);
  native_close(h);
  EXPECT_EQ(file_open(&h, dir.join("none").c_str(), 3), err::file_not_found);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}

TEST(FileOps, Delete) {
  SKIP_WITHOUT_NATIVE_FILES();
  testos::TempDir dir;
  const std::string plain = dir.join("p.txt"), ro = dir.join("ro.txt"), full = dir.join("full"),
                    empty = dir.join("empty");
  ASSERT_TRUE(testos::write_file(plain, "x"));
  ASSERT_TRUE(testos::write_file(ro, "x"));
  ASSERT_TRUE(testos::make_dir(full));
  ASSERT_TRUE(testos::write_file(full + "/f", "x"));
  ASSERT_TRUE(testos::make_dir(empty));
  ASSERT_EQ(attr_set(ro.c_str(), 0x21), err::ok);
  ASSERT_EQ(sys_attr_of(ro) & 0x01, 0x01u);

  EXPECT_EQ(entry_delete(plain.c_str()), err::ok);
  EXPECT_FALSE(testos::exists(plain));
  EXPECT_EQ(entry_delete(ro.c_str()), err::ok);  // through the read-only fallback
  EXPECT_FALSE(testos::exists(ro));
  EXPECT_EQ(entry_delete(full.c_str()), err::dir_not_empty);
  EXPECT_TRUE(testos::exists(full + "/f"));
  EXPECT_EQ(entry_delete(empty.c_str()), err::ok);
  EXPECT_FALSE(testos::exists(empty));
  EXPECT_EQ(entry_delete(plain.c_str()), err::file_not_found);
}

// Deletion tries the extended disposition first and falls back to the
// classic one when that is refused; the classic one clears read-only only
// on access denied. Each row: the planned failures of the set calls, the
// result, the set calls made, and whether the read-only file is gone.
TEST(FileOps, DeleteExtendedThenClassic) {
  SKIP_WITHOUT_NATIVE_FILES();
  constexpr uint32_t kInvalidClass = 0xC0000003, kDenied = 0xC0000022, kSharing = 0xC0000043;
  struct Row {
    uint32_t fail_status;  // the first `fail_count` set calls fail with it
    uint32_t fail_count;
    Error result;
    uint64_t set_calls;
  } const rows[] = {
      {0, 0, err::ok, 1},                   // extended: read-only is no obstacle
      {kInvalidClass, 1, err::ok, 4},       // classic: refused, attributes, again
      {kSharing, 2, 32, 2},                 // classic refused, not for access: no attribute change
      {kDenied, 3, err::access_denied, 3},  // attributes refused too: the first error
  };
  testos::TempDir dir;
  const std::string p = dir.join("ro.txt");
  // Wine has no extended disposition: there the first row takes the
  // classic way too. Flags 0 ask for nothing.
  bool extended = false;
  {
    ASSERT_TRUE(testos::write_file(p, "x"));
    ScopedHandle h;
    ASSERT_EQ(native_open(p.c_str(), kOpenDeleteEntry, h.out()), err::ok);
    const uint32_t nothing = 0;
    extended = native_set_info(h.get(), kFileInfoDispositionEx, &nothing, sizeof nothing) == err::ok;
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.set_calls);
    ASSERT_TRUE(testos::exists(p) || testos::write_file(p, "x"));
    ASSERT_EQ(attr_set(p.c_str(), 0x21), err::ok);
    sys::FaultScope faults;
    if (row.fail_count) {
      ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtSetInformationFile, 1, row.fail_status, row.fail_count));
    }
    sys::CallCounter set_calls(sys::SysCall::NtSetInformationFile);
    EXPECT_EQ(entry_delete(p.c_str()), row.result);
    EXPECT_EQ(set_calls.count(), row.fail_count == 0 && !extended ? 4u : row.set_calls);
    EXPECT_EQ(testos::exists(p), row.result != err::ok);
    if (row.result != err::ok) {
      EXPECT_EQ(sys_attr_of(p) & 0x01, 0x01u);  // left as it was
    }
  }

  // A protected folder that cannot go keeps its protection, by either way.
  const std::string full = dir.join("full");
  ASSERT_TRUE(testos::make_dir(full));
  ASSERT_TRUE(testos::write_file(full + "/f", "x"));
  ASSERT_EQ(attr_set(full.c_str(), 0x11), err::ok);
  const uint32_t before = sys_attr_of(full);
  ScopedHandle folder;
  ASSERT_EQ(native_open(dir.path().c_str(), kOpenListFolder, folder.out()), err::ok);
  for (const uint32_t refuse_extended : {0u, kInvalidClass}) {
    sys::FaultScope faults;
    if (refuse_extended) {
      ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtSetInformationFile, 1, refuse_extended));
    }
    EXPECT_EQ(entry_remove_at(folder.get(), "full", nullptr), err::dir_not_empty);
    EXPECT_EQ(sys_attr_of(full), before);
    EXPECT_TRUE(testos::exists(full + "/f"));
  }
  attr_set(full.c_str(), 0x10);
}

// A network share's answer to a rename that names a root folder.
NTSTATUS share_set_info(HANDLE h, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, FILE_INFORMATION_CLASS c) {
  if ((c == kFileInfoRename || c == kFileInfoRenameEx) && static_cast<FILE_RENAME_RECORD*>(buffer)->RootDirectory)
    return static_cast<NTSTATUS>(0xC000000D);  // invalid parameter
  return sys::g_calls.NtSetInformationFile.fallback(h, io, buffer, length, c);
}

// The entries of an open folder, by name: made, renamed over an older file
// (by the extended rename, or the classic one where the system refuses it),
// deleted; a link in a folder's place is never entered.
TEST(FileOps, EntriesWithinAnOpenFolder) {
  SKIP_WITHOUT_NATIVE_FILES();
  testos::TempDir dir;
  ScopedHandle folder;
  ASSERT_EQ(native_open(dir.path().c_str(), kOpenListFolder, folder.out()), err::ok);
  ASSERT_EQ(folder_create_at(folder.get(), "sub"), err::ok);
  EXPECT_EQ(folder_create_at(folder.get(), "sub"), err::already_exists);
  ScopedHandle sub;
  ASSERT_EQ(folder_open_at(sub.out(), folder.get(), "sub"), err::ok);
  // 0: plain; 0xC0000003: the extended rename refused; 1: a network share,
  // which refuses a root folder in a rename.
  for (const uint32_t refuse_extended : {0u, 0xC0000003u, 1u}) {
    SCOPED_TRACE(refuse_extended);
    if (refuse_extended == 1 && testos::running_under_wine()) continue;  // Wine takes no root-less rename
    std::optional<sys::CallReplacement<sys::SysCall::NtSetInformationFile>> share;
    if (refuse_extended == 1) share.emplace(share_set_info);
    ASSERT_TRUE(testos::write_file(dir.join("sub/old"), "old"));
    {
      ScopedHandle h, again;
      ASSERT_EQ(file_create_at(h.out(), sub.get(), "new"), err::ok);
      EXPECT_EQ(file_create_at(again.out(), sub.get(), "new"), err::already_exists);
    }
    ASSERT_TRUE(testos::write_file(dir.join("sub/new"), "new"));
    sys::FaultScope faults;
    if (refuse_extended > 1) {
      ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtSetInformationFile, 1, refuse_extended));
    }
    sys::CallCounter set_calls(sys::SysCall::NtSetInformationFile);
    EXPECT_EQ(file_rename_over_at(sub.get(), "new", "old"), err::ok);
    if (refuse_extended) {
      EXPECT_EQ(set_calls.count(), refuse_extended > 1 ? 2u : 3u);
    }
    std::string bytes;
    EXPECT_TRUE(testos::read_file(dir.join("sub/old"), &bytes));
    EXPECT_EQ(bytes, "new");
    EXPECT_FALSE(testos::exists(dir.join("sub/new")));
  }
  EXPECT_EQ(file_rename_over_at(sub.get(), "old", "sub"), err::ok);  // a plain rename
  EXPECT_EQ(entry_delete_at(sub.get(), "sub"), err::ok);
  EXPECT_FALSE(testos::exists(dir.join("sub/sub")));
  EXPECT_EQ(file_rename_over_at(sub.get(), "x", "a/b"), err::invalid_name);
  ScopedHandle none;
  EXPECT_NE(folder_open_at(none.out(), folder.get(), "missing"), err::ok);
  EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
  if (!testos::running_under_wine()) {  // Wine has no links
    ASSERT_EQ(link_create(dir.join("lnk").c_str(), "sub"), err::ok);
    EXPECT_EQ(folder_open_at(none.out(), folder.get(), "lnk"), err::path_not_found);
  }
}

TEST(FileOps, Attributes) {
  SKIP_WITHOUT_NATIVE_FILES();
  testos::TempDir dir;
  const std::string p = dir.join("p.txt");
  ASSERT_TRUE(testos::write_file(p, "x"));
  ASSERT_EQ(attr_set(p.c_str(), 0x23), err::ok);
  EXPECT_EQ(sys_attr_of(p) & kept_bits(), 0x23u & kept_bits());
  EXPECT_EQ(attr_clear_protect(p.c_str()), err::ok);
  EXPECT_EQ(sys_attr_of(p) & 0x07, 0u);
  EXPECT_EQ(attr_set(p.c_str(), 0), err::ok);  // written as normal
  EXPECT_EQ(sys_attr_of(p) & 0x07, 0u);

  // With a record, its word decides; an unprotected word changes nothing.
  FileInfo fi{};
  fi.sys_attr = 0x20;
  ASSERT_EQ(attr_set(p.c_str(), 0x21), err::ok);
  EXPECT_EQ(attr_clear_protect(p.c_str(), &fi), err::ok);
  EXPECT_EQ(sys_attr_of(p) & 0x01, 0x01u);
  fi.sys_attr = 0x21;
  EXPECT_EQ(attr_clear_protect(p.c_str(), &fi), err::ok);
  EXPECT_EQ(sys_attr_of(p) & 0x07, 0u);
  EXPECT_EQ(attr_clear_protect(dir.join("none").c_str()), err::file_not_found);
}

TEST(FileOps, WriteTimeRoundTrip) {
  SKIP_WITHOUT_NATIVE_FILES();
  testos::TempDir dir;
  const std::string p = dir.join("p.txt");
  ASSERT_TRUE(testos::write_file(p, "hello"));
  FileInfo before;
  ASSERT_EQ(file_info_from_path(p.c_str(), &before), err::ok);
  const uint64_t t = 130000000000000000ull;  // 2012-12-14 23:06:40 UTC
  HANDLE h;
  ASSERT_EQ(file_open(&h, p.c_str(), 0x4), err::ok);
  EXPECT_EQ(write_time_set(h, t), err::ok);
  native_close(h);
  FileInfo after;
  ASSERT_EQ(file_info_from_path(p.c_str(), &after), err::ok);
  EXPECT_EQ(after.write_time, t);
  EXPECT_EQ(after.size, 5u);
  EXPECT_EQ(after.sys_attr, before.sys_attr);
}

TEST(FileOps, AttrUpdateHandle) {
  SKIP_WITHOUT_NATIVE_FILES();
  testos::TempDir dir;
  const std::string p = dir.join("p.txt");
  const uint32_t mask = kept_bits();
  HANDLE h;
  ASSERT_EQ(file_create(&h, p.c_str(), 0), err::ok);
  // The copy finish for a read-only, unindexed source: read-only + archive
  // + not content indexed.
  EXPECT_EQ(attr_update_handle(h, 0xFFFFFFF6, 0x01), err::ok);
  native_close(h);
  EXPECT_EQ(sys_attr_of(p) & mask, 0x2021u & mask);

  ASSERT_EQ(file_open(&h, p.c_str(), 0x4), err::ok);
  if (mask & 0x2000) {
    // Already as asked: no set call.
    sys::FaultScope faults;
    sys::CallCounter nt_set_information_file_calls(sys::SysCall::NtSetInformationFile);
    EXPECT_EQ(attr_update_handle(h, 0xFFFFFFF6, 0x01), err::ok);
    EXPECT_EQ(nt_set_information_file_calls.count(), 0u);
  }
  EXPECT_EQ(attr_update_handle(h, 0, 0x28), err::ok);
  EXPECT_EQ(sys_attr_of(p) & mask, 0x20u & mask);
  EXPECT_EQ(attr_update_handle(h, 0x08, 0x06), err::ok);
  EXPECT_EQ(sys_attr_of(p) & mask, 0x06u & mask);
  EXPECT_EQ(attr_update_handle(h, 0, 0), err::ok);
  EXPECT_EQ(sys_attr_of(p) & mask, 0x2000u & mask);
  {
    // A failed query gives its error and no set call.
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtQueryInformationFile, 1, 0xC0000022));
    sys::CallCounter nt_set_information_file_calls(sys::SysCall::NtSetInformationFile);
    EXPECT_EQ(attr_update_handle(h, 0, 0x21), err::access_denied);
    EXPECT_EQ(nt_set_information_file_calls.count(), 0u);
  }
  native_close(h);
}

}  // namespace
