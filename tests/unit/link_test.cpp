#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/memory.h"
#include "fs/file_ops.h"
#include "fs/link.h"
#include "fs/native.h"
#include "fs/path.h"
#include "platform/platform.h"
#include "fixtures.h"
#include "test_os.h"

namespace {

std::string from_system(std::string s) {
  link_text_from_system(s.data(), s.size());
  return s;
}

std::string to_system(std::string s) {
  link_text_to_system(s.data(), s.size());
  return s;
}

TEST(LinkText, FromSystem) {
  const std::pair<const char*, const char*> cases[] = {
      {"\\??\\C:\\data", "/mnt/c/data"},
      {"\\??\\D:", "/mnt/d"},
      {"\\??\\d:\\", "/mnt/d/"},
      {"\\\\?\\C:\\x", "/mnt/c/x"},
      {"..\\sib", "../sib"},
      {"\\??\\C:x", "/?\?/C:x"},        // no separator at index 6
      {"\\??\\1:\\x", "/?\?/1:/x"},     // not a letter
      {"\\??\\UNC\\srv\\shr", "/?\?/UNC/srv/shr"},
      {"\\??\\", "/?\?/"},
      {"", ""},
  };
  for (auto [in, want] : cases) EXPECT_EQ(from_system(in), want) << in;
}

TEST(LinkText, ToSystem) {
  const std::pair<const char*, const char*> cases[] = {
      {"/mnt/c/data", "\\\\?\\C:\\data"},
      {"/mnt/c", "\\\\?\\C:"},
      {"/mnt/z\\x", "\\\\?\\Z:\\x"},
      {"/mntx/y", "\\mntx\\y"},        // index 4 is not '/'
      {"/mnt/cd", "\\mnt\\cd"},        // a longer name, not a drive
      {"/mnt/1/x", "\\mnt\\1\\x"},
      {"../sib", "..\\sib"},
      {"/mnt", "\\mnt"},
      {"", ""},
  };
  for (auto [in, want] : cases) EXPECT_EQ(to_system(in), want) << in;
}

TEST(LinkText, RoundTripOfDriveForm) {
  for (const char* text : {"/mnt/c/data", "/mnt/q", "../a/b", "sub/x"}) {
    std::string sys = to_system(text);
    // The system's object name of \\?\C:\data is \??\C:\data.
    if (sys.rfind("\\\\?\\", 0) == 0) sys[1] = '?';
    EXPECT_EQ(from_system(sys), text);
  }
}

TEST(LinkText, PrintName) {
  const std::pair<const char*, const char*> cases[] = {
      {"\\\\?\\C:\\data", "C:\\data"},
      {"\\\\?\\UNC\\srv\\shr", "\\\\srv\\shr"},
      {"\\\\?\\unc\\srv\\shr\\x", "\\\\srv\\shr\\x"},
      {"\\\\?\\UNCx\\y", "UNCx\\y"},
      {"..\\sib", "..\\sib"},
      {"\\\\srv\\shr", "\\\\srv\\shr"},
      {"\\", "\\"},
      {"\\x?", "\\x?"},
  };
  ScopedPool pool;
  for (auto [in, want] : cases) EXPECT_STREQ(link_print_name(pool.get(), in), want) << in;
}

std::u16string u16(const char* s) {
  std::u16string r;
  while (*s) r.push_back(static_cast<char16_t>(*s++));
  return r;
}

uint16_t get16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t get32(const std::vector<uint8_t>& b, size_t at) { return get16(b, at) | uint32_t{get16(b, at + 2)} << 16; }

TEST(ReparseData, BuildLayoutAndParse) {
  const std::u16string sub = u16("\\??\\C:\\dir"), print = u16("C:\\dir");
  std::vector<uint8_t> buf(kReparseMax, 0xEE);
  uint32_t size = 0;
  ASSERT_EQ(reparse_link_build(buf.data(), kReparseMax, reinterpret_cast<const wchar16*>(sub.data()), sub.size(),
                               reinterpret_cast<const wchar16*>(print.data()), print.size(), false, &size),
            err::ok);
  EXPECT_EQ(size, 24u + 2 * (10 + 6));
  EXPECT_EQ(get32(buf, 0), 0xA000000Cu);
  EXPECT_EQ(get16(buf, 4), size - 8);
  EXPECT_EQ(get16(buf, 6), 0);
  EXPECT_EQ(get16(buf, 8), 0);
  EXPECT_EQ(get16(buf, 10), 20);
  EXPECT_EQ(get16(buf, 12), 22);
  EXPECT_EQ(get16(buf, 14), 12);
  EXPECT_EQ(get32(buf, 16), 0u);
  EXPECT_EQ(get16(buf, 20), '\\');
  EXPECT_EQ(get16(buf, 40), 0);  // terminator of the substitute name
  EXPECT_EQ(get16(buf, 42), 'C');
  EXPECT_EQ(get16(buf, 54), 0);  // terminator of the print name
  EXPECT_EQ(buf[56], 0xEE);      // nothing written past the total

  const wchar16* name;
  size_t units;
  ASSERT_EQ(reparse_substitute_name(buf.data(), size, &name, &units), err::ok);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name), units), sub);

  ASSERT_EQ(reparse_link_build(buf.data(), kReparseMax, reinterpret_cast<const wchar16*>(u"..\\sib"), 6,
                               reinterpret_cast<const wchar16*>(u"..\\sib"), 6, true, &size),
            err::ok);
  EXPECT_EQ(get32(buf, 16), 1u);
}

TEST(ReparseData, SizeLimit) {
  std::vector<uint8_t> buf(kReparseMax + 64);
  std::u16string name((kReparseMax - 24) / 2 - 1, u'a');
  const auto* n = reinterpret_cast<const wchar16*>(name.data());
  uint32_t size = 7;
  // 24 + 2 * (units + 1) is exactly 16384.
  EXPECT_EQ(reparse_link_build(buf.data(), kReparseMax, n, name.size(), n, 1, false, &size), err::ok);
  EXPECT_EQ(size, kReparseMax);
  EXPECT_EQ(reparse_link_build(buf.data(), kReparseMax + 64, n, name.size(), n, 2, false, &size),
            err::invalid_parameter);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(reparse_link_build(buf.data(), 100, n, 30, n, 30, false, &size), err::invalid_parameter);
}

TEST(ReparseData, ParseMountPointsAndBadData) {
  std::vector<uint8_t> b(64, 0);
  auto put16 = [&](size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    put16(at, v);
    put16(at + 2, v >> 16);
  };
  // Mount point: the name area starts at byte 16.
  put32(0, 0xA0000003);
  put16(8, 4);
  put16(10, 4);
  put16(16 + 4, 'D');
  put16(16 + 6, ':');
  const wchar16* name;
  size_t units;
  ASSERT_EQ(reparse_substitute_name(b.data(), 64, &name, &units), err::ok);
  EXPECT_EQ(units, 2u);
  EXPECT_EQ(name[0], u'D');
  put32(0, 0x80000017);
  EXPECT_EQ(reparse_substitute_name(b.data(), 64, &name, &units), err::not_found);
  EXPECT_EQ(name, nullptr);
  put32(0, 0xA000000C);
  put16(8, 42);  // reaches past the data
  EXPECT_EQ(reparse_substitute_name(b.data(), 64, &name, &units), 4392u);
  put16(8, 3);  // half a unit
  EXPECT_EQ(reparse_substitute_name(b.data(), 64, &name, &units), 4392u);
  EXPECT_EQ(reparse_substitute_name(b.data(), 2, &name, &units), 4392u);
}

TEST(LinkCreate, RefusedTexts) {
  testos::TempDir dir;
  const std::string link = dir.join("l");
  EXPECT_EQ(link_create(link.c_str(), ""), err::invalid_name);
  EXPECT_EQ(link_create(link.c_str(), "//srv"), err::invalid_name);
  // A text whose reparse data would pass 16384 bytes.
  std::string longname(8200, 'a');
  EXPECT_EQ(link_create(link.c_str(), longname.c_str()), err::invalid_parameter);
  EXPECT_FALSE(testos::exists(link));
}

TEST(LinkCreate, PrivilegeEnabling) {
  sys::FaultScope faults;
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::OpenThreadToken, 1, 1008));
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::OpenProcessToken, 1, 5));
  EXPECT_EQ(privilege_enable("SeCreateSymbolicLinkPrivilege"), err::access_denied);
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::OpenThreadToken, 1, 1008));
  ASSERT_TRUE(sys::fault_arm(sys::SysCall::LookupPrivilegeValueW, 1, 1313));
  EXPECT_EQ(privilege_enable("SeNoSuchPrivilege"), 1313u);
}

TEST(LinkCreate, PrivilegeFallbackAndHalfMadeLinks) {
  if (!native_files_work()) GTEST_SKIP() << "the POSIX layer does not map the native file calls yet";
  testos::TempDir dir;
  const std::string link = dir.join("l");
  // Setting the reparse data fails; without the link privilege the system's
  // create-symbolic-link call is tried (Wine has no links: it fails there too).
  struct Case {
    uint32_t fsctl;     // NTSTATUS of the failed reparse-data set
    uint32_t fallback;  // planned error of the create-symbolic-link call, 0 none
    uint32_t expected;
  };
  // Wine makes the fallback's link as a Unix link, which it cannot read back.
  const bool readable = !testos::running_under_wine();
  const Case cases[] = {
      {0xC0000061, 0, 0},        // privilege not held: made by the fallback
      {0xC0000061, 1314, 1314},  // the fallback is refused as well
      {0xC0000022, 0, 0},        // access denied: made by the fallback too
      {0xC0000022, 5, 5},        // and refused by it as well
      {0xC000007F, 0, 112},      // any other failure (disk full): no fallback
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fsctl + c.fallback);
    const std::string made = dir.join("l" + std::to_string(n++));
    sys::FaultScope faults;
    ASSERT_TRUE(sys::fault_arm(sys::SysCall::NtFsControlFile, 1, c.fsctl));
    if (c.fallback) {
      ASSERT_TRUE(sys::fault_arm(sys::SysCall::CreateSymbolicLinkW, 1, c.fallback));
    }
    EXPECT_EQ(link_create(made.c_str(), "/mnt/c/data"), c.expected);
    if (c.expected == 0 && readable) {
      ScopedPool pool;
      char* text = nullptr;
      EXPECT_EQ(link_read(pool.get(), made.c_str(), &text), err::ok);
      EXPECT_STREQ(text, "/mnt/c/data");
    }
    if (c.expected != 0) {
      EXPECT_FALSE(testos::exists(made));
    }
  }
  // A link path that already exists is left alone.
  ASSERT_TRUE(testos::write_file(link, "x"));
  EXPECT_EQ(link_create(link.c_str(), "target"), err::already_exists);
  EXPECT_TRUE(testos::exists(link));
}

TEST(LinkReal, CreateAndRead) {
  if (testos::running_under_wine()) GTEST_SKIP() << "Wine has no reparse points (symbolic links)";
  if (!native_files_work()) GTEST_SKIP() << "the POSIX layer does not map the native file calls yet";
  testos::TempDir dir;
  ASSERT_TRUE(testos::make_dir(dir.join("sib")));
  ASSERT_TRUE(testos::make_dir(dir.join("d")));
  const std::string rel = dir.join("d/rel"), dangling = dir.join("d/none");
  ASSERT_EQ(link_create(rel.c_str(), "../sib"), err::ok);
  ASSERT_EQ(link_create(dangling.c_str(), "nowhere/x"), err::ok);
  ScopedPool pool;
  char* text = nullptr;
  ASSERT_EQ(link_read(pool.get(), rel.c_str(), &text), err::ok);
  EXPECT_STREQ(text, "../sib");
  ASSERT_EQ(link_read(pool.get(), dangling.c_str(), &text), err::ok);
  EXPECT_STREQ(text, "nowhere/x");
  // A relative link to a folder is a folder link; deleting it leaves the target.
  uint8_t folder = 0;
  EXPECT_EQ(file_probe(rel.c_str(), &folder), err::ok);
  EXPECT_NE(folder, 0);
  EXPECT_EQ(entry_delete(rel.c_str()), err::ok);
  EXPECT_FALSE(testos::exists(rel));
  EXPECT_TRUE(testos::exists(dir.join("sib")));
  // A plain file is no link.
  ASSERT_TRUE(testos::write_file(dir.join("f"), "x"));
  EXPECT_NE(link_read(pool.get(), dir.join("f").c_str(), &text), err::ok);
  EXPECT_EQ(text, nullptr);
}

}  // namespace
