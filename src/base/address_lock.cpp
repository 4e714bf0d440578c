// The address locks; see address_lock.h.
#include "base/address_lock.h"

#include <cstdint>

#include "base/lock.h"
#include "base/thread_ids.h"

namespace {
Lock g_addr_locks[16];
}  // namespace

void addr_lock(const void* address) {
  lock_acquire(&g_addr_locks[thread_hash(reinterpret_cast<uintptr_t>(address)) & 15]);
}

void addr_unlock(const void* address) {
  lock_release(&g_addr_locks[thread_hash(reinterpret_cast<uintptr_t>(address)) & 15]);
}
