// A test that ctest kills at its time-out runs no destructor; the service it started must end
// all the same (tests/support/run_reaper.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

extern char** environ;

namespace {

constexpr char kReportEnv[] = "QUARLO_REAPER_REPORT";

// Alive and not a zombie waiting for its parent.
bool Alive(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  const std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Run only by the test below, as the test binary it kills: starts a service and hangs.
TEST(RunReaperChild, DISABLED_StartsAServiceAndHangs) {
  const char* report = std::getenv(kReportEnv);
  if (!report) GTEST_SKIP() << "run by RunReaper.ProgramsOfAKilledTestEnd";
  TempBase base;
  ServiceProcess svc(base.Dir());
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  {
    std::ofstream out(std::string(report) + ".tmp");
    out << svc.Pid() << " " << base.Dir() << "\n";
  }
  std::filesystem::rename(std::string(report) + ".tmp", report);
  for (;;) pause();
}

TEST(RunReaper, ProgramsOfAKilledTestEnd) {
  TempBase scratch;
  const std::string report = scratch.Dir() + "/report";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv(kReportEnv, report.c_str(), 1);
    execl("/proc/self/exe", "run_reaper_child", "--gtest_also_run_disabled_tests",
          "--gtest_filter=RunReaperChild.DISABLED_StartsAServiceAndHangs",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  const bool reported = WaitFor([&] { return !ReadFileText(report).empty(); },
                                std::chrono::seconds(60));
  // As ctest does at a time-out.
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(reported) << "the child test did not start its service";
  std::istringstream in(ReadFileText(report));
  pid_t service = 0;
  std::string childBase;
  in >> service >> childBase;
  ASSERT_GT(service, 0);
  EXPECT_TRUE(WaitFor([&] { return !Alive(service); }, std::chrono::seconds(30)))
      << "QuarloClient " << service << " outlived the test that started it";
  if (!Alive(service) && !childBase.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(childBase, ec);
  }
}

}  // namespace
