// The door's table, names, counts and fault plan; see door.h.
#include "platform/platform.h"

#include <cstring>

namespace sys {

namespace {

// The default of each call: what the list gives as its body.
#define SYS_CALL(name, result, params, args, fallback, on_failure) \
  result default_##name params { return fallback; }
#define SYS_PLAIN(name, result, params, args, fallback) \
  result default_##name params { return fallback; }
#include "platform/calls.def"

struct CallInfo {
  const char* name;
  bool can_fail;
};

constexpr CallInfo kCallInfo[] = {
#define SYS_CALL(name, ...) {#name, true},
#define SYS_PLAIN(name, ...) {#name, false},
#include "platform/calls.def"
#ifndef _WIN32
#define LIBC_CALL(name, ...) {#name, true},
#include "platform/posix/libc_calls.def"
#endif
};
static_assert(sizeof(kCallInfo) / sizeof(kCallInfo[0]) == kSysCallCount);

}  // namespace

CallTable g_calls = {
#define SYS_CALL(name, ...) {#name, default_##name, default_##name},
#define SYS_PLAIN SYS_CALL
#include "platform/calls.def"
};

std::atomic<uint32_t> g_call_counts[kSysCallCount];

const char* call_name(SysCall call) { return kCallInfo[static_cast<size_t>(call)].name; }

bool call_by_name(const char* name, SysCall* call) {
  for (size_t i = 0; i < kSysCallCount; ++i) {
    if (std::strcmp(kCallInfo[i].name, name) == 0) {
      *call = static_cast<SysCall>(i);
      return true;
    }
  }
  return false;
}

// ---- fault plan

std::atomic<int> g_fault_armed{0};

namespace {

struct FaultEntry {
  SysCall call;
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

FaultEntry* find(SysCall call) {
  for (int i = 0; i < g_used; ++i)
    if (g_entries[i].call == call) return &g_entries[i];
  return nullptr;
}

}  // namespace

bool fault_hit_slow(SysCall call, uint32_t* status) {
  SpinGuard guard;
  FaultEntry* e = find(call);
  if (!e) return false;
  const uint32_t n = ++e->seen;
  if (n >= e->first && n - e->first < e->count) {
    *status = e->status;
    return true;
  }
  return false;
}

bool fault_arm(SysCall call, uint32_t nth, uint32_t status, uint32_t count) {
  if (!kCallInfo[static_cast<size_t>(call)].can_fail) return false;
  SpinGuard guard;
  FaultEntry* e = find(call);
  if (!e) {
    if (g_used == kMaxEntries) return false;
    e = &g_entries[g_used++];
  }
  *e = FaultEntry{call, nth, count, status, 0};
  g_fault_armed.store(1);
  return true;
}

bool fault_arm(const char* name, uint32_t nth, uint32_t status, uint32_t count) {
  SysCall call;
  return call_by_name(name, &call) && fault_arm(call, nth, status, count);
}

void fault_clear() {
  SpinGuard guard;
  g_used = 0;
  g_fault_armed.store(0);
}

}  // namespace sys
