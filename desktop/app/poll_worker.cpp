#include "desktop/app/poll_worker.h"

#include <wx/app.h>

#include "desktop/foundation/ui_data.h"

CPollWorker::CPollWorker(desktop::IUIData* uiData)
    : m_uiData(uiData), m_alive(std::make_shared<std::atomic<bool>>(true)) {
  m_thread = std::thread([this] { Loop(); });
}

CPollWorker::~CPollWorker() { Stop(); }

void CPollWorker::Stop() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stop = true;
    m_pending = nullptr;
  }
  *m_alive = false;
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void CPollWorker::Run(Done done) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_stop) return;
    m_pending = std::move(done);
  }
  m_wake.notify_one();
}

void CPollWorker::Loop() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    m_wake.wait(lock, [this] { return m_stop || m_pending; });
    if (m_stop) return;
    Done done = std::move(m_pending);
    m_pending = nullptr;
    lock.unlock();
    const int status = m_uiData ? m_uiData->GetLogOnStatus() : -2;
    const int mobile = m_uiData ? m_uiData->GetMobileState() : 0;
    std::shared_ptr<std::atomic<bool>> alive = m_alive;
    if (wxTheApp && *alive) {
      wxTheApp->CallAfter([alive, done, status, mobile] {
        if (*alive) done(status, mobile);
      });
    }
    lock.lock();
  }
}
