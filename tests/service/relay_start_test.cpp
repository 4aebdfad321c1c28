// The relay is ready as soon as the service's log-on succeeds: a phone that signs in at the
// server right after "log on successfully." reaches the PC without waiting out the relay's
// 30-second retry pause, which is left at its real length here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/central_process.h"
#include "tests/support/net_namespace.h"
#include "tests/support/relay_phone.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace {

using std::chrono::seconds;

TEST(RelayStart, PcReachableThroughTheRelayRightAfterItsLogOn) {
  std::string why;
  if (!EnterPrivateNetwork(why)) GTEST_SKIP() << why;
  constexpr const char* kOwner = "owner@example.org";
  CentralProcess central;
  ASSERT_TRUE(central.AddAccount(kOwner, "secret1"));
  ASSERT_TRUE(central.Start()) << central.LogText();
  TempBase base;
  base.AddShare(base.MakeDir("share"));
  base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
  base.Exec("delete from qv_user;");
  base.Exec(std::string("insert into qv_user (email, psw) values ('") + kOwner + "', '" +
            PcPasswordOf("secret1") + "');");
  ServiceProcess svc(base.Dir());
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  ASSERT_TRUE(WaitFor([&] { return svc.LogText().find("log on successfully.") != std::string::npos; },
                      seconds(30)))
      << svc.LogText();

  // Well inside the 30-second pause that a relay task which missed the log-on would wait.
  RelayPhone phone;
  ASSERT_EQ(phone.SignIn(central.Port(), kOwner, PcPasswordOf("secret1")), 0);
  EXPECT_TRUE(WaitFor(
      [&] {
        std::vector<PcEntry> pcs;
        return phone.ListPcs(central.Port(), pcs) == 0 && pcs.size() == 1 && pcs[0].online;
      },
      seconds(10), std::chrono::milliseconds(100)))
      << svc.LogText() << central.LogText();
}

}  // namespace
