// Path syntax: root parsing, canonical form, joining, resolution against a
// fake current directory, native names, and the system queries behind them.
#include "fs/path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "base/unicode.h"

namespace {

using WString = std::basic_string<wchar16>;

WString wide(const std::string& s) {
  WString w(utf8_to_utf16(nullptr, 0, s.c_str()), 0);
  utf8_to_utf16(w.data(), w.size() + 1, s.c_str());
  return w;
}

std::string narrow(const wchar16* w, size_t n) {
  std::string s(utf16_to_utf8(nullptr, 0, w, n), 0);
  utf16_to_utf8(s.data(), s.size() + 1, w, n);
  return s;
}

std::string str(const char* s) { return s ? s : "<null>"; }

// ---- root parsing ----

TEST(PathParseRoot, Forms) {
  struct Case {
    const char* path;
    Error error;
    size_t length;
    bool rooted;
  } cases[] = {
      {"C:\\dir", 0, 2, true},         {"c:/dir", 0, 2, true},
      {"C:dir", 0, 2, false},          {"C:", 0, 2, false},
      {"\\\\=\\Device\\x", 0, 3, true}, {"//=/", 0, 3, true},
      {"\\\\srv\\shr\\dir", 0, 9, true}, {"//srv/shr", 0, 9, true},
      {"\\\\?\\C:\\dir", 0, 6, true},  {"\\\\.\\X:", 0, 6, true},
      {"\\\\=x\\y", 0, 6, true},       {"\\dir", 0, 0, true},
      {"\\", 0, 0, true},              {"dir\\sub", 0, 0, false},
      {".", 0, 0, false},              {"..\\x", 0, 0, false},
      {"1:\\x", 0, 0, false},          {"\xc3\xa9:\\x", 0, 0, false},
      {"", 123, 0, false},             {"\\\\srv", 123, 0, false},
      {"\\\\srv\\", 123, 0, false},    {"\\\\\\x", 123, 0, false},
      {"\\\\", 123, 0, false},         {"\\\\=", 123, 0, false},
      {"\\\\srv\\\\x", 123, 0, false},
  };
  for (const auto& c : cases) {
    size_t length = 99;
    bool rooted = false;
    EXPECT_EQ(path_parse_root(c.path, &length, &rooted), c.error) << c.path;
    if (c.error == 0) {
      EXPECT_EQ(length, c.length) << c.path;
      EXPECT_EQ(rooted, c.rooted) << c.path;
    }
    EXPECT_EQ(path_parse_root(c.path, nullptr, nullptr), c.error) << c.path;
  }
  EXPECT_EQ(path_parse_root(nullptr, nullptr, nullptr), 123u);
}

// ---- normalization ----

TEST(PathNormalize, Cases) {
  struct Case {
    const char* path;
    const char* normal;  // null: invalid
  } cases[] = {
      {"C:/a//b/./c/", "C:\\a\\b\\c\\"},
      {"C:\\a\\..\\..\\b", "C:\\b"},
      {"C:\\a\\b\\...\\c", "C:\\c"},
      {"C:\\a\\b\\c\\....", "C:\\"},
      {"C:\\", "C:\\"},
      {"C:\\a\\..\\", "C:\\"},
      {"C:..", "C:..\\"},
      {"C:a\\..\\..\\b", "C:..\\b"},
      {"C:.", "C:"},
      {"\\\\srv\\shr\\..\\x", "\\\\srv\\shr\\x"},
      {"//srv/shr", "\\\\srv\\shr\\"},
      {"\\\\?\\C:\\x\\..\\y", "\\\\?\\C:\\y"},
      {"\\\\=\\Device\\Foo\\..\\x", "\\\\=\\Device\\x"},
      {"\\\\srv", nullptr},
      {"\\\\srv\\", nullptr},
      {"\\\\\\x", nullptr},
      {"", nullptr},
      {"\\", "\\"},
      {"\\a\\..\\..", "\\"},
      {"/a/b/", "\\a\\b\\"},
      {"a\\..", "."},
      {"..", "..\\"},
      {"..\\x", "..\\x"},
      {"..\\..\\x\\..", "..\\..\\"},
      {"a\\..\\..\\b", "..\\b"},
      {"a\\b\\....\\x", "..\\x"},
      {"a\\b\\c\\....", "."},
      {"a\\..\\", ".\\"},
      {"./", ".\\"},
      {"a\\b\\", "a\\b\\"},
      {"a/./b", "a\\b"},
      {"a\\\\\\b//", "a\\b\\"},
      {".git\\..x\\x..", ".git\\..x\\x.."},
      {"a\\\xff\\..\\\xc3\xa9", "a\\\xc3\xa9"},
  };
  for (const auto& c : cases) {
    ScopedPool pool;
    EXPECT_EQ(str(path_normalize(pool.get(), c.path)), str(c.normal)) << c.path;
  }
  ScopedPool pool;
  EXPECT_EQ(path_normalize(pool.get(), nullptr), nullptr);
}

// Results around and beyond the 100-byte first pass, including components
// that the first pass could not store and then had to take back.
TEST(PathNormalize, LongResults) {
  for (size_t n = 90; n <= 110; ++n) {
    const std::string name(n - 3, 'x');
    ScopedPool pool;
    EXPECT_EQ(str(path_normalize(pool.get(), ("C:/" + name).c_str())), "C:\\" + name) << n;
    EXPECT_EQ(str(path_normalize(pool.get(), ("C:/" + name + "/").c_str())), "C:\\" + name + "\\") << n;
    EXPECT_EQ(str(path_normalize(pool.get(), ("C:/" + name + "/./..").c_str())), "C:\\") << n;
    EXPECT_EQ(str(path_normalize(pool.get(), ("a/" + name + "/../b").c_str())), "a\\b") << n;
    EXPECT_EQ(str(path_normalize(pool.get(), (name + "/../../../b/").c_str())), "..\\..\\b\\") << n;
  }
  const std::string x(120, 'x'), y(120, 'y');
  ScopedPool pool;
  EXPECT_EQ(str(path_normalize(pool.get(), (x + "/" + y + "/../z").c_str())), x + "\\z");
  std::string deep, expect = "C:";
  for (int i = 0; i < 2000; ++i) {
    deep += "/d" + std::to_string(i) + "/./e/..";
    expect += "\\d" + std::to_string(i);
  }
  EXPECT_EQ(str(path_normalize(pool.get(), ("C:" + deep).c_str())), "C:\\" + expect.substr(3));
}

TEST(PathNormalize, IdempotentOnRandomPaths) {
  static const char* const kParts[] = {"a", "bc", ".", "..", "...", "\\", "/", "C:", "x:",
                                       "\\\\", "=", "?", "\xc3\xa9", "\xff"};
  std::mt19937 rng(3);
  int valid = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string s;
    const int n = static_cast<int>(rng() % 14);
    for (int k = 0; k < n; ++k) s += kParts[rng() % (sizeof kParts / sizeof *kParts)];
    if (i % 4 == 0) s += "/" + std::string(rng() % 150, 'L');
    ScopedPool pool;
    const char* once = path_normalize(pool.get(), s.c_str());
    EXPECT_EQ(once != nullptr, path_parse_root(s.c_str(), nullptr, nullptr) == 0) << s;
    if (!once) continue;
    ++valid;
    // A relative path whose first kept component looks like a drive (.\C:x)
    // comes out drive-relative (C:x), and that form normalizes differently.
    size_t in_root = 0, out_root = 0;
    path_parse_root(s.c_str(), &in_root, nullptr);
    path_parse_root(once, &out_root, nullptr);
    if (in_root == 0 && out_root == 2) continue;
    const char* twice = path_normalize(pool.get(), once);
    ASSERT_EQ(str(twice), str(once)) << s;
    EXPECT_EQ(std::strchr(once, '/'), nullptr) << s;
  }
  EXPECT_GT(valid, 10000);
}

// ---- joining ----

TEST(PathJoin, Cases) {
  struct Case {
    const char* base;
    const char* rel;
    const char* joined;
  } cases[] = {
      {nullptr, "x", "x"},           {"", "x\\", "x\\"},
      {"C:\\dir", "", "C:\\dir\\"},  {"C:\\dir\\", "\\x", "C:\\dir\\x"},
      {"a\\\\", "\\\\b", "a\\\\\\b"}, {"a/", "b", "a\\b"},
      {"a", nullptr, "a\\"},         {"src", "**", "src\\**"},
      {"+tools\\", "**", "+tools\\**"},
  };
  for (const auto& c : cases) {
    ScopedPool pool;
    EXPECT_EQ(str(path_join(pool.get(), c.base, c.rel)), c.joined) << str(c.base) << " + " << str(c.rel);
  }
}

// ---- resolution against a fake current directory ----

std::string g_cwd;           // UTF-8; empty: the query fails
std::string g_drive_dir;     // answer for any "X:."; empty: the query fails
std::string g_drive_asked;

DWORD answer(const std::string& utf8, DWORD length, LPWSTR buffer) {
  const WString w = wide(utf8);
  if (w.size() + 1 > length) return static_cast<DWORD>(w.size() + 1);
  std::memcpy(buffer, w.c_str(), (w.size() + 1) * sizeof(wchar16));
  return static_cast<DWORD>(w.size());
}

DWORD fake_cwd(DWORD length, LPWSTR buffer) {
  if (g_cwd.empty()) {
    sys::SetLastError(5);
    return 0;
  }
  return answer(g_cwd, length, buffer);
}

DWORD fake_full_path(LPCWSTR name, DWORD length, LPWSTR buffer, LPWSTR* file_part) {
  if (file_part) *file_part = nullptr;
  g_drive_asked = narrow(name, wide_len(name));
  if (g_drive_dir.empty()) {
    sys::SetLastError(3);
    return 0;
  }
  return answer(g_drive_dir, length, buffer);
}

class PathResolve : public ::testing::Test {
 protected:
  void SetUp() override {
    g_cwd = "C:\\work\\dir";
    g_drive_dir = "D:\\ddir";
    g_drive_asked.clear();
  }
  sys::CallReplacement<sys::SysCall::GetCurrentDirectoryW> cwd_{fake_cwd};
  sys::CallReplacement<sys::SysCall::GetFullPathNameW> full_path_{fake_full_path};
  std::string resolve(const char* path, const char* base = nullptr) {
    ScopedPool pool;
    return str(path_resolve(pool.get(), base, path));
  }
  sys::FaultScope faults_;
};

TEST_F(PathResolve, AgainstCurrentDirectory) {
  struct Case {
    const char* path;
    const char* resolved;
  } cases[] = {
      {"", "C:\\work\\dir"},
      {".", "C:\\work\\dir"},
      {nullptr, "C:\\work\\dir"},
      {"C:", "C:\\work\\dir\\"},
      {"c:", "C:\\work\\dir\\"},
      {"c:x", "C:\\work\\dir\\x"},
      {"x\\..\\y/", "C:\\work\\dir\\y\\"},
      {"..\\..\\..\\..", "C:\\"},
      {"\\x", "C:\\x"},
      {"/", "C:\\"},
      {"D:x", "D:\\ddir\\x"},
      {"C:\\abs\\..\\b", "C:\\b"},
      {"\\\\srv\\shr\\..\\x", "\\\\srv\\shr\\x"},
      {"\\\\srv", "<null>"},
  };
  for (const auto& c : cases) EXPECT_EQ(resolve(c.path), c.resolved) << str(c.path);
  EXPECT_EQ(g_drive_asked, "D:.");
}

TEST_F(PathResolve, WithBase) {
  EXPECT_EQ(resolve("t", "C:\\base\\link\\.."), "C:\\base\\t");
  EXPECT_EQ(resolve("..\\t", "\\\\srv\\shr\\a\\b"), "\\\\srv\\shr\\a\\t");
  EXPECT_EQ(resolve("t", "sub"), "C:\\work\\dir\\sub\\t");
  EXPECT_EQ(resolve("t", "."), "C:\\work\\dir\\t");
  EXPECT_EQ(resolve("\\t", "D:\\x\\y"), "D:\\t");
  EXPECT_EQ(resolve("D:t", "d:\\x\\y"), "d:\\x\\y\\t");
  EXPECT_EQ(resolve("E:t", "D:\\x"), "D:\\ddir\\t");  // the fake answers for every drive
  EXPECT_EQ(resolve("C:\\t", "\\\\srv"), "C:\\t");    // absolute: base not consulted
  EXPECT_EQ(resolve("t", "\\\\srv"), "<null>");
}

TEST_F(PathResolve, CurrentDirectoryForms) {
  g_cwd = "\\\\srv\\shr\\w";
  EXPECT_EQ(resolve("\\x"), "\\\\srv\\shr\\x");
  EXPECT_EQ(resolve("x"), "\\\\srv\\shr\\w\\x");
  // Relative to the current drive's root (as the Linux layer reports it).
  g_cwd = "\\home\\u";
  EXPECT_EQ(resolve("x"), "\\home\\u\\x");
  EXPECT_EQ(resolve("\\x\\..\\y"), "\\y");
  EXPECT_EQ(resolve("D:x"), "D:\\ddir\\x");
  // A current directory that is not rooted, or none at all.
  g_cwd = "work";
  EXPECT_EQ(resolve("x"), "<null>");
  g_cwd.clear();
  EXPECT_EQ(resolve("x"), "<null>");
  EXPECT_EQ(resolve("C:\\x"), "C:\\x");
}

TEST_F(PathResolve, FailingQueries) {
  sys::fault_arm(sys::SysCall::GetCurrentDirectoryW, 1, 5);
  EXPECT_EQ(resolve("x"), "<null>");
  EXPECT_EQ(resolve("x"), "C:\\work\\dir\\x");
  sys::fault_arm(sys::SysCall::GetFullPathNameW, 1, 3);
  EXPECT_EQ(resolve("D:x"), "D:\\x");  // the drive's root when its directory is unknown
  g_drive_dir.clear();
  EXPECT_EQ(resolve("D:..\\x"), "D:\\x");
}

// A directory longer than the first 300-unit buffer is read again with the
// size the system asks for.
TEST_F(PathResolve, LongDirectories) {
  const std::string long_name(400, 'L');
  g_cwd = "C:\\" + long_name;
  g_drive_dir = "D:\\" + long_name + "\xc3\xa9";
  ScopedPool pool;
  EXPECT_EQ(str(current_directory_utf8(pool.get())), g_cwd);
  EXPECT_EQ(str(drive_directory_utf8(pool.get(), 'D')), g_drive_dir);
  EXPECT_EQ(resolve("x"), g_cwd + "\\x");
  EXPECT_EQ(resolve("D:x"), g_drive_dir + "\\x");
  sys::fault_arm(sys::SysCall::GetCurrentDirectoryW, 2, 5);
  EXPECT_EQ(str(current_directory_utf8(pool.get())), "<null>");
  sys::fault_arm(sys::SysCall::GetFullPathNameW, 2, 5);
  EXPECT_EQ(str(drive_directory_utf8(pool.get(), 'D')), "<null>");
}

// ---- native names ----

TEST_F(PathResolve, NativeNames) {
  struct Case {
    const char* path;
    const char* native;  // null: 123
  } cases[] = {
      {"\\\\?\\C:\\x", "\\??\\C:\\x"},
      {"\\\\=\\Device\\Foo\\x", "\\Device\\Foo\\x"},
      {"//srv/shr/x", "\\??\\UNC\\srv\\shr\\x"},
      {"\\\\.\\X:", "\\??\\X:\\"},
      {"C:\\x\\..\\y", "\\??\\C:\\y"},
      {"C:\\\xc3\xa9\xf0\x9f\x98\x80", "\\??\\C:\\\xc3\xa9\xf0\x9f\x98\x80"},
      {"x", "\\??\\C:\\work\\dir\\x"},
      {"", "\\??\\C:\\work\\dir"},
      {"\\\\srv", nullptr},
  };
  for (const auto& c : cases) {
    ScopedPool pool;
    NtName n;
    const Error e = path_to_nt_name(pool.get(), c.path, &n);
    if (!c.native) {
      EXPECT_EQ(e, 123u) << c.path;
      EXPECT_EQ(n.text, nullptr);
      EXPECT_EQ(n.length, 0u);
      continue;
    }
    ASSERT_EQ(e, 0u) << c.path;
    EXPECT_EQ(narrow(n.text, n.length), c.native) << c.path;
    EXPECT_EQ(n.text[n.length], 0);
    EXPECT_EQ(n.name.Buffer, n.text);
    EXPECT_EQ(n.name.Length, 2 * n.length);
    EXPECT_EQ(n.name.MaximumLength, 2 * n.length + 2);
    EXPECT_EQ(n.block, static_cast<void*>(n.text));
    EXPECT_EQ(n.block_size, 2 * size_t{n.length} + 22);
  }
  // Root-relative current directory: the name is taken as it is.
  g_cwd = "\\home\\u";
  ScopedPool pool;
  NtName n;
  ASSERT_EQ(path_to_nt_name(pool.get(), "x", &n), 0u);
  EXPECT_EQ(narrow(n.text, n.length), "\\home\\u\\x");
  g_cwd = "work";
  EXPECT_EQ(path_to_nt_name(pool.get(), "x", &n), 123u);
  EXPECT_EQ(n.block, nullptr);
}

// The descriptor counts bytes in 16 bits, with room for the terminator.
TEST_F(PathResolve, NativeNameLengthLimit) {
  for (uint32_t units : {kNtNameMaxUnits - 1, kNtNameMaxUnits, kNtNameMaxUnits + 1, 40000u}) {
    const std::string path = "C:\\" + std::string(units - 7, 'n');  // \??\ + C:\ + name
    ScopedPool pool;
    NtName n;
    const Error e = path_to_nt_name(pool.get(), path.c_str(), &n);
    if (units <= kNtNameMaxUnits) {
      ASSERT_EQ(e, 0u) << units;
      EXPECT_EQ(n.length, units);
      EXPECT_EQ(n.name.MaximumLength, 2 * units + 2);
    } else {
      EXPECT_EQ(e, 123u) << units;
      EXPECT_EQ(n.name.Buffer, nullptr);
    }
  }
}

// ---- the system queries themselves ----

TEST(PathSystem, CurrentDirectoryIsAbsolute) {
  ScopedPool pool;
  const char* cwd = current_directory_utf8(pool.get());
  ASSERT_NE(cwd, nullptr);
  size_t root_length;
  bool rooted;
  ASSERT_EQ(path_parse_root(cwd, &root_length, &rooted), 0u) << cwd;
  EXPECT_TRUE(rooted) << cwd;
  const char* dot = path_resolve(pool.get(), nullptr, ".");
  ASSERT_NE(dot, nullptr);
  EXPECT_STREQ(dot, path_normalize(pool.get(), cwd));
  sys::FaultScope faults;
  sys::fault_arm(sys::SysCall::GetCurrentDirectoryW, 1, 5);
  EXPECT_EQ(current_directory_utf8(pool.get()), nullptr);
}

#ifndef _WIN32
// The Linux layer: the POSIX root is the current drive's root, X:\a is /mnt/x/a.
TEST(PathSystem, PosixMapping) {
  wchar16 buffer[600];
  const DWORD n = sys::GetCurrentDirectoryW(600, buffer);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(buffer[0], u'\\');
  EXPECT_EQ(sys::GetCurrentDirectoryW(1, buffer), n + 1);  // too small: size with terminator
  const std::string cwd = narrow(buffer, n);

  struct Case {
    const char* name;
    std::string full;
  } cases[] = {
      {"Q:.", "Q:\\"},
      {"q:a\\..\\b", "Q:\\b"},
      {"Q:\\a\\.\\b\\", "Q:\\a\\b\\"},
      {"\\x\\..\\y", "\\y"},
      {"rel\\x", (cwd == "\\" ? "" : cwd) + "\\rel\\x"},
      {"\\\\srv\\shr\\a\\..", "\\\\srv\\shr\\"},
  };
  for (const auto& c : cases) {
    const WString name = wide(c.name);
    wchar16* part = nullptr;
    const DWORD m = sys::GetFullPathNameW(name.c_str(), 600, buffer, &part);
    ASSERT_GT(m, 0u) << c.name;
    EXPECT_EQ(narrow(buffer, m), c.full) << c.name;
    EXPECT_EQ(sys::GetFullPathNameW(name.c_str(), 2, buffer, nullptr), c.full.size() + 1) << c.name;
  }
}
#endif

}  // namespace
