// The emulated service manager, driven through its API and through the real sc and net tools,
// with real service processes (fake_service) in a temporary system folder.
#include "platform/scm.h"
#include "platform/process_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/service_process.h"
#include "tests/support/wait_for.h"
#include "tests/support/text_files.h"

namespace fs = std::filesystem;
using std::chrono::seconds;

namespace {

const std::string kBuild = QUARLO_BUILD_DIR;
const std::string kFake = kBuild + "/tests/fake_service";
const std::string kSc = kBuild + "/platform/tools/sc";
const std::string kNet = kBuild + "/platform/tools/net";
constexpr auto kWait = seconds(20);


std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// Dead, or a zombie nobody has reaped yet.
bool ProcessGone(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return true;
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() &&
         (text[close + 2] == 'Z' || text[close + 2] == 'X');
}

uint64_t StartTimeOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(in, text);
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) rest >> field;
  return std::stoull(field);
}

int CountLines(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.compare(0, prefix.size(), prefix) == 0;
  }));
}

class ScmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/scm_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_tmp = tmpl;
    UseSystemDir(m_tmp + "/system");
    setenv("XDG_CONFIG_HOME", (m_tmp + "/config").c_str(), 1);  // autostart entries go here
  }

  void TearDown() override {
    // Every fake this test started is ended, whatever state the test left it in.
    for (const std::string& states : m_statesFiles) {
      for (const std::string& line : ReadLines(states)) {
        if (line.compare(0, 4, "pid ") != 0) continue;
        const int pid = std::stoi(line.substr(4));
        std::error_code ec;
        if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == fs::path(kFake)) {
          kill(pid, SIGKILL);
          WaitFor([&] { return ProcessGone(pid); }, kWait);
        }
      }
    }
    Scm_SetSystemDir("");
    std::error_code ec;
    fs::remove_all(m_tmp, ec);
  }

  void UseSystemDir(const std::string& dir) {
    m_system = dir;
    fs::create_directories(m_system);
    Scm_SetSystemDir(m_system);
  }

  // Installs fake_service under the name; its reports go to States(name).
  void InstallFake(const std::string& name, const std::vector<std::string>& options = {}) {
    const std::string states = StatesFile(name);
    std::string line = Quote(kFake) + " \"-r\" " + Quote(name) + " " + Quote("--states=" + states);
    for (const std::string& o : options) line += " " + Quote(o);
    ScmConfig config;
    config.binaryPath = line;
    config.displayName = name;
    ASSERT_EQ(Scm_CreateService(name, config), kScmOk);
  }

  std::string StatesFile(const std::string& name) {
    const std::string path = m_tmp + "/" + name + ".states";
    if (std::find(m_statesFiles.begin(), m_statesFiles.end(), path) == m_statesFiles.end())
      m_statesFiles.push_back(path);
    return path;
  }
  std::vector<std::string> States(const std::string& name) { return ReadLines(StatesFile(name)); }

  // The autostart entry of an AUTO_START service; "" when there is none.
  std::string Autostart(const std::string& name) const {
    return ReadFileText(m_tmp + "/config/autostart/quarlo-service-" + name + ".desktop");
  }

  std::vector<std::string> Env() const { return {"QUARLO_SYSTEM_DIR=" + m_system}; }
  ProgramResult Sc(std::vector<std::string> args) {
    args.insert(args.begin(), kSc);
    return RunProgram(args, Env());
  }
  ProgramResult Net(const std::string& verb, const std::string& name) {
    return RunProgram({kNet, verb, name}, Env());
  }

  ScmStatus Status(const std::string& name) {
    ScmStatus s;
    EXPECT_EQ(Scm_QueryStatus(name, s), kScmOk) << name;
    return s;
  }
  bool WaitForState(const std::string& name, uint32_t state) {
    return WaitFor(
        [&] {
          ScmStatus s;
          return Scm_QueryStatus(name, s) == kScmOk && s.state == state;
        },
        kWait);
  }
  std::string ServiceDir(const std::string& name) const { return m_system + "/scm/" + name; }

  std::string m_tmp;
  std::string m_system;
  std::vector<std::string> m_statesFiles;
};

// ---------------------------------------------------------------------------------------------

TEST(ScmSplitCommandLine, FollowsWindowsQuotingRules) {
  struct Case {
    const char* line;
    std::vector<std::string> argv;
  };
  const Case cases[] = {
      {R"("/opt/q/QuarloClient" "-r" "Quarlo")", {"/opt/q/QuarloClient", "-r", "Quarlo"}},
      {R"("/a b/prog" x)", {"/a b/prog", "x"}},
      {" \t x \t y ", {"x", "y"}},
      {R"(a\\"b c")", {R"(a\b c)"}},        // 2n backslashes: n, and the quote opens
      {R"(a\"b)", {R"(a"b)"}},              // 2n+1: n and a literal quote
      {R"(a\\\"b)", {R"(a\"b)"}},
      {R"(C:\dir\prog.exe)", {R"(C:\dir\prog.exe)"}},  // backslashes elsewhere stay
      {R"("")", {""}},
      {R"("a""b")", {R"(a"b)"}},
      {R"("unterminated arg)", {"unterminated arg"}},
      {R"(x"y z"w)", {"xy zw"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv;
    EXPECT_TRUE(Scm_SplitCommandLine(c.line, argv)) << c.line;
    EXPECT_EQ(argv, c.argv) << c.line;
  }
  std::vector<std::string> argv{"stale"};
  EXPECT_FALSE(Scm_SplitCommandLine("", argv));
  EXPECT_TRUE(argv.empty());
  EXPECT_FALSE(Scm_SplitCommandLine(" \t ", argv));
  EXPECT_FALSE(Scm_SplitCommandLine(std::string("a\0b", 3), argv));
}

// What is joined is split back argument for argument, whatever the arguments hold.
TEST(ScmSplitCommandLine, JoinedArgumentsComeBackWhole) {
  const std::vector<std::vector<std::string>> cases = {
      {"/opt/q/QuarloClient", "-r", "Quarlo"},
      {R"(/home/u/data" "x/bin/QuarloClient)", "-r", "Quarlo"},
      {"a b", "", "\"", "\\", R"(x\)", R"(x\\)", R"(\"q\")", R"(a""b)", "tab\there", "end\\"},
      {"\"\" \"\"", "--flag=\"1 2\""},
  };
  for (const auto& argv : cases) {
    std::vector<std::string> back;
    const std::string line = Scm_JoinCommandLine(argv);
    EXPECT_TRUE(Scm_SplitCommandLine(line, back)) << line;
    EXPECT_EQ(back, argv) << line;
  }
}

TEST_F(ScmTest, InstalledServiceKeepsItsConfigAndCanBeRemoved) {
  ScmConfig config;
  config.binaryPath = R"("/x y/prog" "-r" "Svc")";
  config.startType = kStartAuto;
  config.displayName = "Svc display";
  config.description = "line one\nline two with \\ and = and \\n";
  ASSERT_EQ(Scm_CreateService("Svc", config), kScmOk);
  EXPECT_EQ(Scm_CreateService("Svc", config), 1073);
  EXPECT_TRUE(Scm_IsInstalled("Svc"));

  ScmConfig read;
  ASSERT_EQ(Scm_QueryConfig("Svc", read), kScmOk);
  EXPECT_EQ(read.binaryPath, config.binaryPath);
  EXPECT_EQ(read.startType, config.startType);
  EXPECT_EQ(read.displayName, config.displayName);
  EXPECT_EQ(read.description, config.description);

  const ScmStatus fresh = Status("Svc");
  EXPECT_EQ(fresh.state, kStateStopped);
  EXPECT_EQ(fresh.exitCode, 1077u);
  EXPECT_EQ(fresh.pid, 0);

  // A change of some fields leaves the others alone.
  ScmConfig change;
  change.startType = kStartDemand;
  change.description = "ignored";
  ASSERT_EQ(Scm_ChangeConfigFields("Svc", change, kConfigStartType), kScmOk);
  ASSERT_EQ(Scm_QueryConfig("Svc", read), kScmOk);
  EXPECT_EQ(read.startType, static_cast<uint32_t>(kStartDemand));
  EXPECT_EQ(read.binaryPath, config.binaryPath);
  EXPECT_EQ(read.description, config.description);
  change.startType = 7;
  EXPECT_EQ(Scm_ChangeConfigFields("Svc", change, kConfigStartType), 87);
  EXPECT_EQ(Scm_ChangeConfig("Nope", config), 1060);

  ASSERT_EQ(Scm_DeleteService("Svc"), kScmOk);
  EXPECT_FALSE(Scm_IsInstalled("Svc"));
  EXPECT_FALSE(fs::exists(ServiceDir("Svc")));
  ScmStatus s;
  EXPECT_EQ(Scm_DeleteService("Svc"), 1060);
  EXPECT_EQ(Scm_QueryConfig("Svc", read), 1060);
  EXPECT_EQ(Scm_QueryStatus("Svc", s), 1060);
  EXPECT_EQ(Scm_StartService("Svc"), 1060);
  EXPECT_EQ(Scm_ControlService("Svc", kControlStop, s), 1060);
  EXPECT_EQ(Scm_CreateService("Svc", config), kScmOk);  // the name is free again
}

TEST_F(ScmTest, NamesThatAreNotOneFolderNameAreRefused) {
  ScmConfig config;
  config.binaryPath = "/bin/true";
  const std::string names[] = {"", ".", "..", "../escape", "a/b", ".hidden", "a\\b",
                               "a\nb", std::string(300, 'n')};
  for (const std::string& name : names) {
    ScmStatus s;
    EXPECT_EQ(Scm_CreateService(name, config), 123) << name;
    EXPECT_EQ(Scm_QueryStatus(name, s), 123) << name;
    EXPECT_EQ(Scm_DeleteService(name), 123) << name;
    EXPECT_EQ(Scm_StartService(name), 123) << name;
    EXPECT_FALSE(Scm_IsInstalled(name)) << name;
  }
  EXPECT_FALSE(fs::exists(m_tmp + "/escape"));
  EXPECT_FALSE(fs::exists(m_system + "/escape"));
  config.startType = 9;
  EXPECT_EQ(Scm_CreateService("Good", config), 87);
  EXPECT_FALSE(Scm_IsInstalled("Good"));
}

TEST_F(ScmTest, ScToolReportsAndChangesConfig) {
  const ProgramResult unknown = Sc({"query", "Nope"});
  EXPECT_NE(unknown.output.find("[SC] EnumQueryServicesStatus:OpenService FAILED 1060:\n"
                                "The specified service does not exist as an installed service."),
            std::string::npos)
      << unknown.output;
  EXPECT_EQ(unknown.exitCode, 1060 & 0xFF);  // an exit status keeps the low byte only

  InstallFake("Svc");
  ProgramResult r = Sc({"qc", "Svc"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("START_TYPE         : 2  AUTO_START"), std::string::npos) << r.output;
  // AUTO_START: the user's session runs `net start` of this system folder at log-in.
  EXPECT_NE(Autostart("Svc").find("\nExec=\"" + m_system + "/net\" \"start\" \"Svc\"\n"),
            std::string::npos)
      << Autostart("Svc");
  // Once the tool is gone (its package removed) sessions skip the entry.
  EXPECT_NE(Autostart("Svc").find("\nTryExec=" + m_system + "/net\n"), std::string::npos)
      << Autostart("Svc");
  EXPECT_NE(r.output.find("BINARY_PATH_NAME   : " + Quote(kFake) + " \"-r\" \"Svc\""),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("DISPLAY_NAME       : Svc"), std::string::npos);

  r = Sc({"config", "Svc", "start=", "demand"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("[SC] ChangeServiceConfig SUCCESS"), std::string::npos) << r.output;
  EXPECT_NE(Sc({"qc", "Svc"}).output.find("START_TYPE         : 3  DEMAND_START"),
            std::string::npos);
  EXPECT_EQ(Autostart("Svc"), "");

  // The desktop program sets the command line and the start type in one call.
  r = Sc({"config", "Svc", "binPath=", "/opt/other -r Svc", "start=", "auto"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ScmConfig config;
  ASSERT_EQ(Scm_QueryConfig("Svc", config), kScmOk);
  EXPECT_EQ(config.binaryPath, "/opt/other -r Svc");
  EXPECT_EQ(config.startType, static_cast<uint32_t>(kStartAuto));
  EXPECT_NE(Autostart("Svc").find("Exec="), std::string::npos);

  r = Sc({"config", "Svc", "start=", "sometimes"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.output.find("FAILED 87:"), std::string::npos) << r.output;
  EXPECT_NE(Sc({"config", "Svc"}).exitCode, 0);
  EXPECT_NE(Sc({"config", "Svc", "start="}).exitCode, 0);
  r = Sc({"config", "Nope", "start=", "auto"});
  EXPECT_NE(r.output.find("[SC] ChangeServiceConfig FAILED 1060:"), std::string::npos);

  r = Sc({"description", "Svc", "Provides Quarlo data transmitting supports."});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("[SC] ChangeServiceConfig2 SUCCESS"), std::string::npos);
  ASSERT_EQ(Scm_QueryConfig("Svc", config), kScmOk);
  EXPECT_EQ(config.description, "Provides Quarlo data transmitting supports.");
  EXPECT_EQ(config.binaryPath, "/opt/other -r Svc");

  r = Sc({"delete", "Svc"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("[SC] DeleteService SUCCESS"), std::string::npos);
  EXPECT_EQ(Autostart("Svc"), "");
  r = Sc({"delete", "Svc"});
  EXPECT_NE(r.output.find("[SC] DeleteService FAILED 1060:"), std::string::npos);
  EXPECT_EQ(r.exitCode, 1060 & 0xFF);
}

TEST_F(ScmTest, NetStartsAndStopsTheServiceThroughEveryState) {
  InstallFake("Svc");
  ProgramResult r = Net("start", "Svc");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("The Svc service was started successfully."), std::string::npos);

  r = Sc({"query", "Svc"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("SERVICE_NAME: Svc\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("        TYPE               : 10  WIN32_OWN_PROCESS\n"),
            std::string::npos);
  EXPECT_NE(r.output.find("        STATE              : 4  RUNNING\n"), std::string::npos);
  EXPECT_NE(r.output.find("        WIN32_EXIT_CODE    : 0  (0x0)\n"), std::string::npos);
  const std::vector<std::string> started = States("Svc");
  ASSERT_FALSE(started.empty());
  const int pid = std::stoi(started[0].substr(4));
  EXPECT_NE(Sc({"queryex", "Svc"}).output.find("PID                : " + std::to_string(pid)),
            std::string::npos);
  EXPECT_EQ(Status("Svc").pid, pid);

  r = Net("start", "Svc");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("The requested service has already been started."), std::string::npos);

  r = Net("stop", "Svc");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("The Svc service was stopped successfully."), std::string::npos);
  const std::vector<std::string> expected = {
      "pid " + std::to_string(pid), "START_PENDING 0", "START_PENDING 1", "START_PENDING 2",
      "RUNNING 0",                  "STOP_PENDING 0",  "STOP_PENDING 1",  "STOPPED 0"};
  EXPECT_EQ(States("Svc"), expected);
  const ScmStatus stopped = Status("Svc");
  EXPECT_EQ(stopped.state, kStateStopped);
  EXPECT_EQ(stopped.exitCode, 0u);
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(pid); }, kWait));  // the dispatcher returned
  EXPECT_FALSE(fs::exists(ServiceDir("Svc") + "/control"));

  r = Net("stop", "Svc");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("The Svc service is not started."), std::string::npos);

  // A second run appends to the same output file.
  ASSERT_EQ(Net("start", "Svc").exitCode, 0);
  ASSERT_EQ(Net("stop", "Svc").exitCode, 0);
  const std::string out = ReadFileText(ServiceDir("Svc") + "/stdout.log");
  EXPECT_NE(out.find("fake service " + std::to_string(pid) + " starting"), std::string::npos);
  EXPECT_EQ(CountLines(ReadLines(ServiceDir("Svc") + "/stdout.log"), "fake service "), 2);
}

// A service that writes a lot to stdout does not grow stdout.log without bound: past its limit
// the file is moved aside once, and a start moves an oversized file aside too.
TEST_F(ScmTest, StdoutLogStaysBounded) {
  const std::string dir = ServiceDir("Talk");
  InstallFake("Talk", {"--print=3000000"});
  ASSERT_EQ(Net("start", "Talk").exitCode, 0);
  ASSERT_TRUE(WaitFor([&] { return CountLines(States("Talk"), "printed") == 1; }, kWait));
  // Once the output is written, at most one more move brings the file under the limit.
  EXPECT_TRUE(WaitFor(
      [&] {
        std::error_code ec;
        return fs::exists(dir + "/stdout.log.1") &&
               fs::file_size(dir + "/stdout.log", ec) < 1024u * 1024u && !ec;
      },
      kWait));
  ASSERT_EQ(Net("stop", "Talk").exitCode, 0);

  InstallFake("Quiet");
  const std::string quiet = ServiceDir("Quiet");
  std::ofstream(quiet + "/stdout.log") << "old";
  fs::resize_file(quiet + "/stdout.log", 2 * 1024 * 1024);
  ASSERT_EQ(Net("start", "Quiet").exitCode, 0);
  EXPECT_EQ(fs::file_size(quiet + "/stdout.log.1"), 2u * 1024 * 1024);
  EXPECT_LT(fs::file_size(quiet + "/stdout.log"), 1024u);
  ASSERT_EQ(Net("stop", "Quiet").exitCode, 0);
}

TEST_F(ScmTest, NetReportsUnknownServicesAndBadCommands) {
  ProgramResult r = Net("start", "Nope");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("The service name is invalid."), std::string::npos);
  r = Net("stop", "Nope");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("The service name is invalid."), std::string::npos);
  EXPECT_EQ(RunProgram({kNet, "pause", "Nope"}, Env()).exitCode, 1);
  EXPECT_EQ(RunProgram({kNet}, Env()).exitCode, 1);
}

TEST_F(ScmTest, ControlsAreRefusedUntilTheServiceCanTakeThem) {
  const std::string gate = m_tmp + "/gate";
  ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
  InstallFake("Svc", {"--start-gate=" + gate});
  ScmStatus s;
  EXPECT_EQ(Scm_ControlService("Svc", kControlStop, s), 1062);
  EXPECT_EQ(Scm_ControlService("Svc", kControlInterrogate, s), 1062);
  EXPECT_EQ(Scm_ControlService("Svc", 99, s), 1052);

  // net start waits while the service stays START_PENDING behind the gate.
  ProgramResult starting;
  std::thread netStart([&] { starting = Net("start", "Svc"); });
  ASSERT_TRUE(WaitFor([&] { return CountLines(States("Svc"), "START_PENDING 0") == 1; }, kWait));
  EXPECT_EQ(Status("Svc").state, kStateStartPending);
  EXPECT_EQ(Scm_ControlService("Svc", kControlStop, s), 1061);
  EXPECT_EQ(s.state, kStateStartPending);
  EXPECT_NE(Sc({"stop", "Svc"}).output.find("[SC] ControlService FAILED 1061:"),
            std::string::npos);
  EXPECT_EQ(Scm_StartService("Svc"), 1056);
  EXPECT_NE(Sc({"start", "Svc"}).output.find("[SC] StartService FAILED 1056:"), std::string::npos);

  int writer = -1;
  ASSERT_TRUE(WaitFor(
      [&] { return (writer = open(gate.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; },
      kWait));
  close(writer);
  netStart.join();
  EXPECT_EQ(starting.exitCode, 0) << starting.output;
  EXPECT_EQ(Status("Svc").state, kStateRunning);

  EXPECT_EQ(Scm_ControlService("Svc", kControlInterrogate, s), kScmOk);
  EXPECT_EQ(s.state, kStateRunning);
  // The handler stops the service before it answers, so the answer already says STOPPED.
  EXPECT_EQ(Scm_ControlService("Svc", kControlStop, s), kScmOk);
  EXPECT_EQ(s.state, kStateStopped);
  EXPECT_EQ(CountLines(States("Svc"), "STOPPED"), 1);
}

TEST_F(ScmTest, ServiceDeletedWhileRunningIsRemovedOnceItStops) {
  InstallFake("Svc");
  ASSERT_EQ(Net("start", "Svc").exitCode, 0);
  ProgramResult r = Sc({"delete", "Svc"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.output.find("[SC] DeleteService SUCCESS"), std::string::npos);

  EXPECT_TRUE(Scm_IsInstalled("Svc"));
  EXPECT_EQ(Status("Svc").state, kStateRunning);
  ScmConfig config;
  ASSERT_EQ(Scm_QueryConfig("Svc", config), kScmOk);
  EXPECT_EQ(Scm_DeleteService("Svc"), 1072);
  EXPECT_EQ(Scm_CreateService("Svc", config), 1072);
  EXPECT_EQ(Scm_ChangeConfig("Svc", config), 1072);

  r = Net("stop", "Svc");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("The Svc service was stopped successfully."), std::string::npos);
  EXPECT_FALSE(Scm_IsInstalled("Svc"));
  EXPECT_FALSE(fs::exists(ServiceDir("Svc")));
  EXPECT_NE(Sc({"query", "Svc"}).output.find("FAILED 1060:"), std::string::npos);
  EXPECT_EQ(CountLines(States("Svc"), "STOPPED"), 1);
  EXPECT_EQ(Scm_CreateService("Svc", config), kScmOk);
}

TEST_F(ScmTest, ServiceThatDiesReadsAsStoppedWithProcessAborted) {
  InstallFake("Svc", {"--crash-on-interrogate"});
  ASSERT_EQ(Net("start", "Svc").exitCode, 0);
  const int pid = Status("Svc").pid;
  ScmStatus s;
  EXPECT_NE(Scm_ControlService("Svc", kControlInterrogate, s), kScmOk);
  ASSERT_TRUE(WaitForState("Svc", kStateStopped));
  s = Status("Svc");
  EXPECT_EQ(s.exitCode, 1067u);
  EXPECT_EQ(s.pid, 0);
  const ProgramResult r = Sc({"query", "Svc"});
  EXPECT_NE(r.output.find("STATE              : 1  STOPPED"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("WIN32_EXIT_CODE    : 1067  (0x42b)"), std::string::npos);
  EXPECT_EQ(Scm_ControlService("Svc", kControlStop, s), 1062);

  // It can be started again.
  ASSERT_EQ(Net("start", "Svc").exitCode, 0);
  EXPECT_NE(Status("Svc").pid, pid);
}

TEST_F(ScmTest, ServiceKilledWhileIgnoringStopReadsAsAborted) {
  InstallFake("Svc", {"--ignore-stop"});
  ASSERT_EQ(Net("start", "Svc").exitCode, 0);
  const int pid = Status("Svc").pid;
  ScmStatus s;
  EXPECT_EQ(Scm_ControlService("Svc", kControlStop, s), kScmOk);
  EXPECT_EQ(s.state, kStateRunning);
  EXPECT_EQ(CountLines(States("Svc"), "ignored stop"), 1);
  EXPECT_FALSE(ProcessGone(pid));

  kill(pid, SIGKILL);
  ASSERT_TRUE(WaitForState("Svc", kStateStopped));
  EXPECT_EQ(Status("Svc").exitCode, 1067u);
}

TEST_F(ScmTest, FailedStartIsReportedByNet) {
  InstallFake("Svc", {"--fail-start"});
  const ProgramResult r = Net("start", "Svc");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("The Svc service could not be started."), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("System error 1066 has occurred."), std::string::npos);
  // What the service printed during this start comes with it.
  EXPECT_NE(r.output.find("The service reported:\nfake service "), std::string::npos) << r.output;
  const ScmStatus s = Status("Svc");
  EXPECT_EQ(s.state, kStateStopped);
  EXPECT_EQ(s.exitCode, 1066u);
  const std::vector<std::string> states = States("Svc");
  ASSERT_EQ(states.size(), 3u);
  EXPECT_EQ(states[1], "START_PENDING 0");
  EXPECT_EQ(states[2], "STOPPED 0");
  // A second start shows its own line only, not the first one's still in the log.
  const ProgramResult again = Net("start", "Svc");
  EXPECT_EQ(CountOccurrences(again.output, "fake service "), 1u) << again.output;
}

TEST_F(ScmTest, MissingProgramFailsTheStart) {
  ScmConfig config;
  config.binaryPath = R"("/nonexistent/prog" "-r" "Svc")";
  ASSERT_EQ(Scm_CreateService("Svc", config), kScmOk);
  EXPECT_EQ(Scm_StartService("Svc"), 2);
  EXPECT_EQ(Status("Svc").state, kStateStopped);
  const ProgramResult r = Net("start", "Svc");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("System error 2 has occurred."), std::string::npos) << r.output;

  config.binaryPath = "   ";
  ASSERT_EQ(Scm_ChangeConfig("Svc", config), kScmOk);
  EXPECT_EQ(Scm_StartService("Svc"), 2);
}

TEST_F(ScmTest, DispatcherRefusesAProcessNotStartedByTheManager) {
  // In this very process: nothing is touched, the signal mask included.
  static std::atomic<bool> mainRan{false};
  EXPECT_EQ(Scm_StartServiceCtrlDispatcher("Svc", [](int, char**) { mainRan = true; }), 1063);
  EXPECT_FALSE(mainRan);
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGTERM));
  EXPECT_EQ(Scm_SetServiceStatus(kStateRunning, 0, 0, 0), 6);
  EXPECT_EQ(Scm_RegisterServiceCtrlHandlerEx("Svc", [](uint32_t, uint32_t, void*, void*) {
              return 0u;
            }, nullptr), 0);

  InstallFake("Svc");
  const std::string statusPath = ServiceDir("Svc") + "/status";
  const std::string before = ReadFileText(statusPath);
  const std::vector<std::string> byHand = {kFake, "-r", "Svc", "--states=" + StatesFile("Svc")};

  ProgramResult r = RunProgram(byHand);  // started from a shell: no manager environment
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.output.find("failed 1063"), std::string::npos) << r.output;

  // The manager's environment inherited by some other process is not enough either.
  r = RunProgram(byHand, {"QUARLO_SYSTEM_DIR=" + m_system, "QUARLO_SCM_SERVICE=Svc"});
  EXPECT_NE(r.output.find("failed 1063"), std::string::npos) << r.output;
  EXPECT_EQ(ReadFileText(statusPath), before);
  EXPECT_FALSE(fs::exists(ServiceDir("Svc") + "/control"));
  EXPECT_TRUE(States("Svc").empty());

  // Nor does a copy started beside a running instance disturb it.
  ASSERT_EQ(Net("start", "Svc").exitCode, 0);
  const ScmStatus running = Status("Svc");
  r = RunProgram(byHand, {"QUARLO_SYSTEM_DIR=" + m_system, "QUARLO_SCM_SERVICE=Svc"});
  EXPECT_NE(r.output.find("failed 1063"), std::string::npos) << r.output;
  EXPECT_EQ(Status("Svc").state, kStateRunning);
  EXPECT_EQ(Status("Svc").pid, running.pid);
  EXPECT_EQ(Net("stop", "Svc").exitCode, 0);
}

TEST_F(ScmTest, ConcurrentNetStartsStartOneProcess) {
  InstallFake("Svc");
  constexpr int kStarters = 4;
  std::vector<ProgramResult> results(kStarters);
  std::vector<std::thread> threads;
  for (int i = 0; i < kStarters; ++i)
    threads.emplace_back([&, i] { results[i] = Net("start", "Svc"); });
  for (std::thread& t : threads) t.join();

  int succeeded = 0;
  for (const ProgramResult& r : results) {
    if (r.exitCode == 0) {
      ++succeeded;
    } else {
      EXPECT_EQ(r.exitCode, 2);
      EXPECT_NE(r.output.find("The requested service has already been started."),
                std::string::npos)
          << r.output;
    }
  }
  EXPECT_EQ(succeeded, 1);
  EXPECT_EQ(Status("Svc").state, kStateRunning);
  EXPECT_EQ(CountLines(States("Svc"), "pid "), 1);
}

TEST_F(ScmTest, SigtermIsAStopRequest) {
  InstallFake("Svc");
  ASSERT_EQ(Net("start", "Svc").exitCode, 0);
  const int pid = Status("Svc").pid;
  kill(pid, SIGHUP);  // not a stop request, and not fatal either
  kill(pid, SIGTERM);
  ASSERT_TRUE(WaitForState("Svc", kStateStopped));
  EXPECT_EQ(Status("Svc").exitCode, 0u);  // reported by the service, not an abort
  const std::vector<std::string> states = States("Svc");
  ASSERT_GE(states.size(), 3u);
  EXPECT_EQ((std::vector<std::string>(states.end() - 3, states.end())),
            (std::vector<std::string>{"STOP_PENDING 0", "STOP_PENDING 1", "STOPPED 0"}));
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(pid); }, kWait));
}

TEST_F(ScmTest, StatusOfAReusedOrDeadPidReadsAsAborted) {
  ScmConfig config;
  config.binaryPath = "/bin/true";
  ASSERT_EQ(Scm_CreateService("Svc", config), kScmOk);
  const std::string dir = ServiceDir("Svc");
  auto writeStatus = [&](uint32_t state, int pid, uint64_t start) {
    std::ofstream(dir + "/status") << "state=" << state << "\ncheckpoint=0\nwait_hint=0\n"
                                   << "exit_code=0\npid=" << pid << "\npid_start=" << start
                                   << "\n";
  };
  const uint64_t ownStart = StartTimeOf(getpid());

  writeStatus(kStateRunning, getpid(), ownStart);  // alive and the same process
  EXPECT_EQ(Status("Svc").state, kStateRunning);
  EXPECT_EQ(Scm_StartService("Svc"), 1056);

  writeStatus(kStateRunning, getpid(), ownStart + 1);  // same pid, another process
  ScmStatus s = Status("Svc");
  EXPECT_EQ(s.state, kStateStopped);
  EXPECT_EQ(s.exitCode, 1067u);

  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  writeStatus(kStateStopPending, child, 1);  // gone
  s = Status("Svc");
  EXPECT_EQ(s.state, kStateStopped);
  EXPECT_EQ(s.exitCode, 1067u);
}

TEST_F(ScmTest, DeepSystemFolderStillTakesControls) {
  // Longer than a unix socket path can be.
  std::string deep = m_tmp;
  while (deep.size() < 200) deep += "/a-rather-long-folder-name";
  UseSystemDir(deep + "/system");
  InstallFake("Svc");
  ASSERT_EQ(Net("start", "Svc").exitCode, 0);
  const ProgramResult r = Net("stop", "Svc");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(CountLines(States("Svc"), "STOPPED"), 1);
}

TEST_F(ScmTest, SystemFolderFollowsTheProgramsPlace) {
  unsetenv("QUARLO_SYSTEM_DIR");
  Scm_SetSystemDir("");
  const std::string programDir = []() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    return fs::path(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0)).parent_path().string();
  }();
  EXPECT_EQ(Scm_SystemDir(), fs::path(programDir).parent_path().string() + "/system");
  setenv("QUARLO_SYSTEM_DIR", "/from/env", 1);
  EXPECT_EQ(Scm_SystemDir(), "/from/env");
  Scm_SetSystemDir(m_system);
  EXPECT_EQ(Scm_SystemDir(), m_system);
  unsetenv("QUARLO_SYSTEM_DIR");

  InstallFake("Svc");
  // A tool in <base>/system uses its own folder; one in <base>/bin uses <base>/system.
  fs::create_directories(m_tmp + "/bin");
  for (const std::string& copy : {m_tmp + "/system/sc", m_tmp + "/bin/sc"}) {
    fs::copy_file(kSc, copy);
    const ProgramResult r = RunProgram({copy, "query", "Svc"});
    EXPECT_EQ(r.exitCode, 0) << copy << "\n" << r.output;
    EXPECT_NE(r.output.find("STATE              : 1  STOPPED"), std::string::npos) << copy;
  }
}

// A package's tools are shared by every user, each of whom keeps the manager's state in their
// own base folder: nothing is written beside the tools, and the log-in entry runs the shared net.
TEST_F(ScmTest, APerUserInstallationKeepsTheStateInTheUsersBase) {
  unsetenv("QUARLO_SYSTEM_DIR");
  const std::string install = m_tmp + "/usr/lib/quarlo";
  fs::create_directories(install + "/system");
  const std::string sc = install + "/system/sc", net = install + "/system/net";
  fs::copy_file(kSc, sc);
  fs::copy_file(kNet, net);
  std::ofstream(install + "/" + kPerUserBaseMark) << "# one base folder per user\n";
  const std::vector<std::string> env{"XDG_DATA_HOME=" + m_tmp + "/data"};
  UseSystemDir(m_tmp + "/data/quarlo/system");
  InstallFake("Svc");

  ProgramResult r = RunProgram({sc, "config", "Svc", "start=", "auto"}, env);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(Autostart("Svc").find("\nExec=\"" + net + "\" \"start\" \"Svc\"\nTryExec=" + net + "\n"),
            std::string::npos)
      << Autostart("Svc");
  r = RunProgram({net, "start", "Svc"}, env);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(RunProgram({sc, "query", "Svc"}, env).output.find("4  RUNNING"), std::string::npos);
  r = RunProgram({net, "stop", "Svc"}, env);
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::vector<std::string> beside;
  for (const auto& e : fs::directory_iterator(install + "/system")) beside.push_back(e.path().filename());
  std::sort(beside.begin(), beside.end());
  EXPECT_EQ(beside, (std::vector<std::string>{"net", "sc"}));
}

}  // namespace
