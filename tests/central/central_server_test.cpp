// The real QuarloCentral: its command line, the single exchanges as a PC speaks them, and how
// it treats bad or idle clients.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "common/proto_central.h"
#include "common/server_client.h"
#include "tests/support/central_process.h"
#include "tests/support/device_client.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"
#include "central/central_exchanges.h"

namespace {

struct Answer {
  bool ok = false;
  ServerReplyHeader head;
  Bytes body;
};

Answer Exchange(uint16_t port, uint16_t command, const std::string& identity, const Bytes& body) {
  ServerAddress server;
  MakeServerAddress("127.0.0.1", port, server);
  RelayHeader h;
  h.command = command;
  h.identity = identity;
  Answer a;
  a.ok = SendServerRequest(h, server, body.empty() ? nullptr : body.data(), body.size(), a.head,
                           a.body) == 0;
  return a;
}

Bytes LogOnBody(const std::string& email, const std::string& pcPassword) {
  return EncodeLogOnRequest({email, pcPassword, 2, "Debian GNU/Linux 12", "02-00-00-00-00-01"});
}

class Central : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(central.AddAccount("owner@example.org", "secret1"));
    ASSERT_TRUE(central.Start()) << central.LogText();
  }
  CentralProcess central;
};

TEST(CentralCommandLine, AccountsAreAdministeredWithoutSecretsInTheOpen) {
  CentralProcess central;
  EXPECT_EQ(central.Admin({"--help"}).exitCode, 0);
  EXPECT_NE(central.Admin({"--help"}).output.find("account add"), std::string::npos);
  EXPECT_EQ(central.Admin({"bogus"}).exitCode, 2);

  EXPECT_TRUE(central.AddAccount("a@example.org", "secret1"));
  EXPECT_FALSE(central.AddAccount("a@example.org", "secret2")) << "no second account of a name";
  EXPECT_FALSE(central.AddAccount("not-an-address", "secret1"));
  EXPECT_FALSE(central.AddAccount("b@example.org", "short"));
  EXPECT_TRUE(central.AddAccount("b@example.org", "secret2"));
  const std::string list = central.Admin({"account", "list"}).output;
  EXPECT_NE(list.find("a@example.org"), std::string::npos) << list;
  EXPECT_NE(list.find("b@example.org"), std::string::npos) << list;
  EXPECT_EQ(central.Admin({"account", "remove", "b@example.org"}).exitCode, 0);
  EXPECT_NE(central.Admin({"account", "remove", "b@example.org"}).exitCode, 0);
  EXPECT_EQ(central.Admin({"account", "list"}).output.find("b@example.org"), std::string::npos);

  // The database is private and holds neither the password nor the text a PC sends.
  struct stat st {};
  ASSERT_EQ(stat((central.DataDir() + "/central.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string db = ReadFileText(central.DataDir() + "/central.db");
  EXPECT_EQ(db.find("secret1"), std::string::npos);
  EXPECT_EQ(db.find(PcPasswordOf("secret1")), std::string::npos);
  EXPECT_NE(db.find("$y$"), std::string::npos) << "stored as a yescrypt hash";
}

TEST_F(Central, NewPasswordSetFromTheCommandLineReplacesTheOld) {
  EXPECT_EQ(central.Admin({"account", "passwd", "owner@example.org"}, "short\n").exitCode, 2);
  EXPECT_EQ(central.Admin({"account", "passwd", "nobody@example.org"}, "secret9\n").exitCode, 1);
  const ProgramResult r = central.Admin({"account", "passwd", "owner@example.org"}, "secret9\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  struct Case {
    const char* password;
    uint16_t status;
  } cases[] = {{"secret1", kStatusWrongPassword}, {"secret9", kStatusOk}};
  for (const Case& c : cases) {
    const Answer a = Exchange(central.Port(), kCmdLogOn, "pc-A",
                              LogOnBody("owner@example.org", PcPasswordOf(c.password)));
    ASSERT_TRUE(a.ok) << c.password;
    EXPECT_EQ(a.head.status, c.status) << c.password;
  }
  EXPECT_EQ(ReadFileText(central.DataDir() + "/central.db").find("secret9"), std::string::npos);
}

TEST_F(Central, LogOnStatusesAndWhatIsStoredPerIdentity) {
  const std::string pw = PcPasswordOf("secret1");
  struct Case {
    const char* name;
    std::string email, password;
    uint16_t status;
  };
  const Case cases[] = {
      {"right account", "owner@example.org", pw, 0},
      {"unknown account", "nobody@example.org", pw, 0x1000},
      {"wrong password", "owner@example.org", PcPasswordOf("secret2"), 0x1001},
      {"the typed password instead of its text", "owner@example.org", "secret1", 0x1001},
  };
  for (const Case& c : cases) {
    const Answer a = Exchange(central.Port(), kCmdLogOn, "pc-A", LogOnBody(c.email, c.password));
    ASSERT_TRUE(a.ok) << c.name;
    EXPECT_EQ(a.head.status, c.status) << c.name;
    EXPECT_EQ(a.head.len, 8) << c.name;
  }

  // Reports of a logged-on identity are stored; another identity is refused.
  EXPECT_EQ(Exchange(central.Port(), kCmdHeartBeat, "pc-A", {}).head.status, 0);
  EXPECT_EQ(Exchange(central.Port(), kCmdHeartBeat, "pc-B", {}).head.status, kStatusNotLoggedOn);
  const Bytes sv = EncodeSVInfo({0xC0A80064, 61716, 15002, 2, "kitchen-pc"});
  EXPECT_EQ(Exchange(central.Port(), kCmdServerInfo, "pc-A", sv).head.status, 0);
  EXPECT_EQ(Exchange(central.Port(), kCmdServerInfo, "pc-B", sv).head.status, kStatusNotLoggedOn);
  const Bytes disks = EncodeDiskInfoList({{2, 1234, "m", "/"}, {2, 99, "m", "/dev/shm"}});
  EXPECT_EQ(Exchange(central.Port(), kCmdDiskInfo, "pc-A", disks).head.status, 0);
  EXPECT_EQ(Exchange(central.Port(), kCmdDiskInfo, "pc-B", disks).head.status, kStatusNotLoggedOn)
      << "disks are taken from identities the server knows";
  EXPECT_EQ(Exchange(central.Port(), kCmdPowerOn, "pc-A",
                     EncodePowerOnInfo({2, "owner@example.org", "m", "kitchen-pc"})).head.status, 0);

  const std::string status = central.Admin({"status"}).output;
  EXPECT_NE(status.find("pc pc-A  \"kitchen-pc\"  online"), std::string::npos) << status;
  EXPECT_NE(status.find("local 192.168.0.100:15002  external port 61716  seen from 127.0.0.1"),
            std::string::npos) << status;
  EXPECT_NE(status.find("disk /  1234 MiB free"), std::string::npos) << status;
  EXPECT_NE(status.find("disk /dev/shm  99 MiB free"), std::string::npos) << status;
  EXPECT_EQ(status.find("pc-B"), std::string::npos) << status;

  // Log-out needs the account too, and takes the PC offline.
  EXPECT_EQ(Exchange(central.Port(), kCmdLogOut, "pc-A",
                     EncodeAccountText({"owner@example.org", PcPasswordOf("secret2")})).head.status,
            0x1001);
  EXPECT_EQ(Exchange(central.Port(), kCmdLogOut, "pc-A",
                     EncodeAccountText({"owner@example.org", pw})).head.status, 0);
  EXPECT_EQ(Exchange(central.Port(), kCmdHeartBeat, "pc-A", {}).head.status, kStatusNotLoggedOn);
  EXPECT_NE(central.Admin({"status"}).output.find("\"kitchen-pc\"  offline"), std::string::npos);

  // The log names every exchange but never a password or its text.
  const std::string log = central.LogText();
  EXPECT_EQ(log.find(pw), std::string::npos);
  EXPECT_EQ(log.find("secret1"), std::string::npos);
  EXPECT_EQ(central.Exchanges(kCmdLogOn).size(), 4u) << log;
}

TEST_F(Central, IdentitiesAreFreshAndPrintable) {
  const Answer a = Exchange(central.Port(), kCmdIdentity, "", {});
  const Answer b = Exchange(central.Port(), kCmdIdentity, "", {});
  ASSERT_TRUE(a.ok && b.ok);
  ASSERT_EQ(a.head.status, 0);
  ASSERT_EQ(a.body.size(), 64u);
  const std::string idA = DecodeIdentityReply(a.body.data(), a.body.size());
  const std::string idB = DecodeIdentityReply(b.body.data(), b.body.size());
  EXPECT_TRUE(std::regex_match(idA, std::regex("[0-9a-f]{32}"))) << idA;
  EXPECT_NE(idA, idB);

  // One address gets a bounded number of new identities an hour.
  for (int i = 3; i <= kIdentitiesPerHour; ++i)
    ASSERT_EQ(Exchange(central.Port(), kCmdIdentity, "", {}).head.status, 0) << i;
  const Answer refused = Exchange(central.Port(), kCmdIdentity, "", {});
  ASSERT_TRUE(refused.ok);
  EXPECT_EQ(refused.head.status, kStatusTooMany);
  EXPECT_TRUE(refused.body.empty());
}

TEST_F(Central, BadRequestsAreRefusedAndNothingElse) {
  // Bodies shorter than the command needs get a status.
  struct Case {
    uint16_t command;
    size_t bodyLen;
  };
  const Case shortBodies[] = {{kCmdLogOn, 131}, {kCmdLogOut, 10}, {kCmdServerInfo, 211},
                              {kCmdPowerOn, 0}, {kCmdDiskInfo, 295}, {kCmdDiskInfo, 0}};
  for (const Case& c : shortBodies) {
    const Answer a = Exchange(central.Port(), c.command, "pc-A", Bytes(c.bodyLen, 0));
    ASSERT_TRUE(a.ok) << std::hex << c.command;
    EXPECT_EQ(a.head.status, kStatusBadRequest) << std::hex << c.command << " " << c.bodyLen;
  }
  EXPECT_EQ(Exchange(central.Port(), 0x7777, "pc-A", {}).head.status, kStatusUnknownCommand);

  // Totals below 70 or above the cap close the connection without an answer.
  for (uint16_t total : {uint16_t(0), uint16_t(69), uint16_t(16385), uint16_t(0xFFFF)}) {
    DeviceClient raw;
    ASSERT_TRUE(raw.Connect("127.0.0.1", central.Port()));
    Bytes frame = BuildServerRequest(kCmdHeartBeat, "pc-A", {});
    frame[0] = uint8_t(total >> 8);
    frame[1] = uint8_t(total);
    ASSERT_TRUE(raw.SendRaw(frame));
    EXPECT_TRUE(raw.WaitClosed()) << total;
  }

  // A client that sends half a frame and goes quiet is dropped after the idle time-out.
  DeviceClient slow;
  ASSERT_TRUE(slow.Connect("127.0.0.1", central.Port()));
  ASSERT_TRUE(slow.SendRaw(Bytes(30, 0)));
  EXPECT_TRUE(slow.WaitClosed(std::chrono::seconds(20)));

  // The server still serves after all of it.
  EXPECT_EQ(Exchange(central.Port(), kCmdIdentity, "", {}).head.status, 0);
}

TEST_F(Central, ConnectionsFromOneAddressAreCapped) {
  std::vector<std::unique_ptr<DeviceClient>> idle;
  for (int i = 0; i < 16; ++i) {
    idle.push_back(std::make_unique<DeviceClient>());
    ASSERT_TRUE(idle.back()->Connect("127.0.0.1", central.Port()));
  }
  // Accepted in order: once the server has taken all 16, the next is closed at once.
  DeviceClient extra;
  ASSERT_TRUE(extra.Connect("127.0.0.1", central.Port()));
  EXPECT_TRUE(extra.WaitClosed());
  idle.clear();
  EXPECT_TRUE(WaitFor([&] { return Exchange(central.Port(), kCmdIdentity, "", {}).ok; },
                      std::chrono::seconds(10)));
}

TEST(CentralThrottle, RepeatedFailuresFromOneAddressSlowDown) {
  const int expected[][2] = {{0, 0}, {2, 0}, {3, 1000}, {4, 2000}, {7, 16000}, {8, 30000}, {40, 30000}};
  for (const auto& e : expected)
    EXPECT_EQ(CCentralExchanges::ThrottleDelayMs(e[0]), e[1]) << e[0] << " failures";
}

TEST_F(Central, StopsCleanlyOnSigterm) {
  EXPECT_TRUE(central.Stop());
  EXPECT_NE(central.LogText().find("stopped."), std::string::npos);
}

}  // namespace
