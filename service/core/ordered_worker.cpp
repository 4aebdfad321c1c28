#include "service/core/ordered_worker.h"

#include <system_error>
#include <utility>

#include "common/log.h"

bool StartWorkerThread(const char* name, std::function<void()> loop, std::thread::id& id) {
  try {
    std::thread thread(std::move(loop));
    id = thread.get_id();
    thread.detach();
    return true;
  } catch (const std::system_error&) {
    QV_LOG(kModCommLib, kLogError, "%s cannot start; its work is lost.", name);
    return false;
  }
}

bool COrderedWorker::Post(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_started) {
    if (!StartWorkerThread(m_name, [this] { Loop(); }, m_thread)) return false;
    m_started = true;
  }
  m_work.push_back(std::move(work));
  ++m_posted;
  m_changed.notify_all();
  return true;
}

void COrderedWorker::Drain() {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_started && std::this_thread::get_id() == m_thread) return;
  const uint64_t target = m_posted;
  m_changed.wait(lock, [&] { return m_done >= target; });
}

bool COrderedWorker::OnWorker() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_started && std::this_thread::get_id() == m_thread;
}

void COrderedWorker::Loop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [&] { return !m_work.empty(); });
    std::function<void()> work = std::move(m_work.front());
    m_work.pop_front();
    lock.unlock();
    if (void (*hook)() = m_beforeEach.load()) hook();
    work();
    lock.lock();
    ++m_done;
    m_changed.notify_all();
  }
}
