// Console rendering of the engine's events.
#include "app/report.h"

#include <cstdlib>
#include <cstring>

#include "app/cancel.h"
#include "base/memory.h"
#include "base/text_format.h"
#include "base/threads.h"
#include "fs/console.h"
#include "fs/path.h"
#include "platform/conventions.h"

namespace {

// What an event is for the run's outcome.
enum class Kind {
  Action,   // a decision carried out or reported
  Failure,  // a warning: stops the run under -e, and the run has failed
  Skip,     // a warning by design: stops the run under -e, not a failure
  Notice,   // a copy that stands, with less than the source holds
};

struct EventRow {
  int32_t level;       // full line above this verbosity, mark at it
  const char* mark;    // null: the event has no mark
  const char* format;  // message with the relative path
  Kind kind;
};

// Indexed by event code; row 0 is unused.
constexpr EventRow kEventTable[] = {
    {0, nullptr, nullptr, Kind::Action},
    {2, "=", "= %s", Kind::Action},
    {1, "-", "- %s", Kind::Action},
    {1, "+", "+ %s", Kind::Action},
    {2, "?", "? %s", Kind::Action},
    {0, nullptr, "WARNING: unable to delete \"%s\"", Kind::Failure},
    {0, nullptr, "WARNING: unable to create \"%s\"", Kind::Failure},
    {0, nullptr, "WARNING: unable to open \"%s\"", Kind::Failure},
    {0, nullptr, "WARNING: unable to read \"%s\"", Kind::Failure},
    {0, nullptr, "WARNING: unable to write \"%s\"", Kind::Failure},
    {0, nullptr, "WARNING: unable to read symlink \"%s\"", Kind::Failure},
    {0, nullptr, "WARNING: unable to create symlink \"%s\"", Kind::Failure},
    {0, nullptr, "WARNING: \"%s\" is encrypted; the copy is not", Kind::Notice},
    {0, nullptr, "WARNING: named streams of \"%s\" were not copied", Kind::Notice},
    {0, nullptr, "WARNING: deletions held back in \"%s\"", Kind::Failure},
    {0, nullptr, "WARNING: unable to open \"%s\"", Kind::Skip},
    {0, nullptr, "WARNING: write times are not kept in \"%s\"; its files will be copied again", Kind::Notice},
    {0, nullptr, "WARNING: extended attributes are not kept in the target (first \"%s\"); copies go without them",
     Kind::Notice},
};
constexpr int32_t kEventCount = sizeof(kEventTable) / sizeof(kEventTable[0]) - 1;
static_assert(kEventCount == static_cast<int32_t>(SyncEvent::XattrsNotKept));
constexpr size_t kWarningLeadLength = 9;  // "WARNING: " of every warning event

bool output_is_console() { return console_is(sys::GetStdHandle(STD_OUTPUT_HANDLE)); }

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
    marks->shown[marks->shown_length++] = mark[0];
    if (line_end) marks->shown_length = 0;
    marks->shown[marks->shown_length] = 0;
    return;
  }
  marks->text[marks->length++] = mark[0];
  if (line_end) print("%s\n", take_marks(marks));
}

// Takes the progress line off the screen, the cursor back after the marks
// of the line.
void progress_erase(ReportSettings* report) {
  ProgressLine& p = report->progress;
  if (p.width == 0) return;
  char blank[128];
  const uint32_t n = p.width < sizeof blank ? p.width : sizeof blank - 1;
  std::memset(blank, ' ', n);
  blank[n] = 0;
  print("\r%s%s\r%s", report->marks.shown, blank, report->marks.shown);
  p.width = 0;
}

// Whether `path` is `folder` or lies beneath it.
bool within(const char* path, const char* folder) {
  const size_t n = str_len(folder);
  return std::strncmp(path, folder, n) == 0 && (path[n] == 0 || is_path_separator(path[n]));
}

// Counts one event for the summary. A removal counts once the next event
// shows whether the same path was added again (a replacement). A folder is
// reported identical (or kept) twice, the second time right after its
// contents (or right after the first, when it is empty): that one is not
// counted.
void tally_event(ReportTally* t, SyncEvent event, const char* path) {
  const bool after_removal = t->last == SyncEvent::Removed && t->last_path != nullptr;
  bool replaced = false;
  if (after_removal) {
    replaced = event == SyncEvent::Added && std::strcmp(path, t->last_path) == 0;
    ++(replaced ? t->replaced : t->removed);
  }
  switch (event) {
    case SyncEvent::Added: t->copied += replaced ? 0 : 1; break;
    case SyncEvent::Differs:
      if (t->last_path == nullptr || !within(t->last_path, path)) ++t->kept;
      break;
    case SyncEvent::Identical:
      if (t->last_path == nullptr || !within(t->last_path, path)) ++t->identical;
      break;
    default: break;
  }
  const size_t need = str_len(path) + 1;
  if (need > t->last_capacity) {
    std::free(t->last_path);
    t->last_path = static_cast<char*>(std::malloc(need));
    t->last_capacity = t->last_path ? need : 0;
  }
  if (t->last_path) std::memcpy(t->last_path, path, need);
  t->last = event;
}

}  // namespace

void report_progress(void* user, const char* relative_path, uint64_t done, uint64_t total) {
  auto* report = static_cast<ReportSettings*>(user);
  if (report == nullptr || report->verbosity < 1 || total == 0) return;
  ProgressLine& p = report->progress;
  const uint64_t now = tick_ms();
  if (done == 0) p.started = now;
  if (done >= total) {
    progress_erase(report);
    return;
  }
  // A few updates a second, the first at once; a console only.
  if (done != 0 && now - p.updated < 250) return;
  p.updated = now;
  if (!output_is_console()) return;
  ScopedPool scratch;
  // The name's end, where it is long: the line stays within a narrow console.
  const char* name = path_display(scratch.get(), relative_path);
  if (name == nullptr) return;
  const size_t length = str_len(name);
  const char* lead = length > 32 ? "..." : "";
  if (length > 32) name += length - 29;
  const uint64_t elapsed = now - p.started;
  const uint64_t rate = elapsed ? done / elapsed * 1000 + done % elapsed * 1000 / elapsed : 0;  // bytes a second
  const uint64_t left = rate ? (total - done) / rate : 0;
  constexpr uint64_t kMiB = 1 << 20;
  const char* text = pool_format(scratch.alloc(), " %s%s %llu%% %llu/%llu MiB %llu MiB/s %llu:%02llu left", lead,
                                 name, done * 100 / total, done / kMiB, total / kMiB, rate / kMiB, left / 60,
                                 left % 60);
  if (text == nullptr) return;
  const uint32_t width = static_cast<uint32_t>(str_len(text));
  progress_erase(report);
  print("\r%s%s", report->marks.shown, text);
  p.width = width;
}

void report_summary(ReportSettings* report, uint64_t bytes, uint64_t elapsed_ms, bool test_run) {
  ReportTally& t = report->tally;
  if (t.last == SyncEvent::Removed) ++t.removed;
  const uint64_t rate = elapsed_ms ? bytes / elapsed_ms * 1000 + bytes % elapsed_ms * 1000 / elapsed_ms : bytes;
  print("summary: copied=%llu replaced=%llu removed=%llu kept=%llu identical=%llu failed=%llu bytes=%llu "
        "seconds=%llu.%03llu rate=%llu%s\n",
        t.copied, t.replaced, t.removed, t.kept, t.identical, report->failures, bytes, elapsed_ms / 1000,
        elapsed_ms % 1000, rate, test_run ? " (test run)" : "");
  std::free(t.last_path);
  t = ReportTally{};
}

void report_event(void* user, SyncEvent event, const char* relative_path) {
  auto* report = static_cast<ReportSettings*>(user);
  const int32_t code = static_cast<int32_t>(event);
  if (report == nullptr || code < 1 || code > kEventCount) return;
  const uint64_t failed_before = print_failures();
  progress_erase(report);
  const EventRow& row = kEventTable[code];

  ScopedPool scratch;
  const char* message = nullptr;
  if (row.kind == Kind::Failure) ++report->failures;
  if (report->summary) tally_event(&report->tally, event, relative_path ? relative_path : "");
  // The abort request comes first, so -e works at any verbosity. The first
  // warning that makes it is kept for the closing line. Notices tell of a
  // copy that stands: no abort.
  if ((row.kind == Kind::Failure || row.kind == Kind::Skip) && report->abort_on_error) {
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
    report->marks.shown_length = 0;
    report->marks.shown[0] = 0;
    report->pending_marks = 0;
  } else if (row.mark != nullptr && report->verbosity == row.level) {
    const bool line_start = report->pending_marks == 0;
    const bool line_end = ++report->pending_marks >= kMarksPerLine;
    add_mark(&report->marks, row.mark, line_start, line_end);
    if (line_end) report->pending_marks = 0;
  }
  // Under -e a report that cannot be written stops the run as well.
  if (report->abort_on_error && print_failures() != failed_before) signal_raise(cancel_context(kAbortSignal));
}

void report_clear_stop(ReportSettings* report) {
  std::free(report->stop_warning);
  report->stop_warning = nullptr;
}

void report_end_marks(ReportSettings* report) {
  progress_erase(report);
  if (report->pending_marks != 0) {
    print("%s\n", take_marks(&report->marks));
    report->marks.shown_length = 0;
    report->marks.shown[0] = 0;
    report->pending_marks = 0;
  }
}
