#include "desktop/app/prompts/mobile_login_queue.h"

#include <cstring>

#include "desktop/foundation/text_encodings.h"

namespace desktop {

bool CMobileLoginQueue::Push(const MobileLoginRequest& request) {
  if (m_closed) return false;
  if (m_open && m_open->requestId == request.requestId) return false;
  for (const MobileLoginRequest& r : m_waiting)
    if (r.requestId == request.requestId) return false;
  MobileLoginRequest copy = request;
  copy.age = 0;
  m_waiting.push_back(copy);
  return true;
}

std::optional<MobileLoginRequest> CMobileLoginQueue::TakeNext() {
  if (m_closed || m_open || m_waiting.empty()) return std::nullopt;
  m_open = m_waiting.front();
  m_waiting.pop_front();
  m_openExpired = false;
  return m_open;
}

bool CMobileLoginQueue::AnswerOpen(uint32_t id, bool accept) {
  if (!m_open || m_open->requestId != id) return false;
  const bool answered = m_openExpired;
  m_open.reset();
  m_openExpired = false;
  if (answered) return false;  // refused already when it expired
  Send(id, accept);
  return true;
}

void CMobileLoginQueue::CloseOpen(uint32_t id) {
  if (m_open && m_open->requestId == id) AnswerOpen(id, false);
}

std::vector<uint32_t> CMobileLoginQueue::Tick() {
  std::vector<uint32_t> refused;
  if (m_closed) return refused;
  if (m_open && !m_openExpired && ++m_open->age >= kRefuseAtAge) {
    m_openExpired = true;
    Send(m_open->requestId, false);
    refused.push_back(m_open->requestId);
  }
  for (MobileLoginRequest& r : m_waiting) ++r.age;
  // Requests age together and arrive with age 0, so the oldest are always at the front.
  while (!m_waiting.empty() && m_waiting.front().age >= kRefuseAtAge) {
    const uint32_t id = m_waiting.front().requestId;
    m_waiting.pop_front();
    Send(id, false);
    refused.push_back(id);
  }
  return refused;
}

void CMobileLoginQueue::Shutdown() {
  if (m_closed) return;
  if (m_open && !m_openExpired) Send(m_open->requestId, false);
  for (const MobileLoginRequest& r : m_waiting) Send(r.requestId, false);
  m_waiting.clear();
  m_open.reset();
  m_closed = true;
}

void CMobileLoginQueue::Send(uint32_t id, bool accept) {
  if (!m_answer) return;
  const MobileLoginAnswer answer{id, static_cast<uint8_t>(accept ? 1 : 0)};
  m_answer(answer);
}

void CLoginRequestRelay::Attach(Post post) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_post = std::move(post);
}

void CLoginRequestRelay::Detach() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_post = nullptr;
}

bool CLoginRequestRelay::Deliver(const MobileLoginRequest& request) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_post) return false;
  m_post(request);
  return true;
}

std::wstring PromptText(const char* field, size_t width) {
  if (!field) return L"";
  const std::string bytes(field, strnlen(field, width));
  std::wstring text = LocalCharsetOfSystem().empty() ? Utf8ToWide(bytes) : AnsiToWide(bytes);
  for (wchar_t& c : text)
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029) c = L' ';
  return text;
}

}  // namespace desktop
