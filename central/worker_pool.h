#pragma once
// Worker threads for the slow steps of an event loop (password hashing, the database): the
// loop posts jobs, a worker turns each into a result, and the results come back to the loop's
// own thread through an event on its base. The base needs libevent's thread support.
#include <event2/event.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

template <typename Job, typename Done>
class CWorkerPool {
 public:
  // On a worker; no result drops the job (its client left).
  using Work = std::function<std::optional<Done>(Job&)>;
  // On the loop's thread: the results that came in since the last call, in order.
  using Deliver = std::function<void(std::deque<Done>&)>;

  CWorkerPool() = default;
  ~CWorkerPool() { Stop(); }
  CWorkerPool(const CWorkerPool&) = delete;
  CWorkerPool& operator=(const CWorkerPool&) = delete;

  // False when the event cannot be made (no thread started then).
  bool Start(event_base* base, int workers, Work work, Deliver deliver) {
    m_work = std::move(work);
    m_deliver = std::move(deliver);
    m_wake = event_new(base, -1, EV_PERSIST, &CWorkerPool::WakeCb, this);
    if (!m_wake) return false;
    for (int i = 0; i < (workers > 0 ? workers : 1); ++i) m_threads.emplace_back([this] { Run(); });
    return true;
  }

  // False, and the job not taken, when `maxQueued` jobs wait already.
  bool Post(Job job, size_t maxQueued = std::numeric_limits<size_t>::max()) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_jobs.size() >= maxQueued) return false;
      m_jobs.push_back(std::move(job));
    }
    m_cv.notify_one();
    return true;
  }

  // Jobs still waiting are dropped; a job being worked on is finished first. Before the base
  // is freed.
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stopping = true;
    }
    m_cv.notify_all();
    for (std::thread& t : m_threads)
      if (t.joinable()) t.join();
    m_threads.clear();
    if (m_wake) event_free(m_wake);
    m_wake = nullptr;
  }

 private:
  void Run() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_stopping) return;
        job = std::move(m_jobs.front());
        m_jobs.pop_front();
      }
      std::optional<Done> done = m_work(job);
      if (!done) continue;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done.push_back(std::move(*done));
      }
      event_active(m_wake, EV_READ, 0);
    }
  }

  static void WakeCb(evutil_socket_t, short, void* arg) {
    auto* pool = static_cast<CWorkerPool*>(arg);
    std::deque<Done> ready;
    {
      std::lock_guard<std::mutex> lock(pool->m_mutex);
      ready.swap(pool->m_done);
    }
    pool->m_deliver(ready);
  }

  Work m_work;
  Deliver m_deliver;
  event* m_wake = nullptr;
  std::vector<std::thread> m_threads;
  std::mutex m_mutex;  // guards the three fields below; nothing else is taken under it
  std::condition_variable m_cv;
  std::deque<Job> m_jobs;
  std::deque<Done> m_done;
  bool m_stopping = false;
};
