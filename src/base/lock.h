// A first-come-first-served lock, whose waiters park on their own frames.
#pragma once

#include <atomic>
#include <cstdint>

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

