// Parking a thread on a waiter record; see parking.h.
#include "base/parking.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/memory.h"
#include "base/thread_ids.h"
#include "platform/platform.h"

namespace {

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

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

constexpr ACCESS_MASK kEventAllAccess = 0x1F0003;
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

ThreadBucket* current_bucket(ThreadTable* t) { return &t->buckets[thread_hash(current_thread_id()) & (kBuckets - 1)]; }

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
    if (!NT_SUCCESS(sys::NtCreateEvent(&n->event, kEventAllAccess, NotificationEvent, FALSE))) {
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
    pause_ms(step, alertable);
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
  std::atexit(thread_table_exit);
}

void thread_table_exit() {
  if (!g_table.load(std::memory_order_acquire)) return;
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

bool parking_available() { return thread_table() != nullptr; }

bool thread_table_exists() { return g_table.load(std::memory_order_acquire) != nullptr; }

namespace {
// The table exists before the program's entry runs.
struct ThreadTableStarter {
  ThreadTableStarter() noexcept { thread_table_init(); }
} g_thread_table_starter;
}  // namespace
