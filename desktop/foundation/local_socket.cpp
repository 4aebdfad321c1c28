#include "desktop/foundation/local_socket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

void SetTimeouts(int fd, int sendMs, int recvMs) {
  timeval tv{sendMs / 1000, (sendMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  tv = timeval{recvMs / 1000, (recvMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A connected request socket, or -1. The host is a dotted IPv4 text, never resolved.
int Connect(const std::string& host, uint16_t port) {
  if (host.empty() || port == 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  SetTimeouts(fd, 500, 1000);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const uint8_t* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = send(fd, data + done, len - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(int fd, uint8_t* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    const ssize_t n = recv(fd, data + done, len - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Reads one frame: header, then the rest of its stated length. 0, -3 no (valid) header,
// -1 body incomplete.
int ReadFrame(int fd, std::vector<uint8_t>& frame) {
  uint8_t header[8];
  if (!RecvAll(fd, header, sizeof header)) return -3;
  const uint16_t total = Be16(header);
  if (total < 8) return -3;  // a length below its own header is no frame
  frame.assign(total, 0);
  std::memcpy(frame.data(), header, 8);
  if (total > 8 && !RecvAll(fd, frame.data() + 8, total - 8u)) return -1;
  return 0;
}

}  // namespace

LocalSocket::LocalSocket(uint16_t requestPort, uint16_t pushPort)
    : m_requestPort(requestPort), m_pushPort(pushPort) {
  m_sender = std::thread(&LocalSocket::SenderThread, this);
}

LocalSocket::~LocalSocket() { Stop(); }

void LocalSocket::Stop() {
  m_stop = true;
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_queue.clear();
  }
  m_queueWake.notify_all();
  if (m_sender.joinable()) m_sender.join();
  // Wake the listener's accept and every reader's receive, then wait for them all.
  if (m_listenSocket >= 0) shutdown(m_listenSocket, SHUT_RDWR);
  if (m_listener.joinable()) m_listener.join();
  {
    std::lock_guard<std::recursive_mutex> map(m_mapLock);
    std::lock_guard<std::mutex> lock(m_readersLock);
    for (auto& r : m_readers) shutdown(r.second.second, SHUT_RDWR);
    for (auto& p : m_pushes) shutdown(p.second.socket, SHUT_RDWR);
  }
  for (;;) {
    std::thread t;
    {
      std::lock_guard<std::mutex> lock(m_readersLock);
      if (!m_finished.empty()) {
        t = std::move(m_finished.back());
        m_finished.pop_back();
      } else if (!m_readers.empty()) {
        t = std::move(m_readers.begin()->second.first);
        m_readers.erase(m_readers.begin());
      } else {
        break;
      }
    }
    if (t.joinable()) t.join();
  }
  std::lock_guard<std::recursive_mutex> map(m_mapLock);
  for (auto& p : m_pushes) close(p.second.socket);
  m_pushes.clear();
  if (m_listenSocket >= 0) close(m_listenSocket);
  m_listenSocket = -1;
}

int LocalSocket::SendRequestWaitReply(const uint8_t* message, int length, std::vector<uint8_t>& reply,
                                      const std::string& host, uint16_t port) {
  if (host.empty()) return -2;
  const int fd = Connect(host, port);
  if (fd < 0) return -2;
  if (!message || length <= 0 || !SendAll(fd, message, static_cast<size_t>(length))) {
    close(fd);
    return -1;
  }
  std::vector<uint8_t> frame;
  const int rc = ReadFrame(fd, frame);
  close(fd);
  if (rc != 0) return rc;
  reply.swap(frame);
  return 0;
}

int LocalSocket::QueueRequest(const uint8_t* message, const std::string& host) {
  if (!message || host.empty()) {
    ISocketConnectCallback* cb = m_callback;
    if (cb) cb->OnError(message ? Be16(message + 2) : 0, 1);
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_queue.push_back(QueuedRequest{host, m_requestPort,
                                    std::vector<uint8_t>(message, message + kLoginQueueMessageSize)});
  }
  m_queueWake.notify_one();
  return 0;
}

void LocalSocket::SenderThread() {
  for (;;) {
    QueuedRequest request;
    {
      std::unique_lock<std::mutex> lock(m_queueLock);
      m_queueWake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
      if (m_stop) return;
      request = std::move(m_queue.front());
      m_queue.pop_front();
    }
    const uint16_t opcode = Be16(request.message.data() + 2);
    ISocketConnectCallback* cb = m_callback;
    const int fd = Connect(request.host, request.port);
    if (fd < 0) {
      if (cb) cb->OnError(opcode, 1);
      continue;
    }
    if (!SendAll(fd, request.message.data(), request.message.size())) {
      close(fd);
      if (cb) cb->OnError(opcode, 2);
      continue;
    }
    std::vector<uint8_t> frame;
    if (ReadFrame(fd, frame) != 0) {
      close(fd);
      if (cb) cb->OnError(opcode, 3);
      continue;
    }
    close(fd);
    cb = m_callback;
    if (cb) cb->OnRecv(frame.data(), static_cast<int>(frame.size()));
  }
}

bool LocalSocket::StartListener() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(m_pushPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // only this PC's service may ask
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return false;
  }
  m_boundPushPort = ntohs(addr.sin_port);
  m_listenSocket = fd;
  m_listener = std::thread(&LocalSocket::ListenerThread, this);
  return true;
}

void LocalSocket::ListenerThread() {
  int failures = 0;
  while (!m_stop) {
    const int fd = accept4(m_listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (m_stop) break;
      // Back off a little when accepting keeps failing (descriptors exhausted).
      if (++failures > 10) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    failures = 0;
    SetTimeouts(fd, 10000, 10000);
    std::lock_guard<std::mutex> lock(m_readersLock);
    if (m_stop) {
      close(fd);
      break;
    }
    // Readers that have ended are joined here, so threads do not pile up.
    for (std::thread& t : m_finished) t.join();
    m_finished.clear();
    std::thread reader(&LocalSocket::ReadPush, this, fd);
    const std::thread::id id = reader.get_id();
    m_readers.emplace(id, std::make_pair(std::move(reader), fd));
  }
}

void LocalSocket::ReadPush(int fd) {
  std::vector<uint8_t> frame;
  bool held = false;
  ISocketConnectCallback* cb = m_callback;
  if (ReadFrame(fd, frame) == 0 && cb && !m_stop && Be16(frame.data() + 2) == kOpDeviceLoginPush &&
      frame.size() >= static_cast<size_t>(kMinPushSize)) {
    uint32_t id;
    std::memcpy(&id, frame.data() + 4, 4);
    {
      std::lock_guard<std::recursive_mutex> map(m_mapLock);
      if (m_pushes.find(id) == m_pushes.end()) {
        m_pushes[id] = PushConnection{fd, this, id};
        held = true;
      }
    }
    // The question is put whether or not its id is held; only a held one can be answered.
    cb->OnRecv(frame.data(), static_cast<int>(frame.size()));
  }
  if (!held) close(fd);  // not answerable: the service counts it as refused
  std::lock_guard<std::mutex> lock(m_readersLock);
  auto it = m_readers.find(std::this_thread::get_id());
  if (it != m_readers.end()) {
    m_finished.push_back(std::move(it->second.first));
    m_readers.erase(it);
  }
}

int LocalSocket::ReplyToPush(int socket, LocalSocket* owner, uint32_t requestId, uint32_t verdict) {
  uint8_t answer[12] = {0, 12, kOpDeviceLoginPush >> 8, kOpDeviceLoginPush & 0xFF};
  std::memcpy(answer + 4, &requestId, 4);  // the id's bytes go back as they came
  answer[8] = static_cast<uint8_t>(verdict >> 24);
  answer[9] = static_cast<uint8_t>(verdict >> 16);
  answer[10] = static_cast<uint8_t>(verdict >> 8);
  answer[11] = static_cast<uint8_t>(verdict);
  const bool sent = SendAll(socket, answer, sizeof answer);
  if (owner) {
    std::lock_guard<std::recursive_mutex> map(owner->m_mapLock);
    auto it = owner->m_pushes.find(requestId);
    if (it != owner->m_pushes.end() && it->second.socket == socket) owner->m_pushes.erase(it);
  }
  close(socket);
  return sent ? 0 : -1;
}

bool LocalSocket::FindPush(uint32_t requestId, PushConnection& out) {
  std::lock_guard<std::recursive_mutex> map(m_mapLock);
  auto it = m_pushes.find(requestId);
  if (it == m_pushes.end()) return false;
  out = it->second;
  return true;
}

size_t LocalSocket::HeldPushes() {
  std::lock_guard<std::recursive_mutex> map(m_mapLock);
  return m_pushes.size();
}
