// Fault plan: lets a test make chosen system calls fail.
//
// A plan entry names a call (the wrapper's name, e.g. "WriteFile"), the
// ordinal of the first call to fail counted from when it was armed (1 = the
// next call), how many calls in a row fail, and the status they fail with
// (an NTSTATUS for Nt* calls, a Win32 error for the others).
#pragma once

#include <cstdint>

namespace sys {

extern volatile int g_fault_armed;

bool fault_hit_slow(const char* call, uint32_t* status);

// True when this call is planned to fail; *status then holds the status.
inline bool fault_hit(const char* call, uint32_t* status) {
  return g_fault_armed != 0 && fault_hit_slow(call, status);
}

// Plans `count` failures of `call` starting with its `nth` call from now.
// Returns false when the plan is full (8 entries).
bool fault_arm(const char* call, uint32_t nth, uint32_t status, uint32_t count = 1);

// Calls of `call` seen since it was armed (0 when not armed).
uint32_t fault_seen(const char* call);

// Removes every plan entry.
void fault_clear();

// RAII guard for tests: clears the plan on scope exit.
struct FaultScope {
  FaultScope() = default;
  FaultScope(const FaultScope&) = delete;
  FaultScope& operator=(const FaultScope&) = delete;
  ~FaultScope() { fault_clear(); }
};

}  // namespace sys
