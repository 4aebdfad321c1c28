#include "common/thread_pool.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr int kDefaultMaximum = 50;

}  // namespace

// One per thread; allocated by the pool, freed by its own thread when it ends.
struct ThreadPoolWorker {
  std::mutex mutex;  // hand-over lock between the adding thread and the worker
  std::condition_variable wake;
  PoolTask task = nullptr;
  void* arg = nullptr;
  bool handedOver = false;
  ThreadPool* pool = nullptr;
};

// Lock order: the pool mutex before a worker's mutex. A worker never holds its own mutex
// while it takes the pool mutex.
struct ThreadPool {
  std::mutex mutex;  // guards every field below
  std::condition_variable workerParked;
  std::vector<ThreadPoolWorker*> idle;  // parked workers, last parked on top
  int maximum = kDefaultMaximum;
  int live = 0;
};

namespace {

thread_local bool t_onWorker = false;

void ThreadPool_WorkerProc(ThreadPoolWorker* worker) {
  t_onWorker = true;
  ThreadPool* pool = worker->pool;
  PoolTask task = worker->task;
  void* arg = worker->arg;
  for (;;) {
    task(arg);
    {
      std::lock_guard<std::mutex> lock(pool->mutex);
      if (static_cast<int>(pool->idle.size()) >= pool->maximum) {
        // Cannot happen while live <= maximum; ending keeps the count honest regardless.
        --pool->live;
        delete worker;
        return;
      }
      pool->idle.push_back(worker);
      pool->workerParked.notify_one();
    }
    std::unique_lock<std::mutex> lock(worker->mutex);
    worker->wake.wait(lock, [worker] { return worker->handedOver; });
    worker->handedOver = false;
    task = worker->task;
    arg = worker->arg;
  }
}

// Releases the pool mutex while it waits for a worker to park (or room for a new one), and
// holds it again on return. Another adder may take a worker that parked for us: the wait goes
// on rather than grow the pool past its maximum.
void ThreadPool_WaitEvent(ThreadPool* pool, std::unique_lock<std::mutex>& lock) {
  pool->workerParked.wait(lock, [pool] { return !pool->idle.empty() || pool->live < pool->maximum; });
}

// Called with the pool mutex held and a worker available or room for one.
int HandOver(ThreadPool* pool, PoolTask task, void* arg) {
  if (!pool->idle.empty()) {
    ThreadPoolWorker* worker = pool->idle.back();
    pool->idle.pop_back();
    {
      std::lock_guard<std::mutex> lock(worker->mutex);
      worker->task = task;
      worker->arg = arg;
      worker->handedOver = true;
    }
    worker->wake.notify_one();
    return 0;
  }

  auto* worker = new (std::nothrow) ThreadPoolWorker;
  if (!worker) return -1;
  worker->task = task;
  worker->arg = arg;
  worker->pool = pool;
  try {
    std::thread(ThreadPool_WorkerProc, worker).detach();
  } catch (const std::system_error&) {
    delete worker;
    return -1;
  }
  ++pool->live;
  return 0;
}

}  // namespace

ThreadPool* ThreadPool_Create() { return ThreadPool_Create(kDefaultMaximum); }

ThreadPool* ThreadPool_Create(int maximum) {
  if (maximum < 1) return nullptr;
  auto* pool = new (std::nothrow) ThreadPool;
  if (!pool) {
    fprintf(stderr, "Out of memory creating a new threadpool!\n");
    return nullptr;
  }
  pool->maximum = maximum;
  return pool;
}

int ThreadPool_AddTask(ThreadPool* pool, PoolTask task, void* arg) {
  if (!pool || !task) return -1;
  std::unique_lock<std::mutex> lock(pool->mutex);
  ThreadPool_WaitEvent(pool, lock);
  return HandOver(pool, task, arg);
}

int ThreadPool_TryAddTask(ThreadPool* pool, PoolTask task, void* arg) {
  if (!pool || !task) return -1;
  std::lock_guard<std::mutex> lock(pool->mutex);
  if (pool->idle.empty() && pool->live >= pool->maximum) return -1;
  return HandOver(pool, task, arg);
}

int ThreadPool_LiveCount(ThreadPool* pool) {
  if (!pool) return 0;
  std::lock_guard<std::mutex> lock(pool->mutex);
  return pool->live;
}

int ThreadPool_IdleCount(ThreadPool* pool) {
  if (!pool) return 0;
  std::lock_guard<std::mutex> lock(pool->mutex);
  return static_cast<int>(pool->idle.size());
}

bool ThreadPool_OnWorker() { return t_onWorker; }
