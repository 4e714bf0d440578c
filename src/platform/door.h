// The door to the operating system, generated from the one list of calls in
// platform/calls.def (and, on Linux, the POSIX layer's C library calls in
// platform/posix/libc_calls.def).
//
// From the list come:
//   - SysCall, the id of every call;
//   - g_calls, the one table of (name, current function, default function);
//   - the wrappers sys::Name(...), which count the call, ask the fault plan
//     whether it is to fail, and otherwise call the current function.
// Tests replace a call only through the table (CallReplacement), plan
// failures by id (fault_arm) and read counts (CallCounter).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sys {

enum class SysCall : uint16_t {
#define SYS_CALL(name, ...) name,
#define SYS_PLAIN(name, ...) name,
#include "platform/calls.def"
#ifndef _WIN32
#define LIBC_CALL(name, ...) name,
#include "platform/posix/libc_calls.def"
#endif
};

// The list counted: each entry expands to "+1" (NOLINT: no expression to
// enclose).
constexpr size_t kSysCallCount = 0
#define SYS_CALL(name, ...) +1   // NOLINT(bugprone-macro-parentheses)
#define SYS_PLAIN(name, ...) +1  // NOLINT(bugprone-macro-parentheses)
#include "platform/calls.def"
#ifndef _WIN32
#define LIBC_CALL(name, ...) +1  // NOLINT(bugprone-macro-parentheses)
#include "platform/posix/libc_calls.def"
#endif
    ;

// The call's name as the list spells it ("WriteFile").
const char* call_name(SysCall call);

// The call of this name; false for a name the list does not hold.
bool call_by_name(const char* name, SysCall* call);

// ---- counting: every call through the door is counted

extern std::atomic<uint32_t> g_call_counts[kSysCallCount];

inline void count_call(SysCall call) {
  g_call_counts[static_cast<size_t>(call)].fetch_add(1, std::memory_order_relaxed);
}

// Calls made since the process started.
inline uint32_t calls_made(SysCall call) {
  return g_call_counts[static_cast<size_t>(call)].load(std::memory_order_relaxed);
}

// Counts the calls of one function from its construction on.
class CallCounter {
 public:
  explicit CallCounter(SysCall call) : call_(call), start_(calls_made(call)) {}
  uint32_t count() const { return calls_made(call_) - start_; }

 private:
  SysCall call_;
  uint32_t start_;
};

// ---- the fault plan: makes chosen calls fail
//
// A plan entry names a call, the ordinal of its first call to fail counted
// from when it was armed (1 = the next call), how many calls in a row fail,
// and the value they fail with (an NTSTATUS for Nt* calls, an errno value for
// the C library calls, a Win32 error for the others).

extern std::atomic<int> g_fault_armed;

bool fault_hit_slow(SysCall call, uint32_t* status);

// True when this call is planned to fail; *status then holds the value.
inline bool fault_hit(SysCall call, uint32_t* status) {
  return g_fault_armed.load(std::memory_order_relaxed) != 0 && fault_hit_slow(call, status);
}

// Plans `count` failures of `call` starting with its `nth` call from now.
// False when the call cannot fail (a SYS_PLAIN entry) or the plan is full
// (8 entries).
bool fault_arm(SysCall call, uint32_t nth, uint32_t status, uint32_t count = 1);

// The same by name; false also for a name the list does not hold.
bool fault_arm(const char* name, uint32_t nth, uint32_t status, uint32_t count = 1);

// Removes every plan entry.
void fault_clear();

// RAII guard for tests: clears the plan on scope exit.
struct FaultScope {
  FaultScope() = default;
  FaultScope(const FaultScope&) = delete;
  FaultScope& operator=(const FaultScope&) = delete;
  ~FaultScope() { fault_clear(); }
};

// ---- the table of current and default functions

template <class Fn>
struct CallEntry {
  const char* name;
  Fn current;   // what the wrapper calls
  Fn fallback;  // the default: the system's function
};

struct CallTable {
#define SYS_CALL(name, result, params, ...) CallEntry<result(*) params> name;
#define SYS_PLAIN(name, result, params, ...) CallEntry<result(*) params> name;
#include "platform/calls.def"
};

extern CallTable g_calls;

// The table entry of a call, by id (specialized for each call).
template <SysCall C>
struct CallSlot;

#define SYS_CALL(name, ...)                              \
  template <>                                            \
  struct CallSlot<SysCall::name> {                       \
    static auto& entry() { return g_calls.name; }        \
  };
#define SYS_PLAIN SYS_CALL
#include "platform/calls.def"

// Replaces a call's current function for the life of this object (tests).
// Planned failures still come first; the replacement answers the rest.
template <SysCall C>
class CallReplacement {
 public:
  using Fn = decltype(CallSlot<C>::entry().current);
  explicit CallReplacement(Fn fn) : saved_(CallSlot<C>::entry().current) { CallSlot<C>::entry().current = fn; }
  ~CallReplacement() { CallSlot<C>::entry().current = saved_; }
  CallReplacement(const CallReplacement&) = delete;
  CallReplacement& operator=(const CallReplacement&) = delete;

 private:
  Fn saved_;
};

// ---- the wrappers

inline NTSTATUS nt_failure(uint32_t status) { return static_cast<NTSTATUS>(status); }

template <class T>
T win_failure(uint32_t error, T result) {
  ::SetLastError(error);
  return result;
}

#define SYS_UNPAREN(...) __VA_ARGS__
#define SYS_CALL(name, result, params, args, fallback, on_failure)           \
  inline result name params {                                               \
    count_call(SysCall::name);                                              \
    if (uint32_t st = 0; fault_hit(SysCall::name, &st)) { SYS_UNPAREN on_failure; } \
    return g_calls.name.current args;                                       \
  }
#define SYS_PLAIN(name, result, params, args, fallback) \
  inline result name params {                           \
    count_call(SysCall::name);                          \
    return g_calls.name.current args;                   \
  }
#include "platform/calls.def"
#undef SYS_UNPAREN

}  // namespace sys
