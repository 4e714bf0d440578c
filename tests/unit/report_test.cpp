#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/cancel.h"
#include "app/report.h"
#include "app/run.h"
#include "test_os.h"

namespace {

// Runs `body` with standard output captured; returns what it printed.
template <typename F>
std::string captured(F body) {
  testos::TempDir dir;
  const std::string path = dir.join("out.txt");
  {
    testos::StdoutToFile redirect(path);
    EXPECT_TRUE(redirect.ok());
    body();
  }
  std::string text;
  EXPECT_TRUE(testos::read_file(path, &text));
  return text;
}

struct ReportTest : ::testing::Test {
  void TearDown() override {
    report_clear_stop(&report);
    signal_reset(cancel_context(kAbortSignal));
  }
  ReportSettings report;
};

std::string event_output(int32_t verbosity, SyncEvent e) {
  ReportSettings report;
  report.verbosity = verbosity;
  return captured([&] {
    report_event(&report, e, "dir\\f.txt");
    report_end_marks(&report);
  });
}

TEST_F(ReportTest, LinesAndMarksByVerbosity) {
  struct Row {
    SyncEvent event;
    const char* line;
    const char* mark;
    int32_t level;
  };
  const Row rows[] = {
      {SyncEvent::Identical, "= dir\\f.txt\n", "=\n", 2},
      {SyncEvent::Removed, "- dir\\f.txt\n", "-\n", 1},
      {SyncEvent::Added, "+ dir\\f.txt\n", "+\n", 1},
      {SyncEvent::Differs, "? dir\\f.txt\n", "?\n", 2},
      {SyncEvent::DeleteFailed, "WARNING: unable to delete \"dir\\f.txt\"\n", "", 0},
      {SyncEvent::CreateFailed, "WARNING: unable to create \"dir\\f.txt\"\n", "", 0},
      {SyncEvent::OpenFailed, "WARNING: unable to open \"dir\\f.txt\"\n", "", 0},
      {SyncEvent::ReadFailed, "WARNING: unable to read \"dir\\f.txt\"\n", "", 0},
      {SyncEvent::WriteFailed, "WARNING: unable to write \"dir\\f.txt\"\n", "", 0},
      {SyncEvent::LinkReadFailed, "WARNING: unable to read symlink \"dir\\f.txt\"\n", "", 0},
      {SyncEvent::LinkCreateFailed, "WARNING: unable to create symlink \"dir\\f.txt\"\n", "", 0},
      {SyncEvent::CopyNotEncrypted, "WARNING: \"dir\\f.txt\" is encrypted; the copy is not\n", "", 0},
      {SyncEvent::StreamsNotCopied, "WARNING: named streams of \"dir\\f.txt\" were not copied\n", "", 0},
  };
  // The path as this system's output shows it ("dir/f.txt" on Linux).
  char shown[16];
  sys::PathDisplayForm("dir\\f.txt", shown, sizeof shown);
  for (const Row& row : rows) {
    for (int32_t v : {-3, 0, 1, 2, 3, 7}) {
      std::string expected = v > row.level ? row.line : v == row.level ? row.mark : "";
      if (const size_t at = expected.find("dir\\f.txt"); at != std::string::npos) expected.replace(at, 9, shown);
      EXPECT_EQ(event_output(v, row.event), expected)
          << "event " << static_cast<int>(row.event) << " verbosity " << v;
    }
  }
}

// Invisible, direction-changing and control characters print as escapes, so
// no two names and no line look alike; other characters print as they are.
TEST_F(ReportTest, LookAlikeCharactersPrintEscaped) {
  const char* const rows[][2] = {
      {"a\u200B \uFEFF", "a\\xE2\\x80\\x8B \\xEF\\xBB\\xBF"},  // zero-width space, byte-order mark
      {"x\u202Etxt.exe \u2066", "x\\xE2\\x80\\xAEtxt.exe \\xE2\\x81\\xA6"},  // override, isolate
      {"\u00AD\u061C\u200E\u2060\u2028", "\\xC2\\xAD\\xD8\\x9C\\xE2\\x80\\x8E\\xE2\\x81\\xA0\\xE2\\x80\\xA8"},
      {"c1\u0085 a\tb\nc", "c1\\xC2\\x85 a\\tb\\nc"},
      {"caf\u00E9 e\u0301 \u65E5 \U0001F600 \u00A0", "caf\u00E9 e\u0301 \u65E5 \U0001F600 \u00A0"},
  };
  report.verbosity = 2;
  for (const auto& row : rows)
    EXPECT_EQ(captured([&] { report_event(&report, SyncEvent::Added, row[0]); }), std::string("+ ") + row[1] + "\n");
}

TEST_F(ReportTest, CodesOutsideTheTablePrintNothing) {
  report.abort_on_error = true;
  const std::string out = captured([&] {
    report_event(&report, static_cast<SyncEvent>(0), "x");
    report_event(&report, static_cast<SyncEvent>(static_cast<int32_t>(SyncEvent::XattrsNotKept) + 1), "x");
    report_event(&report, static_cast<SyncEvent>(-1), "x");
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(report.pending_marks, 0);
  EXPECT_FALSE(signal_is_raised(cancel_context(kAbortSignal)));
}

TEST_F(ReportTest, FiftyMarksToALineOfAnyKind) {
  const std::string out = captured([&] {
    for (int i = 0; i < 120; ++i) report_event(&report, i == 60 ? SyncEvent::Differs : SyncEvent::Identical, "x");
    report_end_marks(&report);
    report_end_marks(&report);  // nothing pending: nothing more
  });
  EXPECT_EQ(out, std::string(50, '=') + "\n" + std::string(10, '=') + "?" + std::string(39, '=') + "\n" +
                     std::string(20, '=') + "\n");
}

TEST_F(ReportTest, FullLineAfterMarksStartsOnFreshLine) {
  const std::string out = captured([&] {
    for (int i = 0; i < 3; ++i) report_event(&report, SyncEvent::Identical, "x");
    report_event(&report, SyncEvent::Added, "new");
    report_event(&report, SyncEvent::Identical, "y");
    report_event(&report, SyncEvent::OpenFailed, "z");
  });
  EXPECT_EQ(out, "===\n+ new\n=\nWARNING: unable to open \"z\"\n");
  EXPECT_EQ(report.pending_marks, 0);
}

TEST_F(ReportTest, AbortOnErrorRaisesBeforeAnyPrinting) {
  Signal* abort = cancel_context(kAbortSignal);
  report.abort_on_error = true;
  report.verbosity = -1;
  const std::string out = captured([&] {
    report_event(&report, SyncEvent::Added, "a");
    report_event(&report, SyncEvent::Differs, "b");
    report_event(&report, SyncEvent::CopyNotEncrypted, "b");
    report_event(&report, SyncEvent::StreamsNotCopied, "b");
  });
  EXPECT_FALSE(signal_is_raised(abort));  // only failures request the abort
  EXPECT_EQ(captured([&] { report_event(&report, SyncEvent::ReadFailed, "c"); }), "");
  EXPECT_TRUE(signal_is_raised(abort));
  EXPECT_EQ(out, "");
  // The warning is kept for the closing line.
  ASSERT_NE(report.stop_warning, nullptr);
  EXPECT_STREQ(report.stop_warning, "unable to read \"c\"");
  report_clear_stop(&report);
}

// Raises the abort at the nth open of a name ending in g_abort_at.
const char* g_abort_at = nullptr;
int g_abort_countdown = 0;
NTSTATUS open_then_abort(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                         PLARGE_INTEGER size, ULONG file_attributes, ULONG share, ULONG disposition, ULONG options,
                         PVOID ea, ULONG ea_length) {
  std::string name;
  for (USHORT i = 0; i < attributes->ObjectName->Length / 2; ++i)
    name += static_cast<char>(attributes->ObjectName->Buffer[i]);
  if (name.find(g_abort_at) != std::string::npos && --g_abort_countdown == 0)
    signal_raise(cancel_context(kAbortSignal));
  return sys::g_calls.NtCreateFile.fallback(handle, access, attributes, io, size, file_attributes, share,
                                           disposition, options, ea, ea_length);
}

// An abort while the arguments are read or the roots opened ends the run as
// the abort, never as a missing argument or an unusable root.
TEST_F(ReportTest, AbortDuringStartUpIsTheAbort) {
  const struct {
    const char* name;
    int nth;
  } rows[] = {{"abort_src", 1}, {"abort_src", 2}, {"abort_dst", 1}};  // source probed, source and target opened
  const sys::CallReplacement<sys::SysCall::NtCreateFile> watch(open_then_abort);
  for (const auto& row : rows) {
    testos::TempDir dir;
    ASSERT_TRUE(testos::make_dir(dir.join("abort_src")) && testos::make_dir(dir.join("abort_dst")));
    std::string source = dir.join("abort_src"), target = dir.join("abort_dst");
    char* argv[] = {const_cast<char*>("tarn"), source.data(), target.data()};
    g_abort_at = row.name;
    g_abort_countdown = row.nth;
    int32_t status = -1;
    const std::string out = captured([&] { status = run_command(3, argv); });
    signal_reset(cancel_context(kAbortSignal));
    EXPECT_EQ(status, 2) << row.name << row.nth;
    EXPECT_EQ(out.substr(std::min(out.find("ERROR:"), out.size())), "ERROR: Aborted due to user request\n");
  }
}

}  // namespace
