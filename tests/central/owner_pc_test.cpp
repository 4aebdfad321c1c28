// The real QuarloClient logged on to the real QuarloCentral, its owner's phone listing and
// downloading through the relay, while attackers on other loopback addresses (127.0.0.2 and up)
// try to take the PC over with its identity -- alone or with an account of their own -- and
// flood the server. Inside a network namespace of the test's own (the service looks for a
// router). Floods are bounded in count and time; the owner's download has a deadline.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/local_api_ops.h"
#include "common/proto_p2p.h"
#include "common/proto_relay.h"
#include "tests/central/loopback_peer.h"
#include "tests/support/stop_and_join.h"
#include "tests/support/central_process.h"
#include "tests/support/net_namespace.h"
#include "tests/support/relay_phone.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kOwner = "owner@example.org";
constexpr const char* kOther = "other@example.org";
constexpr const char* kAttacker = "127.0.0.2";
constexpr uint16_t kOpReqDownload = 0x0004, kOpAllowDownload = 0x0005;
constexpr uint16_t kOpPackage = 0x1002, kOpDownloadOver = 0x1003, kOpDownloadInfo = 0x1004;

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

Bytes LogOnBody(const std::string& email, const std::string& password) {
  return EncodeLogOnRequest({email, PcPasswordOf(password), 2, "Linux", "02-00-00-00-00-09"});
}

class OwnerPc : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!EnterPrivateNetwork(why)) GTEST_SKIP() << why;
    ASSERT_TRUE(central.AddAccount(kOwner, "secret1"));
    ASSERT_TRUE(central.AddAccount(kOther, "secret2"));
    ASSERT_TRUE(central.Start()) << central.LogText();
    base = std::make_unique<TempBase>();
    share = base->MakeDir("share");
    base->AddShare(share);
    content = Pattern(300 * 1000 + 7);
    std::ofstream(share + "/photo.bin", std::ios::binary) << content;
    base->Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
    base->Exec("delete from qv_user;");
    base->Exec(std::string("insert into qv_user (email, psw) values ('") + kOwner + "', '" +
               PcPasswordOf("secret1") + "');");
    svc = std::make_unique<ServiceProcess>(base->Dir());
    // The PC logs on again every half second; relay retries and fetches come soon.
    svc->SetTestSettings("heartbeat_ms=500,relay_retry_ms=300,relay_keepalive_ms=1000,upload_fetch_ms=100");
    ASSERT_TRUE(svc->Start()) << svc->LogText();
    ASSERT_EQ(phone.SignIn(central.Port(), kOwner, PcPasswordOf("secret1")), 0);
    ASSERT_TRUE(WaitFor([&] { return Online(phone); }, seconds(30), milliseconds(100)))
        << svc->LogText() << central.LogText();
  }

  bool Online(RelayPhone& p) {
    std::vector<PcEntry> pcs;
    if (p.ListPcs(central.Port(), pcs) != 0 || pcs.size() != 1 || !pcs[0].online) return false;
    pc = pcs[0].identity;
    return true;
  }

  // The whole file through the relay and the cache, byte for byte.
  bool Download(RelayPhone& p, uint32_t id) {
    DeviceMessage m;
    Bytes body(356, 0);
    const std::string path = share + "/photo.bin";
    std::memcpy(body.data() + 1, path.data(), path.size());
    body[256] = '1';
    if (!p.Request(pc, BuildMessage(kOpReqDownload, id, body)) || !p.ReadMessage(m) ||
        m.header.opcode != kOpDownloadInfo)
      return false;
    if (!p.Request(pc, BuildMessage(kOpAllowDownload, id, Bytes(4, 0)))) return false;
    std::string got;
    for (;;) {
      uint16_t command = 0;
      if (!p.ReadMessage(m, &command, seconds(30)) || m.header.param != id) return false;
      if (m.header.opcode == kOpDownloadOver)
        return !m.body.empty() && m.body[0] == '0' && got == content;
      if (m.header.opcode != kOpPackage || m.body.size() < 12) return false;
      got.append(m.body.begin() + 12, m.body.end());
    }
  }

  // A fresh sign-in of the owner's phone that lists the PC and downloads the file.
  bool OwnerPhoneWorks(uint32_t id) {
    RelayPhone fresh;
    return fresh.SignIn(central.Port(), kOwner, PcPasswordOf("secret1")) == 0 && Online(fresh) &&
           Download(fresh, id);
  }

  // One local API request as the desktop program sends it; its u32 answer, or 0xDEAD.
  uint32_t AskService(uint16_t op, const Bytes& body = {}) {
    DeviceClient c;
    if (!c.Connect("127.0.0.1", svc->WaitForPort())) return 0xDEAD;
    c.Send(op, 5, body);
    DeviceMessage m;
    if (!c.ReadMessage(m, seconds(30)) || m.body.size() != 4) return 0xDEAD;
    return wire::GetU32(m.body.data());
  }
  uint32_t SwitchTo(const std::string& email, const std::string& password) {
    if (AskService(kOpLogOut) != 0) return 0xDEAD;
    return AskService(kOpLogOn, Concat({TextField(email, 32), TextField(PcPasswordOf(password), 32)}));
  }
  // The PC online in the account of `email`, as that account's phone sees it.
  bool OnlineFor(const std::string& email, const std::string& password) {
    RelayPhone p;
    if (p.SignIn(central.Port(), email, PcPasswordOf(password)) != 0) return false;
    std::vector<PcEntry> pcs;
    return p.ListPcs(central.Port(), pcs) == 0 && pcs.size() == 1 && pcs[0].online &&
           pcs[0].identity == pc;
  }

  CentralProcess central;
  std::unique_ptr<TempBase> base;
  std::unique_ptr<ServiceProcess> svc;
  std::string share, content, pc;
  RelayPhone phone;
};

TEST_F(OwnerPc, TakeoversWithTheIdentityFailWhileTheOwnersPhoneDownloads) {
  ASSERT_EQ(ExchangeFrom(kAttacker, central.Port(), kCmdLogOn, "attacker-pc", LogOnBody(kOther, "secret2")), 0);
  // With the identity alone: reports, the relay and the cache are refused.
  EXPECT_EQ(ExchangeFrom(kAttacker, central.Port(), kCmdHeartBeat, pc, {}), kStatusNotLoggedOn);
  EXPECT_EQ(ExchangeFrom(kAttacker, central.Port(), kCmdServerInfo, pc,
                         EncodeSVInfo({0x0A000001, 1, 2, 2, "evil"})), kStatusNotLoggedOn);
  for (uint16_t command : {kCmdRelayRegister, kCmdCacheFetch}) {
    DeviceClient conn;
    ASSERT_TRUE(ConnectFrom(conn, kAttacker, central.Port()));
    ASSERT_TRUE(conn.SendRaw(BuildRelayFrame(command, pc, nullptr, 0)));
    ServerReplyHeader h;
    ASSERT_TRUE(ReadServerAnswer(conn, h));
    EXPECT_EQ(h.status, kStatusNotLoggedOn) << command;
  }
  // With an account of his own: no log-on as that PC, no log-out of it.
  EXPECT_EQ(ExchangeFrom(kAttacker, central.Port(), kCmdLogOn, pc, LogOnBody(kOther, "secret2")),
            kStatusOtherAccount);
  EXPECT_EQ(ExchangeFrom(kAttacker, central.Port(), kCmdLogOut, pc,
                         EncodeAccountText({kOther, PcPasswordOf("secret2")})), kStatusOtherAccount);
  RelayPhone his;
  ASSERT_EQ(his.SignIn(central.Port(), kOther, PcPasswordOf("secret2")), 0);
  std::vector<PcEntry> pcs;
  ASSERT_EQ(his.ListPcs(central.Port(), pcs), 0);
  for (const PcEntry& e : pcs) EXPECT_NE(e.identity, pc);
  DeviceMessage m;
  ASSERT_TRUE(his.Request(pc, BuildMessage(0x2002, 1)));
  uint16_t status = 0;
  ASSERT_TRUE(his.ReadStatus(kCmdRelayData, status));
  EXPECT_EQ(status, kStatusNoSuchPc);

  // The owner's phone lists and downloads meanwhile; the PC stays where it logged on.
  EXPECT_TRUE(Download(phone, 7));
  EXPECT_TRUE(OwnerPhoneWorks(8));
  const std::string st = central.Admin({"status"}).output;
  EXPECT_NE(st.find("seen from 127.0.0.1"), std::string::npos) << st;
  EXPECT_EQ(st.find("evil"), std::string::npos) << st;
}

TEST_F(OwnerPc, SwitchingAccountsAndBackKeepsThePcOnline) {
  const std::string identity = pc;
  // To the other account, as the switch-account dialog does it: log out, then log on.
  ASSERT_EQ(SwitchTo(kOther, "secret2"), 0u) << central.LogText();
  EXPECT_TRUE(WaitFor([&] { return OnlineFor(kOther, "secret2"); }, seconds(30), milliseconds(100)))
      << central.LogText();
  EXPECT_EQ(pc, identity) << "the same identity, now the other account's";
  std::vector<PcEntry> pcs;
  RelayPhone owners;
  ASSERT_EQ(owners.SignIn(central.Port(), kOwner, PcPasswordOf("secret1")), 0);
  ASSERT_EQ(owners.ListPcs(central.Port(), pcs), 0);
  EXPECT_TRUE(pcs.empty()) << "the owner's account no longer lists the PC";
  // Its minute log-ons keep working with the new account.
  const size_t before = central.Exchanges(kCmdLogOn).size();
  ASSERT_TRUE(WaitFor([&] { return central.Exchanges(kCmdLogOn).size() >= before + 3; }, seconds(30)));
  EXPECT_EQ(AskService(kOpLogOnStatues), 0u);
  for (const std::string& line : central.Exchanges(kCmdLogOn))
    EXPECT_EQ(line.find("status 0x1016"), std::string::npos) << line;

  // And back: the owner's phone downloads from it again.
  ASSERT_EQ(SwitchTo(kOwner, "secret1"), 0u) << central.LogText();
  EXPECT_TRUE(WaitFor([&] { return OnlineFor(kOwner, "secret1"); }, seconds(30), milliseconds(100)));
  EXPECT_TRUE(OwnerPhoneWorks(30));
  EXPECT_EQ(AskService(kOpLogOnStatues), 0u);
  // Someone elsewhere who knows the identity cannot take it while the PC is logged out.
  ASSERT_EQ(AskService(kOpLogOut), 0u);
  EXPECT_EQ(ExchangeFrom(kAttacker, central.Port(), kCmdLogOn, pc, LogOnBody(kOther, "secret2")),
            kStatusOtherAccount);
  EXPECT_EQ(AskService(kOpLogOn, Concat({TextField(kOwner, 32), TextField(PcPasswordOf("secret1"), 32)})), 0u);
}

TEST_F(OwnerPc, FloodsLeaveTheOwnersPcLoggedOnAndItsPhoneDownloading) {
  std::atomic<bool> stop{false};
  const auto until = std::chrono::steady_clock::now() + seconds(30);
  auto running = [&] { return !stop.load() && std::chrono::steady_clock::now() < until; };
  std::vector<std::thread> floods;
  // Joined however the test ends.
  StopAndJoin joiner{stop, floods};
  // Connections that trickle a byte now and then, from 16 addresses, 16 each.
  floods.emplace_back([&] {
    std::vector<std::unique_ptr<DeviceClient>> slow;
    while (running()) {
      for (int a = 10; a < 26 && running(); ++a)
        for (int i = 0; i < 16 && slow.size() < 400; ++i) {
          auto c = std::make_unique<DeviceClient>();
          if (ConnectFrom(*c, "127.0.0." + std::to_string(a), central.Port())) slow.push_back(std::move(c));
        }
      for (auto& c : slow) c->SendRaw(Bytes{0});
      // Waiting on the first is the flood's pace; those the server closed make room.
      if (!slow.empty()) slow.front()->WaitClosed(milliseconds(200));
      slow.erase(std::remove_if(slow.begin(), slow.end(),
                                [](const std::unique_ptr<DeviceClient>& c) {
                                  return c->WaitClosed(milliseconds(1));
                                }),
                 slow.end());
    }
  });
  // Password guesses on connections closed at once, from two addresses.
  floods.emplace_back([&] {
    for (int i = 0; i < 400 && running(); ++i) {
      DeviceClient c;
      if (ConnectFrom(c, i % 2 ? "127.0.0.30" : "127.0.0.31", central.Port()))
        c.SendRaw(BuildServerRequest(kCmdLogOn, "guess", LogOnBody(kOwner, "guess" + std::to_string(i))));
    }
  });
  // Forged heartbeats naming the owner's account.
  floods.emplace_back([&] {
    const int fd = UdpFrom("127.0.0.32");
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(central.P2PPort());
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 9};
    uint8_t beat[kHeartBeatSize];
    EncodeHeartBeat("evil", mac, kOwner, beat);
    for (int i = 0; i < 20000 && running(); ++i)
      sendto(fd, beat, sizeof beat, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    close(fd);
  });
  // Another account's PC filling the cache for its own phone, which never reads, and that
  // phone flooding keep-alives.
  floods.emplace_back([&] {
    const std::string hisPc = "his-pc";
    if (ExchangeFrom("127.0.0.33", central.Port(), kCmdLogOn, hisPc, LogOnBody(kOther, "secret2")) != 0) return;
    RelayPhone hisPhone;
    if (hisPhone.SignIn(central.Port(), kOther, PcPasswordOf("secret2")) != 0) return;
    std::vector<std::unique_ptr<DeviceClient>> caches;
    for (int i = 0; i < 100 && running(); ++i) {
      auto c = std::make_unique<DeviceClient>();
      if (ConnectFrom(*c, "127.0.0.33", central.Port()) &&
          c->SendRaw(BuildRelayFrame(kCmdCacheFetch, hisPc, nullptr, 0)))
        caches.push_back(std::move(c));
    }
    Bytes package = BuildTransMessage(kOpPackage, 0, 1, 0, 0, Bytes(1000, 5));
    const Bytes keepAlive = BuildRelayFrame(kCmdRelayRegister, hisPhone.Session(), nullptr, 0);
    for (uint32_t n = 0; n < 100000 && running(); ++n) {
      wire::PutU32(package.data() + 4, n % 500);
      caches[n % caches.size()]->SendRaw(
          BuildAddressedFrame(kCmdCacheDeliver, hisPc, hisPhone.Session(), package.data(), package.size()));
      hisPhone.Conn().SendRaw(keepAlive);
    }
  });

  // Once the floods press on the server's bounds, the owner's PC keeps logging on and its phone
  // downloads, all within a deadline.
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string log = central.LogText();
        return log.find("too many connections") != std::string::npos &&
               log.find("exchange 0x1001 from 127.0.0.3") != std::string::npos &&
               log.find("heartbeat of \"owner@example.org\" from 127.0.0.32") != std::string::npos;
      },
      seconds(30), milliseconds(100)))
      << central.LogText();
  const size_t logOnsBefore = central.Exchanges(kCmdLogOn).size();
  uint32_t id = 20;
  EXPECT_TRUE(WaitFor([&] { return OwnerPhoneWorks(++id); }, seconds(60), milliseconds(100)))
      << central.LogText();
  EXPECT_TRUE(WaitFor(
      [&] {
        size_t ok = 0;
        const std::vector<std::string> lines = central.Exchanges(kCmdLogOn);
        for (size_t i = logOnsBefore; i < lines.size(); ++i)
          ok += lines[i].find("from 127.0.0.1 ") != std::string::npos &&
                lines[i].find("status 0x0000") != std::string::npos;
        return ok >= 2;
      },
      seconds(60), milliseconds(100)));
  EXPECT_TRUE(WaitFor([&] { return OwnerPhoneWorks(++id); }, seconds(60), milliseconds(100)));

}

TEST_F(OwnerPc, APcKilledMidRelayDownloadEndsItForThePhone) {
  // A download the phone does not read yet: the PC waits on the full cache, then is killed.
  // The file is larger than every buffer on the way can hold.
  const std::string path = share + "/large.bin";
  std::ofstream(path, std::ios::binary) << Pattern(32 << 20);
  DeviceMessage m;
  Bytes body(356, 0);
  std::memcpy(body.data() + 1, path.data(), path.size());
  body[256] = '1';
  ASSERT_TRUE(phone.Request(pc, BuildMessage(kOpReqDownload, 3, body)));
  ASSERT_TRUE(phone.ReadMessage(m));
  ASSERT_EQ(m.header.opcode, kOpDownloadInfo);
  ASSERT_TRUE(phone.Request(pc, BuildMessage(kOpAllowDownload, 3, Bytes(4, 0))));
  ASSERT_TRUE(phone.ReadMessage(m, nullptr, seconds(30)));
  ASSERT_EQ(m.header.opcode, kOpPackage);
  const int pid = svc->Pid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  // What was cached arrives, then -- once the PC could no longer have reconnected -- an end
  // that says the download failed.
  const auto killed = std::chrono::steady_clock::now();
  for (;;) {
    uint16_t command = 0;
    ASSERT_TRUE(phone.ReadMessage(m, &command, seconds(60))) << central.LogText();
    ASSERT_EQ(m.header.param, 3u);
    if (m.header.opcode == kOpPackage) continue;
    ASSERT_EQ(m.header.opcode, kOpDownloadOver);
    ASSERT_FALSE(m.body.empty());
    EXPECT_EQ(m.body[0], '1');
    break;
  }
  EXPECT_NE(central.LogText().find("left without an end"), std::string::npos) << "the server's end";
  EXPECT_GE(std::chrono::steady_clock::now() - killed, seconds(30))
      << "the end came while the PC might still have continued";
}

}  // namespace
