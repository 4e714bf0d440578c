// The process signal table: 22 process-wide signals addressed by number, and
// the console control handler that turns Ctrl+C, Ctrl+Break and the
// console's close, log-off and shut-down events into the abort request.
//
//   0   constant, never raised (looked up to force the table's set-up)
//   1   abort request: raised on user or system request, never reset
//   3   raised as soon as the table exists
//   5,6 raised at exit by the synchronization table's teardown
//   7   raised when the process exits
//   21  constant, always raised; every number above 20 gives it
//
// Whoever must stop polls signal_is_raised(cancel_context(kAbortSignal)) at
// its own safe points; nothing is interrupted.
#pragma once

#include <cstdint>

#include "base/sync.h"

using CancelContext = Signal;

constexpr uint32_t kCancelSignalCount = 22;
constexpr uint32_t kAbortSignal = 1;
constexpr uint32_t kExitSignal = 7;

// The table's record for min(number, 21); sets the table up on first use.
CancelContext* cancel_context(uint32_t number);

// True once the abort request (number 1) has been made.
inline bool abort_requested() { return signal_is_raised(cancel_context(kAbortSignal)); }

// Once per process: registers the process clean-up (see signal_window.h) to
// run at exit.
void exit_cleanup_register();

// Once per process: installs the console control handler (registers the
// clean-up first).
void console_handler_install();

// Removes the console control handler if it was installed (exit clean-up).
void console_handler_remove();

// The console control handler's decision for one event: raises the abort
// request and answers true for events 0, 1, 2, 5 and 6; false for others.
// For event 2 (console closed) the installed handler then sleeps without
// end; this function does not.
bool console_control_event(uint32_t event);
