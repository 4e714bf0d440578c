// Tree lister on real folders: stream order, filters, descent, after-contents
// deliveries, unreadable folders, and a large generated tree checked against
// an independent recursive walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/memory.h"
#include "base/threads.h"
#include "fs/path.h"
#include "listing/collation.h"
#include "listing/dir_reader.h"
#include "listing/filter.h"
#include "listing/tree_lister.h"
#include "fixtures.h"
#include "test_os.h"

namespace {

constexpr uint32_t kEngineFlags = LIST_NO_FOLLOW_LINKS | LIST_DIRS_AFTER_CONTENTS;
constexpr uint32_t kStatusAccessDenied = 0xC0000022u;
constexpr uint32_t kStatusInvalidInfoClass = 0xC0000003u;

std::string slashes(std::string s) {
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

// One delivered entry (or error) of a stream.
struct Item {
  Error result;
  std::string path;       // full path as handed out
  uint64_t name_offset;
  FileInfo info;
  bool has_info;
};

// Runs a lister to its end and checks the invariants every stream keeps:
// paths are handed out on success, the root prefix is the same for every
// entry, the name follows a separator, and each entry sorts strictly after
// the one before.
struct Listing {
  std::vector<Item> items;
  uint64_t root_prefix = 0;
  std::vector<std::string> text;  // "rel", "rel (after)", "!error rel"
};

// Length of the root folder's resolved path with its separator: where the
// relative path of every entry starts.
uint64_t root_prefix_of(const std::string& root) {
  ScopedPool pool;
  const char* resolved = path_resolve(pool.get(), nullptr, root.c_str());
  if (!resolved) return 0;
  const std::string r(resolved);
  return r.size() + (r.back() == '\\' ? 0 : 1);
}

Listing run_lister(TreeLister* l, uint64_t root_prefix, size_t limit = 1000000) {
  Listing out;
  out.root_prefix = root_prefix;
  std::string previous;
  FileInfo previous_info{};
  bool have_previous = false;
  for (size_t n = 0; n < limit; ++n) {
    const char* path = reinterpret_cast<const char*>(1);
    uint64_t offset = 77;
    const FileInfo* info = reinterpret_cast<const FileInfo*>(1);
    const Error e = tree_lister_next(l, &path, &offset, &info);
    if (e == err::no_more_files) {
      EXPECT_EQ(path, nullptr);
      EXPECT_EQ(offset, 0u);
      EXPECT_EQ(info, nullptr);
      break;
    }
    Item item{e, path ? path : "", offset, info ? *info : FileInfo{}, info != nullptr};
    out.items.push_back(item);
    if (e != err::ok) {
      EXPECT_EQ(info, nullptr);
      std::string rel = path ? std::string(path + out.root_prefix) : std::string("?");
      out.text.push_back("!" + std::to_string(e) + " " + slashes(rel));
      continue;
    }
    EXPECT_NE(path, nullptr);
    if (!path) break;
    EXPECT_GE(offset, out.root_prefix);
    EXPECT_EQ(path[offset - 1], '\\') << path;
    const std::string rel(path + out.root_prefix);
    if (have_previous) {
      EXPECT_LT(entry_compare(previous.c_str(), &previous_info, rel.c_str(), info), 0)
          << previous << " then " << rel;
    }
    previous = rel;
    previous_info = info ? *info : FileInfo{};
    have_previous = true;
    out.text.push_back(slashes(rel) + (info && info->after_contents ? " (after)" : ""));
  }
  return out;
}

Listing list_tree(const std::string& root, uint32_t flags, std::vector<const char*> filters, Error* open_result = nullptr) {
  filters.push_back(nullptr);
  TreeLister* l = reinterpret_cast<TreeLister*>(1);
  const Error e = tree_lister_open(&l, nullptr, root.c_str(), flags, filters.data());
  if (open_result) *open_result = e;
  if (e != err::ok) {
    EXPECT_EQ(l, nullptr);
    return {};
  }
  Listing out = run_lister(l, root_prefix_of(root));
  // After the end the lister keeps answering 18.
  EXPECT_EQ(tree_lister_next(l, nullptr, nullptr, nullptr), err::no_more_files);
  tree_lister_destroy(l);
  return out;
}

using Stream = std::vector<std::string>;

// The example tree of the lister's contract, in a few variations.
const std::vector<std::string> kExampleTree = {"a/", "a/x.obj", "a/y.c", "b.txt"};

struct StreamCase {
  const char* name;
  std::vector<std::string> tree;
  std::vector<const char*> filters;
  uint32_t flags;
  Stream expected;
};

const StreamCase kStreamCases[] = {
    {"no_filters", kExampleTree, {}, kEngineFlags, {"a", "a/x.obj", "a/y.c", "a (after)", "b.txt"}},
    {"no_after_contents", kExampleTree, {}, LIST_NO_FOLLOW_LINKS, {"a", "a/x.obj", "a/y.c", "b.txt"}},
    {"include_c_files", kExampleTree, {"+**.c"}, kEngineFlags, {"a", "a/y.c"}},
    {"exclude_folder", kExampleTree, {"-a"}, kEngineFlags, {"b.txt"}},
    {"folder_before_dotted_name", {"a.txt", "a/", "a/z"}, {}, kEngineFlags, {"a", "a/z", "a (after)", "a.txt"}},
    {"case_folded_then_exact", {"b", "A", "a.b", "C/", "c2"}, {}, kEngineFlags, {"A", "a.b", "b", "C", "C (after)", "c2"}},
    {"empty_folders", {"e/", "e/f/", "g"}, {}, kEngineFlags, {"e", "e/f", "e/f (after)", "e (after)", "g"}},
    // tarn source backup -**.obj -**.lib +tools/**
    {"usage_exclude_then_tools",
     {"x.obj/", "x.obj/in.c", "m.lib", "m.c", "d/", "d/k.obj", "d/k.c", "tools/", "tools/t.obj", "tools/sub.obj/",
      "tools/sub.obj/s.lib", "toolsx/", "toolsx/q.obj"},
     {"-**.obj", "-**.lib", "+tools/**"},
     kEngineFlags,
     {"d", "d/k.c", "d (after)", "m.c", "tools", "tools/sub.obj", "tools/sub.obj/s.lib", "tools/sub.obj (after)",
      "tools/t.obj", "tools (after)", "toolsx", "toolsx (after)"}},
    // tarn source backup *.cpp
    {"usage_root_cpp", {"a.cpp", "b.h", "s/", "s/a.cpp", "t.cpp/", "t.cpp/u"}, {"*.cpp"}, kEngineFlags,
     {"a.cpp", "t.cpp", "t.cpp/u", "t.cpp (after)"}},
    // tarn -d -p backup +**.obj
    {"usage_prune_obj", {"a.obj", "b.c", "d/", "d/e/", "d/e/f.obj", "d/g.c", "h/", "h/i.c", "o.obj/", "o.obj/p"},
     {"+**.obj"}, kEngineFlags, {"a.obj", "d", "d/e", "d/e/f.obj", "o.obj", "o.obj/p", "o.obj (after)"}},
    {"include_one_deep_file", {"a/", "a/b/", "a/b/c.txt", "a/b/d.txt", "a/x/", "a/x/c.txt"}, {"+a/b/c.txt"},
     kEngineFlags, {"a", "a/b", "a/b/c.txt"}},
    {"exclude_one_deep_folder", {"a/", "a/b/", "a/b/c", "a/c"}, {"-a/b"}, kEngineFlags, {"a", "a/c", "a (after)"}},
    {"question_mark_stops_at_separator", {"ab/", "ab/c", "a/", "a/b"}, {"a?"}, kEngineFlags,
     {"ab", "ab/c", "ab (after)"}},
    {"bare_plus_selects_nothing", kExampleTree, {"+"}, kEngineFlags, {}},
};

class StreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamTest, DeliversTheExpectedStream) {
  SKIP_UNLESS_LISTING();
  const StreamCase& c = GetParam();
  testos::TempDir t;
  make_paths(t, c.tree);
  const Listing got = list_tree(t.path(), c.flags, c.filters);
  EXPECT_EQ(got.text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Trees, StreamTest, ::testing::ValuesIn(kStreamCases),
                         [](const ::testing::TestParamInfo<StreamCase>& p) { return std::string(p.param.name); });

TEST(TreeLister, EmptyRootAnswers18AndKeepsAnswering) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  TreeLister* l = nullptr;
  ASSERT_EQ(tree_lister_open(&l, nullptr, t.path().c_str(), kEngineFlags, nullptr), err::ok);
  for (int i = 0; i < 3; ++i) {
    const char* path = "x";
    uint64_t offset = 9;
    const FileInfo* info = nullptr;
    EXPECT_EQ(tree_lister_next(l, &path, &offset, &info), err::no_more_files);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(offset, 0u);
  }
  tree_lister_destroy(l);
}

TEST(TreeLister, RootPrefixIsTheResolvedRootWithItsSeparator) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  make_paths(t, {"f", "d/", "d/g"});
  ScopedPool pool;
  const std::string root = path_resolve(pool.get(), nullptr, t.path().c_str());
  // Given with a trailing separator or without, the prefix is the same.
  for (const std::string& given : {t.path(), t.path() + "/"}) {
    const Listing got = list_tree(given, kEngineFlags, {});
    ASSERT_EQ(got.items.size(), 4u);
    EXPECT_EQ(got.root_prefix, root.size() + 1);
    EXPECT_EQ(got.items[0].path, root + "\\d");
    EXPECT_EQ(got.items[1].path, root + "\\d\\g");
    EXPECT_EQ(got.items[1].name_offset, root.size() + 3);
    EXPECT_TRUE(got.items[0].info.is_dir);
    EXPECT_TRUE(got.items[2].info.after_contents);
    EXPECT_FALSE(got.items[3].info.is_dir);
    EXPECT_EQ(got.items[3].info.size, 1u * std::string("data of f").size());
  }
}

TEST(TreeLister, OpenFailsForAMissingRootAndLeavesNothing) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  Error e = err::ok;
  list_tree(t.join("missing"), kEngineFlags, {}, &e);
  EXPECT_TRUE(e == err::file_not_found || e == err::path_not_found) << e;
  make_paths(t, {"file"});
  list_tree(t.join("file"), kEngineFlags, {}, &e);
  EXPECT_NE(e, err::ok);
}

TEST(TreeLister, CaseVariantsAreBothDeliveredUpperFirst) {
  SKIP_UNLESS_LISTING();
  if (testos::running_under_wine()) GTEST_SKIP() << "Wine creates names case-insensitively (covered by the end-to-end listing test)";
  testos::TempDir t;
  make_paths(t, {"x", "X"});
  EXPECT_EQ(list_tree(t.path(), kEngineFlags, {}).text, (Stream{"X", "x"}));
}

TEST(TreeLister, LongNamesAndDeepPaths) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  const std::string long_name(255, 'n');
  std::string rel;
  Stream expected;
  for (int depth = 0; depth < 6; ++depth) {
    rel += (depth ? "/" : "") + long_name.substr(0, 200 + depth * 11);
    make_paths(t, {rel + (depth < 5 ? "/" : "")});
    expected.push_back(rel);
  }
  for (int depth = 4; depth >= 0; --depth) expected.push_back(expected[depth] + " (after)");
  const Listing got = list_tree(t.path(), kEngineFlags, {});
  EXPECT_EQ(got.text, expected);
}

// A name of 255 UTF-16 units, and names in other scripts, come back whole.
TEST(TreeLister, LongAndNonAsciiNamesAreDeliveredWhole) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  const std::string longest(255, 'a');
  std::string cjk;
  for (int i = 0; i < 85; ++i) cjk += "\xE6\xBC\xA2";  // U+6F22, 255 bytes on disk
  const std::string mixed = "\xC3\xA9t\xC3\xA9-\xCE\xA9-\xF0\x9F\x98\x80";  // ete, Omega, an emoji
  namespace fs = std::filesystem;
  for (const std::string& name : {longest, cjk, mixed}) {
    std::ofstream f(fs::path(t.path()) / fs::path(std::u8string(name.begin(), name.end())));
    ASSERT_TRUE(static_cast<bool>(f)) << name;
  }
  EXPECT_EQ(list_tree(t.path(), kEngineFlags, {}).text, (Stream{longest, mixed, cjk}));
}

// A folder of names that share a long start and differ in case, script and
// folding, read on the lister's thread and on the caller's: every name comes
// once, each after the one before (run_lister checks the order).
TEST(TreeLister, FolderOfManyLookalikeNamesInOrder) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  // Wine makes names case-insensitively: there, no two parts fold alike.
  const std::vector<std::string> parts =
      testos::running_under_wine()
          ? std::vector<std::string>{"a", "\xC3\xA9", "\xC3\x9F", "ss", "k", "\xF0\x90\x90\xA8", "_", "0"}
          : std::vector<std::string>{"a", "A", "\xC3\xA9", "\xC3\x89", "\xC3\x9F", "ss", "\xE2\x84\xAA", "k", "K",
                                     "\xF0\x90\x90\x80", "\xF0\x90\x90\xA8", "\xC7\x85", "_", "0"};
  std::mt19937 rng(7);
  std::vector<std::string> names;
  for (int i = 0; i < 1500; ++i) {
    std::string name = "report-2026-12-09-";
    for (size_t k = 1 + rng() % 6; k > 0; --k) name += parts[rng() % parts.size()];
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  make_paths(t, names);
  for (const uint32_t flags : {kEngineFlags, kEngineFlags | LIST_READ_AHEAD})
    EXPECT_EQ(list_tree(t.path(), flags, {}).text.size(), names.size()) << flags;
}

// A folder that cannot be read gives its error once, with its own path; the
// folder is still delivered (it is selected), and the walk goes on.
TEST(TreeLister, UnreadableFolderGivesItsErrorOnceAndTheWalkGoesOn) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  make_paths(t, {"a/", "a/x", "b/", "b/y", "b/z/", "b/z/w", "c.txt"});
  struct Case {
    uint32_t nth;  // which folder open fails: 1 = a, 2 = b, 3 = b/z
    Stream expected;
  };
  const Case cases[] = {
      {1, {"!5 a", "a", "a (after)", "b", "b/y", "b/z", "b/z/w", "b/z (after)", "b (after)", "c.txt"}},
      {2, {"a", "a/x", "a (after)", "!5 b", "b", "b (after)", "c.txt"}},
      {3, {"a", "a/x", "a (after)", "b", "b/y", "!5 b/z", "b/z", "b/z (after)", "b (after)", "c.txt"}},
  };
  for (const Case& c : cases) {
    TreeLister* l = nullptr;
    ASSERT_EQ(tree_lister_open(&l, nullptr, t.path().c_str(), kEngineFlags, nullptr), err::ok);
    sys::FaultScope faults;
    sys::fault_arm(sys::SysCall::NtCreateFile, c.nth, kStatusAccessDenied);
    Listing got = run_lister(l, root_prefix_of(t.path()));
    tree_lister_destroy(l);
    EXPECT_EQ(got.text, c.expected) << "failing open " << c.nth;
  }
}

// A folder entered only because something below it could be selected is not
// delivered when it cannot be read; only the error is.
TEST(TreeLister, UnreadableUnselectedFolderGivesOnlyTheError) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  make_paths(t, {"a/", "a/x", "b/", "b/x", "c"});
  const char* filters[] = {"+*/x", nullptr};
  TreeLister* l = nullptr;
  ASSERT_EQ(tree_lister_open(&l, nullptr, t.path().c_str(), kEngineFlags, filters), err::ok);
  sys::FaultScope faults;
  sys::fault_arm(sys::SysCall::NtCreateFile, 1, kStatusAccessDenied);
  EXPECT_EQ(run_lister(l, root_prefix_of(t.path())).text, (Stream{"!5 a", "b", "b/x"}));
  tree_lister_destroy(l);
}

// A stop request is seen before each entry a folder read takes: the root
// cannot be opened at all, and each later folder gives 1223 once and is left
// out, while the entries already read are still delivered.
TEST(TreeLister, CancellationStopsEveryFolderRead) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  make_paths(t, {"a/", "a/x", "b/", "b/y", "c.txt"});
  Signal stop;
  signal_init(&stop);
  TreeLister* l = nullptr;
  ASSERT_EQ(tree_lister_open(&l, &stop, t.path().c_str(), kEngineFlags, nullptr), err::ok);
  signal_raise(&stop);
  EXPECT_EQ(run_lister(l, root_prefix_of(t.path())).text,
            (Stream{"!1223 a", "a", "a (after)", "!1223 b", "b", "b (after)", "c.txt"}));
  tree_lister_destroy(l);

  l = reinterpret_cast<TreeLister*>(1);
  EXPECT_EQ(tree_lister_open(&l, &stop, t.path().c_str(), kEngineFlags, nullptr), err::cancelled);
  EXPECT_EQ(l, nullptr);
}

// Read through links (flags without LIST_NO_FOLLOW_LINKS), a link back up
// the tree leads into a folder already on the path: that folder gives 1921
// once, is delivered, is not entered, and the walk goes on. A link is
// entered only when its record describes the target.
TEST(TreeLister, FolderCycleThroughALinkIsRefusedOnce) {
  SKIP_UNLESS_LISTING();
  if (testos::running_under_wine()) GTEST_SKIP() << "Wine does not support reparse points";
  testos::TempDir t;
  make_paths(t, {"a/", "b"});
  std::error_code ec;
  std::filesystem::create_directory_symlink("..", t.join("a/up"), ec);
  if (ec) GTEST_SKIP() << "cannot create symbolic links here: " << ec.message();
  EXPECT_EQ(list_tree(t.path(), LIST_DIRS_AFTER_CONTENTS, {}).text,
            (Stream{"a", "a/up", "!1921 a/up/a", "a/up/a", "a/up/b", "a/up (after)", "a (after)", "b"}));
  // With the engine's flags the link is delivered with its own information
  // and not entered.
  EXPECT_EQ(list_tree(t.path(), kEngineFlags, {}).text, (Stream{"a", "a/up", "a (after)", "b"}));
  // With LIST_LINK_NO_INFO the link comes without information and is not entered.
  EXPECT_EQ(list_tree(t.path(), LIST_LINK_NO_INFO | LIST_DIRS_AFTER_CONTENTS, {}).text,
            (Stream{"a", "a/up", "a (after)", "b"}));
}

// With the plain directory format no entry has a file id; nested folders
// must not be taken for a cycle.
TEST(TreeLister, PlainFormatWithoutIdsIsNoCycle) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  make_paths(t, {"a/", "a/b/", "a/b/c/", "a/b/c/f"});
  sys::FaultScope faults;
  // Every folder read starts with the two richer formats failing.
  auto force_plain = [] { sys::fault_arm(sys::SysCall::NtQueryDirectoryFile, 1, kStatusInvalidInfoClass, 2); };
  force_plain();
  TreeLister* l = nullptr;
  ASSERT_EQ(tree_lister_open(&l, nullptr, t.path().c_str(), kEngineFlags, nullptr), err::ok);
  Stream got;
  for (;;) {
    force_plain();
    const char* path;
    uint64_t offset;
    const FileInfo* info;
    const Error e = tree_lister_next(l, &path, &offset, &info);
    if (e == err::no_more_files) break;
    ASSERT_EQ(e, err::ok);
    EXPECT_EQ(info->file_id[0], 0u);
    EXPECT_EQ(info->file_id[1], 0u);
    got.push_back(slashes(path + root_prefix_of(t.path())) + (info->after_contents ? " (after)" : ""));
  }
  tree_lister_destroy(l);
  EXPECT_EQ(got, (Stream{"a", "a/b", "a/b/c", "a/b/c/f", "a/b/c (after)", "a/b (after)", "a (after)"}));
}

// A volume whose listing gives only 64-bit ids (the richest entry format
// refused) while an open folder reports a 128-bit id, as ReFS does.
NTSTATUS list_without_128_bit_ids(HANDLE h, HANDLE event, PIO_APC_ROUTINE apc, PVOID context, PIO_STATUS_BLOCK io,
                                  PVOID buffer, ULONG length, FILE_INFORMATION_CLASS info_class, BOOLEAN single,
                                  PUNICODE_STRING mask, BOOLEAN restart) {
  if (static_cast<int>(info_class) == kDirClassIdExtended) return static_cast<NTSTATUS>(kStatusInvalidInfoClass);
  return sys::g_calls.NtQueryDirectoryFile.fallback(h, event, apc, context, io, buffer, length, info_class, single,
                                                   mask, restart);
}

NTSTATUS wide_ids(HANDLE h, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, FILE_INFORMATION_CLASS info_class) {
  const NTSTATUS st = sys::g_calls.NtQueryInformationFile.fallback(h, io, buffer, length, info_class);
  if (st == 0 && static_cast<int>(info_class) == 59) static_cast<uint8_t*>(buffer)[8 + 15] = 0x5E;
  return st;
}

TEST(TreeLister, SubfoldersOfA128BitIdVolumeListedWith64BitIds) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  make_paths(t, {"a/", "a/b/", "a/b/x", "c"});
  const sys::CallReplacement<sys::SysCall::NtQueryDirectoryFile> list(list_without_128_bit_ids);
  const sys::CallReplacement<sys::SysCall::NtQueryInformationFile> query(wide_ids);
  EXPECT_EQ(list_tree(t.path(), kEngineFlags, {}).text, (Stream{"a", "a/b", "a/b/x", "a/b (after)", "a (after)", "c"}));
}

// ---------------------------------------------------------------- large tree

struct ModelNode {
  bool dir = false;
  std::vector<std::string> children;
};

// A reproducible random tree of about `target` entries; names are unique
// within a folder even when compared without case.
std::vector<std::string> generate_tree(size_t target, uint32_t seed) {
  std::mt19937 rng(seed);
  const char* stems[] = {"src", "Lib", "tools", "a", "B", "data", "x", "Zeta", "m-1", "m_2", "obj", "c"};
  const char* exts[] = {"", ".c", ".cpp", ".obj", ".lib", ".txt", ".C", ".h", ".tar.gz"};
  std::vector<std::string> entries;
  std::vector<std::string> folders{""};
  std::map<std::string, std::vector<std::string>> used;  // folder -> lower-case names
  while (entries.size() < target) {
    const std::string parent = folders[rng() % folders.size()];
    if (std::count(parent.begin(), parent.end(), '/') >= 6) continue;
    std::string name = std::string(stems[rng() % 12]) + std::to_string(rng() % 40) + exts[rng() % 9];
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char ch) { return static_cast<char>(std::tolower(ch)); });
    auto& names = used[parent];
    if (std::find(names.begin(), names.end(), lower) != names.end()) continue;
    names.push_back(lower);
    const std::string rel = parent.empty() ? name : parent + "/" + name;
    if (rng() % 6 == 0) {
      folders.push_back(rel);
      entries.push_back(rel + "/");
    } else {
      entries.push_back(rel);
    }
  }
  return entries;
}

// A folder as read by a plain recursive walk of the disk: its entries sorted
// by name, subfolders read in full.
struct WalkedFolder {
  struct Child {
    std::string name;
    std::unique_ptr<WalkedFolder> folder;  // null for anything but a folder
  };
  std::vector<Child> children;
};

std::unique_ptr<WalkedFolder> walk_disk(const std::filesystem::path& dir) {
  namespace fs = std::filesystem;
  auto out = std::make_unique<WalkedFolder>();
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::u8string name = e.path().filename().u8string();
    out->children.push_back({std::string(name.begin(), name.end()),
                             e.is_directory() && !e.is_symlink() ? walk_disk(e.path()) : nullptr});
  }
  std::sort(out->children.begin(), out->children.end(), [](const auto& x, const auto& y) {
    return name_compare(x.name.c_str(), kToTerminator, y.name.c_str(), kToTerminator) < 0;
  });
  return out;
}

// The expected stream of a walked tree, with the delivery rules applied
// directly: a selected entry comes after the enclosing folders not yet
// delivered; a folder is entered when the filters allow it; a selected
// entered folder comes again after its contents when asked for.
Stream expected_stream(const WalkedFolder& root, std::vector<const char*> filters, uint32_t flags) {
  ScopedPool filter_pool;
  std::vector<const char*> prepared;
  for (const char* f : filters) prepared.push_back(filter_prepare(filter_pool.alloc(), f));
  prepared.push_back(nullptr);
  Stream out;
  std::vector<std::pair<std::string, bool>> owed;  // enclosing folders, delivered yet?
  std::function<void(const WalkedFolder&, const std::string&)> walk = [&](const WalkedFolder& dir,
                                                                         const std::string& rel) {
    for (const auto& child : dir.children) {
      const std::string r = rel.empty() ? child.name : rel + "\\" + child.name;
      const bool selected = filter_selects(prepared.data(), (r + "\\").c_str());
      if (selected) {
        for (auto& [folder, delivered] : owed) {
          if (!delivered) out.push_back(slashes(folder));
          delivered = true;
        }
        out.push_back(slashes(r));
      }
      if (child.folder && filter_may_descend(prepared.data(), (r + "\\").c_str(), (r + "\\**").c_str())) {
        owed.emplace_back(r, selected);
        walk(*child.folder, r);
        owed.pop_back();
        if (selected && (flags & LIST_DIRS_AFTER_CONTENTS)) out.push_back(slashes(r) + " (after)");
      }
    }
  };
  walk(root, "");
  return out;
}

TEST(TreeLister, GeneratedTreeMatchesAnIndependentWalk) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  const std::vector<std::string> tree = generate_tree(600, 20261208);
  make_paths(t, tree);
  const auto walked = walk_disk(std::filesystem::path(t.path()));
  struct Run {
    std::vector<const char*> filters;
    uint32_t flags;
  };
  const Run runs[] = {{{}, kEngineFlags},
                      {{}, LIST_NO_FOLLOW_LINKS},
                      {{"-**.obj", "-**.lib", "+tools*/**"}, kEngineFlags},
                      {{"+**.c", "-src*/**"}, kEngineFlags},
                      {{"*.cpp", "+x*/**/*.h"}, kEngineFlags},
                      {{}, kEngineFlags | LIST_READ_AHEAD},
                      {{"-**.obj", "-**.lib", "+tools*/**"}, kEngineFlags | LIST_READ_AHEAD},
                      {{"*.cpp", "+x*/**/*.h"}, LIST_NO_FOLLOW_LINKS | LIST_READ_AHEAD}};
  for (const Run& run : runs) {
    // list_tree also checks that each entry sorts strictly after the last.
    const Listing got = list_tree(t.path(), run.flags, run.filters);
    const Stream expected = expected_stream(*walked, run.filters, run.flags);
    EXPECT_EQ(got.text.size(), expected.size()) << "filters " << run.filters.size() << " flags " << run.flags;
    EXPECT_TRUE(got.text == expected) << "filters " << run.filters.size() << " flags " << run.flags;
    if (&run == &runs[0]) {
      size_t folders = 0;
      for (const auto& e : tree) folders += e.back() == '/';
      EXPECT_EQ(got.text.size(), tree.size() + folders);  // every folder twice
    }
  }
}

// A lister reading ahead is destroyed at any point of its walk, or told to
// stop there: nothing leaks or hangs, the entries before the point are those
// of the whole stream, and a stopped walk still comes to its end.
TEST(TreeLister, ReadAheadStopsAnywhere) {
  SKIP_UNLESS_LISTING();
  testos::TempDir t;
  make_paths(t, generate_tree(400, 20261209));
  const uint32_t flags = kEngineFlags | LIST_READ_AHEAD;
  const Stream whole = list_tree(t.path(), flags, {}).text;
  ASSERT_GT(whole.size(), 400u);
  for (const size_t point : {size_t{0}, size_t{1}, size_t{7}, size_t{60}, whole.size() / 2, whole.size()}) {
    SCOPED_TRACE(point);
    for (const bool cancel : {false, true}) {
      Signal stop;
      signal_init(&stop);
      TreeLister* l = nullptr;
      ASSERT_EQ(tree_lister_open(&l, &stop, t.path().c_str(), flags, nullptr), err::ok);
      const Listing before = run_lister(l, root_prefix_of(t.path()), point);
      EXPECT_TRUE(std::equal(before.text.begin(), before.text.end(), whole.begin()));
      if (cancel) {
        signal_raise(&stop);
        const Listing after = run_lister(l, root_prefix_of(t.path()));
        EXPECT_LE(after.text.size(), whole.size() - before.text.size() + 100);
      }
      tree_lister_destroy(l);
    }
  }
}

}  // namespace
