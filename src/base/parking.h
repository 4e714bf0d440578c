// Parking a thread on a waiter record, woken through a pooled event; the
// process-wide table of buckets that pools the events.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/ticks.h"

struct ThreadBucket;
struct WaitNode;

// Waiter state: 0 idle, -1 parked, 1 woken before it parked. (-2: parked
// without an event, polling its state; see waiter_park.)
struct Waiter {
  std::atomic<int32_t> state{0};
  ThreadBucket* bucket = nullptr;
  // Read by a waking thread while the waiter parks on its event; atomic so
  // the hand-over is visible to race checkers, which do not see the event.
  std::atomic<WaitNode*> node{nullptr};
};

// Parks the calling thread on `w` until waiter_wake or the time-out.
// Returns true when woken, false on time-out (w is idle again). A wake that
// comes before the park makes it return true at once.
bool waiter_park(Waiter* w, uint32_t timeout_ms, bool alertable);
void waiter_wake(Waiter* w);
// Gives the waiter's event back to its bucket; call once the wait is over.
void waiter_done(Waiter* w);

// Whether threads can park on events (the table exists, made on first use).
// Without it a lock is only recorded, as when the process has one thread.
bool parking_available();

// The process-wide table of buckets and pooled events.
void thread_table_init();
void thread_table_exit();
bool thread_table_exists();
