// The kinds of thread the program starts, and starting and joining them.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Every kind of thread the program starts, with its name and how many of
// that kind may run at once: the signal window's message loop (one per
// process), a tree lister's folder reader (one per lister, two listers per
// run) and the engine's copy workers (as many as copies at once are asked
// for, at most 64).
enum class ThreadKind : uint8_t { signal_window, folder_reader, copy_worker };
struct ThreadKindInfo {
  const char* name;
  uint32_t limit;
};
inline constexpr ThreadKindInfo kThreadKinds[] = {{"signal window", 1}, {"folder reader", 2}, {"copy worker", 64}};

// Starts `start(parameter)` on a new thread of the kind. Null when the
// kind's limit is reached or the system refuses; the caller then does the
// work itself.
HANDLE thread_start(ThreadKind kind, LPTHREAD_START_ROUTINE start, void* parameter);
// Waits for a thread of thread_start to end (the caller has told it to),
// closes its handle and gives its place back.
void thread_join(ThreadKind kind, HANDLE thread);

