// Directory reader on real folders: entries and their information, batches,
// the format fallback, path buffer growth, failures and link rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "base/memory.h"
#include "fs/path.h"
#include "listing/dir_reader.h"
#include "fixtures.h"
#include "test_os.h"

namespace {

constexpr uint32_t kEngineFlags = LIST_NO_FOLLOW_LINKS | LIST_DIRS_AFTER_CONTENTS;
constexpr uint32_t kStatusAccessDenied = 0xC0000022u;
constexpr uint32_t kStatusInvalidInfoClass = 0xC0000003u;
constexpr uint32_t kStatusNoMemory = 0xC0000017u;

std::string resolved(const std::string& path) {
  ScopedPool pool;
  const char* r = path_resolve(pool.get(), nullptr, path.c_str());
  return r ? r : "";
}

struct Entry {
  std::string path;
  uint64_t name_offset;
  FileInfo info;
  bool has_info;
};

// Reads the folder to its end; every entry is checked to sit in the folder.
std::map<std::string, Entry> read_all(DirReader* r) {
  std::map<std::string, Entry> out;
  for (;;) {
    const char* path;
    uint64_t offset;
    const FileInfo* info;
    const Error e = dir_reader_next(r, &path, &offset, &info);
    if (e != err::ok) {
      EXPECT_EQ(e, err::no_more_files);
      break;
    }
    const std::string name(path + offset);
    EXPECT_EQ(path[offset - 1], '\\');
    EXPECT_TRUE(out.emplace(name, Entry{path, offset, info ? *info : FileInfo{}, info != nullptr}).second)
        << "delivered twice: " << name;
  }
  return out;
}

std::map<std::string, Entry> read_folder(const std::string& folder, uint32_t flags = kEngineFlags) {
  DirReader* r = nullptr;
  EXPECT_EQ(dir_reader_open(&r, folder.c_str(), flags), err::ok);
  if (!r) return {};
  auto out = read_all(r);
  dir_reader_destroy(r);
  return out;
}

TEST(DirReader, EmptyFolderDeliversNothingAndKeepsAnswering18) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  DirReader* r = nullptr;
  ASSERT_EQ(dir_reader_open(&r, t.path().c_str(), kEngineFlags), err::ok);
  for (int i = 0; i < 3; ++i) {
    const char* path = "x";
    uint64_t offset = 5;
    const FileInfo* info = reinterpret_cast<const FileInfo*>(8);
    EXPECT_EQ(dir_reader_next(r, &path, &offset, &info), err::no_more_files);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(info, nullptr);
  }
  dir_reader_destroy(r);
}

TEST(DirReader, FolderPathGetsOneSeparator) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  ASSERT_TRUE(testos::write_file(t.join("f"), "abc"));
  const std::string folder = resolved(t.path());
  for (const std::string& given : {t.path(), t.path() + "/", t.path() + "\\"}) {
    const auto got = read_folder(given);
    ASSERT_EQ(got.size(), 1u) << given;
    EXPECT_EQ(got.at("f").path, folder + "\\f");
    EXPECT_EQ(got.at("f").name_offset, folder.size() + 1);
  }
}

TEST(DirReader, EntriesCarryTheirInformation) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  ASSERT_TRUE(testos::write_file(t.join("empty"), ""));
  ASSERT_TRUE(testos::write_file(t.join("five"), "12345"));
  ASSERT_TRUE(testos::make_dir(t.join("sub")));
  ASSERT_TRUE(testos::write_file(t.join("sub/inner"), "x"));
  DirReader* r = nullptr;
  ASSERT_EQ(dir_reader_open(&r, t.path().c_str(), kEngineFlags), err::ok);
  const auto got = read_all(r);
  ASSERT_EQ(got.size(), 3u);
  if (testos::running_under_wine()) {
    EXPECT_EQ(r->format, kDirClassIdFull) << "Wine refuses the id-extended class";
  }
  EXPECT_NE(r->format, 0u);
  for (const auto& [name, e] : got) {
    ASSERT_TRUE(e.has_info) << name;
    EXPECT_EQ(e.info.volume_serial, r->folder_info.volume_serial);
    EXPECT_NE(e.info.write_time, 0u) << name;
    EXPECT_FALSE(e.info.is_link) << name;
    if (r->format != kDirClassPlain) {
      EXPECT_NE(e.info.file_id[0], 0u) << name;
    }
  }
  EXPECT_EQ(got.at("five").info.size, 5u);
  EXPECT_EQ(got.at("empty").info.size, 0u);
  EXPECT_FALSE(got.at("five").info.is_dir);
  EXPECT_TRUE(got.at("sub").info.is_dir);
  EXPECT_EQ(got.at("sub").info.size, 0u);
  EXPECT_NE(got.at("five").info.file_id[0], got.at("sub").info.file_id[0]);
  dir_reader_destroy(r);
}

// Thousands of long names need many batches; each entry comes exactly once.
TEST(DirReader, ManyBatchesDeliverEveryEntryOnce) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  std::set<std::string> names;
  for (int i = 0; i < 400; ++i) {
    const std::string name = std::string(200, static_cast<char>('a' + i % 26)) + std::to_string(i);
    ASSERT_TRUE(testos::write_file(t.join(name), ""));
    names.insert(name);
  }
  std::set<std::string> got;
  for (const auto& [name, e] : read_folder(t.path())) got.insert(name);
  EXPECT_EQ(got, names);
}

// The plain format is used when the richer two are refused: no file ids, and
// every reparse point counts as both a link and a mount point.
TEST(DirReader, PlainFormatWhenRicherFormatsAreRefused) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  ASSERT_TRUE(testos::write_file(t.join("f"), "12"));
  ASSERT_TRUE(testos::make_dir(t.join("d")));
  std::error_code ec;
  std::filesystem::create_directory_symlink(t.join("d"), t.join("link"), ec);
  const bool have_link = !ec;
  sys::FaultScope faults;
  sys::fault_arm(sys::SysCall::NtQueryDirectoryFile, 1, kStatusInvalidInfoClass, 2);
  DirReader* r = nullptr;
  ASSERT_EQ(dir_reader_open(&r, t.path().c_str(), kEngineFlags), err::ok);
  const auto got = read_all(r);
  EXPECT_EQ(r->format, kDirClassPlain);
  EXPECT_EQ(got.size(), have_link ? 3u : 2u);
  for (const auto& [name, e] : got) {
    EXPECT_EQ(e.info.file_id[0], 0u) << name;
    EXPECT_EQ(e.info.file_id[1], 0u) << name;
  }
  EXPECT_EQ(got.at("f").info.size, 2u);
  EXPECT_TRUE(got.at("d").info.is_dir);
  EXPECT_FALSE(got.at("d").info.is_link || got.at("d").info.is_junction);
  if (have_link) {
    EXPECT_TRUE(got.at("link").info.is_link);
    EXPECT_TRUE(got.at("link").info.is_junction);
  }
  dir_reader_destroy(r);
}

// A refused batch is returned as an error and asked for again on the next
// call, with the format of the last class tried.
TEST(DirReader, RefusedBatchIsAskedForAgain) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  ASSERT_TRUE(testos::write_file(t.join("a"), ""));
  ASSERT_TRUE(testos::write_file(t.join("b"), ""));
  sys::FaultScope faults;
  DirReader* r = nullptr;
  ASSERT_EQ(dir_reader_open(&r, t.path().c_str(), kEngineFlags), err::ok);
  sys::fault_arm(sys::SysCall::NtQueryDirectoryFile, 1, kStatusAccessDenied, 3);
  const char* path = "x";
  uint64_t offset = 1;
  EXPECT_EQ(dir_reader_next(r, &path, &offset, nullptr), err::access_denied);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(offset, 0u);
  const auto got = read_all(r);
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(r->format, kDirClassPlain);
  dir_reader_destroy(r);
}

TEST(DirReader, OpenFailuresLeaveNothing) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  ASSERT_TRUE(testos::write_file(t.join("file"), "x"));
  struct Case {
    const char* what;
    std::string path;
    const char* fault;   // call made to fail, or null
    uint32_t status;
    Error expected;      // 0: any error
  };
  const Case cases[] = {
      {"missing", t.join("missing"), nullptr, 0, 0},
      {"not a folder", t.join("file"), nullptr, 0, 0},
      {"unresolvable", "//srv", nullptr, 0, err::invalid_name},
      {"access refused", t.path(), "NtCreateFile", kStatusAccessDenied, err::access_denied},
      {"no memory", t.path(), "NtAllocateVirtualMemory", kStatusNoMemory, err::out_of_memory},
  };
  for (const Case& c : cases) {
    sys::FaultScope faults;
    if (c.fault) {
      ASSERT_TRUE(sys::fault_arm(c.fault, 1, c.status)) << c.what;
    }
    DirReader* r = reinterpret_cast<DirReader*>(1);
    const Error e = dir_reader_open(&r, c.path.c_str(), kEngineFlags);
    EXPECT_EQ(r, nullptr) << c.what;
    if (c.expected) {
      EXPECT_EQ(e, c.expected) << c.what;
    } else {
      EXPECT_NE(e, err::ok) << c.what;
    }
  }
}

TEST(DirReader, QueryRejectsNoHandle) {
  uint8_t buffer[128];
  EXPECT_EQ(native_query_directory(nullptr, kDirClassPlain, nullptr, false, false, buffer, sizeof buffer),
            err::invalid_handle);
  EXPECT_EQ(native_query_directory(INVALID_HANDLE_VALUE, kDirClassPlain, nullptr, false, false, buffer, sizeof buffer),
            err::invalid_handle);
}

// Names up to 255 units in a deep folder: the path buffer grows and keeps
// the folder part.
TEST(DirReader, PathBufferGrowsForLongNames) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  std::string folder = t.path();
  for (int i = 0; i < 3; ++i) {
    folder += "/" + std::string(200, static_cast<char>('p' + i));
    ASSERT_TRUE(testos::make_dir(folder));
  }
  std::set<std::string> names;
  for (int n : {1, 100, 254, 255}) {
    names.insert(std::string(static_cast<size_t>(n), 'L'));
    ASSERT_TRUE(testos::write_file(folder + "/" + std::string(static_cast<size_t>(n), 'L'), ""));
  }
  DirReader* r = nullptr;
  ASSERT_EQ(dir_reader_open(&r, folder.c_str(), kEngineFlags), err::ok);
  const uint64_t capacity_at_open = r->path_capacity;
  const std::string prefix = resolved(folder) + "\\";
  std::set<std::string> got;
  for (const auto& [name, e] : read_all(r)) {
    got.insert(name);
    EXPECT_EQ(e.path, prefix + name);
  }
  EXPECT_EQ(got, names);
  EXPECT_GT(r->path_capacity, capacity_at_open);
  dir_reader_destroy(r);
}

// With listing flags 0 a link to a folder is read through; with the engine's
// flags it comes with its own information; with LIST_LINK_NO_INFO alone it
// comes with none.
TEST(DirReader, LinkRulesFollowTheListingFlags) {
  SKIP_UNLESS_LISTING();
  if (testos::running_under_wine()) GTEST_SKIP() << "Wine does not support reparse points";
  testos::TempDir t;
  ASSERT_TRUE(testos::make_dir(t.join("d")));
  std::error_code ec;
  std::filesystem::create_directory_symlink(t.join("d"), t.join("good"), ec);
  std::filesystem::create_directory_symlink(t.join("gone"), t.join("dangling"), ec);
  if (ec) GTEST_SKIP() << "cannot create symbolic links here: " << ec.message();

  auto follow = read_folder(t.path(), 0);
  EXPECT_TRUE(follow.at("good").info.is_link);
  EXPECT_TRUE(follow.at("good").info.via_link);
  EXPECT_TRUE(follow.at("good").info.is_dir);
  EXPECT_TRUE(follow.at("dangling").info.is_link);
  EXPECT_TRUE(follow.at("dangling").info.link_missing);
  EXPECT_FALSE(follow.at("dangling").info.via_link);

  auto own = read_folder(t.path(), kEngineFlags);
  EXPECT_TRUE(own.at("good").info.is_link);
  EXPECT_FALSE(own.at("good").info.via_link);
  EXPECT_FALSE(own.at("dangling").info.link_missing);

  auto none = read_folder(t.path(), LIST_LINK_NO_INFO);
  EXPECT_FALSE(none.at("good").has_info);
  EXPECT_TRUE(none.at("d").has_info);
}

}  // namespace
