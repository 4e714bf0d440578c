// Locks chosen by an address, for one-time set-ups keyed by their done-flag.
#pragma once

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

