#include <gtest/gtest.h>

#include "app/cancel.h"
#include "app/signal_window.h"
#include "platform/platform.h"
#include "test_os.h"

#include <thread>
#include <vector>

namespace {

// Number 1 is never reset by the program; tests that raise it put it back
// so that later tests see no abort request.
struct AbortReset {
  ~AbortReset() { signal_reset(cancel_context(kAbortSignal)); }
};

TEST(CancelContext, TableNumbersAndKinds) {
  struct Case {
    uint32_t number;
    uint32_t record;  // the record it gives
    const SignalOps* ops;
    bool raised;
  } cases[] = {
      {0, 0, &signal_ops_constant, false}, {1, 1, &signal_ops_normal, false},
      {3, 3, &signal_ops_normal, true},    {4, 4, &signal_ops_normal, false},
      {20, 20, &signal_ops_normal, false}, {21, 21, &signal_ops_constant, true},
      {100, 21, &signal_ops_constant, true}, {0xFFFFFFFFu, 21, &signal_ops_constant, true},
  };
  for (const auto& k : cases) {
    CancelContext* s = cancel_context(k.number);
    EXPECT_EQ(s, cancel_context(k.record)) << k.number;
    EXPECT_EQ(s->ops.load(), k.ops) << k.number;
    EXPECT_EQ(signal_is_raised(s), k.raised) << k.number;
  }
  // The constants do not change state.
  signal_reset(cancel_context(100));
  EXPECT_TRUE(signal_is_raised(cancel_context(21)));
  signal_raise(cancel_context(0));
  EXPECT_FALSE(signal_is_raised(cancel_context(0)));
  Subscription sub;
  EXPECT_FALSE(signal_subscribe(cancel_context(100), &sub, [](Subscription*) {}));
}

TEST(ConsoleControl, EventsThatRaiseTheAbortRequest) {
  struct Case {
    uint32_t event;
    bool handled;
  } cases[] = {{0, true}, {1, true}, {2, true}, {3, false}, {4, false},
               {5, true}, {6, true}, {7, false}, {0xFFFFFFFFu, false}};
  for (const auto& k : cases) {
    AbortReset reset;
    ASSERT_FALSE(abort_requested());
    EXPECT_EQ(console_control_event(k.event), k.handled) << k.event;
    EXPECT_EQ(abort_requested(), k.handled) << k.event;
  }
}

TEST(ConsoleControl, AbortWakesAWaiter) {
  AbortReset reset;
  EXPECT_FALSE(signal_wait(cancel_context(kAbortSignal), nullptr, 0));
  console_control_event(0);
  EXPECT_TRUE(signal_wait(cancel_context(kAbortSignal), nullptr, kNoTimeout));
}

// Once-only set-up: each runs in a fresh process, so the counts are exact.
TEST(ConsoleControl, InstalledOnce) {
  TARN_TEST_IN_CHILD_PROCESS();
  sys::CallCounter calls(sys::SysCall::SetConsoleCtrlHandler);
  console_handler_install();
  console_handler_install();
  exit_cleanup_register();
  EXPECT_EQ(calls.count(), 1u);
  console_handler_install();
  EXPECT_EQ(calls.count(), 1u);
}

// Several threads race to start the window: one thread is made, and every
// caller returns (none waits for a start that never comes).
TEST(SignalWindowStart, StartsOneThreadAndNeverBlocksTwice) {
  TARN_TEST_IN_CHILD_PROCESS();
  sys::CallCounter calls(sys::SysCall::CreateThread);
  std::vector<std::thread> racers;
  for (int i = 0; i < 4; ++i) racers.emplace_back(signal_window_start);
  for (std::thread& t : racers) t.join();
  signal_window_start();
  EXPECT_EQ(calls.count(), 1u);
}

}  // namespace
