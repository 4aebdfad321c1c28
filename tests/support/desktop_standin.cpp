#include "tests/support/desktop_standin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "tests/support/wait_for.h"

namespace {
constexpr size_t kQuestionSize = 264;
constexpr int kTickMs = 20;
}  // namespace

bool DesktopStandIn::Start(Decide decide, uint16_t port) {
  Stop();
  m_stop = false;
  m_connections = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_questions.clear();
  }
  m_decide = std::move(decide);
  m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listen < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  socklen_t len = sizeof a;
  const int one = 1;
  setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_listen, 16) != 0 ||
      getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(m_listen);
    m_listen = -1;
    return false;
  }
  m_port = ntohs(a.sin_port);
  m_acceptor = std::thread([this] {
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (poll(&p, 1, kTickMs) <= 0) continue;
      const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++m_connections;
      std::lock_guard<std::mutex> lock(m_mutex);
      m_workers.emplace_back([this, fd] { Serve(fd); });
    }
  });
  return true;
}

void DesktopStandIn::Serve(int fd) {
  Bytes push;
  uint8_t buf[512];
  while (!m_stop && push.size() < kQuestionSize) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kTickMs) <= 0) continue;
    const ssize_t n = recv(fd, buf, kQuestionSize - push.size(), 0);
    if (n <= 0) break;
    push.insert(push.end(), buf, buf + n);
  }
  if (push.size() == kQuestionSize) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_questions.push_back(push);
    }
    const Answer answer = m_decide(push);
    if (!answer.bytes.empty()) send(fd, answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL);
    // Silent: hold the connection until the service gives up or the stand-in stops.
    while (answer.silent && !m_stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, kTickMs) > 0 && recv(fd, buf, sizeof buf, 0) <= 0) break;
    }
  }
  close(fd);
}

void DesktopStandIn::Stop() {
  m_stop = true;
  if (m_acceptor.joinable()) m_acceptor.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    workers.swap(m_workers);
  }
  for (auto& t : workers) t.join();
  if (m_listen >= 0) close(m_listen);
  m_listen = -1;
}

std::vector<DesktopStandIn::Bytes> DesktopStandIn::Questions() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_questions;
}

DesktopStandIn::Bytes DesktopStandIn::AnswerTo(const Bytes& push, uint32_t result) {
  Bytes out = {0x00, 0x0C, 0x50, 0x0D, 0, 0, 0, 0, uint8_t(result >> 24), uint8_t(result >> 16),
               uint8_t(result >> 8), uint8_t(result)};
  for (int i = 4; i < 8 && static_cast<size_t>(i) < push.size(); ++i) out[i] = push[i];
  return out;
}

bool DesktopStandIn::StartHeldYesNo(std::atomic<bool>& release, uint16_t port) {
  return Start([&release](const Bytes& push) {
    WaitFor([&] { return release.load(); }, std::chrono::seconds(20));
    const bool yes = push.size() >= 12 && std::string(push.begin() + 8, push.begin() + 12) == "yes@";
    return Answer{AnswerTo(push, yes ? 0 : 1)};
  }, port);
}
