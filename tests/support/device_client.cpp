#include "tests/support/device_client.h"

#include <netdb.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "common/command_server.h"
#include "common/os_layer.h"
#include "tests/support/wait_for.h"

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits until the socket is readable or the deadline passes.
bool WaitReadable(int fd, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, RemainingMs(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

Bytes BuildRawMessage(const CommandHeader& header, const Bytes& body) {
  Bytes out(kCommandHeaderSize + body.size());
  EncodeCommandHeader(header, out.data());
  if (!body.empty()) std::memcpy(out.data() + kCommandHeaderSize, body.data(), body.size());
  return out;
}

Bytes BuildMessage(uint16_t opcode, uint32_t param, const Bytes& body) {
  CommandHeader h;
  h.len = static_cast<uint16_t>(kCommandHeaderSize + body.size());
  h.opcode = opcode;
  h.param = param;
  return BuildRawMessage(h, body);
}

Bytes BuildTransMessage(uint16_t opcode, uint32_t param, uint32_t v1, uint32_t v2, uint32_t v3,
                        const Bytes& payload) {
  TransHeader th;
  th.cmd.len = static_cast<uint16_t>(kTransHeaderSize + payload.size());
  th.cmd.opcode = opcode;
  th.cmd.param = param;
  th.v1 = v1;
  th.v2 = v2;
  th.v3 = v3;
  Bytes out(kTransHeaderSize + payload.size());
  EncodeTransHeader(th, out.data());
  if (!payload.empty()) std::memcpy(out.data() + kTransHeaderSize, payload.data(), payload.size());
  return out;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TransHeader DeviceMessage::Trans() const {
  uint8_t raw[kTransHeaderSize] = {0};
  EncodeCommandHeader(header, raw);
  const size_t n = body.size() < kTransHeaderSize - kCommandHeaderSize
                       ? body.size()
                       : kTransHeaderSize - kCommandHeaderSize;
  if (n > 0) std::memcpy(raw + kCommandHeaderSize, body.data(), n);
  return DecodeTransHeader(raw);
}

Bytes PathRequestBody(const std::string& path, char orderFlag) {
  Bytes body(356, 0);
  std::memcpy(body.data() + 1, path.data(), std::min<size_t>(path.size(), 255));
  body[256] = static_cast<uint8_t>(orderFlag);
  return body;
}

Bytes TextField(const std::string& text, size_t width) {
  Bytes out(width, 0);
  std::memcpy(out.data(), text.data(), std::min(text.size(), width));
  return out;
}

Bytes U32RequestBody(uint32_t value) {
  Bytes body(4);
  wire::PutU32(body.data(), value);
  return body;
}

bool DeviceClient::Connect(const std::string& host, uint16_t port) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return false;
  int fd = -1;
  for (addrinfo* ai = res; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(res);
  if (fd < 0) return false;
  Adopt(fd);
  return true;
}

bool DeviceClient::ConnectFrom(const std::string& source, const std::string& host,
                               uint16_t port) {
  Close();
  sockaddr_in src{};
  src.sin_family = AF_INET;
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_port = htons(port);
  if (inet_pton(AF_INET, source.c_str(), &src.sin_addr) != 1 ||
      inet_pton(AF_INET, host.c_str(), &dst.sin_addr) != 1)
    return false;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
    close(fd);
    return false;
  }
  Adopt(fd);
  return true;
}

void DeviceClient::Adopt(int fd) {
  Close();
  m_fd = fd;
  const int one = 1;
  setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void DeviceClient::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

bool DeviceClient::SendRaw(const uint8_t* data, size_t len) {
  if (m_fd < 0) return false;
  size_t sent = 0;
  while (sent < len) {
    const ssize_t n = send(m_fd, data + sent, len - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool DeviceClient::SendInPieces(const Bytes& bytes, const std::vector<size_t>& pieces) {
  size_t at = 0;
  for (size_t piece : pieces) {
    const size_t n = piece < bytes.size() - at ? piece : bytes.size() - at;
    if (!SendRaw(bytes.data() + at, n)) return false;
    at += n;
  }
  return at == bytes.size() || SendRaw(bytes.data() + at, bytes.size() - at);
}

bool DeviceClient::SendAndDrop(const Bytes& bytes, size_t count) {
  const bool ok = SendRaw(bytes.data(), count < bytes.size() ? count : bytes.size());
  Close();
  return ok;
}

bool DeviceClient::ReadExact(uint8_t* out, size_t len, std::chrono::milliseconds wait) {
  if (m_fd < 0) return false;
  const auto deadline = Clock::now() + wait;
  size_t got = 0;
  while (got < len) {
    if (!WaitReadable(m_fd, deadline)) return false;
    const ssize_t n = recv(m_fd, out + got, len - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool DeviceClient::ReadMessage(DeviceMessage& out, std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  uint8_t raw[kCommandHeaderSize];
  if (!ReadExact(raw, sizeof raw, wait)) return false;
  out.header = DecodeCommandHeader(raw);
  if (out.header.len < kCommandHeaderSize) return false;
  out.body.assign(out.header.len - kCommandHeaderSize, 0);
  if (out.body.empty()) return true;
  return ReadExact(out.body.data(), out.body.size(),
                   std::chrono::milliseconds(RemainingMs(deadline)));
}

bool DeviceClient::WaitClosed(std::chrono::milliseconds wait) {
  if (m_fd < 0) return false;
  const auto deadline = Clock::now() + wait;
  uint8_t sink[4096];
  for (;;) {
    if (!WaitReadable(m_fd, deadline)) return false;
    const ssize_t n = recv(m_fd, sink, sizeof sink, 0);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == ECONNRESET;
  }
}

bool TestCommandServer::Start(std::chrono::milliseconds wait) {
  // As in every program of ours: libevent writes with plain send(), so a peer that went away
  // must not kill the process.
  signal(SIGPIPE, SIG_IGN);
  Stop();
  g_LocalPort.store(0);
  m_finished = false;
  m_thread = std::thread([this] {
    OS_RunEvent(nullptr);
    m_finished = true;
  });
  if (!WaitFor([] { return g_LocalPort.load() != 0; }, wait)) return false;
  m_port = g_LocalPort.load();
  return true;
}

void TestCommandServer::Stop() {
  if (!m_thread.joinable()) return;
  // A request to a loop that already ended would stop the next one at once.
  if (!m_finished) OS_StopEvent();
  m_thread.join();
  m_port = 0;
}
