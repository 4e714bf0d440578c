// Shared fixtures of the unit tests: whether this target reaches real files
// and folders, and whole trees built and read back on disk.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "test_os.h"

// True when the native file calls reach a real file system on this target.
bool native_files_work();

// Why folders cannot be listed on this platform yet, or "" when they can.
std::string listing_unavailable();

#define SKIP_WITHOUT_NATIVE_FILES() \
  if (!native_files_work()) GTEST_SKIP() << "the POSIX layer does not map the native file calls yet"

#define SKIP_UNLESS_LISTING()                      \
  do {                                             \
    const std::string why = listing_unavailable(); \
    if (!why.empty()) GTEST_SKIP() << why;         \
  } while (0)

// A tree as relative path ('/' between names) -> content; a folder's value
// is kFolder, a symbolic link's "-> " and its text.
using Tree = std::map<std::string, std::string>;
inline constexpr const char* kFolder = "/";

// Builds the tree under `root` (a map lists a folder before what it holds).
void make_tree(const testos::TempDir& root, const Tree& tree);

// Builds a tree from relative paths: a path ending in '/' is a folder, a
// file holds "data of " and its path.
void make_paths(const testos::TempDir& root, const std::vector<std::string>& entries);

// The whole tree under `root`, read by an independent recursive walk.
Tree read_tree(const testos::TempDir& root);
