// taskkill against real processes: only this user's processes of this session and name end.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/run_command.h"
#include "tests/support/env_guard.h"
#include "tests/support/wait_for.h"

namespace {

pid_t Start(const std::string& program, const std::string& session) {
  const std::string env = "XDG_SESSION_ID=" + session;
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("30"), nullptr};
  char* envp[] = {const_cast<char*>(env.c_str()), nullptr};
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp), 0);
  return pid;
}

bool Ended(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid;
}

TEST(TaskKill, EndsOnlyThisSessionsProcessesOfThatName) {
  char tmpl[] = "/tmp/quarlo_taskkill_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  std::filesystem::copy_file("/bin/sleep", dir + "/Quarlo");
  std::filesystem::copy_file("/bin/sleep", dir + "/QuarloClient");
  const std::string session = "quarlo-test-" + std::to_string(getpid());
  const pid_t mine = Start(dir + "/Quarlo", session);
  const pid_t otherSession = Start(dir + "/Quarlo", session + "-other");
  const pid_t otherName = Start(dir + "/QuarloClient", session);
  // Every process must have exec'd before it can be told by name.
  ASSERT_TRUE(WaitFor([&] {
    for (pid_t p : {mine, otherSession, otherName}) {
      char buf[512];
      const ssize_t n = readlink(("/proc/" + std::to_string(p) + "/exe").c_str(), buf, sizeof buf);
      if (n <= 0 || std::string(buf, static_cast<size_t>(n)).find(dir) != 0) return false;
    }
    return true;
  }, std::chrono::seconds(10)));

  CEnvGuard guard("XDG_SESSION_ID");
  setenv("XDG_SESSION_ID", session.c_str(), 1);
  const std::string tool = std::string(QUARLO_BUILD_DIR) + "/platform/tools/taskkill";
  RunResult r = Plat_RunCapture({tool, "/IM", "quarlo.EXE", "/F"}, 20000);
  EXPECT_EQ(r.exitStatus, 0) << r.output;
  EXPECT_EQ(r.output, "SUCCESS: The process \"quarlo.EXE\" with PID " + std::to_string(mine) +
                          " has been terminated.\n");
  EXPECT_TRUE(WaitFor([&] { return Ended(mine); }, std::chrono::seconds(10)));
  EXPECT_FALSE(Ended(otherSession));
  EXPECT_FALSE(Ended(otherName));

  r = Plat_RunCapture({tool, "/IM", "Quarlo.exe", "/F"}, 20000);
  EXPECT_EQ(r.exitStatus, 128);
  EXPECT_EQ(r.output, "ERROR: The process \"Quarlo.exe\" not found.\n");
  EXPECT_EQ(Plat_RunCapture({tool, "/X"}, 20000).exitStatus, 1);

  for (pid_t p : {otherSession, otherName}) {
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
