// Black-box runs of the real service program in a temporary base folder, installed, started
// and stopped through the project's own service manager and its sc and net tools.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/device_client.h"
#include "tests/support/other_user.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"
#include "tests/support/text_files.h"

namespace {



std::string StdoutLog(const TempBase& base, const std::string& name) {
  return ReadFileText(base.Dir() + "/system/scm/" + name + "/stdout.log");
}

}  // namespace

TEST(ServiceCommandLine, ExitCodesWithoutTheManager) {
  TempBase base;
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  EXPECT_EQ(svc.Client({}).exitCode, 1);       // no arguments
  EXPECT_EQ(svc.Client({"-r"}).exitCode, 1);   // an option without a name
  EXPECT_EQ(svc.Client({"-x", "Quarlo"}).exitCode, 255);
  // Started by hand, not by the manager: the dispatcher cannot connect, as on Windows.
  EXPECT_EQ(svc.Client({"-r", "Quarlo"}).exitCode, 255);
  EXPECT_EQ(svc.Client({"-u", "Quarlo"}).exitCode, 255);  // not installed
}

TEST(Service, InstallStartAnswerStopRemove) {
  TempBase base;
  base.AddShare(base.MakeDir("share"));
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();

  ASSERT_EQ(svc.Install().exitCode, 0);
  EXPECT_EQ(svc.Install().exitCode, 255) << "a second -i for the same name must fail";
  const ProgramResult qc = svc.Sc({"qc", "Quarlo"});
  EXPECT_NE(qc.output.find("AUTO_START"), std::string::npos) << qc.output;
  EXPECT_NE(qc.output.find("\"" + base.Dir() + "/bin/QuarloClient\" \"-r\" \"Quarlo\""),
            std::string::npos)
      << qc.output;

  const ProgramResult started = svc.NetStart();
  ASSERT_EQ(started.exitCode, 0) << started.output << StdoutLog(base, "Quarlo");
  EXPECT_NE(svc.Sc({"query", "Quarlo"}).output.find("4  RUNNING"), std::string::npos);
  const uint16_t port = svc.WaitForPort();
  ASSERT_NE(port, 0) << svc.LogText();

  // A device request travels through the command server to its handler and back.
  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", port));
  ASSERT_TRUE(phone.Send(0x2002, 77));
  DeviceMessage reply;
  ASSERT_TRUE(phone.ReadMessage(reply));
  EXPECT_EQ(reply.header.opcode, 0x2002);
  EXPECT_EQ(reply.header.param, 77u);
  const std::string text(reply.body.begin() + std::min<size_t>(12, reply.body.size()),
                         reply.body.end());
  EXPECT_NE(text.find(base.Dir() + "/share\r\n"), std::string::npos) << text;
  phone.Close();

  const ProgramResult stopped = svc.NetStop();
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  EXPECT_NE(svc.Sc({"query", "Quarlo"}).output.find("1  STOPPED"), std::string::npos);

  const std::string log = svc.LogText();
  EXPECT_EQ(CountOccurrences(log, "Start service successful!"), 1u) << log;
  EXPECT_EQ(CountOccurrences(log, "exit server."), 1u) << log;
  EXPECT_NE(log.find("exit local server."), std::string::npos) << log;
  const std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[QuarloClient Service_InitProgram \d+\]\[\d+\]\[INFO\] Start service successful!)");
  EXPECT_TRUE(std::regex_search(log, line)) << log;
  // Each start is marked, so a tail of the log tells one run from the last.
  EXPECT_EQ(CountOccurrences(log, std::string("[INFO] QuarloClient ") + QUARLO_VERSION_TEXT +
                                      " starting: base folder " + base.Dir() + ", command port "),
            1u) << log;
  EXPECT_EQ(log.find("[INFO] CreateAutoTidingTable function error:1111"), std::string::npos)
      << "making a new table is no error: " << log;

  EXPECT_EQ(svc.Uninstall().exitCode, 0);
  EXPECT_NE(svc.Sc({"query", "Quarlo"}).output.find("1060"), std::string::npos);
}

TEST(Service, MissingDatabaseStopsTheStart) {
  TempBase base;
  ASSERT_EQ(unlink(base.DbPath().c_str()), 0);
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  ASSERT_EQ(svc.Install().exitCode, 0);
  const ProgramResult started = svc.NetStart();
  EXPECT_NE(started.exitCode, 0);
  // The user who typed `net start` reads why, not only the service's side log.
  EXPECT_NE(started.output.find("The Quarlo service could not be started."), std::string::npos)
      << started.output;
  EXPECT_NE(started.output.find("The service reported:\nopen database error.\n"), std::string::npos)
      << started.output;
  EXPECT_EQ(started.output.find("did not report an error"), std::string::npos) << started.output;
  EXPECT_NE(svc.Sc({"query", "Quarlo"}).output.find("STOPPED"), std::string::npos);
  EXPECT_NE(StdoutLog(base, "Quarlo").find("open database error."), std::string::npos);
  struct stat st;
  EXPECT_NE(stat(base.DbPath().c_str(), &st), 0) << "the service must not create a database";
}

TEST(Service, UnopenableLogFileStopsTheStart) {
  TempBase base;
  // A folder where the log file should be: no user, root included, can open it for writing.
  ASSERT_EQ(mkdir((base.LogDir() + "/Log.txt").c_str(), 0755), 0);
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  ASSERT_EQ(svc.Install().exitCode, 0);
  const ProgramResult started = svc.NetStart();
  EXPECT_NE(started.exitCode, 0);
  EXPECT_NE(started.output.find("The service reported:\nopen log file exits.\n"), std::string::npos)
      << started.output;
  EXPECT_NE(svc.Sc({"query", "Quarlo"}).output.find("STOPPED"), std::string::npos);
  EXPECT_NE(StdoutLog(base, "Quarlo").find("open log file exits."), std::string::npos);
}

// Each failed start tells its own reason: the one of an earlier start, still in the service's
// side log, is not repeated.
TEST(Service, ASecondFailedStartReportsOnlyItsOwnReason) {
  TempBase base;
  const std::string db = base.DbPath();
  ASSERT_EQ(rename(db.c_str(), (db + ".aside").c_str()), 0);
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  ASSERT_EQ(svc.Install().exitCode, 0);
  const ProgramResult first = svc.NetStart();
  EXPECT_NE(first.output.find("open database error."), std::string::npos) << first.output;

  ASSERT_EQ(rename((db + ".aside").c_str(), db.c_str()), 0);
  ASSERT_EQ(mkdir((base.LogDir() + "/Log.txt").c_str(), 0755), 0);
  const ProgramResult second = svc.NetStart();
  EXPECT_NE(second.exitCode, 0);
  EXPECT_NE(second.output.find("The service reported:\nopen log file exits.\n"), std::string::npos)
      << second.output;
  EXPECT_EQ(second.output.find("open database error."), std::string::npos) << second.output;
  EXPECT_NE(StdoutLog(base, "Quarlo").find("open database error."), std::string::npos)
      << "the side log keeps both";
}

// Another local user holds the command port while the service is down: the service must not
// report running without its port (the desktop program would take that user's listener for it).
TEST(Service, ACommandPortHeldByAnotherUserStopsTheStart) {
  OtherUser other;
  const std::string why = other.Create();
  if (!why.empty()) GTEST_SKIP() << "second local user not possible here: " << why;
  const int squatter = other.SocketAsUser([] {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 8) != 0) return -1;
    return s;
  });
  ASSERT_GE(squatter, 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(squatter, reinterpret_cast<sockaddr*>(&a), &len);
  TempBaseOptions opt;
  opt.localport = ntohs(a.sin_port);
  TempBase base(opt);
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  ASSERT_EQ(svc.Install().exitCode, 0);
  EXPECT_NE(svc.NetStart().exitCode, 0);
  EXPECT_TRUE(WaitFor([&] { return svc.Sc({"query", "Quarlo"}).output.find("STOPPED") != std::string::npos; },
                      std::chrono::seconds(20)));
  EXPECT_NE(svc.LogText().find("Couldn't create listener."), std::string::npos);
  close(squatter);
}

TEST(Service, SecondInstanceExitsAndLeavesTheFirstRunning) {
  TempBase base;
  ServiceProcess first(base.Dir(), "Quarlo");
  ASSERT_TRUE(first.Start()) << first.LogText() << StdoutLog(base, "Quarlo");
  const uint16_t port = first.WaitForPort();

  ServiceProcess second(base.Dir(), "Quarlo2");
  ASSERT_EQ(second.Install().exitCode, 0);
  EXPECT_NE(second.NetStart().exitCode, 0);
  EXPECT_NE(StdoutLog(base, "Quarlo2").find("server exits."), std::string::npos);
  EXPECT_NE(second.Sc({"query", "Quarlo2"}).output.find("STOPPED"), std::string::npos);

  EXPECT_NE(first.Sc({"query", "Quarlo"}).output.find("4  RUNNING"), std::string::npos);
  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", port));
  ASSERT_TRUE(phone.Send(0x2002, 1));
  DeviceMessage reply;
  EXPECT_TRUE(phone.ReadMessage(reply));
}

// Two starts of one base folder never both run, whatever environment started them; a lock that
// cannot be made at all is its own error, not "another instance".
TEST(Service, OneInstancePerBaseFolderWhateverTheEnvironment) {
  TempBase base;
  ServiceProcess first(base.Dir(), "Quarlo");
  ASSERT_TRUE(first.Start()) << first.LogText() << StdoutLog(base, "Quarlo");
  ServiceProcess second(base.Dir(), "Quarlo2");
  second.AddEnv("QUARLO_NAMESPACE=" + base.Dir() + "/elsewhere");
  ASSERT_EQ(second.Install().exitCode, 0);
  EXPECT_NE(second.NetStart().exitCode, 0);
  EXPECT_NE(StdoutLog(base, "Quarlo2").find("server exits."), std::string::npos);
  EXPECT_NE(first.Sc({"query", "Quarlo"}).output.find("4  RUNNING"), std::string::npos);

  TempBase broken;
  ASSERT_EQ(mkdir((broken.EtcDir() + "/342cfb6a-1374-11e2-a327-dd69792138b9.lock").c_str(), 0700), 0);
  ServiceProcess svc(broken.Dir(), "Quarlo");
  svc.CopyPrograms();
  ASSERT_EQ(svc.Install().exitCode, 0);
  EXPECT_NE(svc.NetStart().exitCode, 0);
  const std::string out = StdoutLog(broken, "Quarlo");
  EXPECT_NE(out.find("create instance lock error."), std::string::npos) << out;
  EXPECT_EQ(out.find("server exits."), std::string::npos) << out;
}

// Without a qv_conf row the service still starts, and says at error level which port it took.
TEST(Service, MissingConfRowNamesTheChosenPort) {
  TempBase base;
  base.Exec("delete from qv_conf");
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  ASSERT_EQ(svc.Install().exitCode, 0);
  ASSERT_EQ(svc.NetStart().exitCode, 0) << StdoutLog(base, "Quarlo");
  ASSERT_TRUE(WaitFor([&] { return svc.LogText().find("qv_conf has no row") != std::string::npos; },
                      std::chrono::seconds(20)));
  const std::regex line(R"(\[ERROR\] qv_conf has no row; command port (\d+) chosen\.)");
  std::smatch m;
  const std::string log = svc.LogText();
  ASSERT_TRUE(std::regex_search(log, m, line)) << log;
  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", static_cast<uint16_t>(std::stoi(m[1].str()))));
  ASSERT_TRUE(phone.Send(0x2002, 3));
  DeviceMessage reply;
  EXPECT_TRUE(phone.ReadMessage(reply));
}

namespace {

// Resident set of a process in KiB, from /proc/<pid>/status (0 when unreadable).
// The process's own resident memory: anonymous pages. The pages of a file it sends from a
// mapping count in VmRSS too, but they are the page cache's, shared and dropped under pressure.
long AnonResidentKiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
  return 0;
}

}  // namespace

TEST(Service, LargeDownloadKeepsMemoryBoundedAndOthersServed) {
  TempBase base;
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  const std::string big = share + "/big.bin";
  constexpr off_t kSize = 1024LL * 1024 * 1024;  // sparse: costs no disk
  {
    std::ofstream f(big, std::ios::binary);
    f << "head";
  }
  ASSERT_EQ(truncate(big.c_str(), kSize), 0);

  ServiceProcess svc(base.Dir());
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  const uint16_t port = svc.WaitForPort();
  const int pid = svc.Pid();
  ASSERT_GT(pid, 0);
  const long rssBefore = AnonResidentKiB(pid);

  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", port));
  ASSERT_TRUE(phone.Send(0x0004, 5, PathRequestBody(big)));
  DeviceMessage info;
  ASSERT_TRUE(phone.ReadMessage(info));
  ASSERT_EQ(info.header.opcode, 0x1004);
  Bytes offset(4, 0);
  ASSERT_TRUE(phone.Send(0x0005, 5, offset));

  // The reader takes one message at a time, so the service can send faster than it reads;
  // it must not queue the file for it.
  long rssPeak = 0;
  uint64_t received = 0;
  bool othersAnswered = false;
  DeviceMessage m;
  for (int i = 0; phone.ReadMessage(m); ++i) {
    if (m.header.opcode != 0x1002) break;
    received += m.body.size() - 12;
    if (i % 50000 == 0) rssPeak = std::max(rssPeak, AnonResidentKiB(pid));
    if (i == 1000) {
      // Another phone is answered while the download runs.
      DeviceClient other;
      ASSERT_TRUE(other.Connect("127.0.0.1", port));
      ASSERT_TRUE(other.Send(0x2002, 9));
      DeviceMessage shares;
      othersAnswered = other.ReadMessage(shares) && shares.header.opcode == 0x2002;
    }
  }
  EXPECT_TRUE(othersAnswered);
  EXPECT_EQ(m.header.opcode, 0x1003);
  ASSERT_FALSE(m.body.empty());
  EXPECT_EQ(m.body[0], '0');
  EXPECT_EQ(received, static_cast<uint64_t>(kSize));
  // A 1 GiB file queued whole would be a 1 GiB process; bounded sending stays near the start.
  EXPECT_LT(rssPeak - rssBefore, 64 * 1024) << "before " << rssBefore << " KiB, peak " << rssPeak;
}
