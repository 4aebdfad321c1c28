// The real QuarloCentral keeps every account to itself: an attacker on another loopback address
// (127.0.0.2 and up) who knows a PC's identity -- alone, or with an account of his own -- takes
// nothing of it, and floods of connections, guesses and forged datagrams leave the owner's PC
// and phone working. The PC here is the exact frames a PC sends.
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "common/proto_p2p.h"
#include "common/proto_relay.h"
#include "tests/central/loopback_peer.h"
#include "tests/support/stop_and_join.h"
#include "tests/support/central_process.h"
#include "tests/support/peer_namespace.h"
#include "central/central_exchanges.h"
#include "central/rendezvous_server.h"
#include "tests/support/relay_phone.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kOwner = "owner@example.org";
constexpr const char* kOther = "other@example.org";
constexpr const char* kHome = "127.0.0.1";      // the owner's PC (and, here, its phone)
constexpr const char* kAttacker = "127.0.0.2";

Bytes LogOnBody(const std::string& email, const std::string& password) {
  return EncodeLogOnRequest({email, PcPasswordOf(password), 2, "Linux", "02-00-00-00-00-01"});
}

class Takeover : public ::testing::Test {
 protected:
  virtual bool StartCentral() { return central.Start(); }
  void SetUp() override {
    ASSERT_TRUE(central.AddAccount(kOwner, "secret1"));
    ASSERT_TRUE(central.AddAccount(kOther, "secret2"));
    ASSERT_TRUE(StartCentral()) << central.LogText();
    Bytes body;
    ASSERT_EQ(ExchangeFrom(kHome, Port(), kCmdIdentity, "", {}, &body), 0);
    pc = DecodeIdentityReply(body.data(), body.size());
    ASSERT_EQ(ExchangeFrom(kHome, Port(), kCmdLogOn, pc, LogOnBody(kOwner, "secret1")), 0);
    ASSERT_EQ(ExchangeFrom(kHome, Port(), kCmdServerInfo, pc,
                           EncodeSVInfo({0xC0A80064, 0, 15002, 2, "kitchen-pc"})), 0);
    ASSERT_TRUE(Register(relay, kHome, pc));
    ASSERT_EQ(phone.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
  }
  uint16_t Port() const { return central.Port(); }

  bool Register(DeviceClient& conn, const std::string& from, const std::string& identity) {
    ServerReplyHeader h;
    return ConnectFrom(conn, from, Port()) &&
           conn.SendRaw(BuildRelayFrame(kCmdRelayRegister, identity, nullptr, 0)) &&
           ReadServerAnswer(conn, h) && h.status == 0 && h.reserved2 == kCmdRelayRegister;
  }

  // The owner's phone still reaches its PC: a listing request arrives on the owner's relay, the
  // PC's reply comes back, and the PC list names it online, seen where it logged on.
  void OwnerStillWorks() {
    std::vector<PcEntry> pcs;
    ASSERT_EQ(phone.ListPcs(Port(), pcs), 0);
    ASSERT_EQ(pcs.size(), 1u);
    EXPECT_EQ(pcs[0].identity, pc);
    EXPECT_TRUE(pcs[0].online);
    EXPECT_EQ(pcs[0].seenIp, 0x7F000001u);
    const Bytes request = BuildMessage(0x2002, 41);
    ASSERT_TRUE(phone.Request(pc, request));
    uint8_t head[kRelayHeaderSize];
    ASSERT_TRUE(relay.ReadExact(head, sizeof head));
    const RelayHeader h = DecodeRelayHeader(head);
    ASSERT_EQ(h.command, kCmdRelayData);
    Bytes rest(h.len - kRelayHeaderSize);
    ASSERT_TRUE(relay.ReadExact(rest.data(), rest.size()));
    const Bytes reply = BuildMessage(0x2002, 41);
    ASSERT_TRUE(relay.SendRaw(
        BuildAddressedFrame(kCmdRelayData, pc, phone.Session(), reply.data(), reply.size())));
    DeviceMessage m;
    ASSERT_TRUE(phone.ReadMessage(m));
    EXPECT_EQ(m.header.param, 41u);
  }

  CentralProcess central;
  std::string pc;
  DeviceClient relay;
  RelayPhone phone;
};

TEST_F(Takeover, TheIdentityAloneOrWithAnotherAccountTakesNothing) {
  ASSERT_EQ(ExchangeFrom(kAttacker, Port(), kCmdLogOn, "attacker-pc", LogOnBody(kOther, "secret2")), 0);
  struct Case {
    const char* name;
    std::string from;
    uint16_t command;
    Bytes body;
    uint16_t status;
  } cases[] = {
      {"heartbeat", kAttacker, kCmdHeartBeat, {}, kStatusNotLoggedOn},
      {"server info", kAttacker, kCmdServerInfo, EncodeSVInfo({0x0A000001, 1, 2, 2, "evil"}),
       kStatusNotLoggedOn},
      {"power-on", kAttacker, kCmdPowerOn, EncodePowerOnInfo({2, kOther, "m", "evil"}),
       kStatusNotLoggedOn},
      {"disk info", kAttacker, kCmdDiskInfo, EncodeDiskInfoList({{2, 1, "m", "/evil"}}),
       kStatusNotLoggedOn},
      {"log-on with another account", kAttacker, kCmdLogOn, LogOnBody(kOther, "secret2"),
       kStatusOtherAccount},
      {"log-on with another account from the PC's own address", kHome, kCmdLogOn,
       LogOnBody(kOther, "secret2"), kStatusOtherAccount},
      {"log-out with another account", kAttacker, kCmdLogOut,
       EncodeAccountText({kOther, PcPasswordOf("secret2")}), kStatusOtherAccount},
      {"log-out of an identity never logged on", kAttacker, kCmdLogOut,
       EncodeAccountText({kOther, PcPasswordOf("secret2")}), kStatusNotLoggedOn},
  };
  cases[7].body = EncodeAccountText({kOther, PcPasswordOf("secret2")});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string identity = std::string(c.name).find("never") != std::string::npos ? "unknown-pc" : pc;
    EXPECT_EQ(ExchangeFrom(c.from, Port(), c.command, identity, c.body), c.status);
  }
  // Relay and cache connections under the identity from elsewhere are refused and closed.
  for (uint16_t command : {kCmdRelayRegister, kCmdCacheFetch}) {
    SCOPED_TRACE(command);
    DeviceClient conn;
    ASSERT_TRUE(ConnectFrom(conn, kAttacker, Port()));
    ASSERT_TRUE(conn.SendRaw(BuildRelayFrame(command, pc, nullptr, 0)));
    ServerReplyHeader h;
    ASSERT_TRUE(ReadServerAnswer(conn, h));
    EXPECT_EQ(h.status, kStatusNotLoggedOn);
    EXPECT_TRUE(conn.WaitClosed());
  }
  // The attacker's own phone does not see the PC, nor reach it.
  RelayPhone his;
  ASSERT_EQ(his.SignIn(Port(), kOther, PcPasswordOf("secret2")), 0);
  std::vector<PcEntry> pcs;
  ASSERT_EQ(his.ListPcs(Port(), pcs), 0);
  for (const PcEntry& e : pcs) EXPECT_NE(e.identity, pc);
  ASSERT_TRUE(his.Request(pc, BuildMessage(0x2002, 1)));
  uint16_t status = 0;
  ASSERT_TRUE(his.ReadStatus(kCmdRelayData, status));
  EXPECT_EQ(status, kStatusNoSuchPc);

  // Upload data the owner's phone left waits for the owner's PC only.
  const Bytes data = BuildTransMessage(2, 9, 0, 0, 0, Bytes(100, 3));
  ASSERT_EQ(phone.Leave(pc, data), 0);
  DeviceClient cache;
  ASSERT_TRUE(ConnectFrom(cache, kHome, Port()));
  ASSERT_TRUE(cache.SendRaw(BuildRelayFrame(kCmdCacheFetch, pc, nullptr, 0)));
  ServerReplyHeader h;
  Bytes fetched;
  ASSERT_TRUE(ReadServerAnswer(cache, h, &fetched));
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(fetched, data);

  OwnerStillWorks();
  const std::string status1 = central.Admin({"status"}).output;
  EXPECT_NE(status1.find("seen from 127.0.0.1"), std::string::npos) << status1;
  EXPECT_EQ(status1.find("evil"), std::string::npos) << status1;
  EXPECT_EQ(ExchangeFrom(kHome, Port(), kCmdHeartBeat, pc, {}), 0);
}

// Guesses at the owner's account from twenty addresses, each on a connection that waits for
// its answer, while the rightful users sign in: none of them is refused or waits for others'
// failures, and the guesses are bounded per account, not per address.
TEST_F(Takeover, GuessesFromManyAddressesNeverLockTheOwnerOut) {
  std::atomic<bool> stop{false};
  std::atomic<int> guesses{0};
  std::vector<std::thread> guessers;
  StopAndJoin joiner{stop, guessers};
  const auto started = std::chrono::steady_clock::now();
  for (int a = 2; a < 22; ++a)
    for (int k = 0; k < 1; ++k)
      guessers.emplace_back([&, a, k] {
        const std::string from = "127.0.0." + std::to_string(a);
        for (int i = 0; !stop.load(); ++i) {
          ExchangeFrom(from, Port(), kCmdLogOn, "guess",
                       LogOnBody(kOwner, "guess" + std::to_string(a * 1000 + k * 100 + i)));
          ++guesses;
        }
      });
  ASSERT_TRUE(WaitFor([&] { return guesses.load() > 20; }, seconds(60)));

  // Who signs in meanwhile, and from where: each is answered 0, at once (no turn to wait).
  RelayPhone phoneAtGuessersNat, phoneElsewhere;
  struct Row {
    const char* who;
    std::function<int()> attempt;
  } rows[] = {
      {"the owner's PC, its identity from its address",
       [&] { return ExchangeFrom(kHome, Port(), kCmdLogOn, pc, LogOnBody(kOwner, "secret1")); }},
      {"the owner's PC's heartbeat", [&] { return ExchangeFrom(kHome, Port(), kCmdHeartBeat, pc, {}); }},
      {"the owner's phone behind a guesser's address",
       [&] { return phoneAtGuessersNat.SignInFrom("127.0.0.2", Port(), kOwner, PcPasswordOf("secret1")); }},
      {"the owner's phone from a carrier's address",
       [&] { return phoneElsewhere.SignInFrom("127.0.0.40", Port(), kOwner, PcPasswordOf("secret1")); }},
      {"another account's PC behind a guesser's address",
       [&] { return ExchangeFrom("127.0.0.3", Port(), kCmdLogOn, "his-pc", LogOnBody(kOther, "secret2")); }},
  };
  for (const Row& row : rows) EXPECT_EQ(row.attempt(), 0) << row.who;
  OwnerStillWorks();
  EXPECT_EQ(ExchangeFrom("127.0.0.41", Port(), kCmdLogOn, "second-pc", LogOnBody(kOwner, "secret1")), 0)
      << "a second PC of the owner, a new identity from a new address";

  // A right password the server has not accepted before (just changed) waits its turn among
  // the guesses and is accepted, never refused unchecked.
  ASSERT_EQ(central.Admin({"account", "passwd", kOwner}, "secret3\n").exitCode, 0);
  RelayPhone newPassword;
  EXPECT_EQ(newPassword.SignInFrom("127.0.0.42", Port(), kOwner, PcPasswordOf("secret3")), 0)
      << central.LogText();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  stop = true;
  for (std::thread& t : guessers) t.join();
  guessers.clear();

  // Checked guesses: a few free ones, then one per turn -- whatever the number of addresses.
  size_t checked = 0;
  for (const std::string& line : central.Exchanges(kCmdLogOn))
    checked += line.find("identity \"guess\"") != std::string::npos &&
               line.find("status 0x1001") != std::string::npos;
  EXPECT_LE(checked, kAccountFailuresFree + 2 + elapsed * 1000 / kAccountCheckSpacingMs) << elapsed;
  EXPECT_GE(checked, static_cast<size_t>(kAccountFailuresFree));
}

// The owner changed the password (a text the server has not accepted yet) and the household
// got a new public address, which a guesser shares; guessers fill the account's waiting slots
// there and elsewhere. The PC's log-on under its identity waits for its turn and is accepted,
// never refused unchecked; a guesser without the identity is still held to the slots.
TEST_F(Takeover, TheAccountsOwnIdentityIsNeverRefusedForFullSlots) {
  ASSERT_EQ(central.Admin({"account", "passwd", kOwner}, "secret3\n").exitCode, 0);
  // Five failures, one from each of five addresses: the account's checks take turns now.
  for (int a = 60; a < 65; ++a)
    ASSERT_EQ(ExchangeFrom("127.0.0." + std::to_string(a), Port(), kCmdLogOn, "guess",
                           LogOnBody(kOwner, "guess" + std::to_string(a))),
              kStatusWrongPassword);
  const std::string newHome = "127.0.0.50";
  std::vector<std::unique_ptr<DeviceClient>> holders;  // checks waiting for their turns
  // Guesses from one address until it is refused unchecked: its slots are all held then.
  auto fill = [&](const std::string& from) {
    for (int i = 0; i < 12; ++i) {
      auto c = std::make_unique<DeviceClient>();
      if (!ConnectFrom(*c, from, Port()) ||
          !c->SendRaw(BuildServerRequest(kCmdLogOn, "guess",
                                         LogOnBody(kOwner, "fill" + from + std::to_string(i)))))
        return false;
      ServerReplyHeader h;
      if (!ReadServerAnswer(*c, h, nullptr, milliseconds(300))) {
        holders.push_back(std::move(c));
      } else if (h.status == kStatusWaitToRetry) {
        return true;
      }
    }
    return false;
  };
  // Ten addresses first (their turns run some 80 s), then the new home's own slots.
  for (int a = 70; a < 80; ++a) ASSERT_TRUE(fill("127.0.0." + std::to_string(a)));
  ASSERT_TRUE(fill(newHome));
  ASSERT_GE(holders.size(), 40u);

  // The PC under its identity, from the new address, with the new password.
  DeviceClient pcConn;
  ASSERT_TRUE(ConnectFrom(pcConn, newHome, Port()));
  ASSERT_TRUE(pcConn.SendRaw(BuildServerRequest(kCmdLogOn, pc, LogOnBody(kOwner, "secret3"))));
  ServerReplyHeader h;
  ASSERT_TRUE(ReadServerAnswer(pcConn, h, nullptr, seconds(60))) << central.LogText();
  EXPECT_EQ(h.status, 0) << "the PC's log-on under its identity";
  EXPECT_EQ(ExchangeFrom(newHome, Port(), kCmdHeartBeat, pc, {}), 0);
  // The slots still bind whoever comes without an identity of the account.
  EXPECT_EQ(ExchangeFrom(newHome, Port(), kCmdLogOn, "guess", LogOnBody(kOwner, "one-more")),
            kStatusWaitToRetry);
  holders.clear();
  const std::string status = central.Admin({"status"}).output;
  EXPECT_NE(status.find("seen from 127.0.0.50"), std::string::npos) << status;
}

TEST_F(Takeover, SlowAndCrowdingConnectionsLeaveRoomForThePc) {
  // 16 connections from each of 16 addresses: all the server takes, each sending a byte of its
  // request now and then.
  std::vector<std::unique_ptr<DeviceClient>> slow;
  for (int a = 2; a < 18; ++a)
    for (int i = 0; i < 16; ++i) {
      auto c = std::make_unique<DeviceClient>();
      if (ConnectFrom(*c, "127.0.0." + std::to_string(a), Port())) slow.push_back(std::move(c));
    }
  ASSERT_GT(slow.size(), 200u);
  // Every one of them is the server's (taken, or refused for want of room) before the PC
  // comes: the PC's heartbeat then passes at once, through the room kept for it.
  ASSERT_TRUE(WaitFor([&] { return WaitingToBeAccepted(Port()) == 0; }, seconds(10)));
  EXPECT_EQ(ExchangeFrom(kHome, Port(), kCmdHeartBeat, pc, {}), 0);
  // A byte every second does not keep a slot beyond the request's deadline.
  DeviceClient& drip = *slow.front();
  bool closed = false;
  for (int i = 0; i < 40 && !closed; ++i) {
    drip.SendRaw(Bytes{0});
    closed = drip.WaitClosed(milliseconds(1000));
  }
  EXPECT_TRUE(closed);
  slow.clear();
  OwnerStillWorks();
}

TEST_F(Takeover, ForgedHeartbeatsNeitherMoveThePcNorPauseItsAddress) {
  const uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
  uint8_t beat[kHeartBeatSize];
  EncodeHeartBeat("kitchen-pc", mac, kOwner, beat);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(central.P2PPort());
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  const int home = UdpFrom(kHome);
  const int forger = UdpFrom(kAttacker);
  ASSERT_GE(home, 0);
  ASSERT_GE(forger, 0);
  sockaddr_in homeAddr{};
  socklen_t len = sizeof homeAddr;
  getsockname(home, reinterpret_cast<sockaddr*>(&homeAddr), &len);
  auto send = [&](int fd, const uint8_t* d, size_t n) {
    sendto(fd, d, n, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
  };
  // Introductions of a phone: the PC address named, or 0 when refused; -1 without an answer.
  // The right password is asked again until an answer comes (a busy server may drop a datagram
  // behind a flood, or answer late); a wrong one is asked once, its answer not awaited for long.
  // Answers left over from earlier questions are read off first.
  const int phoneFd = UdpFrom("127.0.0.3");
  timeval tv{0, 300000};
  setsockopt(phoneFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto introduce = [&](int fd, const std::string& password, uint16_t* port) -> long long {
    uint8_t req[kRendezvousSize];
    EncodeRendezvousRequest({kOwner, PcPasswordOf(password), {}}, req);
    uint8_t answer[64];
    while (recv(fd, answer, sizeof answer, MSG_DONTWAIT) >= 0) {
    }
    const bool right = password == "secret1";
    const auto deadline = std::chrono::steady_clock::now() + seconds(10);
    do {
      send(fd, req, sizeof req);
      for (;;) {
        const ssize_t n = recv(fd, answer, sizeof answer, 0);
        if (n < 0) break;
        if (n != static_cast<ssize_t>(kHoleAckSize)) continue;
        const HoleAckBody b = DecodeHoleAckBody(answer + kP2PHeaderSize);
        if (port) *port = b.port1;
        return b.addr1;
      }
    } while (right && std::chrono::steady_clock::now() < deadline);
    return -1;
  };
  send(home, beat, sizeof beat);
  uint16_t port = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        AnswerServerPunches(home);
        return introduce(phoneFd, "secret1", &port) == 0x7F000001;
      },
      seconds(10)));
  EXPECT_EQ(port, ntohs(homeAddr.sin_port));
  // Forged heartbeats from elsewhere, later and many, change nothing.
  for (int i = 0; i < 200; ++i) {
    uint8_t other[6] = {2, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    EncodeHeartBeat("evil", i == 0 ? mac : other, kOwner, beat);
    send(forger, beat, sizeof beat);
  }
  // Forged heartbeats with the PC's own address (another port), interleaved with the owner's
  // phone asking: every introduction names the PC's real port.
  const int forgerAtHome = UdpFrom(kHome);
  ASSERT_GE(forgerAtHome, 0);
  EncodeHeartBeat("evil", mac, kOwner, beat);
  int introduced = 0;
  for (int round = 0; round < 8; ++round) {
    for (int i = 0; i < 50; ++i) send(forgerAtHome, beat, sizeof beat);
    port = 0;
    long long named = -1;
    // An answer may be lost behind the forger's datagrams: ask again until one comes.
    WaitFor([&] { return (named = introduce(phoneFd, "secret1", &port)) != -1; }, seconds(10));
    introduced += named == 0x7F000001 && port == ntohs(homeAddr.sin_port);
  }
  EXPECT_EQ(introduced, 8);
  close(forgerAtHome);
  EncodeHeartBeat("kitchen-pc", mac, kOwner, beat);
  send(home, beat, sizeof beat);
  // Requests of made-up accounts, each from another address, do not hold up the owner's phone:
  // its text is known without hashing, theirs are hashed one per account on another thread.
  for (int i = 0; i < 120; ++i) {
    const int fd = UdpFrom("127.0.1." + std::to_string(i + 1));
    if (fd < 0) continue;
    uint8_t req[kRendezvousSize];
    EncodeRendezvousRequest({"made-up" + std::to_string(i) + "@example.org", PcPasswordOf("guess1"), {}}, req);
    send(fd, req, sizeof req);
    close(fd);
  }
  port = 0;
  long long named = -1;
  WaitFor([&] { return (named = introduce(phoneFd, "secret1", &port)) != -1; }, seconds(10));
  EXPECT_EQ(named, 0x7F000001);
  EXPECT_EQ(port, ntohs(homeAddr.sin_port));
  // Wrong passwords "from" the PC's own address (a forged UDP source) do not pause it.
  timeval quick{0, 50000};
  setsockopt(home, SOL_SOCKET, SO_RCVTIMEO, &quick, sizeof quick);
  for (int i = 0; i < 8; ++i) introduce(home, "wrong1", nullptr);
  setsockopt(home, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_TRUE(WaitFor([&] { return introduce(home, "secret1", &port) == 0x7F000001; }, seconds(10)));
  EXPECT_TRUE(WaitFor([&] { return introduce(phoneFd, "secret1", &port) == 0x7F000001; }, seconds(10)));
  EXPECT_EQ(port, ntohs(homeAddr.sin_port));
  // Wrong passwords forged from the phone's address pause guesses from there, not the phone.
  for (int i = 0; i < 8; ++i) introduce(phoneFd, "wrong" + std::to_string(i), nullptr);
  EXPECT_TRUE(WaitFor([&] { return introduce(phoneFd, "secret1", &port) == 0x7F000001; }, seconds(10)));
  EXPECT_EQ(central.LogText().find("(evil)"), std::string::npos);
  close(home);
  close(forger);
  close(phoneFd);
}

// The rendezvous road by who asks, while strangers forge heartbeats of the owner's PC (from
// their own addresses and from the PC's, before and after the PC's first heartbeat), another
// account's PC names the owner's PC in its own heartbeats, and 5000 heartbeats of made-up accounts press on the
// table: each row gets its own answer all the while.
TEST_F(Takeover, TheRendezvousAnswersEachAskerWhileForgersPress) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(central.P2PPort());
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  auto send = [&](int fd, const uint8_t* d, size_t n) {
    sendto(fd, d, n, 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
  };
  const uint8_t ownerMac[6] = {2, 0, 0, 0, 0, 1};
  const uint8_t otherMac[6] = {2, 0, 0, 0, 0, 2};
  // The other account's PC, logged on from its own address and heard before the flood.
  const std::string otherHome = "127.0.0.4";
  Bytes body;
  ASSERT_EQ(ExchangeFrom(otherHome, Port(), kCmdIdentity, "", {}, &body), 0);
  const std::string otherPc = DecodeIdentityReply(body.data(), body.size());
  ASSERT_EQ(ExchangeFrom(otherHome, Port(), kCmdLogOn, otherPc,
                         EncodeLogOnRequest({kOther, PcPasswordOf("secret2"), 2, "Linux", "02-00-00-00-00-02"})),
            0);
  const int otherUdp = UdpFrom(otherHome);
  ASSERT_GE(otherUdp, 0);
  uint8_t otherBeat[kHeartBeatSize];
  EncodeHeartBeat("his-pc", otherMac, kOther, otherBeat);
  send(otherUdp, otherBeat, sizeof otherBeat);

  std::atomic<bool> stop{false};
  std::atomic<int> forged{0};
  std::vector<std::thread> attacks;
  // A stranger forging the owner's PC from addresses of its own, every millisecond or so.
  attacks.emplace_back([&] {
    std::vector<int> fds;
    for (int i = 0; i < 8; ++i) fds.push_back(UdpFrom("127.0.3." + std::to_string(i + 1)));
    uint8_t beat[kHeartBeatSize];
    EncodeHeartBeat("evil", ownerMac, kOwner, beat);
    for (size_t i = 0; !stop; ++i) {
      send(fds[i % fds.size()], beat, sizeof beat);
      ++forged;
      if (i % 64 == 63) std::this_thread::sleep_for(milliseconds(1));
    }
    for (int fd : fds) close(fd);
  });
  // Another account's PC naming the owner's account and MAC from its own logged-on address.
  attacks.emplace_back([&] {
    const int fd = UdpFrom(otherHome);
    uint8_t beat[kHeartBeatSize];
    EncodeHeartBeat("evil", ownerMac, kOwner, beat);
    while (!stop) {
      send(fd, beat, sizeof beat);
      std::this_thread::sleep_for(milliseconds(2));
    }
    close(fd);
  });
  // 5000 heartbeats of made-up accounts, each from another address, over and over.
  attacks.emplace_back([&] {
    std::vector<int> fds;
    for (int i = 0; i < 250; ++i) fds.push_back(UdpFrom("127.0.4." + std::to_string(i + 1)));
    uint8_t beat[kHeartBeatSize];
    while (!stop) {
      for (int i = 0; i < 5000 && !stop; ++i) {
        const uint8_t mac[6] = {2, 1, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        EncodeHeartBeat("made-up", mac, "made-up" + std::to_string(i) + "@example.org", beat);
        send(fds[i % fds.size()], beat, sizeof beat);
        if (i % 50 == 49) std::this_thread::sleep_for(milliseconds(1));
      }
    }
    for (int fd : fds) close(fd);
  });
  // A stranger forging the owner's PC from the PC's own address (other ports), from before
  // the PC's first heartbeat on: he never sees what the server sends there.
  std::atomic<int> forgedAtHome{0};
  attacks.emplace_back([&] {
    std::vector<int> fds;
    for (int i = 0; i < 8; ++i) fds.push_back(UdpFrom(kHome));
    uint8_t beat[kHeartBeatSize];
    EncodeHeartBeat("evil", ownerMac, kOwner, beat);
    for (size_t i = 0; !stop; ++i) {
      send(fds[i % fds.size()], beat, sizeof beat);
      ++forgedAtHome;
      std::this_thread::sleep_for(milliseconds(2));
    }
    for (int fd : fds) close(fd);
  });
  ASSERT_TRUE(WaitFor([&] { return forged.load() > 2000 && forgedAtHome.load() > 50; }, seconds(10)));

  // The owner's PC is heard for the first time only now, and keeps beating as a PC does.
  const int home = UdpFrom(kHome);
  ASSERT_GE(home, 0);
  sockaddr_in homeAddr{};
  socklen_t len = sizeof homeAddr;
  getsockname(home, reinterpret_cast<sockaddr*>(&homeAddr), &len);
  sockaddr_in otherAddr{};
  len = sizeof otherAddr;
  getsockname(otherUdp, reinterpret_cast<sockaddr*>(&otherAddr), &len);
  uint8_t homeBeat[kHeartBeatSize];
  EncodeHeartBeat("kitchen-pc", ownerMac, kOwner, homeBeat);
  attacks.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      if (i % 10 == 0) {
        send(home, homeBeat, sizeof homeBeat);
        send(otherUdp, otherBeat, sizeof otherBeat);
      }
      AnswerServerPunches(home);
      AnswerServerPunches(otherUdp);
      std::this_thread::sleep_for(milliseconds(20));
    }
  });

  struct Row {
    const char* who;
    std::string from;
    std::string email, password;
    const uint8_t* mac;  // nullptr: any PC of the account
    uint16_t source;     // expected answer: introduced (1) or refused (2)
    uint32_t pcIp;       // the PC named; 0 none
    uint16_t pcPort;
  };
  const uint16_t homePort = ntohs(homeAddr.sin_port);
  const uint16_t otherPort = ntohs(otherAddr.sin_port);
  const std::vector<Row> rows = {
      {"owner's phone, any PC", "127.0.0.3", kOwner, "secret1", nullptr, 1, 0x7F000001, homePort},
      {"owner's phone, the PC by MAC", "127.0.0.3", kOwner, "secret1", ownerMac, 1, 0x7F000001, homePort},
      {"owner's PC asking", kHome, kOwner, "secret1", nullptr, 1, 0x7F000001, homePort},
      {"owner's phone, another account's MAC", "127.0.0.3", kOwner, "secret1", otherMac, 1, 0, 0},
      {"owner's phone, wrong password", "127.0.0.5", kOwner, "wrong1", nullptr, 2, 0, 0},
      {"another account, its own PC", "127.0.0.6", kOther, "secret2", nullptr, 1, 0x7F000004, otherPort},
      {"another account's password for the owner", "127.0.0.6", kOwner, "secret2", nullptr, 2, 0, 0},
      {"another account naming the owner's MAC", "127.0.0.6", kOther, "secret2", ownerMac, 1, 0, 0},
      {"stranger, unknown account", "127.0.3.1", "nobody@example.org", "secret1", nullptr, 2, 0, 0},
      {"stranger, empty account", "127.0.3.2", "", "secret1", nullptr, 2, 0, 0},
      {"stranger, empty password", "127.0.3.3", kOwner, "", nullptr, 2, 0, 0},
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.who);
      const int fd = UdpFrom(row.from);
      ASSERT_GE(fd, 0);
      timeval tv{0, 500000};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      sockaddr_in me{};
      len = sizeof me;
      getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len);
      RendezvousRequest r{row.email, row.password.empty() ? "" : PcPasswordOf(row.password), {}};
      if (row.mac) std::memcpy(r.mac, row.mac, 6);
      uint8_t req[kRendezvousSize];
      EncodeRendezvousRequest(r, req);
      HoleAckBody got;
      // A right answer may wait for the PC's next heartbeat; a request whose check is still
      // waiting is dropped, so ask again up to the deadline.
      const bool answered = WaitFor(
          [&] {
            send(fd, req, sizeof req);
            uint8_t answer[64];
            for (;;) {
              const ssize_t n = recv(fd, answer, sizeof answer, 0);
              if (n < 0) return false;
              if (n != static_cast<ssize_t>(kHoleAckSize)) continue;
              got = DecodeHoleAckBody(answer + kP2PHeaderSize);
              return got.source == row.source && got.addr1 == row.pcIp;
            }
          },
          seconds(10));
      close(fd);
      ASSERT_TRUE(answered) << "source " << got.source << " address " << std::hex << got.addr1;
      EXPECT_EQ(got.port1, row.pcPort);
      if (row.source == 1) {
        EXPECT_EQ(got.addr2, ntohl(me.sin_addr.s_addr));
        EXPECT_EQ(got.port2, ntohs(me.sin_port));
      } else {
        EXPECT_EQ(got.addr2, 0u);
        EXPECT_EQ(got.port2, 0u);
      }
    }
  }
  stop = true;
  for (auto& t : attacks) t.join();
  close(home);
  close(otherUdp);
  EXPECT_EQ(central.LogText().find("(evil)"), std::string::npos);
}

TEST_F(Takeover, TheLogIsPrivateHoldsNoSessionAndEscapesPeerText) {
  // Sixty refused heartbeats from one peer, one of them with a line break in its identity.
  for (int i = 0; i < 60; ++i)
    ExchangeFrom(kAttacker, Port(), kCmdHeartBeat, i == 0 ? "x\n[forged] line" : "nobody", {});
  std::vector<PcEntry> pcs;
  ASSERT_EQ(phone.ListPcs(Port(), pcs), 0);
  ASSERT_TRUE(phone.Request("nowhere\r\n[forged] too", BuildMessage(0x2002, 1)));
  uint16_t status = 0;
  ASSERT_TRUE(phone.ReadStatus(kCmdRelayData, status));
  central.Stop();
  struct stat st {};
  ASSERT_EQ(stat((central.DataDir() + "/central.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string log = central.LogText();
  EXPECT_EQ(log.find(phone.Session()), std::string::npos) << "a session lists the account's PCs";
  EXPECT_EQ(log.find("\n[forged]"), std::string::npos) << log;
  EXPECT_NE(log.find("x\\x0A[forged] line"), std::string::npos) << log;
  // A peer's refusals are paced: many of them leave a bounded trace.
  size_t lines = 0;
  for (size_t at = 0; (at = log.find("0x1003 from 127.0.0.2", at)) != std::string::npos; ++at) ++lines;
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 20u);
}

// The phones and strangers in a network namespace of their own, outside the PC's subnets:
// the owner's phone at an address routed through the veth pair (198.18.x.y), another account
// and a stranger at the namespace's own address, the stranger also forging UDP sources (the
// owner's phone's among them) with a raw socket. QuarloCentral listens on every address.
class TakeoverFromOutside : public Takeover {
 protected:
  bool StartCentral() override {
    central.SetListenHost("0.0.0.0");
    return central.StartWithSite();
  }
  void SetUp() override {
    const std::string made = ns.Create();
    if (!made.empty()) GTEST_SKIP() << made;
    const std::string outside = ns.AddOutsideAddress();
    if (!outside.empty()) GTEST_SKIP() << outside;
    Takeover::SetUp();
  }

  // Runs fn inside the namespace, on a thread of its own, until stop (the attacks).
  void Inside(std::function<void()> fn) {
    attacks.emplace_back([this, fn] { ns.RunInside(fn); });
  }
  int Udp(const std::string& source) {
    int fd = -1;
    ns.RunInside([&] { fd = UdpFrom(source); });
    return fd;
  }
  sockaddr_in P2PServer() const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(central.P2PPort());
    inet_pton(AF_INET, ns.HostIp().c_str(), &a.sin_addr);
    return a;
  }

  PeerNamespace ns;
  std::atomic<bool> stop{false};
  std::vector<std::thread> attacks;
  StopAndJoin joiner{stop, attacks};
};

// One UDP datagram from any source address and port, by a raw socket (a forged source).
void SendForged(int raw, const std::string& srcIp, uint16_t srcPort, const sockaddr_in& to,
                const uint8_t* data, size_t n) {
  uint8_t packet[1500] = {};
  iphdr ip{};
  ip.version = 4;
  ip.ihl = 5;
  ip.ttl = 64;
  ip.protocol = IPPROTO_UDP;
  ip.tot_len = htons(static_cast<uint16_t>(sizeof ip + sizeof(udphdr) + n));
  inet_pton(AF_INET, srcIp.c_str(), &ip.saddr);
  ip.daddr = to.sin_addr.s_addr;
  udphdr udp{};
  udp.source = htons(srcPort);
  udp.dest = to.sin_port;
  udp.len = htons(static_cast<uint16_t>(sizeof udp + n));  // checksum 0: none
  std::memcpy(packet, &ip, sizeof ip);
  std::memcpy(packet + sizeof ip, &udp, sizeof udp);
  std::memcpy(packet + sizeof ip + sizeof udp, data, n);
  sendto(raw, packet, sizeof ip + sizeof udp + n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Every road by who comes, from outside the PC's subnets, while the attacks run: guesses at
// the owner's account (TCP and forged UDP, some from the owner's phone's own address), forged
// heartbeats of the owner's PC, relay and cache connections under its identity, and slow heads
// at the site. The owner's rows pass all the while, the others get their own refusals.
TEST_F(TakeoverFromOutside, EveryRoadByWhoWhileTheAttacksRun) {
  const std::string hostIp = ns.HostIp();
  const std::string phoneIp = ns.OutsideIp();
  const std::string strangerIp = ns.PeerIp();
  const uint8_t ownerMac[6] = {2, 0, 0, 0, 0, 1};
  // The owner's PC beats from its peer-to-peer socket and answers the server's punches.
  const int home = UdpFrom(kHome);
  ASSERT_GE(home, 0);
  sockaddr_in homeAddr{};
  socklen_t len = sizeof homeAddr;
  getsockname(home, reinterpret_cast<sockaddr*>(&homeAddr), &len);
  sockaddr_in p2pLocal{};
  p2pLocal.sin_family = AF_INET;
  p2pLocal.sin_port = htons(central.P2PPort());
  inet_pton(AF_INET, "127.0.0.1", &p2pLocal.sin_addr);
  uint8_t homeBeat[kHeartBeatSize];
  EncodeHeartBeat("kitchen-pc", ownerMac, kOwner, homeBeat);
  attacks.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      if (i % 10 == 0)
        sendto(home, homeBeat, sizeof homeBeat, 0, reinterpret_cast<const sockaddr*>(&p2pLocal), sizeof p2pLocal);
      AnswerServerPunches(home);
      std::this_thread::sleep_for(milliseconds(20));
    }
  });

  // The attacks, all from inside the namespace.
  std::atomic<int> guessed{0}, forged{0};
  Inside([&] {  // guesses at the owner's account, with and without the PC's identity
    for (int i = 0; !stop; ++i) {
      DeviceClient c;
      if (!c.ConnectFrom(strangerIp, hostIp, Port()) ||
          !c.SendRaw(BuildServerRequest(kCmdLogOn, i % 2 ? pc : "guess",
                                        LogOnBody(kOwner, "guess" + std::to_string(i)))))
        continue;
      ServerReplyHeader h;
      ReadServerAnswer(c, h, nullptr, milliseconds(200));  // held back or waiting: leave
      ++guessed;
    }
  });
  Inside([&] {  // forged datagrams: wrong passwords "from the owner's phone", the PC's heartbeat
    const int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (raw < 0) return;
    const sockaddr_in to = P2PServer();
    uint8_t guess[kRendezvousSize], beat[kHeartBeatSize];
    EncodeHeartBeat("evil", ownerMac, kOwner, beat);
    for (int i = 0; !stop; ++i) {
      EncodeRendezvousRequest({kOwner, PcPasswordOf("wrong" + std::to_string(i % 50)), {}}, guess);
      SendForged(raw, phoneIp, static_cast<uint16_t>(20000 + i % 1000), to, guess, sizeof guess);
      SendForged(raw, i % 2 ? phoneIp : strangerIp, static_cast<uint16_t>(30000 + i % 1000), to,
                 beat, sizeof beat);
      ++forged;
      std::this_thread::sleep_for(milliseconds(2));
    }
    close(raw);
  });
  Inside([&] {  // relay and cache connections under the PC's identity, over and over
    while (!stop) {
      for (uint16_t command : {kCmdRelayRegister, kCmdCacheFetch}) {
        DeviceClient c;
        if (c.ConnectFrom(strangerIp, hostIp, Port()))
          c.SendRaw(BuildRelayFrame(command, pc, nullptr, 0));
        ServerReplyHeader h;
        ReadServerAnswer(c, h, nullptr, milliseconds(500));
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
  });
  Inside([&] {  // slow heads at the site: the stranger's address keeps its slots taken
    const uint16_t sitePort = static_cast<uint16_t>(
        std::stoi(central.SiteUrl().substr(central.SiteUrl().rfind(':') + 1)));
    std::vector<std::unique_ptr<DeviceClient>> heads;
    while (!stop) {
      heads.erase(std::remove_if(heads.begin(), heads.end(),
                                 [](const std::unique_ptr<DeviceClient>& h) {
                                   return h->WaitClosed(milliseconds(0));
                                 }),
                  heads.end());
      while (heads.size() < 8 && !stop) {
        auto h = std::make_unique<DeviceClient>();
        if (!h->ConnectFrom(strangerIp, hostIp, sitePort)) break;
        h->SendRaw(Bytes{'G', 'E', 'T', ' '});
        heads.push_back(std::move(h));
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
  });
  ASSERT_TRUE(WaitFor([&] { return guessed.load() > 10 && forged.load() > 200; }, seconds(30)));

  // Who comes, from where.
  const uint16_t sitePort = static_cast<uint16_t>(
      std::stoi(central.SiteUrl().substr(central.SiteUrl().rfind(':') + 1)));
  auto siteGet = [&](const std::string& source, const std::string& host) {
    DeviceClient c;
    const std::string get = "GET /quarlo/update-pc.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    if (!c.ConnectFrom(source, host, sitePort) || !c.SendRaw(Bytes(get.begin(), get.end()))) return -1;
    char line[12];  // "HTTP/1.1 404": no terminator, so the code is read as its three digits
    if (!c.ReadExact(reinterpret_cast<uint8_t*>(line), sizeof line)) return -1;
    return std::atoi(std::string(line + 9, 3).c_str());
  };
  // A rendezvous from a socket inside: the answer's source, and the PC's address and port
  // (wantPc: asked again until a PC is named, as its heartbeat may still be answering).
  auto rendezvous = [&](const std::string& source, const std::string& email,
                        const std::string& password, bool wantPc, uint32_t* pcIp, uint16_t* pcPort) {
    const int fd = Udp(source);
    if (fd < 0) return -1;
    timeval tv{0, 500000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    uint8_t req[kRendezvousSize];
    EncodeRendezvousRequest({email, PcPasswordOf(password), {}}, req);
    const sockaddr_in to = P2PServer();
    int got = -1;
    WaitFor(
        [&] {
          sendto(fd, req, sizeof req, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
          uint8_t answer[64];
          const ssize_t n = recv(fd, answer, sizeof answer, 0);
          if (n != static_cast<ssize_t>(kHoleAckSize)) return false;
          const HoleAckBody b = DecodeHoleAckBody(answer + kP2PHeaderSize);
          got = b.source;
          if (pcIp) *pcIp = b.addr1;
          if (pcPort) *pcPort = b.port1;
          return !wantPc || (b.source == kRendezvousIntroduced && b.addr1 != 0);
        },
        seconds(10));
    close(fd);
    return got;
  };
  RelayPhone ownerPhone, otherPhone;
  ownerPhone.SetHost(hostIp);
  otherPhone.SetHost(hostIp);
  ns.RunInside([&] {
    ASSERT_EQ(ownerPhone.SignInFrom(phoneIp, Port(), kOwner, PcPasswordOf("secret1")), 0);
    ASSERT_EQ(otherPhone.SignInFrom(strangerIp, Port(), kOther, PcPasswordOf("secret2")), 0);
  });
  auto listed = [&](RelayPhone& p) {
    std::vector<PcEntry> pcs;
    int status = -1;
    ns.RunInside([&] { status = p.ListPcs(Port(), pcs); });
    if (status != 0) return -1;
    int online = 0;
    for (const PcEntry& e : pcs) online += e.identity == pc && e.online;
    return online;
  };
  auto relayed = [&](RelayPhone& p) -> int {
    if (!p.Request(pc, BuildMessage(0x2002, 41))) return -1;
    uint16_t status = 0;
    if (&p == &otherPhone) return p.ReadStatus(kCmdRelayData, status) ? status : -1;
    uint8_t head[kRelayHeaderSize];
    if (!relay.ReadExact(head, sizeof head)) return -2;
    const RelayHeader h = DecodeRelayHeader(head);
    Bytes rest(h.len - kRelayHeaderSize);
    if (!relay.ReadExact(rest.data(), rest.size())) return -2;
    const Bytes reply = BuildMessage(0x2002, 41);
    relay.SendRaw(BuildAddressedFrame(kCmdRelayData, pc, p.Session(), reply.data(), reply.size()));
    DeviceMessage m;
    return p.ReadMessage(m) ? static_cast<int>(m.header.param) : -3;
  };
  // One exchange under the PC's identity from the namespace's own address.
  auto strangerSays = [&](uint16_t command, const Bytes& body) {
    int status = -1;
    ns.RunInside([&] {
      DeviceClient c;
      ServerReplyHeader h;
      if (c.ConnectFrom(strangerIp, hostIp, Port()) &&
          c.SendRaw(BuildServerRequest(command, pc, body)) && ReadServerAnswer(c, h))
        status = h.status;
    });
    return status;
  };
  auto strangerOpens = [&](uint16_t command) {
    int status = -1;
    ns.RunInside([&] {
      DeviceClient c;
      ServerReplyHeader h;
      if (c.ConnectFrom(strangerIp, hostIp, Port()) &&
          c.SendRaw(BuildRelayFrame(command, pc, nullptr, 0)) && ReadServerAnswer(c, h))
        status = h.status;
    });
    return status;
  };
  const uint16_t homePort = ntohs(homeAddr.sin_port);
  struct Row {
    const char* road;
    const char* who;
    std::function<int()> attempt;
    int expected;
  };
  const std::vector<Row> rows = {
      {"log-on", "the owner's PC",
       [&] { return ExchangeFrom(kHome, Port(), kCmdLogOn, pc, LogOnBody(kOwner, "secret1")); }, 0},
      {"heartbeat", "the owner's PC", [&] { return ExchangeFrom(kHome, Port(), kCmdHeartBeat, pc, {}); }, 0},
      {"log-on (sign-in)", "the owner's phone",
       [&] {
         RelayPhone fresh;
         fresh.SetHost(hostIp);
         int status = -1;
         ns.RunInside([&] { status = fresh.SignInFrom(phoneIp, Port(), kOwner, PcPasswordOf("secret1")); });
         return status;
       },
       0},
      {"log-on under the PC's identity", "another account",
       [&] { return strangerSays(kCmdLogOn, LogOnBody(kOther, "secret2")); }, kStatusOtherAccount},
      {"heartbeat under the PC's identity", "a stranger",
       [&] { return strangerSays(kCmdHeartBeat, {}); }, kStatusNotLoggedOn},
      {"server info under the PC's identity", "a stranger",
       [&] { return strangerSays(kCmdServerInfo, EncodeSVInfo({0x0A000001, 1, 2, 2, "evil"})); },
       kStatusNotLoggedOn},
      {"relay: the PC listed online", "the owner's phone", [&] { return listed(ownerPhone); }, 1},
      {"relay: a request answered by the PC", "the owner's phone", [&] { return relayed(ownerPhone); }, 41},
      {"cache: the PC's fetch", "the owner's PC",
       [&] {
         DeviceClient cache;
         ServerReplyHeader h;
         return ConnectFrom(cache, kHome, Port()) &&
                        cache.SendRaw(BuildRelayFrame(kCmdCacheFetch, pc, nullptr, 0)) &&
                        ReadServerAnswer(cache, h)
                    ? h.status
                    : -1;
       },
       kStatusNothingWaits},
      {"relay: the PC not listed", "another account", [&] { return listed(otherPhone); }, 0},
      {"relay: a request to the PC", "another account", [&] { return relayed(otherPhone); }, kStatusNoSuchPc},
      {"relay register under the PC's identity", "a stranger",
       [&] { return strangerOpens(kCmdRelayRegister); }, kStatusNotLoggedOn},
      {"cache fetch under the PC's identity", "a stranger",
       [&] { return strangerOpens(kCmdCacheFetch); }, kStatusNotLoggedOn},
      {"rendezvous: introduced to the PC's own port", "the owner's phone",
       [&] {
         uint32_t ip = 0;
         uint16_t port = 0;
         const int source = rendezvous(phoneIp, kOwner, "secret1", true, &ip, &port);
         return source == kRendezvousIntroduced && ip == 0x7F000001 ? port : -source;
       },
       static_cast<int>(homePort)},
      {"rendezvous: its own account, no PC heard", "another account",
       [&] {
         uint32_t ip = 1;
         const int source = rendezvous(strangerIp, kOther, "secret2", false, &ip, nullptr);
         return ip == 0 ? source : -source;
       },
       kRendezvousIntroduced},
      // Refused, or not answered at all once the account's guesses pause its checks.
      {"rendezvous: the owner's account, its own password, never introduced", "another account",
       [&] {
         uint32_t ip = 0;
         rendezvous(strangerIp, kOwner, "secret2", false, &ip, nullptr);
         return static_cast<int>(ip);
       },
       0},
      {"rendezvous: a made-up account", "a stranger",
       [&] {
         static int n = 0;
         return rendezvous(strangerIp, "made-up" + std::to_string(++n) + "@example.org", "x", false, nullptr, nullptr);
       },
       kRendezvousRefused},
      {"site: the update page", "the owner's phone",
       [&] {
         int code = -1;
         ns.RunInside([&] { code = siteGet(phoneIp, hostIp); });
         return code;
       },
       404},
      {"site: the update page", "the owner's PC", [&] { return siteGet(kHome, "127.0.0.1"); }, 404},
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.road) + " / " + row.who);
      EXPECT_EQ(row.attempt(), row.expected);
    }
  }
  stop = true;
  for (std::thread& t : attacks) t.join();
  attacks.clear();
  close(home);
  EXPECT_EQ(central.LogText().find("(evil)"), std::string::npos);
}

}  // namespace
