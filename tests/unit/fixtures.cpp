// Shared fixtures of the unit tests; see fixtures.h.
#include "fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "fs/native.h"
#include "listing/dir_reader.h"

bool native_files_work() {
  testos::TempDir dir;
  HANDLE h;
  const Error e = native_open(dir.path().c_str(), kOpenListFolder, &h);
  native_close(h);
  return e == err::ok;
}

std::string listing_unavailable() {
  testos::TempDir t;
  DirReader* r = nullptr;
  Error e = dir_reader_open(&r, t.path().c_str(), LIST_NO_FOLLOW_LINKS | LIST_DIRS_AFTER_CONTENTS);
  if (e == err::ok) {
    e = dir_reader_next(r, nullptr, nullptr, nullptr);
    dir_reader_destroy(r);
    if (e == err::no_more_files) return "";
  }
  return "the POSIX layer does not map the native directory calls yet (error " + std::to_string(e) + ")";
}

void make_tree(const testos::TempDir& root, const Tree& tree) {
  for (const auto& [path, content] : tree) {
    if (content == kFolder)
      ASSERT_TRUE(testos::make_dir(root.join(path))) << path;
    else
      ASSERT_TRUE(testos::write_file(root.join(path), content)) << path;
  }
}

void make_paths(const testos::TempDir& root, const std::vector<std::string>& entries) {
  for (const std::string& e : entries) {
    if (!e.empty() && e.back() == '/')
      ASSERT_TRUE(testos::make_dir(root.join(e.substr(0, e.size() - 1)))) << e;
    else
      ASSERT_TRUE(testos::write_file(root.join(e), "data of " + e)) << e;
  }
}

Tree read_tree(const testos::TempDir& root) {
  Tree tree;
  namespace fs = std::filesystem;
  for (const auto& e : fs::recursive_directory_iterator(root.path())) {
    std::string rel = fs::relative(e.path(), root.path()).generic_string();
    std::string content = kFolder;
    if (e.is_symlink()) {
      content = "-> " + fs::read_symlink(e.path()).generic_string();
    } else if (!e.is_directory()) {
      EXPECT_TRUE(testos::read_file(e.path().string(), &content)) << rel;
    }
    tree[rel] = content;
  }
  return tree;
}
