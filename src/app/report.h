// Console rendering of the engine's events: full lines or progress marks by
// verbosity, and the abort request under -e.
#pragma once

#include <cstdint>

#include "sync/engine.h"

// Process-wide reporting settings, written by the command line before the
// engine starts.
struct ReportSettings {
  int32_t verbosity = 2;        // -q subtracts 1, -v adds 1, no bounds
  bool abort_on_error = false;  // -e
  int32_t pending_marks = 0;    // marks of the current line (written or gathered)
  char* stop_warning = nullptr; // under -e: the warning that raised the abort (heap)
};
extern ReportSettings g_report;

constexpr int32_t kMarksPerLine = 50;

// The engine's callback for the console (user data is ignored).
void report_event(void* user, SyncEvent event, const char* relative_path);

// Forgets the warning that stopped a run under -e.
void report_clear_stop();

// Ends an open line of marks, so that the next line starts at the margin.
void report_end_marks();
