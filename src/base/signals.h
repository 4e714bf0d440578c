// The process signal table: 22 process-wide signals addressed by number.
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

#include "base/threads.h"

using CancelContext = Signal;

constexpr uint32_t kCancelSignalCount = 22;
constexpr uint32_t kAbortSignal = 1;
constexpr uint32_t kExitSignal = 7;

// The table's record for min(number, 21); sets the table up on first use.
CancelContext* cancel_context(uint32_t number);

// True once the abort request (number 1) has been made.
inline bool abort_requested() { return signal_is_raised(cancel_context(kAbortSignal)); }
