// Signals and the process signal table; see signals.h.
#include "base/signals.h"

#include <atomic>
#include <cstdlib>

#include "base/address_lock.h"
#include "base/parking.h"
#include "base/ticks.h"

namespace {

// Sets the flag (raise, only when clear) or clears it (reset), detaches
// every subscription under the lock, then calls the callbacks in
// subscription order, outside the lock.
void signal_notify(Signal* s, bool raise) {
  lock_acquire(&s->lock);
  if (raise && s->raised.load()) {
    lock_release(&s->lock);
    return;
  }
  s->raised.store(raise ? 1 : 0);
  Subscription* newest = s->head;
  s->head = nullptr;
  Subscription* oldest_first = nullptr;
  while (newest) {
    Subscription* next = newest->next;
    newest->backlink = nullptr;
    newest->next = oldest_first;
    oldest_first = newest;
    newest = next;
  }
  lock_release(&s->lock);
  while (oldest_first) {
    Subscription* sub = oldest_first;
    oldest_first = sub->next;
    if (SubscriptionCallback cb = sub->callback.load()) cb(sub);
  }
}

void normal_raise(Signal* s) {
  if (!s->raised.load()) signal_notify(s, true);
}

void normal_reset(Signal* s) { signal_notify(s, false); }

bool normal_subscribe(Signal* s, Subscription* sub, SubscriptionCallback callback) {
  sub->callback.store(nullptr);
  sub->backlink = nullptr;
  LockGuard guard(&s->lock);
  if (s->raised.load()) return false;
  sub->callback.store(callback);
  sub->next = s->head;
  if (s->head) s->head->backlink = &sub->next;
  s->head = sub;
  sub->backlink = &s->head;
  return true;
}

bool normal_unsubscribe(Signal* s, Subscription* sub) {
  LockGuard guard(&s->lock);
  if (!sub->backlink) return false;
  *sub->backlink = sub->next;
  if (sub->next) sub->next->backlink = sub->backlink;
  sub->backlink = nullptr;
  sub->next = nullptr;
  return true;
}

bool normal_is_raised(Signal* s) { return s->raised.load() != 0; }

void constant_nothing(Signal*) {}

}  // namespace

const SignalOps signal_ops_normal = {normal_raise, normal_reset, normal_subscribe, normal_unsubscribe,
                                     normal_is_raised};
const SignalOps signal_ops_constant = {constant_nothing, constant_nothing, normal_subscribe,
                                       normal_unsubscribe, normal_is_raised};

void signal_init(Signal* s) {
  s->raised.store(0);
  s->head = nullptr;
  s->lock.owner.store(0);
  s->lock.state.store(0);
  s->ops.store(&signal_ops_normal, std::memory_order_release);
}

void signal_init_constant(Signal* s, bool raised) {
  signal_init(s);
  s->raised.store(raised ? 1 : 0);
  s->ops.store(&signal_ops_constant, std::memory_order_release);
}

const SignalOps* signal_ops(Signal* s) {
  const SignalOps* ops = s->ops.load(std::memory_order_acquire);
  if (ops) return ops;
  const SignalOps* expected = nullptr;
  s->ops.compare_exchange_strong(expected, &signal_ops_normal);
  return s->ops.load(std::memory_order_acquire);
}

// ---- waiting for a signal

namespace {

struct SignalWait;

// A subscription that knows its wait (first member, so the callback can get
// from the subscription to it).
struct WaitSubscription {
  Subscription sub;
  SignalWait* wait;
};

struct SignalWait {
  WaitSubscription fired;
  WaitSubscription cancelled;
  std::atomic<uint32_t> claim{0};
  std::atomic<uint8_t> result{0};
  Waiter waiter;
};

void claim_and_wake(SignalWait* w) {
  uint32_t expected = 0;
  if (w->claim.compare_exchange_strong(expected, 1)) waiter_wake(&w->waiter);
}

// Callbacks clear their subscription's callback as their last step: the
// waiter leaves only once that is done.
void on_fired(Subscription* sub) {
  SignalWait* w = reinterpret_cast<WaitSubscription*>(sub)->wait;
  w->result.store(1);
  claim_and_wake(w);
  sub->callback.store(nullptr);
}

void on_cancelled(Subscription* sub) {
  claim_and_wake(reinterpret_cast<WaitSubscription*>(sub)->wait);
  sub->callback.store(nullptr);
}

void unsubscribe_and_settle(Signal* s, Subscription* sub) {
  if (signal_unsubscribe(s, sub)) return;
  while (sub->callback.load()) sleep_ms(10);
}

}  // namespace

bool signal_wait(Signal* s, Signal* cancel, uint32_t timeout_ms) {
  SignalWait w;
  w.fired.wait = &w;
  w.cancelled.wait = &w;
  if (!signal_subscribe(s, &w.fired.sub, on_fired)) on_fired(&w.fired.sub);
  if (cancel && !signal_subscribe(cancel, &w.cancelled.sub, on_cancelled)) on_cancelled(&w.cancelled.sub);
  waiter_park(&w.waiter, timeout_ms, true);
  unsubscribe_and_settle(s, &w.fired.sub);
  if (cancel) unsubscribe_and_settle(cancel, &w.cancelled.sub);
  waiter_done(&w.waiter);
  return w.result.load() != 0;
}


// ---- the process signal table

namespace {

CancelContext g_signals[kCancelSignalCount];
std::atomic<uint32_t> g_table_done{0};

void raise_exit_signals() {
  signal_raise(&g_signals[kTeardownSignal]);
  signal_raise(&g_signals[kTeardownSignal2]);
  signal_raise(&g_signals[kExitSignal]);
}

void table_init() {
  bool made = false;
  addr_lock(&g_table_done);
  if (!g_table_done.load(std::memory_order_acquire)) {
    for (CancelContext& s : g_signals) signal_init(&s);
    signal_init_constant(&g_signals[kNeverSignal], false);
    signal_init_constant(&g_signals[kAlwaysSignal], true);
    signal_raise(&g_signals[kTableReadySignal]);
    g_table_done.store(1, std::memory_order_release);
    made = true;
  }
  addr_unlock(&g_table_done);
  if (made) std::atexit(raise_exit_signals);
}

// The table exists before the program's entry runs.
struct SignalTableStarter {
  SignalTableStarter() noexcept { table_init(); }
} g_signal_table_starter;

}  // namespace

CancelContext* cancel_context(uint32_t number) {
  if (!g_table_done.load(std::memory_order_acquire)) table_init();
  CancelContext* s = &g_signals[number < kAlwaysSignal ? number : kAlwaysSignal];
  signal_ops(s);
  return s;
}
