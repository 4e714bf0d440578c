// The process signal table; see signals.h.
#include "base/signals.h"

#include <atomic>
#include <cstdlib>

namespace {

CancelContext g_signals[kCancelSignalCount];
std::atomic<uint32_t> g_table_done{0};

void raise_exit_signal() { signal_raise(&g_signals[kExitSignal]); }

void table_init() {
  bool made = false;
  addr_lock(&g_table_done);
  if (!g_table_done.load(std::memory_order_acquire)) {
    for (CancelContext& s : g_signals) signal_init(&s);
    signal_init_constant(&g_signals[0], false);
    signal_init_constant(&g_signals[kCancelSignalCount - 1], true);
    signal_raise(&g_signals[3]);
    g_table_done.store(1, std::memory_order_release);
    made = true;
  }
  addr_unlock(&g_table_done);
  if (made) std::atexit(raise_exit_signal);
}

}  // namespace

CancelContext* cancel_context(uint32_t number) {
  if (!g_table_done.load(std::memory_order_acquire)) table_init();
  CancelContext* s = &g_signals[number < kCancelSignalCount - 1 ? number : kCancelSignalCount - 1];
  signal_ops(s);
  return s;
}
