// A benchmark stopped half-way leaves nothing: Ctrl-C ends the services and servers it started,
// and its folders and the services' autostart entries go with it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace {

namespace fs = std::filesystem;

// Every process below root (children, their children, ...), by its parent link in /proc.
std::vector<pid_t> Descendants(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> links;  // pid, parent
  for (const auto& e : fs::directory_iterator("/proc")) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e.path().filename().c_str()));
    if (pid <= 0) continue;
    std::ifstream stat(e.path() / "stat");
    std::string text;
    std::getline(stat, text);
    const size_t close = text.rfind(')');
    char state = 0;
    int ppid = 0;
    if (close != std::string::npos && std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
        state != 'Z')
      links.emplace_back(pid, ppid);
  }
  std::vector<pid_t> out{root};
  for (size_t i = 0; i < out.size(); ++i)
    for (const auto& [pid, ppid] : links)
      if (ppid == out[i]) out.push_back(pid);
  out.erase(out.begin());
  return out;
}

bool AnyNamed(const std::vector<pid_t>& pids, const std::string& name) {
  for (pid_t pid : pids) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string text;
    std::getline(comm, text);
    if (text == name) return true;
  }
  return false;
}

TEST(Bench, CtrlCEndsWhatTheRunStarted) {
  if (geteuid() != 0) GTEST_SKIP() << "the relay benchmark needs root (a network namespace of its own)";
  TempBase dir;
  const std::string tmp = dir.MakeDir("tmp"), config = dir.MakeDir("config");
  const pid_t bench = fork();
  if (bench == 0) {
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    freopen("/dev/null", "w", stdout);
    execl(QUARLO_BUILD_DIR "/bench/relay_bench", "relay_bench", "4096", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Stopped once its service and central server run.
  std::vector<pid_t> running;
  int status = 0;
  bool endedEarly = false;
  const bool started = WaitFor([&] {
    endedEarly = waitpid(bench, &status, WNOHANG) == bench;
    running = Descendants(bench);
    return endedEarly || (AnyNamed(running, "QuarloClient") && AnyNamed(running, "QuarloCentral"));
  }, std::chrono::seconds(120));
  ASSERT_FALSE(endedEarly) << "the benchmark ended before its service and central server ran (status "
                           << status << "): its set-up failed";
  EXPECT_TRUE(started);
  kill(bench, SIGINT);
  const bool ended = WaitFor([&] { return waitpid(bench, &status, WNOHANG) == bench; }, std::chrono::seconds(90));
  if (!ended) {
    kill(bench, SIGKILL);
    waitpid(bench, &status, 0);
  }
  ASSERT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  std::vector<std::string> left;
  for (const auto& e : fs::recursive_directory_iterator(tmp)) left.push_back(e.path().string());
  for (const auto& e : fs::recursive_directory_iterator(config)) left.push_back(e.path().string());
  EXPECT_TRUE(left.empty()) << left.front();
  // None of what ran under it lives on.
  for (pid_t pid : running) {
    const bool gone = WaitFor([&] { return kill(pid, 0) != 0; }, std::chrono::seconds(10));
    EXPECT_TRUE(gone) << "process " << pid << " outlived the benchmark";
  }
}

}  // namespace
