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
};
constexpr int32_t kEventCount = sizeof(kEventTable) / sizeof(kEventTable[0]) - 1;
constexpr size_t kWarningLeadLength = 9;  // "WARNING: " of every failure event
constexpr int32_t kFirstFailureEvent = static_cast<int32_t>(SyncEvent::DeleteFailed);

}  // namespace

void report_event(void*, SyncEvent event, const char* relative_path) {
  const int32_t code = static_cast<int32_t>(event);
  if (code < 1 || code > kEventCount) return;
  const EventRow& row = kEventTable[code];

  ScopedPool scratch;
  const char* message = nullptr;
  // The abort request comes first, so -e works at any verbosity. The first
  // warning that makes it is kept for the closing line.
  if (code >= kFirstFailureEvent && g_report.abort_on_error) {
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
    print("%s%s\n", g_report.pending_marks != 0 ? "\n" : "", message ? message : "");
    g_report.pending_marks = 0;
  } else if (row.mark != nullptr && g_report.verbosity == row.level) {
    if (++g_report.pending_marks >= kMarksPerLine) {
      print("%s\n", row.mark);
      g_report.pending_marks = 0;
    } else {
      print("%s", row.mark);
    }
  }
}

void report_clear_stop() {
  std::free(g_report.stop_warning);
  g_report.stop_warning = nullptr;
}

void report_end_marks() {
  if (g_report.pending_marks != 0) {
    print("\n");
    g_report.pending_marks = 0;
  }
}
