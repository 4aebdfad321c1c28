// The central server's worker pool on a real event loop running on a thread of its own.
#include "central/worker_pool.h"

#include <event2/thread.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/wait_for.h"

namespace {

using std::chrono::seconds;

class WorkerPool : public ::testing::Test {
 protected:
  void SetUp() override {
    evthread_use_pthreads();
    base = event_base_new();
    ASSERT_NE(base, nullptr);
    loop = std::thread([this] {
      loopThread = std::this_thread::get_id();
      event_base_loop(base, EVLOOP_NO_EXIT_ON_EMPTY);
    });
  }
  void TearDown() override {
    Open();
    pool.Stop();
    event_base_loopbreak(base);
    loop.join();
    event_base_free(base);
  }

  // Work that waits for the gate, then doubles the job; an odd job is dropped.
  std::optional<int> Work(int& job) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      ++started;
      gateCv.wait(lock, [this] { return gateOpen; });
    }
    if (job % 2 != 0) return std::nullopt;
    return job * 2;
  }
  void Deliver(std::deque<int>& ready) {
    std::lock_guard<std::mutex> lock(mutex);
    if (std::this_thread::get_id() != loopThread) offLoop = true;
    for (int d : ready) results.push_back(d);
  }
  bool Start(int workers) {
    return pool.Start(base, workers, [this](int& job) { return Work(job); },
                      [this](std::deque<int>& ready) { Deliver(ready); });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      gateOpen = true;
    }
    gateCv.notify_all();
  }
  size_t Results() {
    std::lock_guard<std::mutex> lock(mutex);
    return results.size();
  }
  int Started() {
    std::lock_guard<std::mutex> lock(mutex);
    return started;
  }

  event_base* base = nullptr;
  std::thread loop;
  std::thread::id loopThread;
  CWorkerPool<int, int> pool;
  std::mutex mutex;  // guards the fields below
  std::condition_variable gateCv;
  bool gateOpen = false;
  int started = 0;
  std::vector<int> results;
  bool offLoop = false;
};

TEST_F(WorkerPool, ResultsComeBackOnTheLoopInOrderAndDroppedJobsGiveNone) {
  ASSERT_TRUE(Start(1));
  Open();
  for (int job : {2, 3, 4, 5, 6}) ASSERT_TRUE(pool.Post(job));
  ASSERT_TRUE(WaitFor([this] { return Results() == 3; }, seconds(30)));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(results, (std::vector<int>{4, 8, 12}));
  EXPECT_FALSE(offLoop);
}

TEST_F(WorkerPool, AFullQueueRefusesAndWhatWasTakenIsStillWorked) {
  ASSERT_TRUE(Start(2));
  // Both workers hold a job at the gate; two more wait in the queue, its cap.
  for (int job : {10, 20}) ASSERT_TRUE(pool.Post(job, 2));
  ASSERT_TRUE(WaitFor([this] { return Started() == 2; }, seconds(30)));
  for (int job : {30, 40}) ASSERT_TRUE(pool.Post(job, 2));
  EXPECT_FALSE(pool.Post(50, 2));
  Open();
  ASSERT_TRUE(WaitFor([this] { return Results() == 4; }, seconds(30)));
  EXPECT_TRUE(pool.Post(60, 2));  // room again
  ASSERT_TRUE(WaitFor([this] { return Results() == 5; }, seconds(30)));
}

}  // namespace
