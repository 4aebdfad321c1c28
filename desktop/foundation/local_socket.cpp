#include "desktop/foundation/local_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/socket_owner.h"

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

// How long a request waits for the listener to take its connection before its owner is known.
constexpr int kOwnerWaitMs = 2000;

// On loopback any local user may hold the port while the service is down: only a listener of
// this user (or root) is the service. Says so once per owner found.
bool IsServiceListener(int fd) {
  if (!Plat_IsLoopbackConnection(fd)) return true;  // another host: its owner cannot be told
  uint32_t uid = 0;
  const bool known = Plat_LoopbackPeerUid(fd, uid, kOwnerWaitMs);
  if (known && (uid == 0 || uid == static_cast<uint32_t>(geteuid()))) return true;
  static std::atomic<int64_t> s_lastReported{-1};
  const int64_t seen = known ? static_cast<int64_t>(uid) : -2;
  if (s_lastReported.exchange(seen) != seen) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len);
    if (known)
      std::fprintf(stderr,
                   "Quarlo: port %u on this PC is held by another user's program (uid %u), not by "
                   "the service; nothing was sent to it.\n",
                   ntohs(peer.sin_port), uid);
    else
      std::fprintf(stderr,
                   "Quarlo: the owner of port %u on this PC cannot be told; nothing was sent to it.\n",
                   ntohs(peer.sin_port));
  }
  return false;
}

int ConnectToService(const std::string& host, uint16_t port) {
  const int fd = Connect(host, port);
  if (fd < 0 || IsServiceListener(fd)) return fd;
  close(fd);
  return -1;
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

void LocalSocket::Wake() {
  if (m_wakePipe[1] < 0) return;
  const char byte = 1;
  ssize_t n;
  do n = write(m_wakePipe[1], &byte, 1);
  while (n < 0 && errno == EINTR);  // a full pipe already wakes the listener
}

void LocalSocket::Stop() {
  m_stop = true;
  {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_queue.clear();
  }
  m_queueWake.notify_all();
  if (m_sender.joinable()) m_sender.join();
  Wake();
  if (m_listener.joinable()) m_listener.join();
  std::lock_guard<std::recursive_mutex> map(m_mapLock);
  for (auto& p : m_pushes) close(p.second.socket);
  m_pushes.clear();
  for (int fd : m_answered) close(fd);
  m_answered.clear();
  if (m_listenSocket >= 0) close(m_listenSocket);
  m_listenSocket = -1;
  for (int& fd : m_wakePipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

int LocalSocket::SendRequestWaitReply(const uint8_t* message, int length, std::vector<uint8_t>& reply,
                                      const std::string& host, uint16_t port) {
  if (host.empty()) return -2;
  const int fd = ConnectToService(host, port);
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
    const int fd = ConnectToService(request.host, request.port);
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
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(m_pushPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // only this PC's service may ask
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    close(fd);
    return false;
  }
  m_boundPushPort = ntohs(addr.sin_port);
  m_listenSocket = fd;
  m_listener = std::thread(&LocalSocket::ListenerThread, this);
  return true;
}

namespace {

using Clock = std::chrono::steady_clock;

// A push connection whose question is still coming.
struct PushReader {
  int fd = -1;
  std::vector<uint8_t> frame = std::vector<uint8_t>(8);
  size_t got = 0;
  Clock::time_point deadline;
};

enum class ReadStep { kMore, kWhole, kBroken };

// Reads what has arrived; the frame is whole once its stated length is in.
ReadStep ReadSome(PushReader& r) {
  for (;;) {
    const size_t want = r.got < 8 ? 8 : r.frame.size();
    const ssize_t n = recv(r.fd, r.frame.data() + r.got, want - r.got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadStep::kMore;
    if (n <= 0) return ReadStep::kBroken;
    r.got += static_cast<size_t>(n);
    if (r.got == 8 && r.frame.size() == 8) {
      const uint16_t total = Be16(r.frame.data());
      if (total < 8) return ReadStep::kBroken;  // a length below its own header is no frame
      r.frame.resize(total);
    }
    if (r.got >= 8 && r.got == r.frame.size()) return ReadStep::kWhole;
  }
}

void SetBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

}  // namespace

// One thread accepts and reads every push (poll), so silent connections cost no thread; a
// push from a socket that is not this user's (or root's) is closed unread.
void LocalSocket::ListenerThread() {
  std::vector<PushReader> readers;
  while (!m_stop) {
    std::vector<int> answered, held;
    {
      std::lock_guard<std::recursive_mutex> map(m_mapLock);
      answered.swap(m_answered);
      for (const auto& p : m_pushes) held.push_back(p.second.socket);
    }
    for (int fd : answered) close(fd);

    std::vector<pollfd> fds;
    fds.push_back({m_wakePipe[0], POLLIN, 0});
    fds.push_back({m_listenSocket, POLLIN, 0});
    int timeoutMs = -1;
    const Clock::time_point now = Clock::now();
    for (const PushReader& r : readers) {
      fds.push_back({r.fd, POLLIN, 0});
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(r.deadline - now).count();
      const int ms = static_cast<int>(std::max<int64_t>(0, left) + 1);
      timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
    }
    // A held push whose service gave up is let go, so the slots free themselves.
    for (int fd : held) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) break;
    if (m_stop) break;
    if (fds[0].revents != 0) {
      char drain[64];
      while (read(m_wakePipe[0], drain, sizeof drain) > 0) {
      }
    }

    // Readers first: their entries in fds follow the two fixed ones in the same order.
    std::vector<PushReader> still;
    const Clock::time_point after = Clock::now();
    for (size_t i = 0; i < readers.size(); ++i) {
      PushReader& r = readers[i];
      ReadStep step = ReadStep::kMore;
      if (fds[2 + i].revents != 0) step = ReadSome(r);
      if (step == ReadStep::kMore && after >= r.deadline) step = ReadStep::kBroken;
      if (step == ReadStep::kMore) {
        still.push_back(std::move(r));
        continue;
      }
      if (step == ReadStep::kWhole) {
        SetBlocking(r.fd);
        SetTimeouts(r.fd, 10000, 10000);
        if (TakePush(r.fd, r.frame)) continue;
      }
      close(r.fd);  // not answerable: the service counts it as refused
    }
    readers.swap(still);

    const size_t heldAt = fds.size() - held.size();
    for (size_t i = 0; i < held.size(); ++i) {
      if (fds[heldAt + i].revents == 0) continue;
      const int fd = held[i];
      std::lock_guard<std::recursive_mutex> map(m_mapLock);
      auto it = std::find_if(m_pushes.begin(), m_pushes.end(),
                             [fd](const auto& p) { return p.second.socket == fd; });
      if (it == m_pushes.end()) continue;  // answered meanwhile: closed with m_answered
      char scrap[64];
      const ssize_t n = recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
      if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) continue;
      m_pushes.erase(it);
      close(fd);
    }

    if (fds[1].revents != 0) {
      for (;;) {
        const int fd = accept4(m_listenSocket, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) break;  // nothing more waits, or descriptors ran out: the next poll retries
        size_t open = readers.size();
        {
          std::lock_guard<std::recursive_mutex> map(m_mapLock);
          open += m_pushes.size();
        }
        if (open >= kMaxPushConnections || !Plat_LoopbackPeerIsSameUser(fd)) {
          close(fd);
          continue;
        }
        PushReader r;
        r.fd = fd;
        r.deadline = Clock::now() + std::chrono::milliseconds(kPushReadTimeoutMs);
        readers.push_back(std::move(r));
      }
    }
  }
  for (const PushReader& r : readers) close(r.fd);
}

bool LocalSocket::TakePush(int fd, const std::vector<uint8_t>& frame) {
  ISocketConnectCallback* cb = m_callback;
  if (!cb || m_stop || Be16(frame.data() + 2) != kOpDeviceLoginPush ||
      frame.size() < static_cast<size_t>(kMinPushSize))
    return false;
  uint32_t id;
  std::memcpy(&id, frame.data() + 4, 4);
  bool held = false;
  {
    std::lock_guard<std::recursive_mutex> map(m_mapLock);
    if (m_pushes.find(id) == m_pushes.end()) {
      m_pushes[id] = PushConnection{fd, this, id};
      held = true;
    }
  }
  // The question is put whether or not its id is held; only a held one can be answered.
  cb->OnRecv(frame.data(), static_cast<int>(frame.size()));
  return held;
}

int LocalSocket::ReplyToPush(int socket, LocalSocket* owner, uint32_t requestId, uint32_t verdict) {
  uint8_t answer[12] = {0, 12, kOpDeviceLoginPush >> 8, kOpDeviceLoginPush & 0xFF};
  std::memcpy(answer + 4, &requestId, 4);  // the id's bytes go back as they came
  answer[8] = static_cast<uint8_t>(verdict >> 24);
  answer[9] = static_cast<uint8_t>(verdict >> 16);
  answer[10] = static_cast<uint8_t>(verdict >> 8);
  answer[11] = static_cast<uint8_t>(verdict);
  if (!owner) {
    const bool sent = SendAll(socket, answer, sizeof answer);
    close(socket);
    return sent ? 0 : -1;
  }
  std::lock_guard<std::recursive_mutex> map(owner->m_mapLock);
  auto it = owner->m_pushes.find(requestId);
  // Only a push still held is answered: its socket may be gone already (the service gave up).
  if (it == owner->m_pushes.end() || it->second.socket != socket) return -1;
  const bool sent = SendAll(socket, answer, sizeof answer);
  owner->m_pushes.erase(it);
  shutdown(socket, SHUT_RDWR);
  owner->m_answered.push_back(socket);
  owner->Wake();
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
