// qv_hostednetwork: its command-line parser, and the real program run against a stand-in
// nmcli (first in PATH) that records every argv and keeps a small NetworkManager state.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/hotspot.h"
#include "tests/support/env_guard.h"
#include "tests/support/service_process.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"
#include "tools/hostednetwork/hostednetwork.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

TEST(HostedNetworkParse, CommandLines) {
  const std::string name31(31, 'n');
  const std::string pass63(63, 'p');
  struct Case {
    const char* what;
    std::string line;
    int mode;  // kHostedNetworkNone: refused
    std::string name;
    std::string pass;
  };
  const std::vector<Case> cases = {
      {"unquoted", "/start Home secret123", kHostedNetworkStart, "Home", "secret123"},
      {"quoted name with blanks", "/start \"My Home\" secret123", kHostedNetworkStart, "My Home",
       "secret123"},
      {"passphrase with blanks", "/start Home pass word  two", kHostedNetworkStart, "Home",
       "pass word  two"},
      {"quoted, passphrase with blanks", "/start \"My Home\" a b c d e", kHostedNetworkStart,
       "My Home", "a b c d e"},
      {"quote inside a quoted name", "/start \"a\"b\" secret123", kHostedNetworkStart, "a\"b",
       "secret123"},
      {"name of 31 bytes", "/start " + name31 + " " + pass63, kHostedNetworkStart, name31,
       pass63},
      {"UTF-8 name", "/start \xe7\xbd\x91\xe7\xbb\x9c secret123", kHostedNetworkStart,
       "\xe7\xbd\x91\xe7\xbb\x9c", "secret123"},
      {"stop", "/stop", kHostedNetworkStop, "", ""},
      {"stop with a trailing blank", "/stop ", kHostedNetworkStop, "", ""},
      {"leading blank", " /start Home secret123", kHostedNetworkNone, "", ""},
      {"empty", "", kHostedNetworkNone, "", ""},
      {"start alone", "/start", kHostedNetworkNone, "", ""},
      {"start and a blank", "/start ", kHostedNetworkNone, "", ""},
      {"no separator after start", "/startX", kHostedNetworkNone, "", ""},
      {"glued to start", "/startHome secret123", kHostedNetworkNone, "", ""},
      {"no passphrase", "/start Home", kHostedNetworkNone, "", ""},
      {"lone quote", "/start \"", kHostedNetworkNone, "", ""},
      {"unclosed quote", "/start \"My Home secret123", kHostedNetworkNone, "", ""},
      {"quote not followed by a blank", "/start \"My Home\"secret123", kHostedNetworkNone, "",
       ""},
      {"empty quoted name", "/start \"\" secret123", kHostedNetworkNone, "", ""},
      {"empty unquoted name", "/start  secret123", kHostedNetworkNone, "", ""},
      {"name of 32 bytes", "/start " + name31 + "x secret123", kHostedNetworkNone, "", ""},
      {"control character in the name", "/start Ho\tme secret123", kHostedNetworkNone, "", ""},
      {"passphrase of 7", "/start Home 1234567", kHostedNetworkNone, "", ""},
      {"passphrase of 64", "/start Home " + pass63 + "p", kHostedNetworkNone, "", ""},
      {"passphrase not ASCII", "/start Home p\xc3\xa4ssword", kHostedNetworkNone, "", ""},
      {"stop glued", "/stopper", kHostedNetworkNone, "", ""},
      {"other command", "/query", kHostedNetworkNone, "", ""},
  };
  for (const Case& c : cases) {
    HostedNetworkRequest r;
    r.networkName = "left over";
    const bool ok = ParseHostedNetworkCommandLine(c.line, r);
    EXPECT_EQ(ok, c.mode != kHostedNetworkNone) << c.what;
    EXPECT_EQ(r.mode, c.mode) << c.what;
    EXPECT_EQ(r.networkName, c.name) << c.what;
    EXPECT_EQ(r.passphrase, c.pass) << c.what;
    EXPECT_EQ(r.error.empty(), ok) << c.what << ": " << r.error;
  }
}

// One run of the tool: its own folder, the tool copied into <dir>/bin, the stand-in nmcli in
// <dir>/fakebin (the only folder of PATH), its state in <dir>/nm.
class HotspotRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quarlo_hotspot_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    for (const char* sub : {"bin", "fakebin", "nm", "run", "nopath"})
      fs::create_directories(m_dir + "/" + sub);
    fs::copy_file(std::string(QUARLO_BUILD_DIR) + "/tools/hostednetwork/qv_hostednetwork",
                  Tool());
    fs::copy_file(std::string(QUARLO_SOURCE_DIR) + "/tests/tools/fake_nmcli.sh",
                  m_dir + "/fakebin/nmcli");
    chmod(Tool().c_str(), 0755);
    chmod((m_dir + "/fakebin/nmcli").c_str(), 0755);
  }
  void TearDown() override {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  std::string Tool() const { return m_dir + "/bin/qv_hostednetwork"; }
  std::string Nm(const std::string& file) const { return ReadFileText(m_dir + "/nm/" + file); }
  void SetProfiles(const std::string& lines) const {
    std::FILE* f = std::fopen((m_dir + "/nm/profiles").c_str(), "w");
    std::fputs(lines.c_str(), f);
    std::fclose(f);
  }
  std::vector<std::string> Env(std::vector<std::string> extra = {}) const {
    std::vector<std::string> env{"PATH=" + m_dir + "/fakebin", "FAKE_NM_DIR=" + m_dir + "/nm",
                                 "XDG_RUNTIME_DIR=" + m_dir + "/run"};
    for (const std::string& x : extra) {
      const std::string key = x.substr(0, x.find('=') + 1);
      bool replaced = false;
      for (std::string& e : env)
        if (e.compare(0, key.size(), key) == 0) e = x, replaced = true;
      if (!replaced) env.push_back(x);
    }
    return env;
  }
  ProgramResult Run(const std::vector<std::string>& args, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{Tool()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, Env(std::move(extra)), std::chrono::seconds(60));
  }

  // Starts the tool without waiting for it; its output goes to <dir>/out.
  void Spawn(const std::vector<std::string>& args) {
    std::vector<std::string> envStrings = Env();
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (entry.compare(0, 5, "PATH=") != 0 && entry.compare(0, 12, "FAKE_NM_DIR=") != 0 &&
          entry.compare(0, 16, "XDG_RUNTIME_DIR=") != 0)
        envStrings.push_back(entry);
    }
    const std::string out = m_dir + "/out";
    const std::string tool = Tool();
    m_pid = fork();
    ASSERT_GE(m_pid, 0);
    if (m_pid == 0) {
      std::FILE* f = std::freopen(out.c_str(), "w", stdout);
      if (f == nullptr || dup2(1, 2) < 0) _exit(127);
      std::vector<char*> argv{const_cast<char*>(tool.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      std::vector<char*> envp;
      for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
      envp.push_back(nullptr);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
  }
  // The exit status once the spawned tool has ended, -1 when it has not ended in time.
  int WaitExit() {
    int status = 0;
    if (!WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; },
                 std::chrono::seconds(60)))
      return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string m_dir;
  pid_t m_pid = -1;
};

TEST_F(HotspotRun, StartsWithThePassphraseOnlyInAPrivateFileAndStopsOnSignal) {
  const std::string pass = "pass word 99";
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    Spawn({"/start", "\"My Home\"", pass});
    ASSERT_TRUE(WaitFor([&] { return !Nm("active").empty(); }, std::chrono::seconds(60)))
        << ReadFileText(m_dir + "/out") << Nm("calls");
    EXPECT_EQ(Nm("secret-seen"), "802-11-wireless-security.psk:" + pass + "\n");
    EXPECT_EQ(Nm("secret-mode"), "600\n");
    const std::string profiles = Nm("profiles");
    EXPECT_EQ(CountOccurrences(profiles, "Quarlo Hotspot:"), 1u) << profiles;
    EXPECT_NE(Nm("active"), "");

    kill(m_pid, sig);
    EXPECT_EQ(WaitExit(), 0) << ReadFileText(m_dir + "/out");
    EXPECT_EQ(Nm("active"), "");
    EXPECT_EQ(Nm("profiles"), "");
    EXPECT_TRUE(fs::is_empty(m_dir + "/run")) << "the passphrase file must be gone";

    const std::string calls = Nm("calls");
    EXPECT_EQ(calls.find("pass word"), std::string::npos) << calls;
    EXPECT_NE(calls.find("802-11-wireless.ssid\x1fMy Home\x1f"), std::string::npos) << calls;
    EXPECT_NE(calls.find("802-11-wireless.mode\x1f" "ap\x1f"), std::string::npos) << calls;
    EXPECT_NE(calls.find("802-11-wireless-security.psk-flags\x1f" "2\x1f"), std::string::npos);
    EXPECT_NE(calls.find("ifname\x1fwlan0\x1f"), std::string::npos) << calls;
    EXPECT_NE(calls.find("passwd-file\x1f" + m_dir + "/run/"), std::string::npos) << calls;
    std::remove((m_dir + "/nm/calls").c_str());
  }
}

TEST_F(HotspotRun, StopRemovesOurProfilesOnly) {
  SetProfiles("Home Wi-Fi:11111111-1111-1111-1111-111111111111\n"
              "Quarlo Hotspot:22222222-2222-2222-2222-222222222222\n");
  // A start removes the stale profile of a killed run and keeps the user's.
  Spawn({"/start", "Cafe", "secret123"});
  ASSERT_TRUE(WaitFor([&] { return !Nm("active").empty(); }, std::chrono::seconds(60)))
      << ReadFileText(m_dir + "/out");
  std::string profiles = Nm("profiles");
  EXPECT_NE(profiles.find("Home Wi-Fi:1111"), std::string::npos) << profiles;
  EXPECT_EQ(profiles.find("2222"), std::string::npos) << profiles;
  EXPECT_EQ(CountOccurrences(profiles, "Quarlo Hotspot:"), 1u) << profiles;

  // "/stop" from a second process takes it down; the first one then has nothing left to do.
  const ProgramResult stop = Run({"/stop"});
  EXPECT_EQ(stop.exitCode, 0) << stop.output;
  EXPECT_EQ(Nm("profiles"), "Home Wi-Fi:11111111-1111-1111-1111-111111111111\n");
  EXPECT_EQ(Nm("active"), "");
  kill(m_pid, SIGTERM);
  EXPECT_EQ(WaitExit(), 0) << ReadFileText(m_dir + "/out");

  const ProgramResult again = Run({"/stop"});
  EXPECT_EQ(again.exitCode, 0) << "nothing to stop is not a failure: " << again.output;
}

TEST_F(HotspotRun, FailuresAreReportedAndExitAtOnce) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int exitCode;
    const char* says;
  };
  const std::string noNm = "PATH=" + m_dir + "/nopath";
  const std::vector<Case> cases = {
      {"no NetworkManager", {"/start", "Home", "secret123"}, {noNm}, kExitNotPossible,
       "NetworkManager is not installed"},
      {"stop without NetworkManager", {"/stop"}, {noNm}, kExitNotPossible,
       "NetworkManager is not installed"},
      {"NetworkManager stopped", {"/start", "Home", "secret123"}, {"FAKE_NM_RUNNING=no"},
       kExitNotPossible, "NetworkManager is not running"},
      {"no Wi-Fi adapter", {"/start", "Home", "secret123"},
       {"FAKE_NM_DEVICES=eth0:ethernet:connected\\nwlan0:wifi:unmanaged"}, kExitNotPossible,
       "no Wi-Fi adapter"},
      {"adapter without access-point mode", {"/start", "Home", "secret123"}, {"FAKE_NM_AP=no"},
       kExitNotPossible, "cannot act as an access point"},
      {"activation fails", {"/start", "Home", "secret123"}, {"FAKE_NM_UP_FAIL=1"}, kExitFailed,
       "IP configuration could not be reserved"},
      {"passphrase too short", {"/start", "Home", "short"}, {}, kExitUsage, "8 to 63"},
      {"unknown command", {"/begin"}, {}, kExitUsage, "unknown command"},
      {"no arguments", {}, {}, kExitUsage, "usage"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::remove((m_dir + "/nm/calls").c_str());
    const ProgramResult r = Run(c.args, c.env);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_EQ(Nm("profiles"), "") << "a failed start leaves no profile behind";
    EXPECT_TRUE(fs::is_empty(m_dir + "/run"));
    if (c.exitCode == kExitUsage) {
      EXPECT_EQ(Nm("calls"), "") << "refused before NetworkManager";
    }
  }
}

}  // namespace

namespace {

// The layer the desktop's hotspot dialog uses, in this process, over the same stand-in.
TEST_F(HotspotRun, QueryTellsWhatNetworkManagerHasUp) {
  CEnvGuard path("PATH"), nm("FAKE_NM_DIR"), run("XDG_RUNTIME_DIR"), devices("FAKE_NM_DEVICES");
  setenv("PATH", (m_dir + "/fakebin").c_str(), 1);
  setenv("FAKE_NM_DIR", (m_dir + "/nm").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (m_dir + "/run").c_str(), 1);
  HotspotQuery q = Plat_HotspotQuery();
  EXPECT_EQ(q.status, HotspotStatus::Ok) << q.error;
  EXPECT_EQ(q.device, "wlan0");
  EXPECT_TRUE(q.activeUuid.empty());
  EXPECT_FALSE(q.deviceBusy);

  std::string uuid, device, error;
  ASSERT_EQ(Plat_HotspotStart("quarlo", "pass12345678", uuid, device, error), HotspotStatus::Ok) << error;
  q = Plat_HotspotQuery();
  EXPECT_EQ(q.activeUuid, uuid);
  ASSERT_EQ(Plat_HotspotStop(uuid, error), HotspotStatus::Ok) << error;
  q = Plat_HotspotQuery();
  EXPECT_TRUE(q.activeUuid.empty());

  // The adapter on another network is busy; no Wi-Fi adapter, no NetworkManager.
  setenv("FAKE_NM_DEVICES", "wlan0:wifi:connected\\neth0:ethernet:connected", 1);
  EXPECT_TRUE(Plat_HotspotQuery().deviceBusy);
  setenv("FAKE_NM_DEVICES", "eth0:ethernet:connected", 1);
  EXPECT_EQ(Plat_HotspotQuery().status, HotspotStatus::NoWifiAdapter);
  setenv("PATH", (m_dir + "/nopath").c_str(), 1);
  EXPECT_EQ(Plat_HotspotQuery().status, HotspotStatus::NoNetworkManager);
}

}  // namespace
