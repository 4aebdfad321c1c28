// The account exchanges, the identity and the disk report of the service library against the
// real QuarloCentral, inside a network namespace of the test's own (the server-info report
// looks for a UPnP router; that discovery must not reach the host's network).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <thread>

#include "common/os_layer.h"
#include "common/settings.h"
#include "service/account/account.h"
#include "service/account/identity.h"
#include "service/service_globals.h"
#include "tests/support/central_process.h"
#include "tests/support/file_systems.h"
#include "tests/support/net_namespace.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

constexpr const char* kEmail = "owner@example.org";

class Account : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!EnterPrivateNetwork(why)) GTEST_SKIP() << why;
    ASSERT_TRUE(central.AddAccount(kEmail, "secret1"));
    ASSERT_TRUE(central.Start()) << central.LogText();
    base.OpenGlobalDb();
    base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
    g_strBaseDir = base.Dir();
    g_strMacAddr = "02-00-00-00-00-07";
    g_strOSName = "Debian GNU/Linux 12 (bookworm)";
    g_LocalPort = 15002;
    SetLocalIpText("10.66.0.2");
    std::memset(g_szUUID, 0, sizeof g_szUUID);
    std::strcpy(g_szUUID, "pc-under-test");
    g_nLogOnRtn = -1;
    g_ExitFlag = 0;
  }
  void StoreAccount(const std::string& email, const std::string& pcPassword) {
    base.Exec("delete from qv_user;");
    base.Exec("insert into qv_user (email, psw) values ('" + email + "', '" + pcPassword + "');");
  }
  // "total N" of each exchange of a command, in order.
  std::vector<int> Totals(uint16_t command) const {
    std::vector<int> out;
    static const std::regex total(R"(total (\d+))");
    for (const std::string& line : central.Exchanges(command)) {
      std::smatch m;
      if (std::regex_search(line, m, total)) out.push_back(std::stoi(m[1].str()));
    }
    return out;
  }

  CentralProcess central;
  TempBase base;
};

TEST_F(Account, LogOnResultsForEachStoredAccount) {
  struct Case {
    const char* name;
    std::string email, password;
    int result;
  };
  const Case cases[] = {
      {"right account", kEmail, PcPasswordOf("secret1"), 0},
      {"unknown account", "nobody@example.org", PcPasswordOf("secret1"), 0x1000},
      {"wrong password", kEmail, PcPasswordOf("secret9"), 0x1001},
  };
  for (const Case& c : cases) {
    StoreAccount(c.email, c.password);
    EXPECT_EQ(LogOn(), c.result) << c.name;
  }
  EXPECT_EQ(Totals(kCmdLogOn), (std::vector<int>{202, 202, 202}));

  // No stored account: 4127 and no connection at all.
  base.Exec("delete from qv_user;");
  EXPECT_EQ(LogOn(), 4127);
  EXPECT_EQ(LogOut(), 4127);
  EXPECT_EQ(Totals(kCmdLogOn).size(), 3u);
  EXPECT_TRUE(Totals(kCmdLogOut).empty());

  // A server that cannot be reached: 4122.
  StoreAccount(kEmail, PcPasswordOf("secret1"));
  ASSERT_TRUE(central.Stop());
  EXPECT_EQ(LogOn(), 4122);
}

TEST_F(Account, EveryRequestAsTheServerReceivedIt) {
  StoreAccount(kEmail, PcPasswordOf("secret1"));
  ASSERT_EQ(LogOn(), 0);
  StoreLogOnResult(0);
  ServerAddress server;
  ASSERT_EQ(MakeServerAddress("127.0.0.1", central.Port(), server), 0);
  EXPECT_EQ(SendHeartBeatToSV(server), 0);
  EXPECT_EQ(SetSVInfo(), 0) << "no router answers: external port 0, the report still goes";
  SetPowerOnInfo();

  // The shares lie on two file systems: two disk records. The second is a tmpfs of the test's
  // own, as the base folder's own may be anything (a tmpfs /tmp, the root file system).
  std::string why;
  if (!EnterPrivateMounts(why)) GTEST_SKIP() << why;
  ScratchMount other;
  if (!other.MountTmpfs(base.MakeDir("other"), why)) GTEST_SKIP() << why;
  const std::string baseDrive = MountPointOf(base.Dir());
  ASSERT_FALSE(baseDrive.empty());
  base.SetShares({base.MakeDir("share1"), other.Dir(), base.MakeDir("share2")});
  std::thread disks([] { SetDiskInfo(nullptr); });
  EXPECT_TRUE(WaitFor([&] { return !Totals(kCmdDiskInfo).empty(); }, std::chrono::seconds(10)));
  g_ExitFlag = 1;
  disks.join();
  g_ExitFlag = 0;

  EXPECT_EQ(LogOut(), 0);
  EXPECT_EQ(Totals(kCmdLogOn), std::vector<int>{202});
  EXPECT_EQ(Totals(kCmdHeartBeat), std::vector<int>{70});
  EXPECT_EQ(Totals(kCmdServerInfo), std::vector<int>{282});
  EXPECT_EQ(Totals(kCmdPowerOn), std::vector<int>{232});
  EXPECT_EQ(Totals(kCmdDiskInfo), std::vector<int>{70 + 2 * 296});
  EXPECT_EQ(Totals(kCmdLogOut), std::vector<int>{134});
  for (uint16_t command : {kCmdLogOn, kCmdHeartBeat, kCmdServerInfo, kCmdPowerOn, kCmdDiskInfo})
    for (const std::string& line : central.Exchanges(command)) {
      EXPECT_NE(line.find("identity \"pc-under-test\""), std::string::npos) << line;
      EXPECT_NE(line.find("status 0x0000"), std::string::npos) << line;
    }

  // What the server decoded: the big-endian fields arrive as they were meant.
  std::string host;
  OS_GetHostName(host);
  const std::string status = central.Admin({"status"}).output;
  EXPECT_NE(status.find("pc pc-under-test  \"" + host + "\"  offline"), std::string::npos) << status;
  EXPECT_NE(status.find("local 10.66.0.2:15002  external port 0"), std::string::npos) << status;
  EXPECT_NE(status.find("mac 02-00-00-00-00-07  os \"Debian GNU/Linux 12 (bookworm)\""),
            std::string::npos) << status;
  EXPECT_NE(status.find("disk " + baseDrive + "  "), std::string::npos) << status;
  EXPECT_NE(status.find("disk " + other.Dir() + "  "), std::string::npos) << status;
}

TEST_F(Account, UnknownLocalAddressIsSentAsZero) {
  StoreAccount(kEmail, PcPasswordOf("secret1"));
  ASSERT_EQ(LogOn(), 0);
  SetLocalIpText("");
  EXPECT_EQ(SetSVInfo(), 0);
  EXPECT_NE(central.Admin({"status"}).output.find("local 0.0.0.0:15002"), std::string::npos);
}

TEST_F(Account, IdentityIsFetchedOnceSavedAndReused) {
  const std::string file = base.Dir() + "/bin/.uuid";
  const std::string first = GetDeviceUUID();
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9a-f]{32}"))) << first;
  EXPECT_EQ(ReadFileText(file), first) << "saved without a line end";
  EXPECT_EQ(central.Exchanges(kCmdIdentity).size(), 1u);
  EXPECT_NE(central.Exchanges(kCmdIdentity)[0].find("identity \"\""), std::string::npos)
      << "asked with an empty identity field";

  ASSERT_TRUE(central.Stop());
  EXPECT_EQ(GetDeviceUUID(), first) << "the file answers; no server needed";

  // An identity file longer than 63 characters gives its first 63.
  base.WriteFile("bin/.uuid", std::string(80, 'k'));
  EXPECT_EQ(GetDeviceUUID(), std::string(63, 'k'));

  // Without a file and without a server: empty, nothing written.
  unlink(file.c_str());
  EXPECT_EQ(GetDeviceUUID(), "");
  EXPECT_NE(access(file.c_str(), F_OK), 0);
  base.Exec("update qv_conf set svhost = '';");
  EXPECT_EQ(GetUUIDFromSV(), "");
}

TEST(Identity, ServerTextsAreValidated) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc123", "abc123"},
      {"abc123\r\n", "abc123"},
      {std::string(63, 'a'), std::string(63, 'a')},
      {std::string(64, 'a'), ""},
      {"", ""},
      {"with space", ""},
      {"tab\there", ""},
      {"\x01\x02", ""},
      {"caf\xC3\xA9", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ValidIdentity(c.first), c.second) << c.first;
}

TEST(DiskInfoCollection, OneRecordPerFileSystemInOrderOfFirstAppearance) {
  std::string why;
  if (!EnterPrivateMounts(why)) GTEST_SKIP() << why;
  TempBase base;
  base.OpenGlobalDb();
  g_strMacAddr = "02-00-00-00-00-07";
  ScratchMount other;
  if (!other.MountTmpfs(base.MakeDir("other"), why)) GTEST_SKIP() << why;
  const std::string baseDrive = MountPointOf(base.Dir());
  ASSERT_FALSE(baseDrive.empty());
  ASSERT_NE(baseDrive, other.Dir());
  base.SetShares({other.Dir(), base.MakeDir("a"), other.Dir() + "/missing/deeper", base.MakeDir("b")});
  base.SetDefaultDirs(DefaultDirSet());  // empty default folders are skipped
  std::vector<DiskInfo> disks;
  CollectDiskInfo(disks);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].drive, other.Dir());
  EXPECT_EQ(disks[1].drive, baseDrive);
  EXPECT_GT(disks[1].freeMiB, 0u);
  EXPECT_EQ(disks[0].mac, "02-00-00-00-00-07");
  EXPECT_EQ(disks[0].sysType, 2);
}

}  // namespace
