// The first-come-first-served lock; see lock.h.
#include "base/lock.h"

#include "base/parking.h"
#include "base/thread_ids.h"

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
  if (parking_available()) {
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
