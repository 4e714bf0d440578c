// A lock its owner may take again, and the process's own one.
#pragma once

#include <cstdint>

#include "base/lock.h"

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

// The process RecursiveLock that guards the once-only set-ups and the
// signal window's state.
RecursiveLock* process_lock();
