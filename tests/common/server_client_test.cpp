// The central-server request client against stand-ins that misbehave the ways a real server
// or network can: closing early, staying silent, sending nonsense totals.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "common/proto_central.h"
#include "common/server_client.h"
#include "common/sockets.h"
#include "tests/support/free_port.h"
#include "tests/support/other_user.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Accepts one connection, reads what the client sends (up to a wanted count), hands it to the
// behaviour, closes.
class StandIn {
 public:
  explicit StandIn(size_t expect, std::function<void(int fd)> behave) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_fd, 4);
    socklen_t len = sizeof a;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this, expect, behave] {
      const int c = accept(m_fd, nullptr, nullptr);
      if (c < 0) return;
      Bytes got(expect);
      size_t have = 0;
      while (have < expect) {
        const ssize_t n = recv(c, got.data() + have, expect - have, 0);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
      }
      got.resize(have);
      m_received = got;
      behave(c);
      close(c);
    });
  }
  ~StandIn() {
    shutdown(m_fd, SHUT_RDWR);
    m_thread.join();
    close(m_fd);
  }
  uint16_t Port() const { return m_port; }
  Bytes Received() {
    m_thread.join();
    m_thread = std::thread([] {});
    return m_received;
  }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
  std::thread m_thread;
  Bytes m_received;
};

void SendAll(int fd, const Bytes& b) { send(fd, b.data(), b.size(), MSG_NOSIGNAL); }

ServerAddress Loopback(uint16_t port) {
  ServerAddress a;
  EXPECT_EQ(MakeServerAddress("127.0.0.1", port, a), 0);
  return a;
}

TEST(ServerClient, SendsHeaderAndBodyAndReadsTheReply) {
  StandIn server(70 + 3, [](int fd) { SendAll(fd, BuildServerReply(0x1001, {1, 2, 3, 4})); });
  RelayHeader h;
  h.len = 9999;  // set by the client from the body
  h.command = kCmdLogOn;
  h.identity = "pc-1";
  const uint8_t body[3] = {7, 8, 9};
  ServerReplyHeader reply;
  Bytes replyBody;
  ASSERT_EQ(SendServerRequest(h, Loopback(server.Port()), body, 3, reply, replyBody), 0);
  EXPECT_EQ(reply.status, 0x1001);
  EXPECT_EQ(reply.len, 12);
  EXPECT_EQ(replyBody, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(h.len, 9999) << "the caller's header is left as it was";
  const Bytes sent = server.Received();
  ASSERT_EQ(sent.size(), 73u);
  EXPECT_EQ(sent, BuildServerRequest(kCmdLogOn, "pc-1", {7, 8, 9}));
}

TEST(ServerClient, BareHeaderReplyHasNoBody) {
  StandIn server(70, [](int fd) { SendAll(fd, BuildServerReply(0, {})); });
  RelayHeader h;
  h.command = kCmdHeartBeat;
  ServerReplyHeader reply;
  Bytes replyBody{9};
  ASSERT_EQ(SendServerRequest(h, Loopback(server.Port()), nullptr, 0, reply, replyBody), 0);
  EXPECT_EQ(reply.status, 0);
  EXPECT_TRUE(replyBody.empty());
  EXPECT_EQ(server.Received().size(), 70u) << "a request without a body is exactly 70 bytes";
}

TEST(ServerClient, FaultyServersFailTheExchange) {
  struct Case {
    const char* name;
    std::function<void(int)> behave;
  };
  const Case cases[] = {
      {"closes before answering", [](int) {}},
      {"closes mid-header", [](int fd) { SendAll(fd, {0, 8, 0}); }},
      {"total of 5", [](int fd) { SendAll(fd, {0, 5, 0, 0, 0, 0, 0, 0}); }},
      {"body shorter than its total", [](int fd) { SendAll(fd, {0, 20, 0, 0, 0, 0, 0, 0, 1, 2}); }},
      {"silent until the time-out",
       [](int fd) {
         char c;
         recv(fd, &c, 1, 0);  // returns when the client gives up and closes
       }},
  };
  for (const Case& c : cases) {
    StandIn server(70, c.behave);
    RelayHeader h;
    h.command = kCmdHeartBeat;
    ServerReplyHeader reply;
    reply.status = 77;
    Bytes replyBody{1};
    EXPECT_EQ(SendServerRequest(h, Loopback(server.Port()), nullptr, 0, reply, replyBody), -1)
        << c.name;
    EXPECT_EQ(reply.status, 0) << c.name << ": the out-values are reset on every path";
    EXPECT_TRUE(replyBody.empty()) << c.name;
  }
}

TEST(ServerClient, UnreachableServerAndLongHostNames) {
  // A port that was just free: nothing listens.
  uint16_t port = 0;
  {
    StandIn probe(0, [](int) {});
    port = probe.Port();
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);  // lets the stand-in finish
    close(fd);
  }
  RelayHeader h;
  ServerReplyHeader reply;
  Bytes body;
  EXPECT_EQ(SendServerRequest(h, Loopback(port), nullptr, 0, reply, body), -1);

  ServerAddress a;
  EXPECT_EQ(MakeServerAddress(std::string(31, 'h'), 1, a), 0);
  EXPECT_EQ(MakeServerAddress(std::string(32, 'h'), 1, a), -1) << "refused, never cut";
  EXPECT_EQ(a.host[0], '\0');
  EXPECT_EQ(SendServerRequest(h, a, nullptr, 0, reply, body), -1);
}

}  // namespace

// On loopback another local user may hold the central server's port while it is down: such a
// listener is sent nothing (a log-on carries the password's text).
TEST(ServerClient, AnotherUsersLoopbackListenerIsSentNothing) {
  OtherUser other;
  const std::string why = other.Create();
  if (!why.empty()) GTEST_SKIP() << why;
  const int theirs = other.SocketAsUser([] { return ListenOnLoopback(); });
  ASSERT_GE(theirs, 0);
  RelayHeader h;
  h.command = kCmdLogOn;
  h.identity = "pc-1";
  const uint8_t body[3] = {7, 8, 9};
  ServerReplyHeader reply;
  Bytes replyBody;
  EXPECT_EQ(SendServerRequest(h, Loopback(LocalPortOf(theirs)), body, 3, reply, replyBody), -1);
  // Nobody accepted while the client decided: what waits is the other user's, and it is empty.
  Bytes got;
  for (pollfd p{theirs, POLLIN, 0}; poll(&p, 1, 0) == 1;) {
    const int c = accept(theirs, nullptr, nullptr);
    if (c < 0) break;
    uint8_t buf[256];
    for (ssize_t n; (n = recv(c, buf, sizeof buf, MSG_DONTWAIT)) > 0;) got.insert(got.end(), buf, buf + n);
    close(c);
  }
  close(theirs);
  EXPECT_EQ(got, Bytes{}) << "the request reached another user's listener";
}
