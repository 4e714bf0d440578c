#include <gtest/gtest.h>

#include <string>

#include "app/cancel.h"
#include "app/report.h"
#include "app/run.h"
#include "base/memory.h"
#include "fs/path.h"
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
  void SetUp() override { g_report = ReportSettings{}; }
  void TearDown() override {
    g_report = ReportSettings{};
    signal_reset(cancel_context(kAbortSignal));
  }
};

std::string event_output(int32_t verbosity, SyncEvent e) {
  g_report = ReportSettings{};
  g_report.verbosity = verbosity;
  return captured([&] {
    report_event(nullptr, e, "dir\\f.txt");
    report_end_marks();
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
  const struct {
    const char* name;
    const char* shown;
  } rows[] = {
      {"a\u200B", "a\\xE2\\x80\\x8B"},                 // zero-width space
      {"\uFEFFa", "\\xEF\\xBB\\xBFa"},                 // byte-order mark
      {"x\u202Etxt.exe", "x\\xE2\\x80\\xAEtxt.exe"},   // right-to-left override
      {"\u200E\u200F\u202A\u202C", "\\xE2\\x80\\x8E\\xE2\\x80\\x8F\\xE2\\x80\\xAA\\xE2\\x80\\xAC"},
      {"\u2066\u2069\u2060\u2064", "\\xE2\\x81\\xA6\\xE2\\x81\\xA9\\xE2\\x81\\xA0\\xE2\\x81\\xA4"},
      {"so\u00ADft\u061C", "so\\xC2\\xADft\\xD8\\x9C"},  // soft hyphen, Arabic letter mark
      {"\u2028\u2029", "\\xE2\\x80\\xA8\\xE2\\x80\\xA9"}, // line breaks of their own
      {"c1\u0085", "c1\\xC2\\x85"},                    // a C1 control
      {"a\tb\nc", "a\\tb\\nc"},
      {"caf\u00E9 e\u0301 \u65E5\u672C \U0001F600 \u00A0", "caf\u00E9 e\u0301 \u65E5\u672C \U0001F600 \u00A0"},
  };
  for (const auto& row : rows) {
    ScopedPool pool;
    EXPECT_STREQ(path_display(pool.get(), row.name), row.shown);
    g_report.verbosity = 2;
    EXPECT_EQ(captured([&] { report_event(nullptr, SyncEvent::Added, row.name); }),
              std::string("+ ") + row.shown + "\n");
  }
}

TEST_F(ReportTest, CodesOutsideTheTablePrintNothing) {
  g_report.abort_on_error = true;
  const std::string out = captured([] {
    report_event(nullptr, static_cast<SyncEvent>(0), "x");
    report_event(nullptr, static_cast<SyncEvent>(12), "x");
    report_event(nullptr, static_cast<SyncEvent>(-1), "x");
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(g_report.pending_marks, 0);
  EXPECT_FALSE(signal_is_raised(cancel_context(kAbortSignal)));
}

TEST_F(ReportTest, FiftyMarksToALineOfAnyKind) {
  const std::string out = captured([] {
    for (int i = 0; i < 120; ++i) report_event(nullptr, i == 60 ? SyncEvent::Differs : SyncEvent::Identical, "x");
    report_end_marks();
    report_end_marks();  // nothing pending: nothing more
  });
  EXPECT_EQ(out, std::string(50, '=') + "\n" + std::string(10, '=') + "?" + std::string(39, '=') + "\n" +
                     std::string(20, '=') + "\n");
}

TEST_F(ReportTest, FullLineAfterMarksStartsOnFreshLine) {
  const std::string out = captured([] {
    for (int i = 0; i < 3; ++i) report_event(nullptr, SyncEvent::Identical, "x");
    report_event(nullptr, SyncEvent::Added, "new");
    report_event(nullptr, SyncEvent::Identical, "y");
    report_event(nullptr, SyncEvent::OpenFailed, "z");
  });
  EXPECT_EQ(out, "===\n+ new\n=\nWARNING: unable to open \"z\"\n");
  EXPECT_EQ(g_report.pending_marks, 0);
}

TEST_F(ReportTest, AbortOnErrorRaisesBeforeAnyPrinting) {
  Signal* abort = cancel_context(kAbortSignal);
  g_report.abort_on_error = true;
  g_report.verbosity = -1;
  const std::string out = captured([] {
    report_event(nullptr, SyncEvent::Added, "a");
    report_event(nullptr, SyncEvent::Differs, "b");
  });
  EXPECT_FALSE(signal_is_raised(abort));  // only failures request the abort
  EXPECT_EQ(captured([] { report_event(nullptr, SyncEvent::ReadFailed, "c"); }), "");
  EXPECT_TRUE(signal_is_raised(abort));
  EXPECT_EQ(out, "");
  // The warning is kept for the closing line.
  ASSERT_NE(g_report.stop_warning, nullptr);
  EXPECT_STREQ(g_report.stop_warning, "unable to read \"c\"");
  report_clear_stop();
}

// Raises the abort at the nth open of a name that ends in g_abort_at, then
// opens as usual.
const char* g_abort_at = nullptr;
int g_abort_countdown = 0;
NTSTATUS open_then_abort(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                        PIO_STATUS_BLOCK io, PLARGE_INTEGER allocation_size, ULONG file_attributes,
                        ULONG share, ULONG disposition, ULONG options, PVOID ea_buffer, ULONG ea_length) {
  std::string name;
  if (attributes && attributes->ObjectName)
    for (USHORT i = 0; i < attributes->ObjectName->Length / sizeof(WCHAR); ++i)
      name += static_cast<char>(attributes->ObjectName->Buffer[i]);
  while (!name.empty() && name.back() == '\\') name.pop_back();
  const std::string marker = g_abort_at;
  if (name.size() >= marker.size() && name.compare(name.size() - marker.size(), marker.size(), marker) == 0 &&
      --g_abort_countdown == 0)
    signal_raise(cancel_context(kAbortSignal));
  return sys::CallSlot<sys::SysCall::NtCreateFile>::entry().fallback(
      handle, access, attributes, io, allocation_size, file_attributes, share, disposition, options, ea_buffer,
      ea_length);
}

// An abort while the arguments are read or the roots are opened ends the run
// as the abort, never as a missing argument or an unusable root.
TEST_F(ReportTest, AbortDuringStartUpIsTheAbort) {
  struct Row {
    const char* name;
    int nth;
    bool target_exists;
  };
  const Row rows[] = {
      {"abort_src", 1, true},   // the source argument is probed
      {"abort_src", 2, true},   // the source root is opened
      {"abort_dst", 1, true},   // the target root is opened
      {"abort_dst", 1, false},  // the target root is created
  };
  const sys::CallReplacement<sys::SysCall::NtCreateFile> watch(open_then_abort);
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.nth) + " " + std::to_string(row.target_exists));
    testos::TempDir dir;
    ASSERT_TRUE(testos::make_dir(dir.join("abort_src")));
    ASSERT_TRUE(testos::write_file(dir.join("abort_src/f.txt"), "f"));
    if (row.target_exists) {
      ASSERT_TRUE(testos::make_dir(dir.join("abort_dst")));
    }
    std::string source = dir.join("abort_src"), target = dir.join("abort_dst");
    char* argv[] = {const_cast<char*>("tarn"), source.data(), target.data()};
    g_abort_at = row.name;
    g_abort_countdown = row.nth;
    int32_t status = -1;
    const std::string out = captured([&] { status = run_command(3, argv); });
    EXPECT_TRUE(signal_is_raised(cancel_context(kAbortSignal)));
    signal_reset(cancel_context(kAbortSignal));
    g_report = ReportSettings{};
    EXPECT_EQ(status, 2);
    const size_t error = out.find("ERROR:");
    EXPECT_EQ(error == std::string::npos ? out : out.substr(error), "ERROR: Aborted due to user request\n");
  }
}

TEST(ErrorToStatus, TableOrderDecides) {
  struct Pair {
    Error code;
    int32_t status;
  };
  // One row per code, with the status of its first pair; 5 and 123 appear
  // twice in the table and the first pair wins.
  const Pair pairs[] = {
      {0, 0},     {109, 1},   {1223, 2},  {995, 2},   {1, 3},     {1305, 3},  {87, 4},    {6, 4},
      {111, 4},   {5, 5},     {0xC00000BA, 5}, {14, 6}, {31, 7},    {668, 7},   {1168, 8},  {126, 8},
      {2, 8},     {3, 9},     {183, 10},  {80, 10},   {39, 11},   {112, 11},  {123, 12},  {1921, 12},
      {145, 13},  {38, 14},   {303, 16},  {11, 17},   {193, 17},  {121, 18},  {64, 18},   {267, 19},
      {18, 20},   {737, 21},  {1237, 22}, {10035, 22}, {23, 23},  {17, 24},   {129, 3},   {130, 3},
      {135, 3},   {102, 3},
  };
  for (const Pair& p : pairs) EXPECT_EQ(error_to_status(p.code), p.status) << "code " << p.code;
  for (Error unlisted : {4u, 8u, 13u, 50u, 1117u, 0xFFFFFFFFu}) EXPECT_EQ(error_to_status(unlisted), 7);
}

}  // namespace
