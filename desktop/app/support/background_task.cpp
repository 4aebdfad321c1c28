#include "desktop/app/support/background_task.h"

#include <wx/app.h>

void CBackgroundTasks::Run(Work work, Done done) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_state->stopped) return;
  ++m_state->outstanding;
  m_queue.push_back(Task{std::move(work), std::move(done), m_state->generation.load()});
  if (!m_thread.joinable()) m_thread = std::thread([this] { Loop(); });
  m_wake.notify_one();
}

void CBackgroundTasks::Post(Done fn) {
  if (!fn || m_state->stopped) return;
  ++m_state->outstanding;
  Deliver(std::move(fn), m_state->generation);
}

void CBackgroundTasks::Deliver(Done done, uint64_t generation) {
  std::shared_ptr<State> state = m_state;
  if (!wxTheApp || !done) {
    --state->outstanding;
    return;
  }
  wxTheApp->CallAfter([state, done, generation] {
    --state->outstanding;
    // The owner is the one who stops, on this same thread: a result after it is dropped.
    if (!state->stopped && generation == state->generation) done();
  });
}

void CBackgroundTasks::CancelPending() {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_state->generation;
  m_state->cancel = true;
  m_state->outstanding -= static_cast<int>(m_queue.size());
  m_queue.clear();
}

void CBackgroundTasks::Stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_state->stopped = true;
    m_state->cancel = true;
    m_state->outstanding -= static_cast<int>(m_queue.size());
    m_queue.clear();
    thread = std::move(m_thread);
  }
  m_wake.notify_all();
  if (!thread.joinable()) return;
  // A task that stops its own owner cannot wait for itself: it ends on its own.
  if (thread.get_id() == std::this_thread::get_id()) thread.detach();
  else thread.join();
}

void CBackgroundTasks::Loop() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    m_wake.wait(lock, [this] { return m_state->stopped || !m_queue.empty(); });
    if (m_state->stopped) return;
    Task task = std::move(m_queue.front());
    m_queue.pop_front();
    if (task.generation != m_state->generation) {
      --m_state->outstanding;
      continue;
    }
    m_state->cancel = false;
    lock.unlock();
    task.work(m_state->cancel);
    Deliver(std::move(task.done), task.generation);
    lock.lock();
  }
}
