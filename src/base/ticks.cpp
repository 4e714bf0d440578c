// The millisecond tick and sleeping; see ticks.h.
#include "base/ticks.h"

#include "platform/platform.h"


uint64_t tick_clock_read(TickClock* clock) {
  if (!clock->looked_up.load(std::memory_order_acquire)) {
    uint64_t (*fn)() = nullptr;
    if (HMODULE kernel = sys::GetModuleHandleW(WSTR("kernel32")))
      if (FARPROC p = sys::GetProcAddress(kernel, "GetTickCount64"))
        fn = reinterpret_cast<uint64_t (*)()>(reinterpret_cast<void (*)()>(p));
    clock->tick64.store(fn);
    clock->looked_up.store(1, std::memory_order_release);
  }
  if (uint64_t (*fn)() = clock->tick64.load()) return fn();
  // Widen the 32-bit count: bit 31 of the base is the phase of the count it
  // belongs to. The base is read before the count, so a count read later
  // than a base change is never taken for a new phase twice.
  for (;;) {
    const uint64_t base = clock->base.load();
    const uint32_t tick = sys::GetTickCount();
    if ((tick >> 31) == ((base >> 31) & 1)) return base | (tick & 0x7FFFFFFFu);
    // One reader moves the base on; the others then see the new phase.
    uint64_t expected = base;
    clock->base.compare_exchange_strong(expected, base + 0x80000000u);
  }
}

namespace {
TickClock g_tick_clock;
}  // namespace

uint64_t tick_ms() { return tick_clock_read(&g_tick_clock); }

void sleep_ms(uint32_t ms) {
  if (timeout_is_infinite(ms)) {
    for (;;) pause_ms(86400000u, true);
  }
  pause_ms(ms, true);
}

void pause_ms(uint32_t ms, bool alertable) {
  LARGE_INTEGER li;
  li.QuadPart = -static_cast<int64_t>(ms) * 10000;
  sys::NtDelayExecution(alertable ? TRUE : FALSE, &li);
}
