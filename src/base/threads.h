// Thread primitives: parking on a waiter record woken through a pooled event,
// a first-come-first-served lock, a recursive lock, address-keyed locks for
// one-time set-ups, the Signal (a notification with callback subscriptions),
// a signal wait with cancellation and time-out, a 64-bit millisecond tick and
// an alertable sleep.
//
// A time-out of 2147483647 or more, taken as unsigned 32-bit (so -1 too),
// means no time-out.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t kNoTimeout = 0xFFFFFFFFu;
constexpr bool timeout_is_infinite(uint32_t ms) { return ms >= 2147483647u; }

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

// First-come-first-served lock. state: 0 free; the owner's thread id when
// held with no waiter; otherwise the address of the newest waiting frame,
// whose chain ends in the owner's id. Not recursive.
struct Lock {
  std::atomic<uint64_t> owner{0};
  std::atomic<uint64_t> state{0};
};

void lock_acquire(Lock* lock);
void lock_release(Lock* lock);

// Scoped holder of a Lock.
class LockGuard {
 public:
  explicit LockGuard(Lock* lock) : lock_(lock) { lock_acquire(lock_); }
  ~LockGuard() { lock_release(lock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock* lock_;
};

struct RecursiveLock {
  Lock lock;
  uint32_t count = 0;
};

void rlock_acquire(RecursiveLock* lock);
void rlock_release(RecursiveLock* lock);

class RecursiveLockGuard {
 public:
  explicit RecursiveLockGuard(RecursiveLock* lock) : lock_(lock) { rlock_acquire(lock_); }
  ~RecursiveLockGuard() { rlock_release(lock_); }
  RecursiveLockGuard(const RecursiveLockGuard&) = delete;
  RecursiveLockGuard& operator=(const RecursiveLockGuard&) = delete;

 private:
  RecursiveLock* lock_;
};

// One of 16 static locks chosen by the address's hash; used to guard
// one-time set-ups keyed by the address of their done-flag.
void addr_lock(const void* address);
void addr_unlock(const void* address);

class AddrLockGuard {
 public:
  explicit AddrLockGuard(const void* address) : address_(address) { addr_lock(address_); }
  ~AddrLockGuard() { addr_unlock(address_); }
  AddrLockGuard(const AddrLockGuard&) = delete;
  AddrLockGuard& operator=(const AddrLockGuard&) = delete;

 private:
  const void* address_;
};

// The process RecursiveLock that guards the once-only set-ups and the
// signal window's state.
RecursiveLock* process_lock();

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

// Milliseconds since system start.
uint64_t tick_ms();

// The 64-bit tick from the system's 64-bit count when it exists, else from
// the 32-bit count widened with a phase base. One per process; tests make
// their own.
struct TickClock {
  std::atomic<uint32_t> looked_up{0};
  std::atomic<uint64_t (*)()> tick64{nullptr};
  std::atomic<uint64_t> base{0};
  Lock lock;
};
uint64_t tick_clock_read(TickClock* clock);

// Alertable sleep; 2147483647 ms or more (as unsigned) sleeps without end.
void sleep_ms(uint32_t ms);

// Every kind of thread the program starts, with its name and how many of
// that kind may run at once: the signal window's message loop (one per
// process) and a tree lister's folder reader (one per lister, two listers
// per run).
enum class ThreadKind : uint8_t { signal_window, folder_reader };
struct ThreadKindInfo {
  const char* name;
  uint32_t limit;
};
inline constexpr ThreadKindInfo kThreadKinds[] = {{"signal window", 1}, {"folder reader", 2}};

// Starts `start(parameter)` on a new thread of the kind. Null when the
// kind's limit is reached or the system refuses; the caller then does the
// work itself.
HANDLE thread_start(ThreadKind kind, LPTHREAD_START_ROUTINE start, void* parameter);
// Waits for a thread of thread_start to end (the caller has told it to),
// closes its handle and gives its place back.
void thread_join(ThreadKind kind, HANDLE thread);

// The process-wide table of buckets and pooled events.
void thread_table_init();
void thread_table_exit();
bool thread_table_exists();
