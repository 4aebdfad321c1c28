#include "platform/sync.h"

#include <chrono>

void CSysEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_set = true;
  }
  // An auto-reset event releases one waiter; a manual one releases them all.
  if (m_manual) {
    m_cond.notify_all();
  } else {
    m_cond.notify_one();
  }
}

void CSysEvent::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_set = false;
}

void CSysEvent::Wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cond.wait(lock, [this] { return m_set; });
  if (!m_manual) m_set = false;
}

bool CSysEvent::WaitFor(int timeoutMs) {
  if (timeoutMs < 0) {
    Wait();
    return true;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_set; })) {
    return false;
  }
  if (!m_manual) m_set = false;
  return true;
}

// Deliberately never deleted: a thread may still hold the handle after its owner closed it.
MutexHandle Plat_CreateMutex() { return new CSysMutex(); }

EventHandle Plat_CreateEvent(bool manualReset, bool initiallySet) {
  return new CSysEvent(manualReset, initiallySet);
}
