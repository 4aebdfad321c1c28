// The real service under the service manager logging on at the real QuarloCentral, in a
// network namespace of the test's own (no router there: the port mappings find none).
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/central_process.h"
#include "tests/support/net_namespace.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

class LogOnRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!EnterPrivateNetwork(why)) GTEST_SKIP() << why;
    ASSERT_TRUE(central.AddAccount("owner@example.org", "secret1"));
    ASSERT_TRUE(central.Start());
    base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
  }
  void StoreAccount(const std::string& password) {
    base.Exec("delete from qv_user;");
    base.Exec("insert into qv_user (email, psw) values ('owner@example.org', '" +
              PcPasswordOf(password) + "');");
  }
  bool LogHas(const ServiceProcess& svc, const std::string& text) {
    return WaitFor([&] { return svc.LogText().find(text) != std::string::npos; },
                   std::chrono::seconds(20));
  }

  CentralProcess central;
  TempBase base;
};

TEST_F(LogOnRun, LogsOnReportsKeepsItselfKnownAndLogsOutOnStop) {
  StoreAccount("secret1");
  base.AddShare(base.MakeDir("share"));
  ServiceProcess svc(base.Dir());
  svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0,heartbeat_ms=300");
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  EXPECT_TRUE(LogHas(svc, "log on successfully.")) << svc.LogText();
  EXPECT_TRUE(LogHas(svc, "relogin , return code 0")) << svc.LogText();
  EXPECT_TRUE(WaitFor([&] { return central.Exchanges(0x1003).size() >= 2; }, std::chrono::seconds(20)));
  EXPECT_TRUE(WaitFor([&] { return !central.Exchanges(0x1011).empty(); }, std::chrono::seconds(20)));
  EXPECT_NE(central.Exchanges(0x1011)[0].find("total 366 status 0x0000"), std::string::npos)
      << "one file system, reported at once";
  EXPECT_FALSE(central.Exchanges(0x100F).empty());

  // The identity came from the server, was saved, and is the one every exchange carries.
  const std::string identity = ReadFileText(base.Dir() + "/bin/.uuid");
  ASSERT_EQ(identity.size(), 32u);
  EXPECT_NE(svc.LogText().find("UUID:" + identity), std::string::npos);
  EXPECT_NE(central.Exchanges(0x1001)[0].find("identity \"" + identity + "\""), std::string::npos);
  EXPECT_NE(central.Admin({"status"}).output.find("pc " + identity), std::string::npos);

  ASSERT_EQ(svc.NetStop().exitCode, 0);
  EXPECT_EQ(central.Exchanges(0x1002).size(), 1u) << "logged out once on stop";

  // The next start reuses the saved identity without asking again.
  ASSERT_TRUE(svc.NetStart().exitCode == 0);
  EXPECT_TRUE(LogHas(svc, "log on successfully.")) << svc.LogText();
  EXPECT_EQ(central.Exchanges(0x1006).size(), 1u);
  EXPECT_EQ(ReadFileText(base.Dir() + "/bin/.uuid"), identity);
}

TEST_F(LogOnRun, RefusedAccountsShowTheirCode) {
  struct Case {
    const char* name;
    const char* password;  // nullptr: no account stored
    const char* line;
  };
  const Case cases[] = {
      {"wrong password", "secret2", "log on return code 4097"},
      {"no account", nullptr, "log on return code 4127"},
  };
  for (const Case& c : cases) {
    if (c.password) StoreAccount(c.password); else base.Exec("delete from qv_user;");
    ServiceProcess svc(base.Dir());
    svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0");
    ASSERT_TRUE(svc.Start()) << c.name << svc.LogText();
    EXPECT_TRUE(LogHas(svc, c.line)) << c.name << "\n" << svc.LogText();
    ASSERT_EQ(svc.NetStop().exitCode, 0);
    unlink((base.Dir() + "/log/Log.txt").c_str());
  }
  EXPECT_EQ(central.Exchanges(0x1001).size(), 1u) << "no account: no log-on request at all";
}

// A PC that starts while the central server cannot be reached sends its power-on report
// after the first log-on that succeeds, and only once.
TEST_F(LogOnRun, PowerOnReportFollowsTheFirstLogOnThatSucceeds) {
  StoreAccount("secret1");
  // The server's port refuses connections until the rule goes (this namespace only).
  const std::string port = std::to_string(central.Port());
  ASSERT_EQ(RunProgram({"/usr/sbin/nft", "add", "table", "ip", "qvblock"}).exitCode, 0);
  ASSERT_EQ(RunProgram({"/usr/sbin/nft", "add", "chain", "ip", "qvblock", "out", "{", "type",
                        "filter", "hook", "output", "priority", "0", ";", "}"})
                .exitCode,
            0);
  ASSERT_EQ(RunProgram({"/usr/sbin/nft", "add", "rule", "ip", "qvblock", "out", "tcp", "dport",
                        port, "reject", "with", "tcp", "reset"})
                .exitCode,
            0);
  ServiceProcess svc(base.Dir());
  svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0,heartbeat_ms=300");
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  EXPECT_TRUE(LogHas(svc, "log on return code")) << svc.LogText();
  EXPECT_TRUE(LogHas(svc, "relogin , return code")) << svc.LogText();
  EXPECT_TRUE(central.Exchanges(0x1001).empty());

  ASSERT_EQ(RunProgram({"/usr/sbin/nft", "delete", "table", "ip", "qvblock"}).exitCode, 0);
  EXPECT_TRUE(WaitFor([&] { return central.Exchanges(0x100F).size() == 1; }, std::chrono::seconds(20)))
      << svc.LogText();
  // Later log-ons do not repeat it.
  const size_t heartBeats = central.Exchanges(0x1003).size();
  EXPECT_TRUE(WaitFor([&] { return central.Exchanges(0x1003).size() >= heartBeats + 2; },
                      std::chrono::seconds(20)));
  EXPECT_EQ(central.Exchanges(0x100F).size(), 1u);
}

}  // namespace
