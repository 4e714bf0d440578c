// Threads by kind; see thread_kinds.h.
#include "base/thread_kinds.h"

#include <atomic>
#include <cstddef>
#include <iterator>

namespace {
std::atomic<uint32_t> g_running[std::size(kThreadKinds)];
}  // namespace

HANDLE thread_start(ThreadKind kind, LPTHREAD_START_ROUTINE start, void* parameter) {
  std::atomic<uint32_t>& running = g_running[static_cast<size_t>(kind)];
  if (running.fetch_add(1) >= kThreadKinds[static_cast<size_t>(kind)].limit) {
    running.fetch_sub(1);
    return nullptr;
  }
  HANDLE thread = sys::CreateThread(0, start, parameter, 0, nullptr);
  if (!thread) running.fetch_sub(1);
  return thread;
}

void thread_join(ThreadKind kind, HANDLE thread) {
  if (!thread) return;
  sys::WaitForSingleObject(thread, INFINITE);
  sys::CloseHandle(thread);
  g_running[static_cast<size_t>(kind)].fetch_sub(1);
}

