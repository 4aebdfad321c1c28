#include "common/thread_pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "tests/support/wait_for.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;

// A latch that tasks wait on until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
    m_cond.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_open; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_open = false;
};

// Counts concurrent runs and the threads that ran the tasks.
struct Tracker {
  Gate gate;
  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  std::atomic<int> done{0};
  std::mutex mutex;
  std::set<pid_t> threads;
};

int TrackedTask(void* arg) {
  auto* t = static_cast<Tracker*>(arg);
  {
    std::lock_guard<std::mutex> lock(t->mutex);
    t->threads.insert(gettid());
  }
  const int now = ++t->running;
  int seen = t->maxRunning.load();
  while (now > seen && !t->maxRunning.compare_exchange_weak(seen, now)) {
  }
  t->gate.Wait();
  --t->running;
  ++t->done;
  return 0;
}

// One task of its own: records its thread and waits for its own gate.
struct Job {
  Gate gate;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> finished{false};
};

int JobTask(void* arg) {
  auto* job = static_cast<Job*>(arg);
  job->tid = gettid();
  job->gate.Wait();
  job->finished = true;
  return 0;
}

TEST(ThreadPool, LimitHoldsWhileEightThreadsAdd) {
  constexpr int kMax = 5;
  constexpr int kAdders = 8;
  constexpr int kTasksEach = 12;
  ThreadPool* pool = ThreadPool_Create(kMax);
  ASSERT_NE(nullptr, pool);
  Tracker tracker;

  std::vector<std::thread> adders;
  std::atomic<int> failures{0};
  for (int a = 0; a < kAdders; ++a) {
    adders.emplace_back([&] {
      for (int i = 0; i < kTasksEach; ++i)
        if (ThreadPool_AddTask(pool, TrackedTask, &tracker) != 0) ++failures;
    });
  }
  // Every worker is busy and the adders are held at the limit.
  ASSERT_TRUE(WaitFor([&] { return tracker.running.load() == kMax; }, kDeadline));
  EXPECT_EQ(kMax, ThreadPool_LiveCount(pool));
  EXPECT_EQ(-1, ThreadPool_TryAddTask(pool, TrackedTask, &tracker));

  tracker.gate.Open();
  for (auto& t : adders) t.join();
  ASSERT_TRUE(WaitFor([&] { return tracker.done.load() == kAdders * kTasksEach; }, kDeadline));

  EXPECT_EQ(0, failures.load());
  EXPECT_LE(tracker.maxRunning.load(), kMax);
  EXPECT_LE(ThreadPool_LiveCount(pool), kMax);
  EXPECT_LE(static_cast<int>(tracker.threads.size()), kMax);
  ASSERT_TRUE(WaitFor([&] { return ThreadPool_IdleCount(pool) == ThreadPool_LiveCount(pool); }, kDeadline));
}

TEST(ThreadPool, AnAdderAtTheLimitWaitsForAWorkerAndReusesIt) {
  constexpr int kMax = 3;
  ThreadPool* pool = ThreadPool_Create(kMax);
  ASSERT_NE(nullptr, pool);
  Job busy[kMax];
  for (Job& job : busy) ASSERT_EQ(0, ThreadPool_AddTask(pool, JobTask, &job));
  ASSERT_TRUE(WaitFor([&] { return std::all_of(std::begin(busy), std::end(busy),
                                               [](const Job& j) { return j.tid != 0; }); },
                      kDeadline));

  Job extra;
  EXPECT_EQ(-1, ThreadPool_TryAddTask(pool, JobTask, &extra));
  std::atomic<int> addResult{1};
  std::thread adder([&] { addResult = ThreadPool_AddTask(pool, JobTask, &extra); });

  busy[1].gate.Open();
  adder.join();
  EXPECT_EQ(0, addResult.load());
  ASSERT_TRUE(WaitFor([&] { return extra.tid != 0; }, kDeadline));
  EXPECT_EQ(busy[1].tid.load(), extra.tid.load());
  EXPECT_EQ(kMax, ThreadPool_LiveCount(pool));

  extra.gate.Open();
  busy[0].gate.Open();
  busy[2].gate.Open();
  ASSERT_TRUE(WaitFor([&] { return ThreadPool_IdleCount(pool) == kMax; }, kDeadline));
  EXPECT_EQ(kMax, ThreadPool_LiveCount(pool));
}

TEST(ThreadPool, TheLastParkedWorkerTakesTheNextTask) {
  ThreadPool* pool = ThreadPool_Create(4);
  ASSERT_NE(nullptr, pool);
  Job first, second;
  ASSERT_EQ(0, ThreadPool_AddTask(pool, JobTask, &first));
  ASSERT_EQ(0, ThreadPool_AddTask(pool, JobTask, &second));
  ASSERT_TRUE(WaitFor([&] { return first.tid != 0 && second.tid != 0; }, kDeadline));
  EXPECT_NE(first.tid.load(), second.tid.load());

  first.gate.Open();
  ASSERT_TRUE(WaitFor([&] { return ThreadPool_IdleCount(pool) == 1; }, kDeadline));
  second.gate.Open();
  ASSERT_TRUE(WaitFor([&] { return ThreadPool_IdleCount(pool) == 2; }, kDeadline));

  Job next;
  next.gate.Open();
  ASSERT_EQ(0, ThreadPool_TryAddTask(pool, JobTask, &next));
  ASSERT_TRUE(WaitFor([&] { return next.finished.load(); }, kDeadline));
  EXPECT_EQ(second.tid.load(), next.tid.load());

  // A short task after a short task runs on the same thread.
  ASSERT_TRUE(WaitFor([&] { return ThreadPool_IdleCount(pool) == 2; }, kDeadline));
  Job again;
  again.gate.Open();
  ASSERT_EQ(0, ThreadPool_AddTask(pool, JobTask, &again));
  ASSERT_TRUE(WaitFor([&] { return again.finished.load(); }, kDeadline));
  EXPECT_EQ(next.tid.load(), again.tid.load());
  EXPECT_EQ(2, ThreadPool_LiveCount(pool));
}

TEST(ThreadPool, RefusesBadArguments) {
  EXPECT_EQ(nullptr, ThreadPool_Create(0));
  EXPECT_EQ(-1, ThreadPool_AddTask(nullptr, JobTask, nullptr));
  EXPECT_EQ(-1, ThreadPool_TryAddTask(nullptr, JobTask, nullptr));
  ThreadPool* pool = ThreadPool_Create();
  ASSERT_NE(nullptr, pool);
  EXPECT_EQ(-1, ThreadPool_AddTask(pool, nullptr, nullptr));
  EXPECT_EQ(0, ThreadPool_LiveCount(pool));
}

TEST(ThreadPool, DefaultPoolRunsFiftyAtOnce) {
  ThreadPool* pool = ThreadPool_Create();
  ASSERT_NE(nullptr, pool);
  Tracker tracker;
  for (int i = 0; i < 50; ++i) ASSERT_EQ(0, ThreadPool_TryAddTask(pool, TrackedTask, &tracker));
  ASSERT_TRUE(WaitFor([&] { return tracker.running.load() == 50; }, kDeadline));
  EXPECT_EQ(-1, ThreadPool_TryAddTask(pool, TrackedTask, &tracker));
  EXPECT_EQ(50, ThreadPool_LiveCount(pool));
  tracker.gate.Open();
  ASSERT_TRUE(WaitFor([&] { return tracker.done.load() == 50; }, kDeadline));
}

}  // namespace
