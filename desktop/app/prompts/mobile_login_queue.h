#pragma once
// Phone log-in requests waiting for the user. The push reader only hands a copy of each request
// over (CLoginRequestRelay); the main thread keeps them first in, first out, shows one prompt
// at a time and refuses in time: the service itself gives up after 30 seconds, so a request
// still waiting, or still open in its prompt, is refused once it is 25 ticks (seconds) old.
// Every request gets exactly one answer, its id byte for byte as it came.
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "desktop/foundation/ui_data.h"

namespace desktop {

constexpr uint32_t kRefuseAtAge = 25;

class CMobileLoginQueue {
 public:
  using Answer = std::function<void(const MobileLoginAnswer&)>;
  explicit CMobileLoginQueue(Answer answer) : m_answer(std::move(answer)) {}

  // Appends a copy with its age set to 0; false (nothing queued) when the id is waiting or
  // open already, or after Shutdown.
  bool Push(const MobileLoginRequest& request);
  // The oldest waiting request becomes the open one; nothing while one is open.
  std::optional<MobileLoginRequest> TakeNext();
  // The open prompt's decision; false (nothing sent) unless id is the open request's.
  bool AnswerOpen(uint32_t id, bool accept);
  // The prompt of id has closed, however it ended: the request is no longer open (refused when
  // nobody answered it yet), so the next waiting one can be shown.
  void CloseOpen(uint32_t id);
  // One second passed: every request ages by one; waiting ones that reach kRefuseAtAge are
  // refused in queue order (their ids returned). The open one ages too; it is refused when it
  // reaches the age, and OpenExpired() then tells its prompt to close.
  std::vector<uint32_t> Tick();
  bool OpenExpired() const { return m_openExpired; }
  // At exit: the open request (unless answered) and every waiting one are refused once; later
  // pushes and answers send nothing.
  void Shutdown();

  bool HasOpen() const { return m_open.has_value(); }
  size_t Waiting() const { return m_waiting.size(); }
  uint32_t OpenAge() const { return m_open ? m_open->age : 0; }

 private:
  void Send(uint32_t id, bool accept);
  Answer m_answer;
  std::deque<MobileLoginRequest> m_waiting;
  std::optional<MobileLoginRequest> m_open;
  bool m_openExpired = false;
  bool m_closed = false;
};

// Between the push reader thread and the window: the reader posts through it, the window
// cuts it off before it goes, so no request reaches a window that is being destroyed.
class CLoginRequestRelay {
 public:
  using Post = std::function<void(const MobileLoginRequest&)>;
  void Attach(Post post);
  void Detach();
  bool Deliver(const MobileLoginRequest& request);  // false when detached

 private:
  std::mutex m_lock;
  Post m_post;
};

// A text field of a request as the prompt shows it: at most width bytes up to the first zero,
// decoded leniently (bytes that are no UTF-8 become U+FFFD under a UTF-8 locale), and plain:
// line breaks, tabs and other control characters become spaces.
std::wstring PromptText(const char* field, size_t width);

}  // namespace desktop
