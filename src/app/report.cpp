// Console rendering of the engine's events.
#include "app/report.h"

#include <cstdlib>

#include "app/cancel.h"
#include "base/memory.h"
#include "base/text_format.h"
#include "base/threads.h"
#include "fs/console.h"
#include "fs/path.h"

ReportSettings g_report;

namespace {

struct EventRow {
  int32_t level;       // full line above this verbosity, mark at it
  const char* mark;    // null: the event has no mark
  const char* format;  // message with the relative path
};

// Indexed by event code; row 0 is unused.
constexpr EventRow kEventTable[] = {
    {0, nullptr, nullptr},
    {2, "=", "= %s"},
    {1, "-", "- %s"},
    {1, "+", "+ %s"},
    {2, "?", "? %s"},
    {0, nullptr, "WARNING: unable to delete \"%s\""},
    {0, nullptr, "WARNING: unable to create \"%s\""},
    {0, nullptr, "WARNING: unable to open \"%s\""},
    {0, nullptr, "WARNING: unable to read \"%s\""},
    {0, nullptr, "WARNING: unable to write \"%s\""},
    {0, nullptr, "WARNING: unable to read symlink \"%s\""},
    {0, nullptr, "WARNING: unable to create symlink \"%s\""},
    {0, nullptr, "WARNING: \"%s\" is encrypted; the copy is not"},
    {0, nullptr, "WARNING: named streams of \"%s\" were not copied"},
};
constexpr int32_t kEventCount = sizeof(kEventTable) / sizeof(kEventTable[0]) - 1;
constexpr size_t kWarningLeadLength = 9;  // "WARNING: " of every failure event
constexpr int32_t kFirstFailureEvent = static_cast<int32_t>(SyncEvent::DeleteFailed);
constexpr int32_t kLastFailureEvent = static_cast<int32_t>(SyncEvent::LinkCreateFailed);

// Marks of the current line not yet written. Output that is not a console
// gets its marks a whole line at a time (one write instead of fifty: the
// same bytes); a console shows each mark at once, as progress.
struct MarkLine {
  bool gathered = false;  // decided at the line's first mark
  int32_t length = 0;
  char text[kMarksPerLine + 2];
};
MarkLine g_marks;

bool output_is_console() {
  DWORD mode;
  return sys::GetConsoleMode(sys::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

// The gathered marks of the line, emptied: "" when none.
const char* take_marks() {
  g_marks.text[g_marks.length] = 0;
  g_marks.length = 0;
  return g_marks.text;
}

void add_mark(const char* mark, bool line_start, bool line_end) {
  if (line_start) g_marks.gathered = !output_is_console();
  if (!g_marks.gathered) {
    print(line_end ? "%s\n" : "%s", mark);
    return;
  }
  g_marks.text[g_marks.length++] = mark[0];
  if (line_end) print("%s\n", take_marks());
}

}  // namespace

void report_event(void*, SyncEvent event, const char* relative_path) {
  const int32_t code = static_cast<int32_t>(event);
  if (code < 1 || code > kEventCount) return;
  const EventRow& row = kEventTable[code];

  ScopedPool scratch;
  const char* message = nullptr;
  // The abort request comes first, so -e works at any verbosity. The first
  // warning that makes it is kept for the closing line.
  // Notices past the failures tell of a copy that stands: no abort.
  if (code >= kFirstFailureEvent && code <= kLastFailureEvent && g_report.abort_on_error) {
    Signal* abort = cancel_context(kAbortSignal);
    if (!signal_is_raised(abort) && g_report.stop_warning == nullptr) {
      message = pool_format(scratch.alloc(), row.format, path_display(scratch.get(), relative_path));
      // Kept without its "WARNING: " lead.
      if (message) g_report.stop_warning = pool_strdup(&heap_allocator, message + kWarningLeadLength);
    }
    signal_raise(abort);
  }

  if (g_report.verbosity > row.level) {
    if (message == nullptr)
      message = pool_format(scratch.alloc(), row.format, path_display(scratch.get(), relative_path));
    print("%s%s%s\n", take_marks(), g_report.pending_marks != 0 ? "\n" : "", message ? message : "");
    g_report.pending_marks = 0;
  } else if (row.mark != nullptr && g_report.verbosity == row.level) {
    const bool line_start = g_report.pending_marks == 0;
    const bool line_end = ++g_report.pending_marks >= kMarksPerLine;
    add_mark(row.mark, line_start, line_end);
    if (line_end) g_report.pending_marks = 0;
  }
}

void report_clear_stop() {
  std::free(g_report.stop_warning);
  g_report.stop_warning = nullptr;
}

void report_end_marks() {
  if (g_report.pending_marks != 0) {
    print("%s\n", take_marks());
    g_report.pending_marks = 0;
  }
}
