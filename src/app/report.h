// Console rendering of the engine's events: full lines or progress marks by
// verbosity, and the abort request under -e.
#pragma once

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

// The reporting settings of one run, written by the command line before the
// engine starts, and what the report keeps between events.
struct ReportSettings {
  int32_t verbosity = 2;        // -q subtracts 1, -v adds 1, no bounds
  bool abort_on_error = false;  // -e
  int32_t pending_marks = 0;    // marks of the current line (written or gathered)
  char* stop_warning = nullptr; // under -e: the warning that raised the abort (heap)
  uint64_t failures = 0;        // warnings that count as failures of the run
  MarkLine marks;
};

// The engine's callback for the console; `user` is the run's ReportSettings
// (null: the event is not reported).
void report_event(void* user, SyncEvent event, const char* relative_path);

// Forgets the warning that stopped a run under -e.
void report_clear_stop(ReportSettings* report);

// Ends an open line of marks, so that the next line starts at the margin.
void report_end_marks(ReportSettings* report);
