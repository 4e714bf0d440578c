// The recursive lock; see recursive_lock.h.
#include "base/recursive_lock.h"

#include "base/thread_ids.h"

void rlock_acquire(RecursiveLock* lock) {
  if (lock->lock.owner.load(std::memory_order_relaxed) != current_thread_id()) lock_acquire(&lock->lock);
  ++lock->count;
}

void rlock_release(RecursiveLock* lock) {
  if (--lock->count == 0) lock_release(&lock->lock);
}

namespace {
RecursiveLock g_process_lock;
}  // namespace

RecursiveLock* process_lock() { return &g_process_lock; }
