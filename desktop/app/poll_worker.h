#pragma once
// Runs the log-on poll's two loopback requests (status, phone state) off the main thread and
// hands their answers back to it, so a service that hangs never freezes a window. One request
// pair at a time; answers that arrive after the worker was stopped are dropped.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace desktop { class IUIData; }

class CPollWorker {
 public:
  using Done = std::function<void(int status, int mobile)>;
  explicit CPollWorker(desktop::IUIData* uiData);
  ~CPollWorker();  // stops; waits for a request pair under way (each is bounded by its time-out)

  // Queues one poll; done runs on the main thread. A poll already waiting is replaced.
  void Run(Done done);
  void Stop();

 private:
  void Loop();
  desktop::IUIData* m_uiData;
  std::mutex m_lock;
  std::condition_variable m_wake;
  Done m_pending;
  bool m_stop = false;
  std::shared_ptr<std::atomic<bool>> m_alive;
  std::thread m_thread;
};
