#include <gtest/gtest.h>

#include <string>

#include "fs/console.h"
#include "platform/platform.h"
#include "test_os.h"

namespace {

// A console stand-in: the console-mode query answers for the standard
// output handle only, and the wide write records what it is given, taking at
// most `g_piece` units per call.
HANDLE g_console = nullptr;
std::u16string g_shown;
DWORD g_piece = 0;
int g_wide_calls = 0;

BOOL fake_console_mode(HANDLE h, DWORD* mode) {
  *mode = 3;
  return h == g_console && h != nullptr;
}

BOOL record_wide(HANDLE h, const WCHAR* text, DWORD units, DWORD* done) {
  ++g_wide_calls;
  *done = 0;
  if (h != g_console) return FALSE;
  const DWORD take = units < g_piece ? units : g_piece;
  for (DWORD i = 0; i < take; ++i) g_shown.push_back(static_cast<char16_t>(text[i]));
  *done = take;
  return take != 0;
}

// A name with Latin, CJK and a character beyond the basic plane.
constexpr char kUtf8Line[] = "+ d\xC3\xBCr/\xE5\x90\x8D\xF0\x9F\x98\x80\n";
constexpr char16_t kUtf16Line[] = u"+ d\u00FCr/\u540D\U0001F600\n";

// Standard output that is a console gets the line as UTF-16, in pieces as
// the console takes them and nothing through the byte write; a file gets the
// exact UTF-8 bytes and no wide write. A console that takes nothing ends the
// write instead of retrying for ever.
TEST(Console, WideTextToAConsoleBytesToAFile) {
  testos::TempDir dir;
  const std::string out = dir.join("out.txt");
  sys::CallReplacement<sys::SysCall::GetConsoleMode> mode(fake_console_mode);
  sys::CallReplacement<sys::SysCall::WriteConsoleW> wide(record_wide);
  const struct {
    bool console;
    DWORD piece;
    std::u16string shown;
  } rows[] = {{false, 100, u""}, {true, 100, kUtf16Line}, {true, 3, kUtf16Line}, {true, 0, u""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.piece);
    g_shown.clear();
    g_wide_calls = 0;
    g_piece = row.piece;
    std::string bytes;
    {
      testos::StdoutToFile redirect(out);
      ASSERT_TRUE(redirect.ok());
      g_console = row.console ? sys::GetStdHandle(STD_OUTPUT_HANDLE) : nullptr;
      console_forget();  // the same handle is a console in one row and a file in the next
      sys::CallCounter byte_writes(sys::SysCall::WriteFile);
      print("+ %s\n", "d\xC3\xBCr/\xE5\x90\x8D\xF0\x9F\x98\x80");
      EXPECT_EQ(byte_writes.count(), row.console ? 0u : 1u);
    }
    ASSERT_TRUE(testos::read_file(out, &bytes));
    EXPECT_EQ(bytes, row.console ? "" : kUtf8Line);
    EXPECT_EQ(g_shown, row.shown);
    const int pieces = row.piece ? static_cast<int>((10 + row.piece - 1) / row.piece) : 1;  // 10 units
    EXPECT_EQ(g_wide_calls, row.console ? pieces : 0);
  }
}

}  // namespace
