// An account registered on the real QuarloCentral's web site logs on like any other: the
// real service, given the address in lower case and the password text the desktop program
// stores, logs on with it (in a network namespace of the test's own).
#include <gtest/gtest.h>

#include "tests/support/central_process.h"
#include "tests/support/net_namespace.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace {

TEST(RegisteredAccount, LogsOnWithTheRealService) {
  std::string why;
  if (!EnterPrivateNetwork(why)) GTEST_SKIP() << why;
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  const std::string form = "Email=Newcomer@Example.org&Password=" + PcPasswordOf("secret7") +
                           "&Check=5d2e8a71c04f93b6e18d7a2c9f305b4e";
  const ProgramResult reg = RunProgram({"/usr/bin/curl", "-s", "--max-time", "20", "--data-binary",
                                        form, central.SiteUrl() + "/quarlo/register.html"});
  ASSERT_NE(reg.output.find("\"status\":2"), std::string::npos) << reg.output;

  TempBase base;
  base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
  base.Exec("delete from qv_user;");
  base.Exec("insert into qv_user (email, psw) values ('newcomer@example.org', '" +
            PcPasswordOf("secret7") + "');");
  ServiceProcess svc(base.Dir());
  svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0");
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  EXPECT_TRUE(WaitFor([&] { return svc.LogText().find("log on successfully.") != std::string::npos; },
                      std::chrono::seconds(20)))
      << svc.LogText();
  EXPECT_NE(central.Admin({"status"}).output.find("account newcomer@example.org"), std::string::npos);
}

}  // namespace
