// Console rendering of the engine's events.
#include "app/report.h"

#include <cstdlib>

#include "app/cancel.h"
#include "base/memory.h"
#include "base/text_format.h"
#include "base/threads.h"
#include "fs/console.h"
#include "fs/path.h"

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

bool output_is_console() {
  DWORD mode;
  return sys::GetConsoleMode(sys::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

// The gathered marks of the line, emptied: "" when none.
const char* take_marks(MarkLine* marks) {
  marks->text[marks->length] = 0;
  marks->length = 0;
  return marks->text;
}

void add_mark(MarkLine* marks, const char* mark, bool line_start, bool line_end) {
  if (line_start) marks->gathered = !output_is_console();
  if (!marks->gathered) {
    print(line_end ? "%s\n" : "%s", mark);
    return;
  }
  marks->text[marks->length++] = mark[0];
  if (line_end) print("%s\n", take_marks(marks));
}

}  // namespace

void report_event(void* user, SyncEvent event, const char* relative_path) {
  auto* report = static_cast<ReportSettings*>(user);
  const int32_t code = static_cast<int32_t>(event);
  if (report == nullptr || code < 1 || code > kEventCount) return;
  const EventRow& row = kEventTable[code];

  ScopedPool scratch;
  const char* message = nullptr;
  // The abort request comes first, so -e works at any verbosity. The first
  // warning that makes it is kept for the closing line.
  // Notices past the failures tell of a copy that stands: no abort.
  if (code >= kFirstFailureEvent && code <= kLastFailureEvent && report->abort_on_error) {
    Signal* abort = cancel_context(kAbortSignal);
    if (!signal_is_raised(abort) && report->stop_warning == nullptr) {
      message = pool_format(scratch.alloc(), row.format, path_display(scratch.get(), relative_path));
      // Kept without its "WARNING: " lead.
      if (message) report->stop_warning = pool_strdup(&heap_allocator, message + kWarningLeadLength);
    }
    signal_raise(abort);
  }

  if (report->verbosity > row.level) {
    if (message == nullptr)
      message = pool_format(scratch.alloc(), row.format, path_display(scratch.get(), relative_path));
    print("%s%s%s\n", take_marks(&report->marks), report->pending_marks != 0 ? "\n" : "", message ? message : "");
    report->pending_marks = 0;
  } else if (row.mark != nullptr && report->verbosity == row.level) {
    const bool line_start = report->pending_marks == 0;
    const bool line_end = ++report->pending_marks >= kMarksPerLine;
    add_mark(&report->marks, row.mark, line_start, line_end);
    if (line_end) report->pending_marks = 0;
  }
}

void report_clear_stop(ReportSettings* report) {
  std::free(report->stop_warning);
  report->stop_warning = nullptr;
}

void report_end_marks(ReportSettings* report) {
  if (report->pending_marks != 0) {
    print("%s\n", take_marks(&report->marks));
    report->pending_marks = 0;
  }
}
