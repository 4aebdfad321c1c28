// The real QuarloCentral's relay, cache and phone side refusing what they must: identities
// that are not logged on, broken frames, messages outside the account, full queues, and a PC
// that logged out. The PC here is the exact frames a PC sends (the whole road with the real
// service is tests/service/relay_test.cpp).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/proto_relay.h"
#include "common/server_client.h"
#include "tests/central/loopback_peer.h"
#include "tests/support/central_process.h"
#include "tests/support/relay_phone.h"
#include "tests/support/wait_for.h"

namespace {

using std::chrono::milliseconds;

constexpr const char* kOwner = "owner@example.org";
constexpr const char* kOther = "other@example.org";

// One single exchange; the status, or -1.
int Exchange(uint16_t port, uint16_t command, const std::string& identity, const Bytes& body,
             Bytes* replyBody = nullptr) {
  ServerAddress server;
  MakeServerAddress("127.0.0.1", port, server);
  RelayHeader h;
  h.command = command;
  h.identity = identity;
  ServerReplyHeader reply;
  Bytes b;
  if (SendServerRequest(h, server, body.empty() ? nullptr : body.data(), body.size(), reply, b) != 0)
    return -1;
  if (replyBody) *replyBody = b;
  return reply.status;
}

// A PC identity logged on to the account.
std::string LoggedOnPc(uint16_t port, const std::string& email, const std::string& password) {
  Bytes body;
  if (Exchange(port, kCmdIdentity, "", {}, &body) != 0) return "";
  const std::string id = DecodeIdentityReply(body.data(), body.size());
  const Bytes logOn = EncodeLogOnRequest({email, PcPasswordOf(password), 2, "Linux", "02-00-00-00-00-01"});
  return Exchange(port, kCmdLogOn, id, logOn) == 0 ? id : "";
}

class RelayHub : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(central.AddAccount(kOwner, "secret1"));
    ASSERT_TRUE(central.AddAccount(kOther, "secret2"));
    ASSERT_TRUE(central.Start()) << central.LogText();
    pc = LoggedOnPc(central.Port(), kOwner, "secret1");
    ASSERT_FALSE(pc.empty());
  }
  // A registered relay connection of the PC.
  bool Register(DeviceClient& relay, const std::string& identity) {
    ServerReplyHeader h;
    return relay.Connect("127.0.0.1", central.Port()) &&
           relay.SendRaw(BuildRelayFrame(kCmdRelayRegister, identity, nullptr, 0)) &&
           ReadServerAnswer(relay, h) && h.status == 0 && h.reserved2 == kCmdRelayRegister;
  }
  uint16_t Port() const { return central.Port(); }

  CentralProcess central;
  std::string pc;
};

TEST_F(RelayHub, PcConnectionsNeedALoggedOnIdentityAndWholeFrames) {
  struct Case {
    const char* name;
    Bytes first;
    uint16_t status;  // of the answer before the close; 0: closed without one
  } cases[] = {
      {"register of an identity never logged on",
       BuildRelayFrame(kCmdRelayRegister, "never-issued", nullptr, 0), kStatusNotLoggedOn},
      {"cache fetch of an identity never logged on",
       BuildRelayFrame(kCmdCacheFetch, "never-issued", nullptr, 0), kStatusNotLoggedOn},
      {"a total below the header", [] {
         Bytes b = BuildRelayFrame(kCmdRelayRegister, "x", nullptr, 0);
         b[1] = 20;
         return b;
       }(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceClient conn;
    ASSERT_TRUE(conn.Connect("127.0.0.1", Port()));
    ASSERT_TRUE(conn.SendRaw(c.first));
    if (c.status) {
      ServerReplyHeader h;
      ASSERT_TRUE(ReadServerAnswer(conn, h));
      EXPECT_EQ(h.status, c.status);
    }
    EXPECT_TRUE(conn.WaitClosed());
  }
  // A registered relay is dropped by a frame whose total is below its header.
  DeviceClient relay;
  ASSERT_TRUE(Register(relay, pc));
  ASSERT_TRUE(relay.SendRaw(Bytes{0, 9, 0, 7, 0x10, 0x08, 0, 0, 0}));
  EXPECT_TRUE(relay.WaitClosed());
}

TEST_F(RelayHub, PhonesAndPcsMeetOnlyWithinTheirAccount) {
  DeviceClient relay;
  ASSERT_TRUE(Register(relay, pc));
  RelayPhone mine, stranger;
  ASSERT_EQ(mine.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
  ASSERT_EQ(stranger.SignIn(Port(), kOther, PcPasswordOf("secret2")), 0);
  const std::string otherPc = LoggedOnPc(Port(), kOther, "secret2");
  DeviceClient otherRelay;
  ASSERT_TRUE(Register(otherRelay, otherPc));

  // The PC's reply to a phone of another account goes nowhere; to its own phone it arrives.
  const Bytes reply = BuildMessage(0x2002, 5);
  ASSERT_TRUE(relay.SendRaw(
      BuildAddressedFrame(kCmdRelayData, pc, stranger.Session(), reply.data(), reply.size())));
  ASSERT_TRUE(relay.SendRaw(
      BuildAddressedFrame(kCmdRelayData, pc, mine.Session(), reply.data(), reply.size())));
  DeviceMessage m;
  uint16_t command = 0;
  ASSERT_TRUE(mine.ReadMessage(m, &command));
  EXPECT_EQ(command, kCmdRelayData);
  EXPECT_EQ(m.header.param, 5u);
  EXPECT_FALSE(stranger.ReadMessage(m, nullptr, milliseconds(300)));

  // A cached package for a phone of another account is refused to the PC.
  DeviceClient cache;
  ASSERT_TRUE(cache.Connect("127.0.0.1", Port()));
  const Bytes package = BuildTransMessage(0x1002, 7, 1, 0, 0, Bytes(10, 1));
  ASSERT_TRUE(cache.SendRaw(BuildAddressedFrame(kCmdCacheDeliver, pc, stranger.Session(),
                                                package.data(), package.size())));
  ServerReplyHeader h;
  ASSERT_TRUE(ReadServerAnswer(cache, h));
  EXPECT_EQ(h.status, kStatusNoSuchPhone);
  // Nothing waits for the PC; what the other account's phone leaves never reaches it.
  ASSERT_EQ(stranger.Leave(pc, BuildTransMessage(2, 7, 0, 0, 0, Bytes(10, 1))), kStatusNoSuchPc);
  ASSERT_TRUE(cache.SendRaw(BuildRelayFrame(kCmdCacheFetch, pc, nullptr, 0)));
  ASSERT_TRUE(ReadServerAnswer(cache, h));
  EXPECT_EQ(h.status, kStatusNothingWaits);
  // The phone's request to the other account's PC is refused and not forwarded.
  ASSERT_TRUE(mine.Request(otherPc, BuildMessage(0x2002, 1)));
  uint16_t status = 0;
  ASSERT_TRUE(mine.ReadStatus(kCmdRelayData, status));
  EXPECT_EQ(status, kStatusNoSuchPc);
  uint8_t any;
  EXPECT_FALSE(otherRelay.ReadExact(&any, 1, milliseconds(300)));
}

TEST_F(RelayHub, MalformedPhoneFramesAndFullQueuesAreRefusedAndTheConnectionStays) {
  DeviceClient relay;
  ASSERT_TRUE(Register(relay, pc));
  RelayPhone phone;
  ASSERT_EQ(phone.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
  Bytes tooLong = BuildMessage(0x2002, 1, Bytes(4, 0));
  wire::PutU16(tooLong.data(), 400);
  struct Case {
    const char* name;
    uint16_t command;
    Bytes message;
    uint16_t status;
  } cases[] = {
      {"inner total beyond the frame", kCmdRelayData, tooLong, kStatusBadRequest},
      {"an inner header cut short", kCmdRelayData, Bytes{0, 8, 0}, kStatusBadRequest},
      {"only upload data and ends are left", kCmdLeaveForPc, BuildMessage(0x0005, 1, Bytes(4, 0)),
       kStatusBadRequest},
      {"a left message must be whole", kCmdLeaveForPc, tooLong, kStatusBadRequest},
      {"an unknown command", 0x1077, BuildMessage(0x2002, 1), kStatusUnknownCommand},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(phone.Conn().SendRaw(BuildAddressedFrame(c.command, phone.Session(), pc,
                                                         c.message.data(), c.message.size())));
    uint16_t status = 0;
    ASSERT_TRUE(phone.ReadStatus(c.command, status));
    EXPECT_EQ(status, c.status);
  }
  // Upload data left for a PC that does not fetch fills its queue: then the phone must wait.
  const Bytes data = BuildTransMessage(2, 9, 0, 0, 0, Bytes(1000, 3));
  auto leaveOnce = [&] {
    uint16_t s = 0;
    if (!phone.Conn().SendRaw(
            BuildAddressedFrame(kCmdLeaveForPc, phone.Session(), pc, data.data(), data.size())) ||
        !phone.ReadStatus(kCmdLeaveForPc, s))
      return -1;
    return static_cast<int>(s);
  };
  int accepted = 0;
  int status = 0;
  while ((status = leaveOnce()) == 0) ++accepted;
  EXPECT_EQ(status, kStatusCacheFull);
  EXPECT_EQ(accepted, 1024 * 1024 / 1020);
  // The PC's fetch frees room, one message at a time, in order.
  DeviceClient cache;
  ASSERT_TRUE(cache.Connect("127.0.0.1", Port()));
  ASSERT_TRUE(cache.SendRaw(BuildRelayFrame(kCmdCacheFetch, pc, nullptr, 0)));
  ServerReplyHeader h;
  Bytes fetched;
  ASSERT_TRUE(ReadServerAnswer(cache, h, &fetched));
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(fetched, data);
  EXPECT_EQ(leaveOnce(), 0);
  // A phone that goes takes what it left with it.
  phone.Conn().Close();
  ASSERT_TRUE(WaitFor(
      [&] {
        ServerReplyHeader a;
        return cache.SendRaw(BuildRelayFrame(kCmdCacheFetch, pc, nullptr, 0)) &&
               ReadServerAnswer(cache, a) && a.status == kStatusNothingWaits;
      },
      std::chrono::seconds(10)));
}

TEST_F(RelayHub, LogOutEndsThePcsRelay) {
  DeviceClient relay;
  ASSERT_TRUE(Register(relay, pc));
  ASSERT_EQ(Exchange(Port(), kCmdLogOut, pc, EncodeAccountText({kOwner, PcPasswordOf("secret1")})), 0);
  ASSERT_TRUE(relay.SendRaw(BuildRelayFrame(kCmdRelayRegister, pc, nullptr, 0)));
  EXPECT_TRUE(relay.WaitClosed());
  DeviceClient again;
  ASSERT_TRUE(again.Connect("127.0.0.1", Port()));
  ASSERT_TRUE(again.SendRaw(BuildRelayFrame(kCmdRelayRegister, pc, nullptr, 0)));
  ServerReplyHeader h;
  ASSERT_TRUE(ReadServerAnswer(again, h));
  EXPECT_EQ(h.status, kStatusNotLoggedOn);
}

TEST_F(RelayHub, APcGoneMidDownloadEndsItForThePhone) {
  DeviceClient relay;
  ASSERT_TRUE(Register(relay, pc));
  RelayPhone phone;
  ASSERT_EQ(phone.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
  {
    DeviceClient cache;
    ASSERT_TRUE(cache.Connect("127.0.0.1", Port()));
    const Bytes package = BuildTransMessage(0x1002, 77, 1, 0, 0, Bytes(1000, 5));
    ASSERT_TRUE(cache.SendRaw(BuildAddressedFrame(kCmdCacheDeliver, pc, phone.Session(),
                                                  package.data(), package.size())));
    ServerReplyHeader h;
    ASSERT_TRUE(ReadServerAnswer(cache, h));
    ASSERT_EQ(h.status, 0);
    relay.Close();  // the PC is killed: all its connections go at once
  }
  DeviceMessage m;
  uint16_t command = 0;
  ASSERT_TRUE(phone.ReadMessage(m, &command));
  EXPECT_EQ(m.header.opcode, 0x1002);
  ASSERT_TRUE(phone.ReadMessage(m, &command, milliseconds(60000)));
  EXPECT_EQ(command, kCmdCacheDeliver);
  EXPECT_EQ(m.header.opcode, 0x1003);
  EXPECT_EQ(m.header.param, 77u);
  ASSERT_FALSE(m.body.empty());
  EXPECT_EQ(m.body[0], '1') << "a failed end";
}

TEST_F(RelayHub, APhoneThatSendsAndNeverReadsIsClosed) {
  RelayPhone phone;
  ASSERT_EQ(phone.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
  const Bytes keepAlive = BuildRelayFrame(kCmdRelayRegister, phone.Session(), nullptr, 0);
  Bytes burst;
  for (int i = 0; i < 1000; ++i) burst.insert(burst.end(), keepAlive.begin(), keepAlive.end());
  // Each keep-alive is answered; unread, the answers pass the bound within some 100 bursts.
  bool sending = true;
  for (int i = 0; i < 400 && sending; ++i) sending = phone.Conn().SendRaw(burst);
  EXPECT_TRUE(!sending || phone.Conn().WaitClosed(milliseconds(10000)));
  EXPECT_TRUE(WaitFor([&] { return central.LogText().find("does not read") != std::string::npos; },
                      std::chrono::seconds(10)));
}

TEST_F(RelayHub, EachAccountHasItsShareOfTheCache) {
  // The other account's PC fills what it can for a phone of its own that never reads.
  const std::string hisPc = LoggedOnPc(Port(), kOther, "secret2");
  RelayPhone hisPhone;
  ASSERT_EQ(hisPhone.SignIn(Port(), kOther, PcPasswordOf("secret2")), 0);
  std::vector<std::unique_ptr<DeviceClient>> caches;
  for (int i = 0; i < 80; ++i) {
    auto c = std::make_unique<DeviceClient>();
    ServerReplyHeader h;
    if (!c->Connect("127.0.0.1", Port()) ||
        !c->SendRaw(BuildRelayFrame(kCmdCacheFetch, hisPc, nullptr, 0)) || !ReadServerAnswer(*c, h))
      continue;  // closed: past the account's share of connections
    caches.push_back(std::move(c));
  }
  EXPECT_EQ(caches.size(), 64u);
  const Bytes package = BuildTransMessage(0x1002, 0, 1, 0, 0, Bytes(1000, 5));
  size_t accepted = 0;
  uint16_t status = 0;
  for (uint32_t session = 1; session < 300 && status == 0; ++session) {
    Bytes p = package;
    wire::PutU32(p.data() + 4, session);
    for (int k = 0; k < 300; ++k) {
      ServerReplyHeader h;
      ASSERT_TRUE(caches[session % caches.size()]->SendRaw(
          BuildAddressedFrame(kCmdCacheDeliver, hisPc, hisPhone.Session(), p.data(), p.size())));
      ASSERT_TRUE(ReadServerAnswer(*caches[session % caches.size()], h));
      if (h.status != 0) {
        if (k == 0) status = h.status;  // not even one more package: the account's share is full
        break;
      }
      ++accepted;
    }
  }
  EXPECT_EQ(status, kStatusCacheFull);
  // Its share (8 MiB) and what the phone's socket took, far from the whole cache (64 MiB).
  EXPECT_LT(accepted * 1154, 32u * 1024 * 1024) << accepted;
  // The owner's PC still opens a cache connection and delivers to the owner's phone.
  RelayPhone mine;
  ASSERT_EQ(mine.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
  DeviceClient cache;
  ASSERT_TRUE(cache.Connect("127.0.0.1", Port()));
  Bytes p = package;
  wire::PutU32(p.data() + 4, 5);
  ASSERT_TRUE(cache.SendRaw(BuildAddressedFrame(kCmdCacheDeliver, pc, mine.Session(), p.data(), p.size())));
  ServerReplyHeader h;
  ASSERT_TRUE(ReadServerAnswer(cache, h));
  EXPECT_EQ(h.status, 0);
  DeviceMessage m;
  ASSERT_TRUE(mine.ReadMessage(m));
  EXPECT_EQ(m.header.param, 5u);
}

}  // namespace
