#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/signals.h"
#include "base/threads.h"
#include "platform/platform.h"

namespace {

// Polls `done` until it holds or 10 s pass; no test relies on a fixed sleep.
template <typename Pred>
bool wait_until(Pred done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

uint64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

TEST(Lock, WaitersAcquireInTheOrderTheyBlocked) {
  Lock lock;
  lock_acquire(&lock);
  std::vector<int> order;
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    const uint64_t before = lock.state.load();
    threads.emplace_back([&lock, &order, i] {
      lock_acquire(&lock);
      order.push_back(i);
      lock_release(&lock);
    });
    // Blocked once its frame is the newest in the chain.
    ASSERT_TRUE(wait_until([&] { return lock.state.load() != before; }));
  }
  lock_release(&lock);
  for (auto& t : threads) t.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(lock.state.load(), 0u);
  EXPECT_EQ(lock.owner.load(), 0u);
}

TEST(Lock, ExcludesUnderContention) {
  Lock lock;
  uint64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        LockGuard guard(&lock);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000u);
  EXPECT_EQ(lock.state.load(), 0u);
}

TEST(RecursiveLock, NestsAndExcludesOthersUntilFullyReleased) {
  RecursiveLock lock;
  rlock_acquire(&lock);
  rlock_acquire(&lock);
  rlock_acquire(&lock);
  EXPECT_EQ(lock.count, 3u);
  std::atomic<bool> got{false};
  const uint64_t held = lock.lock.state.load();
  std::thread other([&] {
    RecursiveLockGuard guard(&lock);
    got = true;
  });
  ASSERT_TRUE(wait_until([&] { return lock.lock.state.load() != held; }));  // other is queued
  rlock_release(&lock);
  rlock_release(&lock);
  EXPECT_FALSE(got.load());
  EXPECT_EQ(lock.count, 1u);
  rlock_release(&lock);
  other.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(lock.count, 0u);
}

TEST(AddrLock, GuardsOneTimeSetUp) {
  int done = 0;
  std::atomic<int> setups{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      AddrLockGuard guard(&done);
      if (!done) {
        ++setups;
        std::this_thread::yield();
        done = 1;
      }
    });
  go = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(setups.load(), 1);
  EXPECT_EQ(done, 1);
}

// A hand-over of many items one at a time: each side waits on its own
// condition under the one lock, so no wake is lost and no item is seen twice.
TEST(Condition, HandOverLosesNoWake) {
  Lock lock;
  Condition filled, emptied;
  int slot = 0;  // 0 empty, else the item
  std::vector<int> got;
  std::thread consumer([&] {
    LockGuard guard(&lock);
    while (got.size() < 2000) {
      while (slot == 0) condition_wait(&filled, &lock);
      got.push_back(slot);
      slot = 0;
      condition_signal(&emptied);
    }
  });
  {
    LockGuard guard(&lock);
    for (int i = 1; i <= 2000; ++i) {
      while (slot != 0) condition_wait(&emptied, &lock);
      slot = i;
      condition_signal(&filled);
    }
  }
  consumer.join();
  condition_done(&filled);
  condition_done(&emptied);
  ASSERT_EQ(got.size(), 2000u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(got[i], i + 1);
}

TEST(Waiter, WakeBeforeParkReturnsAtOnce) {
  Waiter w;
  waiter_wake(&w);
  EXPECT_EQ(w.state.load(), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(waiter_park(&w, kNoTimeout, false));
  EXPECT_LT(elapsed_ms(start), 5000u);
  EXPECT_EQ(w.state.load(), 0);  // the wake is consumed: the waiter is reusable
  waiter_done(&w);
}

TEST(Waiter, TimeoutZeroLeavesTheWaiterIdle) {
  Waiter w;
  EXPECT_FALSE(waiter_park(&w, 0, false));
  EXPECT_EQ(w.state.load(), 0);
  // Still usable: a later wake is seen by the next park.
  waiter_wake(&w);
  EXPECT_TRUE(waiter_park(&w, 0, false));
  waiter_done(&w);
}

TEST(Waiter, ParkTimesOutAfterItsTime) {
  Waiter w;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiter_park(&w, 60, true));
  EXPECT_GE(elapsed_ms(start) + 2, 60u);  // +2: clocks of different resolution
  waiter_done(&w);
}

TEST(Waiter, WakeFromAnotherThreadAndReuse) {
  Waiter w;
  for (uint32_t timeout : {kNoTimeout, 10000u}) {
    std::thread waker([&] {
      wait_until([&] { return w.state.load() == -1; });
      waiter_wake(&w);
    });
    EXPECT_TRUE(waiter_park(&w, timeout, false));
    waker.join();
    EXPECT_EQ(w.state.load(), 0);
    // The event of the last wake does not wake the next park.
    EXPECT_FALSE(waiter_park(&w, 20, false));
  }
  waiter_done(&w);
}

// A wake racing the time-out is either seen by the park or left recorded
// for the next one; it is never lost.
TEST(Waiter, WakeRacingTimeoutIsNeverLost) {
  for (int round = 0; round < 200; ++round) {
    Waiter w;
    std::atomic<bool> go{false};
    std::thread waker([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < round % 7; ++i) std::this_thread::yield();
      waiter_wake(&w);
    });
    go = true;
    const bool woke = waiter_park(&w, static_cast<uint32_t>(round % 3), true);
    waker.join();
    if (!woke) {
      EXPECT_TRUE(waiter_park(&w, 0, false)) << "round " << round;
    }
    EXPECT_EQ(w.state.load(), 0);
    waiter_done(&w);
  }
}

// An alertable wait interrupted by a queued call resumes for the time left.
TEST(Waiter, InterruptedWaitResumesForTheRest) {
  sys::FaultScope faults;
  Waiter w;
  sys::fault_arm(sys::SysCall::NtWaitForSingleObject, 1, static_cast<uint32_t>(STATUS_USER_APC));
  sys::CallCounter nt_wait_for_single_object_calls(sys::SysCall::NtWaitForSingleObject);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiter_park(&w, 60, true));
  EXPECT_GE(elapsed_ms(start) + 2, 60u);
  EXPECT_EQ(nt_wait_for_single_object_calls.count(), 2u);
  waiter_done(&w);
}

// Without an event the park polls: it still times out and sees its wake.
TEST(Waiter, ParkWithoutEventPollsItsState) {
  sys::FaultScope faults;
  // Hold every pooled event of this thread's bucket so the next park must
  // create one, and make that fail.
  std::vector<Waiter> held(64);
  for (auto& w : held) waiter_park(&w, 0, false);  // times out, keeps its event
  sys::fault_arm(sys::SysCall::NtCreateEvent, 1, 0xC000009Au, 1000);
  Waiter w;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(waiter_park(&w, 50, false));
  EXPECT_EQ(w.node.load(), nullptr);
  EXPECT_GE(elapsed_ms(start) + 2, 50u);
  EXPECT_EQ(w.state.load(), 0);

  std::thread waker([&] {
    wait_until([&] { return w.state.load() == -2; });
    waiter_wake(&w);
  });
  EXPECT_TRUE(waiter_park(&w, kNoTimeout, false));
  waker.join();
  EXPECT_EQ(w.state.load(), 0);
  sys::fault_clear();
  for (auto& h : held) waiter_done(&h);
}

struct Recorder {
  Subscription sub;  // first member: the callback finds the recorder
  int id;
  std::vector<int>* calls;
};

void record(Subscription* sub) {
  auto* r = reinterpret_cast<Recorder*>(sub);
  r->calls->push_back(r->id);
}

TEST(SignalTest, RaiseCallsEachSubscriberOnceInSubscriptionOrder) {
  Signal s;
  signal_init(&s);
  std::vector<int> calls;
  Recorder r[3] = {{{}, 1, &calls}, {{}, 2, &calls}, {{}, 3, &calls}};
  for (auto& x : r) ASSERT_TRUE(signal_subscribe(&s, &x.sub, record));
  EXPECT_FALSE(signal_is_raised(&s));
  signal_raise(&s);
  EXPECT_TRUE(signal_is_raised(&s));
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));
  signal_raise(&s);
  EXPECT_EQ(calls.size(), 3u);
  // Raised: subscribing fails, and unsubscribing after the firing fails.
  Recorder late{{}, 4, &calls};
  EXPECT_FALSE(signal_subscribe(&s, &late.sub, record));
  EXPECT_FALSE(signal_unsubscribe(&s, &r[0].sub));
  EXPECT_EQ(calls.size(), 3u);
}

TEST(SignalTest, UnsubscribeResetAndNoTable) {
  Signal s{};  // no table yet: the normal one is given on first use
  std::vector<int> calls;
  Recorder a{{}, 1, &calls}, b{{}, 2, &calls}, c{{}, 3, &calls};
  ASSERT_TRUE(signal_subscribe(&s, &a.sub, record));
  EXPECT_EQ(s.ops.load(), &signal_ops_normal);
  ASSERT_TRUE(signal_subscribe(&s, &b.sub, record));
  ASSERT_TRUE(signal_subscribe(&s, &c.sub, record));
  EXPECT_TRUE(signal_unsubscribe(&s, &b.sub));
  EXPECT_FALSE(signal_unsubscribe(&s, &b.sub));
  // reset notifies too, and leaves the signal clear.
  signal_reset(&s);
  EXPECT_FALSE(signal_is_raised(&s));
  EXPECT_EQ(calls, (std::vector<int>{1, 3}));
  EXPECT_EQ(s.head, nullptr);
}

TEST(SignalTest, ConstantTables) {
  struct Case {
    bool raised;
    bool subscribes;
  } cases[] = {{true, false}, {false, true}};
  for (const auto& k : cases) {
    Signal s;
    signal_init_constant(&s, k.raised);
    std::vector<int> calls;
    Recorder r{{}, 1, &calls};
    EXPECT_EQ(signal_subscribe(&s, &r.sub, record), k.subscribes);
    signal_raise(&s);
    EXPECT_EQ(signal_is_raised(&s), k.raised);
    signal_reset(&s);
    EXPECT_EQ(signal_is_raised(&s), k.raised);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(signal_unsubscribe(&s, &r.sub), k.subscribes);
  }
}

TEST(SignalWait, ReturnsByState) {
  struct Case {
    bool awaited_raised;
    bool cancel_given;
    bool cancel_raised;
    uint32_t timeout;
    bool expected;
  } cases[] = {
      {true, false, false, kNoTimeout, true},   // already raised: at once
      {true, true, true, kNoTimeout, true},     // raised wins over cancel
      {false, true, true, kNoTimeout, false},   // cancelled
      {false, false, false, 30, false},         // timed out
      {false, true, false, 30, false},          // timed out with a clear cancel
  };
  for (const auto& k : cases) {
    Signal s, x;
    signal_init(&s);
    signal_init(&x);
    if (k.awaited_raised) signal_raise(&s);
    if (k.cancel_raised) signal_raise(&x);
    EXPECT_EQ(signal_wait(&s, k.cancel_given ? &x : nullptr, k.timeout), k.expected);
    EXPECT_EQ(s.head, nullptr);
    EXPECT_EQ(x.head, nullptr);
  }
}

TEST(SignalWait, WokenFromAnotherThread) {
  for (bool by_cancel : {false, true}) {
    Signal s, x;
    signal_init(&s);
    signal_init(&x);
    std::thread raiser([&] {
      // Read under each signal's lock, as the waiter writes them.
      const auto subscribed = [](Signal* g) {
        LockGuard guard(&g->lock);
        return g->head != nullptr;
      };
      wait_until([&] { return subscribed(&s) && subscribed(&x); });
      signal_raise(by_cancel ? &x : &s);
    });
    EXPECT_EQ(signal_wait(&s, &x, kNoTimeout), !by_cancel);
    raiser.join();
  }
}

TEST(SignalWait, RacingRaiseNeverCorruptsTheWait) {
  for (int round = 0; round < 200; ++round) {
    Signal s;
    signal_init(&s);
    std::thread raiser([&] {
      for (int i = 0; i < round % 5; ++i) std::this_thread::yield();
      signal_raise(&s);
    });
    const bool fired = signal_wait(&s, nullptr, static_cast<uint32_t>(round % 2));
    raiser.join();
    if (!fired) {
      EXPECT_TRUE(signal_wait(&s, nullptr, 0));
    }
  }
}

// A scripted 32-bit tick count for the widening.
const DWORD* g_ticks;
DWORD scripted_tick() { return *g_ticks++; }

TEST(Tick, WidensThe32BitCountAcrossItsWrap) {
  sys::FaultScope faults;
  sys::fault_arm(sys::SysCall::GetProcAddress, 1, 127);  // no GetTickCount64
  // A count whose phase differs from the base's moves the base on and is
  // read again, hence the repeated values.
  static const DWORD ticks[] = {5,           0x7FFFFFF0u, 0x80000010u, 0x80000010u, 0xFFFFFFF0u,
                                0x00000010u, 0x00000010u, 0x7FFFFFFFu, 0x80000000u, 0x80000000u,
                                0xFFFFFFFFu, 0x00000001u, 0x00000001u};
  static const uint64_t expected[] = {5, 0x7FFFFFF0u, 0x80000010u, 0xFFFFFFF0u, 0x100000010ull,
                                      0x17FFFFFFFull, 0x180000000ull, 0x1FFFFFFFFull, 0x200000001ull};
  g_ticks = ticks;
  sys::CallReplacement<sys::SysCall::GetTickCount> tick(scripted_tick);
  TickClock clock;
  std::vector<uint64_t> got;
  for (size_t i = 0; i < std::size(expected); ++i) got.push_back(tick_clock_read(&clock));
  EXPECT_EQ(got, std::vector<uint64_t>(std::begin(expected), std::end(expected)));
  EXPECT_EQ(g_ticks, std::end(ticks));
}

TEST(Tick, UsesThe64BitCountWhenPresent) {
  TickClock clock;
  const uint64_t a = tick_clock_read(&clock);
  EXPECT_NE(clock.tick64.load(), nullptr);
  sleep_ms(20);
  const uint64_t b = tick_ms();
  EXPECT_GE(b + 2, a + 20);
  EXPECT_LT(b, a + 20000);
}

TEST(ThreadTable, ExistsBeforeTheEntry) { EXPECT_TRUE(thread_table_exists()); }

}  // namespace
