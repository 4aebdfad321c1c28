#pragma once
// Win32-style mutex and event handles on Linux. A mutex is recursive (an owner may take it
// again) and an event is a flag with a condition variable. Handles are created once and are
// never freed while threads may use them; "closing" one only clears the caller's handle.
#include <condition_variable>
#include <mutex>

class CSysMutex {
 public:
  void Lock() { m_mutex.lock(); }
  void Unlock() { m_mutex.unlock(); }
  bool TryLock() { return m_mutex.try_lock(); }

 private:
  std::recursive_mutex m_mutex;
};

class CSysEvent {
 public:
  CSysEvent(bool manualReset, bool initiallySet) : m_manual(manualReset), m_set(initiallySet) {}
  void Set();
  void Reset();
  void Wait();                  // waits without limit
  bool WaitFor(int timeoutMs);  // true when signalled within the time; < 0 waits without limit

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_manual;
  bool m_set;
};

using MutexHandle = CSysMutex*;
using EventHandle = CSysEvent*;

// Immortal objects: the memory is kept until the process ends (a thread still holding a
// handle after a close must not touch freed memory).
MutexHandle Plat_CreateMutex();
EventHandle Plat_CreateEvent(bool manualReset, bool initiallySet);

// Scoped lock over a handle; a null handle is a no-op, like a failed Win32 wait.
class CMutexLock {
 public:
  explicit CMutexLock(MutexHandle h) : m_h(h) { if (m_h) m_h->Lock(); }
  ~CMutexLock() { if (m_h) m_h->Unlock(); }
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;

 private:
  MutexHandle m_h;
};
