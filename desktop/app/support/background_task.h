#pragma once
// The program's one way to work off the main thread. An owner (a window, the update checker)
// holds a CBackgroundTasks: each task runs on the owner's worker thread, one after another in
// the order given, and its result comes back to the main thread only while the owner has not
// stopped. Stop() (also the destructor) raises the cancel flag, drops what waits and every
// result not yet delivered, and joins the worker; a transfer that watches the flag (curl's
// progress callback) ends at once, a loopback request within its own time-out.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class CBackgroundTasks {
 public:
  using Work = std::function<void(const std::atomic<bool>& cancelled)>;
  using Done = std::function<void()>;

  CBackgroundTasks() = default;
  ~CBackgroundTasks() { Stop(); }
  CBackgroundTasks(const CBackgroundTasks&) = delete;
  CBackgroundTasks& operator=(const CBackgroundTasks&) = delete;

  // work on the worker; then done on the main thread (when given), unless stopped or
  // cancelled meanwhile. Nothing runs after Stop().
  void Run(Work work, Done done = nullptr);
  // The same with a value handed from the worker to the main thread.
  template <typename T>
  void Run(std::function<T(const std::atomic<bool>& cancelled)> work, std::function<void(T)> done) {
    auto value = std::make_shared<T>();
    Run([work, value](const std::atomic<bool>& cancelled) { *value = work(cancelled); },
        [done, value] {
          if (done) done(std::move(*value));
        });
  }
  // From a worker (a task, or a callback that arrives on another thread): fn on the main
  // thread, unless stopped first. Keeps its place among the results of this owner's tasks.
  void Post(Done fn);
  // The task that runs now is told to give up and what waits is dropped, with their results;
  // tasks given later run as usual.
  void CancelPending();
  void Stop();

  bool Stopped() const { return m_state->stopped; }
  // Tasks waiting or running, or results on their way to the main thread.
  bool Busy() const { return m_state->outstanding > 0; }
  // The flag the running task watches (for a transfer's cancel pointer).
  const std::atomic<bool>& CancelFlag() const { return m_state->cancel; }

 private:
  struct Task {
    Work work;
    Done done;
    uint64_t generation;
  };
  // Shared with the results on their way, which may outlive the owner.
  struct State {
    std::atomic<bool> stopped{false};
    std::atomic<bool> cancel{false};
    std::atomic<uint64_t> generation{0};
    std::atomic<int> outstanding{0};
  };
  void Loop();
  void Deliver(Done done, uint64_t generation);

  std::shared_ptr<State> m_state = std::make_shared<State>();
  std::mutex m_lock;  // guards the queue and the thread
  std::condition_variable m_wake;
  std::deque<Task> m_queue;
  std::thread m_thread;
};
