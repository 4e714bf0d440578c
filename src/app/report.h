// Console rendering of the engine's events: full lines or progress marks by
// verbosity, and the abort request under -e.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sync/engine.h"

constexpr int32_t kMarksPerLine = 50;

// Marks of the current line not yet written. Output that is not a console
// gets its marks a whole line at a time (one write instead of fifty: the
// same bytes); a console shows each mark at once, as progress.
struct MarkLine {
  bool gathered = false;  // decided at the line's first mark
  int32_t length = 0;
  char text[kMarksPerLine + 2] = {};
};

// The counts of a run's closing summary (-s), from its events.
struct ReportTally {
  uint64_t copied = 0;     // new entries
  uint64_t replaced = 0;   // a removal and an addition of one path
  uint64_t removed = 0;
  uint64_t kept = 0;       // entries left differing (?); a folder once, as for identical
  uint64_t identical = 0;  // a folder once, though it is reported before and after its contents
  SyncEvent last = SyncEvent{};  // the previous event
  char* last_path = nullptr;     // and its path (heap)
  size_t last_capacity = 0;
};

// The reporting settings of one run, written by the command line before the
// engine starts, and what the report keeps between events.
struct ReportSettings {
  int32_t verbosity = 2;        // -q subtracts 1, -v adds 1, no bounds
  bool abort_on_error = false;  // -e
  int32_t pending_marks = 0;    // marks of the current line (written or gathered)
  char* stop_warning = nullptr; // under -e: the warning that raised the abort (heap)
  uint64_t failures = 0;        // warnings that count as failures of the run
  bool summary = false;         // -s: the events are counted
  ReportTally tally;
  MarkLine marks;
};

// The engine's callback for the console; `user` is the run's ReportSettings
// (null: the event is not reported).
void report_event(void* user, SyncEvent event, const char* relative_path);

// Forgets the warning that stopped a run under -e.
void report_clear_stop(ReportSettings* report);

// Ends an open line of marks, so that the next line starts at the margin.
void report_end_marks(ReportSettings* report);

// Prints the closing summary line (-s) and frees the tally's memory.
void report_summary(ReportSettings* report, uint64_t bytes, uint64_t elapsed_ms, bool test_run);
