// The console control handler that turns Ctrl+C, Ctrl+Break and the
// console's close, log-off and shut-down events into the abort request of
// the process signal table (base/signals.h).
#pragma once

#include <cstdint>

#include "base/signals.h"

// Once per process: installs the console control handler. The exit clean-up
// that removes it is registered by the signal window's set-up
// (signal_window.h), which calls this.
void console_handler_install();

// Removes the console control handler if it was installed (exit clean-up).
void console_handler_remove();

// The console control handler's decision for one event: raises the abort
// request and answers true for events 0, 1, 2, 5 and 6; false for others.
// For event 2 (console closed) the installed handler then sleeps without
// end; this function does not.
bool console_control_event(uint32_t event);
