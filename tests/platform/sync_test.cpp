#include "platform/sync.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/wait_for.h"

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

TEST(SysEvent, AutoResetIsConsumedByOneWait) {
  CSysEvent ev(false, false);
  ev.Set();
  EXPECT_TRUE(ev.WaitFor(0));
  EXPECT_FALSE(ev.WaitFor(0));  // the first wait cleared it

  CSysEvent initially(false, true);
  EXPECT_TRUE(initially.WaitFor(0));
  EXPECT_FALSE(initially.WaitFor(0));
}

TEST(SysEvent, ManualResetStaysSetUntilReset) {
  CSysEvent ev(true, false);
  EXPECT_FALSE(ev.WaitFor(0));
  ev.Set();
  EXPECT_TRUE(ev.WaitFor(0));
  EXPECT_TRUE(ev.WaitFor(0));
  ev.Wait();  // returns at once while set
  ev.Reset();
  EXPECT_FALSE(ev.WaitFor(0));
}

TEST(SysEvent, WaitForTimesOutWhenNeverSet) {
  CSysEvent manual(true, false);
  CSysEvent automatic(false, false);
  EXPECT_FALSE(manual.WaitFor(30));
  EXPECT_FALSE(automatic.WaitFor(30));
}

TEST(SysEvent, ManualSetReleasesEveryWaiter) {
  CSysEvent ev(true, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      ev.Wait();
      ++released;
    });
  }
  ev.Set();
  EXPECT_TRUE(WaitFor([&] { return released.load() == 4; }, kDeadline));
  for (auto& t : waiters) t.join();
}

TEST(SysEvent, AutoSetReleasesOneWaiterPerSet) {
  CSysEvent ev(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      EXPECT_TRUE(ev.WaitFor(-1));
      ++released;
    });
  }
  ev.Set();
  ASSERT_TRUE(WaitFor([&] { return released.load() >= 1; }, kDeadline));
  // The released waiter consumed the signal; the other one still waits.
  EXPECT_EQ(released.load(), 1);
  EXPECT_FALSE(ev.WaitFor(0));
  ev.Set();
  EXPECT_TRUE(WaitFor([&] { return released.load() == 2; }, kDeadline));
  for (auto& t : waiters) t.join();
}

TEST(SysMutex, RecursiveForOwnerExclusiveForOthers) {
  MutexHandle m = Plat_CreateMutex();
  ASSERT_NE(m, nullptr);
  EXPECT_NE(m, Plat_CreateMutex());
  {
    CMutexLock outer(m);
    CMutexLock inner(m);  // the owner may take it again
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = m->TryLock(); }).join();
    EXPECT_FALSE(otherGotIt);
  }
  bool freeAgain = false;
  std::thread([&] {
    freeAgain = m->TryLock();
    if (freeAgain) m->Unlock();
  }).join();
  EXPECT_TRUE(freeAgain);

  CMutexLock none(nullptr);  // a null handle is a no-op
}

TEST(SysEvent, CreatedHandlesWork) {
  EventHandle ev = Plat_CreateEvent(true, true);
  ASSERT_NE(ev, nullptr);
  EXPECT_TRUE(ev->WaitFor(0));
}

}  // namespace
