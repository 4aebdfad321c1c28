// The local API's log-on and log-out through the real command server and opcode table, against
// the real QuarloCentral, in a network namespace of the test's own (the server-info report
// after a log-on looks for a UPnP router). The sqlite3 tool checks what was stored.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/proto_central.h"
#include "common/proto_local_api.h"
#include "common/thread_pool.h"
#include "service/account/device_requests.h"
#include "service/service_globals.h"
#include "service/service_shell.h"
#include "tests/service/transfer_test_support.h"
#include "tests/support/central_process.h"
#include "tests/support/device_client.h"
#include "tests/support/net_namespace.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

using std::chrono::seconds;

constexpr const char* kEmail = "owner@example.org";

class LocalApiAccount : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!EnterPrivateNetwork(why)) GTEST_SKIP() << why;
    signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(central.AddAccount(kEmail, "secret1"));
    ASSERT_TRUE(central.Start()) << central.LogText();
    base.OpenGlobalDb();
    base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
    g_Log.SetPath(base.LogDir() + "/Log.txt");
    g_Log.SetPriority(kLogDebug);
    ASSERT_TRUE(g_Log.Open());
    EnsureDeviceGlobals();
    g_strBaseDir = base.Dir();
    g_strMacAddr = "02-00-00-00-00-07";
    std::memset(g_szUUID, 0, sizeof g_szUUID);
    std::strcpy(g_szUUID, "pc-under-test");
    g_nLogOnRtn = -1;
    g_ExitFlag = 0;
    OS_ClearRegistry();
    ASSERT_EQ(RegBusinessFun(), 0);
    Device_InstallHooks();
    ASSERT_TRUE(server.Start());
  }
  void TearDown() override {
    server.Stop();
    OS_ClearRegistry();
    g_Log.Close();
  }

  // The reply to one request on its own connection, as the desktop program sends it.
  bool Ask(uint16_t op, const Bytes& body, DeviceMessage& out, seconds wait = seconds(20)) {
    DeviceClient c;
    if (!c.Connect("127.0.0.1", server.Port())) return false;
    c.Send(op, 77, body);
    return c.ReadMessage(out, wait);
  }
  uint32_t AskU32(uint16_t op, const Bytes& body = {}) {
    DeviceMessage m;
    EXPECT_TRUE(Ask(op, body, m)) << std::hex << op;
    EXPECT_EQ(m.header.len, 12);
    EXPECT_EQ(m.header.opcode, op);
    EXPECT_EQ(m.header.param, 77u);
    return m.body.size() == 4 ? wire::GetU32(m.body.data()) : 0xDEAD;
  }
  std::string Sql(const std::string& query) {
    return RunProgram({"/usr/bin/sqlite3", base.DbPath(), query}).output;
  }
  size_t Count(uint16_t command) { return central.Exchanges(command).size(); }

  CentralProcess central;
  TempBase base;
  TestCommandServer server;
};

TEST_F(LocalApiAccount, RefusedTextsChangeNothing) {
  base.Exec("insert into qv_user(email, psw) values('kept@x.org', 'kept')");
  const struct {
    const char* name;
    Bytes body;
    uint32_t reply;
  } cases[] = {
      {"empty password", Concat({TextField(kEmail, 32), TextField("", 32)}), 0x101F},
      {"empty e-mail", Concat({TextField("", 32), TextField("abc", 32)}), 0x101F},
      {"short body", TextField(kEmail, 20), 0x101F},
      {"semicolon in the password", Concat({TextField(kEmail, 32), TextField("ab;c", 32)}), 0x1024},
      {"quote in the e-mail", Concat({TextField("o'wner@x.org", 32), TextField("abc", 32)}),
       0x1024},
      {"e-mail of 32 bytes", Concat({Bytes(32, 'e'), TextField("abc", 32)}), 0x101F},
  };
  for (const auto& c : cases) EXPECT_EQ(AskU32(kOpLogOn, c.body), c.reply) << c.name;
  EXPECT_EQ(Sql("select email, psw from qv_user;"), "kept@x.org|kept\n");
  EXPECT_EQ(g_nLogOnRtn.load(), -1);
  EXPECT_EQ(Count(kCmdLogOut), 0u) << "nothing logged out";
  EXPECT_EQ(Count(kCmdLogOn), 0u);
  const std::string log = ReadFileText(base.LogDir() + "/Log.txt");
  EXPECT_EQ(log.find("ab;c"), std::string::npos) << "no password in the log";
}

TEST_F(LocalApiAccount, LogOnStoresReportsAndLogOutForgets) {
  const std::string pw = PcPasswordOf("secret1");
  EXPECT_EQ(AskU32(kOpLogOn, Concat({TextField(kEmail, 32), TextField(pw, 32)})), 0u);
  EXPECT_EQ(Sql("select email, psw from qv_user;"), std::string(kEmail) + "|" + pw + "\n");
  EXPECT_EQ(AskU32(kOpLogOnStatues), 0u);
  EXPECT_EQ(Count(kCmdLogOn), 1u);
  // Server info and power-on follow the reply.
  EXPECT_TRUE(WaitFor([&] { return Count(kCmdServerInfo) == 1 && Count(kCmdPowerOn) == 1; }, seconds(20)));
  EXPECT_EQ(ReadFileText(base.LogDir() + "/Log.txt").find(pw), std::string::npos)
      << "no password hash in the log";

  // A wrong password is stored all the same and its status reported; the old account was
  // logged out first.
  const std::string wrong = PcPasswordOf("secret9");
  EXPECT_EQ(AskU32(kOpLogOn, Concat({TextField(kEmail, 32), TextField(wrong, 32)})), 0x1001u);
  EXPECT_EQ(Count(kCmdLogOut), 1u);
  EXPECT_EQ(Sql("select psw from qv_user;"), wrong + "\n");
  EXPECT_EQ(AskU32(kOpLogOnStatues), 0x1001u);

  EXPECT_EQ(AskU32(kOpLogOut), 0u);
  EXPECT_EQ(Sql("select count(*) from qv_user;"), "0\n");
  EXPECT_EQ(AskU32(kOpLogOnStatues), 0x101Fu);
  // With nothing stored: still 0, and the state stays "no account".
  EXPECT_EQ(AskU32(kOpLogOut), 0u);
  EXPECT_EQ(AskU32(kOpLogOnStatues), 0x101Fu);

  // The server away: the account is stored anyway, the reply says so.
  ASSERT_TRUE(central.Stop());
  EXPECT_EQ(AskU32(kOpLogOn, Concat({TextField(kEmail, 32), TextField(pw, 32)})), 0x101Au);
  EXPECT_EQ(Sql("select email from qv_user;"), std::string(kEmail) + "\n");
}

// A central server that takes the connection and never answers: the log-on waits for its
// time-out on a pool task while the command server answers everyone else.
TEST_F(LocalApiAccount, SlowServerDoesNotHoldTheCommandServer) {
  const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(silent, 8), 0);
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len), 0);
  base.Exec("update qv_conf set svport = " + std::to_string(ntohs(a.sin_port)) + ";");

  DeviceClient desktop;
  ASSERT_TRUE(desktop.Connect("127.0.0.1", server.Port()));
  ASSERT_TRUE(desktop.Send(kOpLogOn, 1, Concat({TextField(kEmail, 32), TextField("abc", 32)})));
  // Another request of the desktop program and a phone's, answered while the log-on waits.
  EXPECT_EQ(AskU32(kOpGetSysType), 2u);
  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", server.Port()));
  ASSERT_TRUE(phone.Send(kOpDeviceHeartBeat, 3, {0}));
  DeviceMessage hb;
  ASSERT_TRUE(phone.ReadMessage(hb, seconds(3)));
  DeviceMessage logOn;
  EXPECT_FALSE(desktop.ReadMessage(logOn, std::chrono::milliseconds(0))) << "not answered yet";
  ASSERT_TRUE(desktop.ReadMessage(logOn, seconds(30)));
  EXPECT_EQ(wire::GetU32(logOn.body.data()), 0x101Au);
  close(silent);
}

}  // namespace
