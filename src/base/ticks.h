// Time-outs, the 64-bit millisecond tick and sleeping.
//
// A time-out of 2147483647 or more, taken as unsigned 32-bit (so -1 too),
// means no time-out.
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint32_t kNoTimeout = 0xFFFFFFFFu;
constexpr bool timeout_is_infinite(uint32_t ms) { return ms >= 2147483647u; }

// Milliseconds since system start.
uint64_t tick_ms();

// The 64-bit tick from the system's 64-bit count when it exists, else from
// the 32-bit count widened with a phase base. One per process; tests make
// their own.
struct TickClock {
  std::atomic<uint32_t> looked_up{0};
  std::atomic<uint64_t (*)()> tick64{nullptr};
  std::atomic<uint64_t> base{0};
};
uint64_t tick_clock_read(TickClock* clock);

// Alertable sleep; 2147483647 ms or more (as unsigned) sleeps without end.
void sleep_ms(uint32_t ms);

// One sleep of `ms` milliseconds, alertable or not; a queued call may end an
// alertable one early.
void pause_ms(uint32_t ms, bool alertable);
