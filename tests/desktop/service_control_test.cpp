// Service control against the real service, sc and net in a temporary base folder.
#include "desktop/foundation/service_control.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/foundation/sys_utils.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"

namespace {

// The main window as the service control sees it; the user's answers are scripted.
struct FakeHost : IServiceControlHost {
  std::vector<int> answers;
  std::vector<std::wstring> shown;
  int hidden = 0, timersStopped = 0, ended = 0;
  bool quitting = false;
  std::recursive_mutex lock;
  std::function<void()> duringQuestion;
  ILanguages* Languages() override { return nullptr; }
  int ShowMessage(const std::wstring& text, int type) override {
    shown.push_back(text + L"/" + std::to_wstring(type));
    if (duringQuestion) duringQuestion();
    if (answers.empty()) return 2;
    const int a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
  void HideMainWindow() override { ++hidden; }
  void StopTimers() override { ++timersStopped; }
  std::recursive_mutex& QuitLock() override { return lock; }
  bool IsQuitting() override { return quitting; }
  void EndAllInstances() override { ++ended; }
};

class ServiceControlTest : public ::testing::Test {
 protected:
  ServiceControlTest()
      : m_ns("QUARLO_NAMESPACE"), m_sys("QUARLO_SYSTEM_DIR"), m_http("QUARLO_HTTP_PORT"),
        svc(base.Dir()) {
    svc.CopyPrograms();
    for (const std::string& e : svc.Env()) {
      const size_t eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    SetModuleDirOverride(base.BinDir());
    Scm_SetSystemDir(base.Dir() + "/system");
  }
  ~ServiceControlTest() override {
    svc.NetStop();
    svc.Uninstall();
    Scm_SetSystemDir("");
  }
  std::string Qc() { return svc.Sc({"qc", "Quarlo"}).output; }
  std::string Query() { return svc.Sc({"query", "Quarlo"}).output; }

  DesktopFolders folders;  // its own program folder is replaced by the base's bin below
  CEnvGuard m_ns, m_sys, m_http;
  TempBase base;
  ServiceProcess svc;
  FakeHost host;
};

TEST_F(ServiceControlTest, InstallsStartsWatchesAndStops) {
  ASSERT_TRUE(EnsureServiceRunning(host)) << Query() << svc.LogText();
  EXPECT_TRUE(host.shown.empty());
  const std::string qc = Qc();
  EXPECT_NE(qc.find("AUTO_START"), std::string::npos) << qc;
  EXPECT_NE(qc.find("\"" + base.BinDir() + "/QuarloClient\" \"-r\" \"Quarlo\""), std::string::npos) << qc;
  ScmConfig config;
  ASSERT_EQ(Scm_QueryConfig("Quarlo", config), kScmOk);
  EXPECT_EQ(config.description, "Provides Quarlo data transmitting supports.");
  ASSERT_TRUE(EnsureServiceRunning(host));  // already running: nothing to do

  CheckServiceAlive(host);  // running: no question
  EXPECT_TRUE(host.shown.empty());

  ASSERT_EQ(svc.NetStop().exitCode, 0);
  host.answers = {1};  // "start it again?" - yes
  // A tick arriving while the question is open asks nothing more.
  host.duringQuestion = [this] {
    EXPECT_TRUE(CrashQuestionOpen());
    CheckServiceAlive(host);
  };
  CheckServiceAlive(host);
  host.duringQuestion = nullptr;
  EXPECT_EQ(host.shown.size(), 1u);
  EXPECT_FALSE(CrashQuestionOpen());
  EXPECT_NE(Query().find("RUNNING"), std::string::npos);
  EXPECT_EQ(host.ended, 0);

  StopServiceOnExit(host);
  EXPECT_NE(Query().find("STOPPED"), std::string::npos);

  host.quitting = true;  // a quitting window gets no question
  CheckServiceAlive(host);
  EXPECT_EQ(host.shown.size(), 1u);
  host.quitting = false;
  host.answers = {2};  // no: the program ends, the service stays stopped
  CheckServiceAlive(host);
  EXPECT_EQ(host.timersStopped, 1);
  EXPECT_EQ(host.ended, 1);
  EXPECT_NE(Query().find("STOPPED"), std::string::npos);
}

TEST_F(ServiceControlTest, AutoStartChangesOnlyTheStartTypeAndTheRunValue) {
  ASSERT_TRUE(EnsureServiceRunning(host));
  const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  const std::string entry = folders.Config() + "/autostart/Quarlo.desktop";
  std::string value;

  ApplyAutoStart(host, false, true);
  EXPECT_NE(Qc().find("DEMAND_START"), std::string::npos);
  EXPECT_NE(Qc().find("\"" + base.BinDir() + "/QuarloClient\" \"-r\" \"Quarlo\""), std::string::npos);
  EXPECT_EQ(Reg_GetString(RegRoot::CurrentUser, run, "Quarlo", value), kRegNotFound);

  ApplyAutoStart(host, true, true);
  EXPECT_NE(Qc().find("AUTO_START"), std::string::npos);
  ASSERT_EQ(Reg_GetString(RegRoot::CurrentUser, run, "Quarlo", value), kRegOk);
  EXPECT_EQ(value, "\"" + base.BinDir() + "/Quarlo\"");
  EXPECT_TRUE(std::filesystem::exists(entry));

  // Nothing asked to change: the Run value follows the service's start type, not the box.
  ApplyAutoStart(host, false, false);
  EXPECT_EQ(Reg_GetString(RegRoot::CurrentUser, run, "Quarlo", value), kRegOk);
  EXPECT_TRUE(IsServiceAutoStart());
}

TEST_F(ServiceControlTest, AServiceThatCannotStartIsReported) {
  std::filesystem::remove(base.BinDir() + "/QuarloClient");
  EXPECT_FALSE(EnsureServiceRunning(host));
  EXPECT_EQ(host.hidden, 1);
  EXPECT_EQ(host.timersStopped, 1);
  ASSERT_EQ(host.shown.size(), 1u);
  EXPECT_EQ(host.shown[0], L"/0");  // no language service here: the text is empty
}

}  // namespace
