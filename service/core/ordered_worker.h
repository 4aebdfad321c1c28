#pragma once
// A thread of its own that runs the work handed to it one piece at a time, in the order handed
// over: for work that must leave the event threads yet keep its order (transfer-log rows,
// upload data). Started with the first piece; it lives as long as the process, so a piece
// never outlives its worker.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Starts the thread of a worker that lives as long as the process, running `loop`; its id goes
// to `id`. False, logged under `name`, when the system refuses a thread.
bool StartWorkerThread(const char* name, std::function<void()> loop, std::thread::id& id);

class COrderedWorker {
 public:
  // name: what the log calls it when its thread cannot start.
  explicit COrderedWorker(const char* name) : m_name(name) {}
  COrderedWorker(const COrderedWorker&) = delete;
  COrderedWorker& operator=(const COrderedWorker&) = delete;

  // False (the work dropped, logged) when the thread cannot start.
  bool Post(std::function<void()> work);
  // Waits until everything posted before the call has run. On the worker itself it returns
  // at once: what it waits for would run after the piece that waits.
  void Drain();
  bool OnWorker();
  // Tests: runs on the worker before each piece (null: none).
  void SetBeforeEachHook(void (*hook)()) { m_beforeEach.store(hook); }

 private:
  void Loop();

  const char* m_name;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<std::function<void()>> m_work;
  uint64_t m_posted = 0;  // pieces ever posted
  uint64_t m_done = 0;    // pieces ever run
  bool m_started = false;
  std::thread::id m_thread;
  std::atomic<void (*)()> m_beforeEach{nullptr};
};
