#pragma once
// The desktop program's push listener as the service sees it: a loopback TCP listener on a
// free port that reads each 264-byte log-in question and answers it as the test decides
// (accept, refuse, malformed bytes, or silence until the stand-in stops).
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class DesktopStandIn {
 public:
  using Bytes = std::vector<uint8_t>;
  // What to send back for a question: bytes (none: close at once), or silence.
  struct Answer {
    Bytes bytes;
    bool silent = false;  // send nothing, keep the connection open
  };
  using Decide = std::function<Answer(const Bytes& push)>;

  DesktopStandIn() = default;
  ~DesktopStandIn() { Stop(); }
  DesktopStandIn(const DesktopStandIn&) = delete;
  DesktopStandIn& operator=(const DesktopStandIn&) = delete;

  // Listens on 127.0.0.1 (port 0: any free port); forgets earlier questions.
  bool Start(Decide decide, uint16_t port = 0);
  void Stop();                // closes everything, silent connections included
  uint16_t Port() const { return m_port; }
  std::vector<Bytes> Questions();  // every question read so far, in arrival order
  int Connections() const { return m_connections.load(); }

  // {12, 0x500D, id, result}: the well-formed answer to a question.
  static Bytes AnswerTo(const Bytes& push, uint32_t result);
  // Starts answering every question only once release is set: yes (0) for a sender whose
  // e-mail begins "yes@", else no (1). Pair it with a HeldAnswersGuard.
  bool StartHeldYesNo(std::atomic<bool>& release, uint16_t port);

 private:
  void Serve(int fd);
  int m_listen = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  Decide m_decide;
  std::thread m_acceptor;
  std::mutex m_mutex;  // guards the fields below
  std::vector<std::thread> m_workers;
  std::vector<Bytes> m_questions;
};

// Lets the held answers go, then stops the stand-in, before `release` itself goes.
struct HeldAnswersGuard {
  std::atomic<bool>& release;
  DesktopStandIn& desktop;
  ~HeldAnswersGuard() {
    release = true;
    desktop.Stop();
  }
};

