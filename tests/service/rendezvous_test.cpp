// Phones introduced to the PC by the real QuarloCentral's rendezvous, then talking UDT to the
// real service; in a network namespace of the test's own (the service's log-on also looks for
// a UPnP router). Also the command-line phone over UDT.
#include <gtest/gtest.h>

#include <fstream>

#include "common/proto_transfer.h"
#include "tests/support/central_process.h"
#include "tests/support/net_namespace.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/udt_device_client.h"
#include "tests/support/wait_for.h"

namespace {

constexpr const char* kOwner = "owner@example.org";
constexpr const char* kStranger = "stranger@example.org";

bool ListsShares(UdtDeviceClient& phone, const std::string& share) {
  DeviceMessage m;
  if (!phone.Send(xfer::kOpShareList, 5) || !phone.ReadMessage(m)) return false;
  Bytes whole(kCommandHeaderSize);
  EncodeCommandHeader(m.header, whole.data());
  whole.insert(whole.end(), m.body.begin(), m.body.end());
  std::vector<std::string> folders;
  return DecodeShareList(whole.data(), whole.size(), folders) && folders.size() == 1 &&
         folders[0] == share;
}

TEST(Rendezvous, PhonesIntroducedByTheCentralServer) {
  std::string why;
  if (!EnterPrivateNetwork(why)) GTEST_SKIP() << why;
  CentralProcess central;
  ASSERT_TRUE(central.AddAccount(kOwner, "secret1"));
  ASSERT_TRUE(central.AddAccount(kStranger, "secret2"));
  ASSERT_TRUE(central.Start()) << central.LogText();
  ASSERT_NE(central.P2PPort(), 0) << central.LogText();

  TempBaseOptions opt;
  opt.svport = central.Port();
  opt.p2pport = central.P2PPort();
  TempBase base(opt);
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  base.WriteFile("share/note.txt", "over udt\n");
  base.Exec("delete from qv_user;");
  base.Exec(std::string("insert into qv_user (email, psw) values ('") + kOwner + "', '" +
            PcPasswordOf("secret1") + "');");
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  svc.SetTestSettings("p2p_heartbeat_ms=200");
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  // Logged on, and announced on the UDP port.
  ASSERT_TRUE(WaitFor([&] { return central.LogText().find(std::string("heartbeat of ") + kOwner) != std::string::npos &&
                                   svc.LogText().find("log on successfully.") != std::string::npos; },
                      std::chrono::seconds(20)))
      << central.LogText() << svc.LogText();

  struct Case {
    const char* name;
    const char* email;
    const char* password;
    bool introduced;
  } cases[] = {
      {"the owner's phone", kOwner, "secret1", true},
      {"a second phone of the owner", kOwner, "secret1", true},
      {"a wrong password", kOwner, "wrong", false},
      {"an account without a PC", kStranger, "secret2", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UdtDeviceClient phone;
    ASSERT_NE(phone.Bind(), 0);
    std::string pcHost;
    uint16_t pcPort = 0;
    const bool introduced = phone.Rendezvous("127.0.0.1", central.P2PPort(), c.email,
                                             PcPasswordOf(c.password), pcHost, pcPort);
    ASSERT_EQ(introduced, c.introduced) << central.LogText();
    if (!introduced) continue;
    ASSERT_TRUE(phone.Punch(pcHost, pcPort)) << svc.LogText();
    ASSERT_TRUE(phone.ConnectUdt(pcHost, pcPort)) << svc.LogText();
    EXPECT_TRUE(ListsShares(phone, share));
  }
  // The server's punch reached the PC, which answered both sides.
  EXPECT_NE(svc.LogText().find("recv p2p hole punch msg from p2p server."), std::string::npos);

  // The command-line phone through the same rendezvous: put, ls and get.
  const std::string cli = std::string(QUARLO_BUILD_DIR) + "/tests/quarlo-phone";
  const std::string local = base.WriteFile("local.bin", std::string(5000, 'u') + "end");
  auto run = [&](const std::string& args) {
    return RunProgram({"/bin/sh", "-c",
                       "echo secret1 | '" + cli + "' --via udt --port " + std::to_string(central.P2PPort()) +
                           " --account " + kOwner + " " + args});
  };
  ProgramResult r = run("put '" + local + "' '" + share + "/put.bin'");
  ASSERT_EQ(r.exitCode, 0) << r.output << svc.LogText();
  EXPECT_EQ(ReadFileText(share + "/put.bin"), ReadFileText(local));
  r = run("ls '" + share + "'");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("note.txt"), std::string::npos) << r.output;
  r = run("get '" + share + "/put.bin' '" + local + ".back'");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(ReadFileText(local + ".back"), ReadFileText(local));
}

}  // namespace
