// The calling thread's id, and the hash that spreads thread ids and
// addresses over the parking buckets and the address locks.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint64_t thread_hash(uint64_t k) {
  k = (~k) + (k << 18);
  k ^= k >> 31;
  k *= 21;
  k ^= k >> 11;
  k *= 65;
  k ^= k >> 22;
  return k;
}

inline uint64_t current_thread_id() { return sys::GetCurrentThreadId(); }
