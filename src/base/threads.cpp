// Thread primitives built on parking a thread on a waiter record; see threads.h.
#include "base/threads.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "base/memory.h"
#include "base/signals.h"
#include "platform/platform.h"

namespace {

// Spreads thread ids and addresses over the buckets and address locks.
constexpr uint64_t hash64(uint64_t k) {
  k = (~k) + (k << 18);
  k ^= k >> 31;
  k *= 21;
  k ^= k >> 11;
  k *= 65;
  k ^= k >> 22;
  return k;
}

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

inline uint64_t current_thread_id() { return sys::GetCurrentThreadId(); }

}  // namespace

// A pooled event; lives until process exit. flags[0] marks an event that
// was set by a wake and not yet cleared.
struct WaitNode {
  HANDLE event;
  uint8_t flags[2];
  WaitNode* next;  // free-list link
};
constexpr size_t kWaitNodeSize = 48;
static_assert(sizeof(WaitNode) <= kWaitNodeSize);

// Bucket: ticket spin lock (bits 20-30 next ticket, bits 8-18 ticket now
// served, both modulo 2048) guarding a free list of wait nodes.
struct alignas(64) ThreadBucket {
  std::atomic<uint64_t> owner;
  std::atomic<uint64_t> ticket;
  WaitNode* free_list;
};
static_assert(sizeof(ThreadBucket) == 64);

namespace {

constexpr int kBuckets = 32;
constexpr size_t kTableBlockSize = 2256;

struct ThreadTable {
  ThreadBucket buckets[kBuckets];
  void* block;
  size_t block_size;
};
static_assert(sizeof(ThreadTable) + 63 <= kTableBlockSize);

std::atomic<ThreadTable*> g_table{nullptr};
std::atomic<bool> g_table_closed{false};

// The table, made on first use; null after exit or when it cannot be made.
ThreadTable* thread_table() {
  ThreadTable* t = g_table.load(std::memory_order_acquire);
  if (t || g_table_closed.load(std::memory_order_acquire)) return t;
  thread_table_init();
  return g_table.load(std::memory_order_acquire);
}

constexpr uint64_t kTicketMask = 0x7FF;
constexpr int kNextShift = 20;
constexpr int kServedShift = 8;

void bucket_lock(ThreadBucket* b) {
  uint64_t old = b->ticket.load();
  uint64_t ticket;
  for (;;) {
    ticket = (old >> kNextShift) & kTicketMask;
    const uint64_t next = (old & ~(kTicketMask << kNextShift)) | (((ticket + 1) & kTicketMask) << kNextShift);
    if (b->ticket.compare_exchange_weak(old, next)) break;
  }
  while (((b->ticket.load() >> kServedShift) & kTicketMask) != ticket) cpu_pause();
  b->owner.store(current_thread_id(), std::memory_order_relaxed);
}

void bucket_unlock(ThreadBucket* b) {
  b->owner.store(0, std::memory_order_relaxed);
  uint64_t old = b->ticket.load();
  for (;;) {
    const uint64_t served = (old >> kServedShift) & kTicketMask;
    const uint64_t next =
        (old & ~((kTicketMask << kServedShift) | 0xFFu)) | (((served + 1) & kTicketMask) << kServedShift);
    if (b->ticket.compare_exchange_weak(old, next)) return;
  }
}

ThreadBucket* current_bucket(ThreadTable* t) { return &t->buckets[hash64(current_thread_id()) & (kBuckets - 1)]; }

void node_destroy(WaitNode* n) {
  if (n->event) sys::CloseHandle(n->event);
  block_free(n, kWaitNodeSize);
}

// A node from the current thread's bucket, or a new one; null when neither
// memory nor an event can be had.
WaitNode* node_take(ThreadTable* t, ThreadBucket** bucket) {
  ThreadBucket* b = current_bucket(t);
  bucket_lock(b);
  WaitNode* n = b->free_list;
  if (n) b->free_list = n->next;
  bucket_unlock(b);
  if (!n) {
    n = static_cast<WaitNode*>(block_alloc(kWaitNodeSize));
    if (!n) return nullptr;
    std::memset(n, 0, kWaitNodeSize);
    if (!NT_SUCCESS(sys::NtCreateEvent(&n->event, 0x1F0003, NotificationEvent, FALSE))) {
      n->event = nullptr;
      node_destroy(n);
      return nullptr;
    }
  }
  n->next = nullptr;
  *bucket = b;
  return n;
}

constexpr int32_t kIdle = 0;
constexpr int32_t kParked = -1;
constexpr int32_t kParkedPolling = -2;  // parked without an event
constexpr uint32_t kPollStepMs = 20;

bool status_is_error(NTSTATUS st) { return (static_cast<uint32_t>(st) >> 30) == 3; }

// Waits on the event until it is set. A failing wait is retried after a
// short pause so that a broken handle cannot make a hot loop.
void wait_event_forever(HANDLE event, bool alertable) {
  for (;;) {
    const NTSTATUS st = sys::NtWaitForSingleObject(event, alertable ? TRUE : FALSE, nullptr);
    if (st == STATUS_SUCCESS) return;
    if (status_is_error(st)) {
      LARGE_INTEGER li;
      li.QuadPart = -10000;
      sys::NtDelayExecution(FALSE, &li);
    }
  }
}

void delay(uint32_t ms, bool alertable) {
  LARGE_INTEGER li;
  li.QuadPart = -static_cast<int64_t>(ms) * 10000;
  sys::NtDelayExecution(alertable ? TRUE : FALSE, &li);
}

// A park without an event: sleep in steps of at most 20 ms and look at the
// state after each. A wake turns -2 into -1; the waiter then makes itself
// idle again.
bool park_polling(Waiter* w, uint32_t timeout_ms, bool alertable) {
  const bool infinite = timeout_is_infinite(timeout_ms);
  const uint64_t deadline = infinite ? 0 : tick_ms() + timeout_ms;
  for (;;) {
    if (w->state.load() != kParkedPolling) {
      w->state.store(kIdle);
      return true;
    }
    uint32_t step = kPollStepMs;
    if (!infinite) {
      const uint64_t now = tick_ms();
      if (now >= deadline) {
        int32_t expected = kParkedPolling;
        if (w->state.compare_exchange_strong(expected, kIdle)) return false;
        w->state.store(kIdle);
        return true;
      }
      if (deadline - now < step) step = static_cast<uint32_t>(deadline - now);
    }
    delay(step, alertable);
  }
}

}  // namespace

bool waiter_park(Waiter* w, uint32_t timeout_ms, bool alertable) {
  WaitNode* node = w->node.load(std::memory_order_relaxed);
  if (w->state.load() == kIdle) {
    if (!node) {
      if (ThreadTable* t = thread_table()) {
        node = node_take(t, &w->bucket);
        w->node.store(node, std::memory_order_release);
      }
    } else if (node->flags[0]) {
      // Parked again on the event of an earlier wake: start from clear.
      sys::NtClearEvent(node->event);
      node->flags[0] = 0;
    }
  }
  int32_t expected = kIdle;
  if (!w->state.compare_exchange_strong(expected, node ? kParked : kParkedPolling)) {
    // Woken before parking: consume the wake so the waiter is idle again.
    if (expected > 0) w->state.fetch_sub(1);
    return true;
  }
  if (!node) return park_polling(w, timeout_ms, alertable);

  HANDLE event = node->event;
  if (timeout_is_infinite(timeout_ms)) {
    wait_event_forever(event, alertable);
    node->flags[0] = 1;
    return true;
  }
  // A queued call that interrupts the wait does not shorten it: the wait
  // resumes for the time that is left.
  const uint64_t deadline = tick_ms() + timeout_ms;
  uint64_t left = timeout_ms;
  for (;;) {
    LARGE_INTEGER li;
    li.QuadPart = -static_cast<int64_t>(left) * 10000;
    const NTSTATUS st = sys::NtWaitForSingleObject(event, alertable ? TRUE : FALSE, &li);
    if (st == STATUS_SUCCESS) {
      node->flags[0] = 1;
      return true;
    }
    if (st == STATUS_USER_APC || st == STATUS_ALERTED) {
      const uint64_t now = tick_ms();
      if (now < deadline) {
        left = deadline - now;
        continue;
      }
    }
    break;  // time-out, or a failed wait, which ends the park the same way
  }
  expected = kParked;
  if (w->state.compare_exchange_strong(expected, kIdle)) return false;
  // A wake is under way: its event will be set.
  wait_event_forever(event, false);
  node->flags[0] = 1;
  return true;
}

void waiter_wake(Waiter* w) {
  const int32_t old = w->state.fetch_add(1);
  // Only a waiter parked on its event needs the event set; it cannot leave
  // before that, so reading its node is safe. A polling waiter (-2) sees
  // the changed state by itself and must not be touched again.
  if (old == kParked) {
    if (WaitNode* n = w->node.load(std::memory_order_acquire)) sys::NtSetEvent(n->event, nullptr);
  }
}

void waiter_done(Waiter* w) {
  WaitNode* n = w->node.load(std::memory_order_relaxed);
  if (!n) return;
  w->node.store(nullptr, std::memory_order_release);
  sys::NtClearEvent(n->event);
  n->flags[0] = n->flags[1] = 0;
  ThreadBucket* b = w->bucket;
  w->bucket = nullptr;
  if (!g_table.load(std::memory_order_acquire) || !b) {
    node_destroy(n);
    return;
  }
  bucket_lock(b);
  n->next = b->free_list;
  b->free_list = n;
  bucket_unlock(b);
}

// ---- Lock ----

namespace {

// A waiting frame on the waiter's stack. `link` holds the next older frame,
// or for the oldest frame the owner's thread id.
struct LockFrame {
  uint64_t thread_id;
  std::atomic<uint64_t> link;
  Waiter waiter;
};

}  // namespace

void lock_acquire(Lock* lock) {
  const uint64_t self = current_thread_id();
  if (thread_table()) {
    uint64_t expected = 0;
    if (!lock->state.compare_exchange_strong(expected, self)) {
      LockFrame frame;
      frame.thread_id = self;
      bool owned = false;
      for (;;) {
        uint64_t cur = lock->state.load();
        if (cur == 0) {
          if (lock->state.compare_exchange_strong(cur, self)) {
            owned = true;
            break;
          }
          continue;
        }
        frame.link.store(cur);
        if (lock->state.compare_exchange_strong(cur, reinterpret_cast<uint64_t>(&frame))) break;
      }
      if (!owned) {
        // The releaser hands the lock over before waking us.
        waiter_park(&frame.waiter, kNoTimeout, false);
        waiter_done(&frame.waiter);
      }
    }
  }
  lock->owner.store(self, std::memory_order_relaxed);
}

void lock_release(Lock* lock) {
  const uint64_t a = lock->owner.exchange(0, std::memory_order_relaxed);
  for (;;) {
    uint64_t cur = lock->state.load();
    // 0: taken while there was no table; only the owner was recorded.
    if (cur == 0) return;
    if (cur == a) {
      if (lock->state.compare_exchange_strong(cur, 0)) return;
      continue;
    }
    // Find the oldest waiter (its link is the owner's id) and the link that
    // points to it, and make that link hold the oldest waiter's id instead.
    std::atomic<uint64_t>* prev = &lock->state;
    auto* frame = reinterpret_cast<LockFrame*>(cur);
    for (uint64_t link = frame->link.load(); link != a; link = frame->link.load()) {
      prev = &frame->link;
      frame = reinterpret_cast<LockFrame*>(link);
    }
    uint64_t expected = reinterpret_cast<uint64_t>(frame);
    if (prev->compare_exchange_strong(expected, frame->thread_id)) {
      waiter_wake(&frame->waiter);
      return;
    }
  }
}

void rlock_acquire(RecursiveLock* lock) {
  if (lock->lock.owner.load(std::memory_order_relaxed) != current_thread_id()) lock_acquire(&lock->lock);
  ++lock->count;
}

void rlock_release(RecursiveLock* lock) {
  if (--lock->count == 0) lock_release(&lock->lock);
}

namespace {
Lock g_addr_locks[16];
RecursiveLock g_process_lock;
}  // namespace

void addr_lock(const void* address) {
  lock_acquire(&g_addr_locks[hash64(reinterpret_cast<uintptr_t>(address)) & 15]);
}

void addr_unlock(const void* address) {
  lock_release(&g_addr_locks[hash64(reinterpret_cast<uintptr_t>(address)) & 15]);
}

RecursiveLock* process_lock() { return &g_process_lock; }

// ---- Signal ----

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

// ---- signal_wait ----

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

// ---- ticks and sleep ----

uint64_t tick_clock_read(TickClock* clock) {
  if (!clock->looked_up.load(std::memory_order_acquire)) {
    uint64_t (*fn)() = nullptr;
    if (HMODULE kernel = sys::GetModuleHandleW(WSTR("kernel32")))
      if (FARPROC p = sys::GetProcAddress(kernel, "GetTickCount64"))
        fn = reinterpret_cast<uint64_t (*)()>(reinterpret_cast<void (*)()>(p));
    clock->tick64.store(fn);
    clock->looked_up.store(1, std::memory_order_release);
  }
  if (uint64_t (*fn)() = clock->tick64.load()) return fn();
  // Widen the 32-bit count: bit 31 of the base is the phase of the count it
  // belongs to. The base is read before the count, so a count read later
  // than a base change is never taken for a new phase twice.
  for (;;) {
    const uint64_t base = clock->base.load();
    const uint32_t tick = sys::GetTickCount();
    if ((tick >> 31) == ((base >> 31) & 1)) return base | (tick & 0x7FFFFFFFu);
    LockGuard guard(&clock->lock);
    if (clock->base.load() == base) clock->base.store(base + 0x80000000u);
  }
}

namespace {
TickClock g_tick_clock;
}  // namespace

uint64_t tick_ms() { return tick_clock_read(&g_tick_clock); }

void sleep_ms(uint32_t ms) {
  if (timeout_is_infinite(ms)) {
    for (;;) delay(86400000u, true);
  }
  delay(ms, true);
}

// ---- threads ----

namespace {
std::atomic<uint32_t> g_running[std::size(kThreadKinds)];
}  // namespace

HANDLE thread_start(ThreadKind kind, LPTHREAD_START_ROUTINE start, void* parameter) {
  std::atomic<uint32_t>& running = g_running[static_cast<size_t>(kind)];
  if (running.fetch_add(1) >= kThreadKinds[static_cast<size_t>(kind)].limit) {
    running.fetch_sub(1);
    return nullptr;
  }
  HANDLE thread = sys::CreateThread(0, start, parameter, 0, nullptr);
  if (!thread) running.fetch_sub(1);
  return thread;
}

void thread_join(ThreadKind kind, HANDLE thread) {
  if (!thread) return;
  sys::WaitForSingleObject(thread, INFINITE);
  sys::CloseHandle(thread);
  g_running[static_cast<size_t>(kind)].fetch_sub(1);
}

// ---- the table ----

void thread_table_init() {
  if (g_table.load(std::memory_order_acquire) || g_table_closed.load()) return;
  void* block = block_alloc(kTableBlockSize);
  if (!block) return;
  std::memset(block, 0, kTableBlockSize);
  const uintptr_t aligned = (reinterpret_cast<uintptr_t>(block) + 63) & ~uintptr_t{63};
  ThreadTable* t = new (reinterpret_cast<void*>(aligned)) ThreadTable{};
  t->block = block;
  t->block_size = kTableBlockSize;
  ThreadTable* expected = nullptr;
  if (!g_table.compare_exchange_strong(expected, t)) {
    block_free(block, kTableBlockSize);
    return;
  }
  cancel_context(0);
  std::atexit(thread_table_exit);
}

void thread_table_exit() {
  if (!g_table.load(std::memory_order_acquire)) return;
  signal_raise(cancel_context(5));
  signal_raise(cancel_context(6));
  g_table_closed.store(true);
  ThreadTable* t = g_table.exchange(nullptr);
  if (!t) return;
  for (ThreadBucket& b : t->buckets) {
    bucket_lock(&b);
    WaitNode* n = b.free_list;
    b.free_list = nullptr;
    bucket_unlock(&b);
    while (n) {
      WaitNode* next = n->next;
      node_destroy(n);
      n = next;
    }
  }
  block_free(t->block, t->block_size);
}

bool thread_table_exists() { return g_table.load(std::memory_order_acquire) != nullptr; }

namespace {
// The table exists before the program's entry runs.
struct ThreadTableStarter {
  ThreadTableStarter() { thread_table_init(); }
} g_thread_table_starter;
}  // namespace
