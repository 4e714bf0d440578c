// Signals: a raised flag with callback subscriptions, a wait for one, and
// the process signal table of 22 process-wide signals addressed by number.
//
//   0   kNeverSignal: constant, never raised (looked up to set the table up)
//   1   kAbortSignal: raised on user or system request, never reset
//   3   kTableReadySignal: raised as soon as the table exists
//   5,6 kTeardownSignal, kTeardownSignal2: raised first at process exit
//   7   kExitSignal: raised at process exit, after them
//   21  kAlwaysSignal: constant, always raised; every number above 20 gives it
//
// Whoever must stop polls signal_is_raised(cancel_context(kAbortSignal)) at
// its own safe points; nothing is interrupted.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/threads.h"

// Signal: a raised flag and a list of subscriptions whose callbacks run, on
// the raising thread and outside the signal's lock, when it is raised or
// reset.
struct Subscription;
using SubscriptionCallback = void (*)(Subscription* self);

struct Subscription {
  std::atomic<SubscriptionCallback> callback{nullptr};
  Subscription** backlink = nullptr;  // link that points here; null when detached
  Subscription* next = nullptr;
};

struct Signal;
struct SignalOps {
  void (*raise)(Signal* s);
  void (*reset)(Signal* s);
  bool (*subscribe)(Signal* s, Subscription* sub, SubscriptionCallback callback);
  bool (*unsubscribe)(Signal* s, Subscription* sub);
  bool (*is_raised)(Signal* s);
};

struct Signal {
  std::atomic<const SignalOps*> ops{nullptr};
  std::atomic<uint8_t> raised{0};
  Lock lock;
  Subscription* head = nullptr;
};

extern const SignalOps signal_ops_normal;
extern const SignalOps signal_ops_constant;

void signal_init(Signal* s);                         // clear, normal table
void signal_init_constant(Signal* s, bool raised);  // fixed state

// The operations through the signal's table; a signal without a table is
// given the normal one first.
const SignalOps* signal_ops(Signal* s);
inline void signal_raise(Signal* s) { signal_ops(s)->raise(s); }
inline void signal_reset(Signal* s) { signal_ops(s)->reset(s); }
inline bool signal_subscribe(Signal* s, Subscription* sub, SubscriptionCallback cb) {
  return signal_ops(s)->subscribe(s, sub, cb);
}
inline bool signal_unsubscribe(Signal* s, Subscription* sub) { return signal_ops(s)->unsubscribe(s, sub); }
inline bool signal_is_raised(Signal* s) { return signal_ops(s)->is_raised(s); }

// Waits until `s` fires (is raised or reset), `cancel` (optional) is raised,
// or the time-out passes. True when `s` fired.
bool signal_wait(Signal* s, Signal* cancel, uint32_t timeout_ms);

// ---- the process signal table

using CancelContext = Signal;

constexpr uint32_t kCancelSignalCount = 22;
constexpr uint32_t kNeverSignal = 0;
constexpr uint32_t kAbortSignal = 1;
constexpr uint32_t kTableReadySignal = 3;
constexpr uint32_t kTeardownSignal = 5;
constexpr uint32_t kTeardownSignal2 = 6;
constexpr uint32_t kExitSignal = 7;
constexpr uint32_t kAlwaysSignal = kCancelSignalCount - 1;

// The table's record for min(number, kAlwaysSignal); sets the table up on
// first use.
CancelContext* cancel_context(uint32_t number);

// True once the abort request has been made.
inline bool abort_requested() { return signal_is_raised(cancel_context(kAbortSignal)); }
