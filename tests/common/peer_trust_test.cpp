// Who the peer is: the subnet rule as a table, and the owner of a loopback peer's socket read
// from the kernel's socket table, for this user and for a second local user made here.
#include "common/peer_trust.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "platform/net_info.h"
#include "tests/support/free_port.h"
#include "tests/support/other_user.h"

namespace {

uint32_t Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

TEST(OwnSubnetTest, AdaptersAddressAndMaskDecide) {
  AdapterInfo eth;
  eth.ipv4.push_back({Ip("192.168.1.20"), Ip("255.255.255.0")});
  eth.ipv4.push_back({Ip("10.8.0.5"), Ip("255.255.0.0")});
  AdapterInfo odd;  // a zero mask must not make every address local
  odd.ipv4.push_back({Ip("172.16.0.1"), 0});
  const std::vector<AdapterInfo> adapters = {eth, odd};
  struct Case {
    const char* ip;
    bool local;
  } cases[] = {
      {"192.168.1.1", true},  {"192.168.1.254", true}, {"192.168.2.1", false},
      {"10.8.200.9", true},   {"10.9.0.1", false},     {"127.0.0.1", true},
      {"127.5.6.7", true},    {"172.16.0.2", false},   {"8.8.8.8", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsOwnSubnetAddress(Ip(c.ip), adapters), c.local) << c.ip;
  EXPECT_TRUE(IsOwnSubnetAddress(Ip("127.0.0.1"), {}));
  EXPECT_FALSE(IsOwnSubnetAddress(Ip("192.168.1.1"), {}));
}

// A loopback listener of this process on a free port.
int Listen(uint16_t& port) {
  const int s = ListenOnLoopback();
  port = s < 0 ? 0 : LocalPortOf(s);
  return s;
}

int ConnectTo(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

TEST(LoopbackOwnerTest, SameUserAndSecondUserOnBothEnds) {
  uint16_t port = 0;
  const int listener = Listen(port);
  ASSERT_GE(listener, 0);

  // This user's client, seen from the accepted end.
  const int mine = ConnectTo(port);
  ASSERT_GE(mine, 0);
  const int acceptedMine = accept(listener, nullptr, nullptr);
  ASSERT_GE(acceptedMine, 0);
  uint32_t uid = 12345;
  ASSERT_TRUE(LoopbackPeerUid(acceptedMine, uid));
  EXPECT_EQ(uid, geteuid());
  EXPECT_TRUE(LoopbackPeerIsSameUser(acceptedMine));
  // And the listener's end, seen from the client.
  EXPECT_TRUE(LoopbackPeerIsSameUser(mine, 1000));

  // A socket that is not connected is never trusted.
  const int loose = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_FALSE(LoopbackPeerIsSameUser(loose));
  close(loose);
  close(mine);
  close(acceptedMine);

  OtherUser other;
  const std::string why = other.Create();
  if (!why.empty()) {
    close(listener);
    GTEST_SKIP() << "second local user not possible here: " << why;
  }
  // The other user's client.
  const int theirs = other.SocketAsUser([port] { return ConnectTo(port); });
  ASSERT_GE(theirs, 0);
  const int acceptedTheirs = accept(listener, nullptr, nullptr);
  ASSERT_GE(acceptedTheirs, 0);
  ASSERT_TRUE(LoopbackPeerUid(acceptedTheirs, uid));
  EXPECT_EQ(uid, other.Uid());
  EXPECT_FALSE(LoopbackPeerIsSameUser(acceptedTheirs));
  close(theirs);
  close(acceptedTheirs);
  close(listener);

  // The other user's listener, seen from this user's client.
  uint16_t theirPort = 0;
  const int theirListener = other.SocketAsUser([&theirPort] { return Listen(theirPort); });
  ASSERT_GE(theirListener, 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(theirListener, reinterpret_cast<sockaddr*>(&a), &len);
  const int toThem = ConnectTo(ntohs(a.sin_port));
  ASSERT_GE(toThem, 0);
  ASSERT_TRUE(LoopbackPeerUid(toThem, uid, 1000));
  EXPECT_EQ(uid, other.Uid());
  EXPECT_FALSE(LoopbackPeerIsSameUser(toThem, 1000));
  close(toThem);
  close(theirListener);
}

// A client that sends its request and closes before it is accepted leaves an orphan (fin-wait
// or time-wait) that the kernel shows as root's: whoever made it, it is a stranger.
TEST(LoopbackOwnerTest, AClientThatClosedBeforeTheAcceptIsAStranger) {
  uint16_t port = 0;
  const int listener = Listen(port);
  ASSERT_GE(listener, 0);
  OtherUser other;
  const std::string why = other.Create();
  struct Row {
    const char* who;
    bool otherUser;
  } rows[] = {{"this user", false}, {"another local user", true}};
  for (const Row& row : rows) {
    if (row.otherUser && !why.empty()) {
      std::printf("[  SKIPPED ] %s: %s\n", row.who, why.c_str());
      continue;
    }
    const int client =
        row.otherUser ? other.SocketAsUser([port] { return ConnectTo(port); }) : ConnectTo(port);
    ASSERT_GE(client, 0) << row.who;
    const char request[8] = {0, 8, 0x50, 0x0F, 0, 0, 0, 1};
    ASSERT_EQ(send(client, request, sizeof request, MSG_NOSIGNAL), 8) << row.who;
    close(client);
    const int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0) << row.who;
    // The whole request and its end have arrived: the client's socket is an orphan now.
    char buffer[16];
    size_t got = 0;
    for (ssize_t n; (n = recv(accepted, buffer, sizeof buffer, 0)) > 0;) got += static_cast<size_t>(n);
    EXPECT_EQ(got, 8u) << row.who;
    uint32_t uid = 12345;
    EXPECT_FALSE(LoopbackPeerUid(accepted, uid)) << row.who << " seen as uid " << uid;
    EXPECT_FALSE(LoopbackPeerIsSameUser(accepted, 200)) << row.who;
    close(accepted);
  }
  close(listener);
}

}  // namespace

// A relay phone's log-in state: a refusal is final for its session, and the table stays
// bounded: a newcomer past the bound pushes out the oldest session, not itself.
TEST(RelayLoginTest, RefusalIsFinalAndTheOldestGoFirst) {
  RelayLogin_Set("s-accepted", LoginState::kAccepted);
  RelayLogin_Set("s-refused", LoginState::kRefused);
  RelayLogin_Set("s-refused", LoginState::kAccepted);
  EXPECT_EQ(RelayLogin_Get("s-accepted"), LoginState::kAccepted);
  EXPECT_EQ(RelayLogin_Get("s-refused"), LoginState::kRefused);
  EXPECT_EQ(RelayLogin_Get("s-unknown"), LoginState::kNone);
  for (size_t i = 0; i < kMaxRelayLogins; ++i)
    RelayLogin_Set("s-" + std::to_string(i), LoginState::kAccepted);
  EXPECT_EQ(RelayLogin_Get("s-accepted"), LoginState::kNone) << "the oldest went";
  EXPECT_EQ(RelayLogin_Get("s-refused"), LoginState::kNone);
  EXPECT_EQ(RelayLogin_Get("s-0"), LoginState::kAccepted);
  EXPECT_EQ(RelayLogin_Get("s-" + std::to_string(kMaxRelayLogins - 1)), LoginState::kAccepted);
}
