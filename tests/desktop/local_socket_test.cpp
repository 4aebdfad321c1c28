// The local connection against loopback peers. Broken replies come from a stand-in that
// speaks the frame format byte by byte (the real service never sends them); the push side is
// driven the way the service drives it: connect to the listener, send the push, read the answer.
#include "desktop/foundation/local_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/other_user.h"
#include "tests/support/wait_for.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint16_t opcode, uint32_t param, const Bytes& body) {
  const uint16_t total = static_cast<uint16_t>(8 + body.size());
  Bytes f(total, 0);
  f[0] = static_cast<uint8_t>(total >> 8);
  f[1] = static_cast<uint8_t>(total);
  f[2] = static_cast<uint8_t>(opcode >> 8);
  f[3] = static_cast<uint8_t>(opcode);
  for (int i = 0; i < 4; ++i) f[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(param >> (24 - 8 * i));
  std::copy(body.begin(), body.end(), f.begin() + 8);
  return f;
}

// Accepts one connection at a time on a free loopback port and runs the script on it.
class StandIn {
 public:
  explicit StandIn(std::function<void(int)> script) : m_script(std::move(script)) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    listen(m_fd, 8);
    m_thread = std::thread([this] {
      for (;;) {
        const int c = accept(m_fd, nullptr, nullptr);
        if (c < 0) return;
        uint8_t header[8];
        if (recv(c, header, 8, MSG_WAITALL) == 8) {
          const size_t total = static_cast<size_t>(header[0] << 8 | header[1]);
          Bytes rest(total > 8 ? total - 8 : 0);
          if (!rest.empty()) recv(c, rest.data(), rest.size(), MSG_WAITALL);
          {
            std::lock_guard<std::mutex> lock(m_lock);
            m_requests.emplace_back(header, header + 8);
            m_requests.back().insert(m_requests.back().end(), rest.begin(), rest.end());
          }
          m_script(c);
        }
        close(c);
      }
    });
  }
  ~StandIn() {
    shutdown(m_fd, SHUT_RDWR);
    close(m_fd);
    m_thread.join();
  }
  uint16_t Port() const { return m_port; }
  std::vector<Bytes> Requests() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
  }

 private:
  std::function<void(int)> m_script;
  int m_fd;
  uint16_t m_port = 0;
  std::thread m_thread;
  std::mutex m_lock;
  std::vector<Bytes> m_requests;
};

void SendPieces(int fd, const Bytes& bytes, const std::vector<size_t>& cuts) {
  size_t at = 0;
  for (size_t cut : cuts) {
    send(fd, bytes.data() + at, cut - at, MSG_NOSIGNAL);
    at = cut;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the peer sees separate pieces
  }
  send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
}

TEST(LocalSocket, RequestExchangeResults) {
  const Bytes body = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const Bytes full = Frame(0x5001, 0, body);
  const struct {
    const char* name;
    std::function<void(int)> script;
    int want;
    size_t replySize;
  } cases[] = {
      {"header only", [](int fd) { Bytes f = Frame(0x5001, 0, {}); send(fd, f.data(), f.size(), 0); }, 0, 8},
      {"in pieces", [&](int fd) { SendPieces(fd, full, {2, 9, 12}); }, 0, full.size()},
      {"closed after header", [&](int fd) { send(fd, full.data(), 8, 0); }, -1, 0},
      {"closed at once", [](int) {}, -3, 0},
      {"length below 8", [](int fd) { Bytes f = {0, 4, 0x50, 0x01, 0, 0, 0, 0}; send(fd, f.data(), 8, 0); }, -3, 0},
  };
  for (const auto& c : cases) {
    StandIn peer(c.script);
    const Bytes request = Frame(0x5001, 0, {});
    Bytes reply = {0xEE};
    EXPECT_EQ(LocalSocket::SendRequestWaitReply(request.data(), 8, reply, "127.0.0.1", peer.Port()), c.want)
        << c.name;
    if (c.want == 0) {
      EXPECT_EQ(reply.size(), c.replySize) << c.name;
      if (c.replySize == full.size()) {
        EXPECT_EQ(reply, full);
      }
    } else {
      EXPECT_EQ(reply, Bytes{0xEE}) << c.name << ": the reply is left untouched";
    }
    ASSERT_EQ(peer.Requests().size(), 1u) << c.name;
    EXPECT_EQ(peer.Requests()[0], request);
  }
  uint16_t closedPort = 0;
  { StandIn gone([](int) {}); closedPort = gone.Port(); }
  Bytes reply;
  const Bytes request = Frame(0x5001, 0, {});
  EXPECT_EQ(LocalSocket::SendRequestWaitReply(request.data(), 8, reply, "127.0.0.1", closedPort), -2);
  EXPECT_EQ(LocalSocket::SendRequestWaitReply(request.data(), 8, reply, "", closedPort), -2);
  EXPECT_EQ(LocalSocket::SendRequestWaitReply(request.data(), 8, reply, "localhost", closedPort), -2);
}

struct Recorder : ISocketConnectCallback {
  std::mutex lock;
  std::vector<Bytes> received;
  std::vector<std::pair<uint16_t, int>> errors;
  std::function<void(const Bytes&)> onPush;
  void OnRecv(const uint8_t* m, int len) override {
    Bytes b(m, m + len);
    {
      std::lock_guard<std::mutex> g(lock);
      received.push_back(b);
    }
    if (onPush) onPush(b);
  }
  void OnError(uint16_t opcode, int stage) override {
    std::lock_guard<std::mutex> g(lock);
    errors.emplace_back(opcode, stage);
  }
  size_t Received() {
    std::lock_guard<std::mutex> g(lock);
    return received.size();
  }
  size_t Errors() {
    std::lock_guard<std::mutex> g(lock);
    return errors.size();
  }
};

TEST(LocalSocket, QueuedRequestsReportRepliesAndErrors) {
  StandIn service([](int fd) { Bytes f = Frame(0x5002, 0, Bytes(64, 'a')); send(fd, f.data(), f.size(), 0); });
  uint16_t closedPort = 0;
  { StandIn gone([](int) {}); closedPort = gone.Port(); }
  Recorder rec;
  Bytes logOn = Frame(0x5002, 0, Bytes(64, 'x'));
  {
    LocalSocket up(service.Port(), 0);
    up.SetCallback(&rec);
    ASSERT_EQ(up.QueueRequest(logOn.data(), "127.0.0.1"), 0);
    ASSERT_TRUE(WaitFor([&] { return rec.Received() == 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(rec.received[0].size(), 72u);
    EXPECT_EQ(service.Requests()[0], logOn);
    EXPECT_EQ(up.QueueRequest(nullptr, "127.0.0.1"), -1);
    EXPECT_EQ(up.QueueRequest(logOn.data(), ""), -1);
    EXPECT_EQ(rec.Errors(), 2u);
  }
  LocalSocket down(closedPort, 0);
  down.SetCallback(&rec);
  ASSERT_EQ(down.QueueRequest(logOn.data(), "127.0.0.1"), 0);
  ASSERT_TRUE(WaitFor([&] { return rec.Errors() == 3; }, std::chrono::seconds(10)));
  EXPECT_EQ(rec.errors.back(), (std::pair<uint16_t, int>{0x5002, 1}));
}

// The service's side of a push: connect, send, keep the connection for the answer.
int Push(uint16_t port, const Bytes& frame) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

Bytes ReadAnswer(int fd) {
  Bytes b(64);
  size_t got = 0;
  for (;;) {
    const ssize_t n = recv(fd, b.data() + got, b.size() - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  b.resize(got);
  return b;
}

TEST(LocalSocket, PushesAreHeldUntilAnsweredAndBrokenOnesClosed) {
  Recorder rec;
  auto sock = std::make_unique<LocalSocket>(1, 0);
  sock->SetCallback(&rec);
  ASSERT_TRUE(sock->StartListener());
  const uint16_t port = sock->BoundPushPort();
  ASSERT_NE(port, 0);
  const uint32_t id = 0x01020304;
  Bytes push = Frame(kOpDeviceLoginPush, id, Bytes(256, 0));
  uint32_t rawId;
  std::memcpy(&rawId, push.data() + 4, 4);

  const int first = Push(port, push);
  ASSERT_TRUE(WaitFor([&] { return sock->HeldPushes() == 1; }, std::chrono::seconds(10)));
  const int second = Push(port, push);  // the same id again: shown, but closed unanswered
  ASSERT_TRUE(WaitFor([&] { return rec.Received() == 2; }, std::chrono::seconds(10)));
  EXPECT_EQ(ReadAnswer(second), Bytes{});
  // Broken pushes: shorter than a push, or a length below the header.
  const int shortPush = Push(port, Frame(kOpDeviceLoginPush, 9, Bytes(100, 0)));
  const int badLength = Push(port, Bytes{0, 4, 0x50, 0x0D, 0, 0, 0, 9});
  EXPECT_EQ(ReadAnswer(shortPush), Bytes{});
  EXPECT_EQ(ReadAnswer(badLength), Bytes{});
  EXPECT_EQ(rec.Received(), 2u);

  {
    std::lock_guard<std::recursive_mutex> map(sock->MapLock());
    PushConnection held;
    ASSERT_TRUE(sock->FindPush(rawId, held));
    EXPECT_EQ(LocalSocket::ReplyToPush(held.socket, held.owner, held.requestId, 1), 0);
  }
  EXPECT_EQ(ReadAnswer(first), (Bytes{0, 12, 0x50, 0x0D, 1, 2, 3, 4, 0, 0, 0, 1}));
  PushConnection gone;
  EXPECT_FALSE(sock->FindPush(rawId, gone));
  EXPECT_EQ(sock->HeldPushes(), 0u);

  // Destroying the socket layer closes a push that still waits, and joins every thread.
  const int waiting = Push(port, Frame(kOpDeviceLoginPush, 77, Bytes(256, 0)));
  ASSERT_TRUE(WaitFor([&] { return sock->HeldPushes() == 1; }, std::chrono::seconds(10)));
  sock.reset();
  EXPECT_EQ(ReadAnswer(waiting), Bytes{});
  for (int fd : {first, second, shortPush, badLength, waiting}) close(fd);
}

int ThreadsOfThisProcess() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

bool SeesEnd(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) != 1) return false;
  char byte;
  return recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
}

// Who may ask on the push port and who gets the requests, for this user and a second local
// user: another user's question is closed unread and never shown, another user's listener on
// the request port gets nothing; many pushes or silent connections cost no thread each and
// hold no more than the cap.
TEST(LocalSocket, OnlyThisUsersServiceIsHeardAndAsked) {
  OtherUser other;
  const std::string why = other.Create();
  if (!why.empty()) GTEST_SKIP() << "second local user not possible here: " << why;
  Recorder rec;
  LocalSocket sock(1, 0);
  sock.SetCallback(&rec);
  ASSERT_TRUE(sock.StartListener());
  const uint16_t port = sock.BoundPushPort();
  const Bytes push = Frame(kOpDeviceLoginPush, 5, Bytes(256, 0));

  // Another user's pushes, one and then 300 held open: each closed unread.
  std::vector<int> theirs;
  for (int i = 0; i < 300; ++i) {
    const int fd = other.SocketAsUser([port, &push] { return Push(port, push); });
    ASSERT_GE(fd, 0);
    theirs.push_back(fd);
  }
  for (int fd : theirs) {
    EXPECT_EQ(ReadAnswer(fd), Bytes{});
    close(fd);
  }
  EXPECT_EQ(rec.Received(), 0u);
  EXPECT_EQ(sock.HeldPushes(), 0u);

  // This user's silent connections: no thread each, and those beyond the cap closed at once.
  const int threadsBefore = ThreadsOfThisProcess();
  std::vector<int> silent;
  for (int i = 0; i < 300; ++i) {
    const int fd = Push(port, Bytes{});
    ASSERT_GE(fd, 0);
    silent.push_back(fd);
  }
  EXPECT_TRUE(WaitFor(
      [&] { return std::count_if(silent.begin(), silent.end(), SeesEnd) >= 300 - static_cast<int>(kMaxPushConnections); },
      std::chrono::seconds(20)));
  EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
  for (int fd : silent) close(fd);
  // Their slots come free: this user's question is held and shown.
  int mine = -1;
  ASSERT_TRUE(WaitFor(
      [&] {
        if (mine >= 0) close(mine);
        mine = Push(port, push);
        return WaitFor([&] { return sock.HeldPushes() == 1; }, std::chrono::milliseconds(500));
      },
      std::chrono::seconds(20)));
  EXPECT_GE(rec.Received(), 1u);
  close(mine);

  // Another user's listener on the request port (the service is down): nothing is sent to it.
  uint16_t theirPort = 0;
  const int theirListener = other.SocketAsUser([&theirPort] {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 8) != 0) return -1;
    return s;
  });
  ASSERT_GE(theirListener, 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(theirListener, reinterpret_cast<sockaddr*>(&a), &len);
  theirPort = ntohs(a.sin_port);
  const Bytes request = Frame(0x5011, 1, Bytes(32, 'p'));
  Bytes reply;
  EXPECT_EQ(LocalSocket::SendRequestWaitReply(request.data(), static_cast<int>(request.size()), reply,
                                              "127.0.0.1", theirPort),
            -2);
  LocalSocket queued(theirPort, 0);
  queued.SetCallback(&rec);
  ASSERT_EQ(queued.QueueRequest(Frame(0x5002, 0, Bytes(64, 'x')).data(), "127.0.0.1"), 0);
  ASSERT_TRUE(WaitFor([&] { return rec.Errors() == 1; }, std::chrono::seconds(10)));
  // What reached their listener: connections that ended without a byte.
  for (int i = 0; i < 2; ++i) {
    const int c = accept(theirListener, nullptr, nullptr);
    ASSERT_GE(c, 0);
    EXPECT_EQ(ReadAnswer(c), Bytes{});
    close(c);
  }
  close(theirListener);
}

}  // namespace
