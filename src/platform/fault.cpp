#include "platform/fault.h"

#include <atomic>
#include <cstring>

namespace sys {

volatile int g_fault_armed = 0;

namespace {

struct FaultEntry {
  const char* call;
  uint32_t first;   // ordinal of the first failing call
  uint32_t count;   // failing calls in a row
  uint32_t status;
  uint32_t seen;    // calls seen since armed
};

constexpr int kMaxEntries = 8;
FaultEntry g_entries[kMaxEntries];
int g_used = 0;
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;

struct SpinGuard {
  SpinGuard() { while (g_lock.test_and_set(std::memory_order_acquire)) {} }
  ~SpinGuard() { g_lock.clear(std::memory_order_release); }
};

FaultEntry* find(const char* call) {
  for (int i = 0; i < g_used; ++i)
    if (std::strcmp(g_entries[i].call, call) == 0) return &g_entries[i];
  return nullptr;
}

}  // namespace

bool fault_hit_slow(const char* call, uint32_t* status) {
  SpinGuard guard;
  FaultEntry* e = find(call);
  if (!e) return false;
  uint32_t n = ++e->seen;
  if (n >= e->first && n - e->first < e->count) {
    *status = e->status;
    return true;
  }
  return false;
}

bool fault_arm(const char* call, uint32_t nth, uint32_t status, uint32_t count) {
  SpinGuard guard;
  FaultEntry* e = find(call);
  if (!e) {
    if (g_used == kMaxEntries) return false;
    e = &g_entries[g_used++];
  }
  *e = FaultEntry{call, nth, count, status, 0};
  g_fault_armed = 1;
  return true;
}

uint32_t fault_seen(const char* call) {
  SpinGuard guard;
  FaultEntry* e = find(call);
  return e ? e->seen : 0;
}

void fault_clear() {
  SpinGuard guard;
  g_used = 0;
  g_fault_armed = 0;
}

}  // namespace sys
