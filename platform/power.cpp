#include "platform/power.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

extern char** environ;

namespace {
constexpr auto kWait = std::chrono::seconds(60);
constexpr auto kPoll = std::chrono::milliseconds(20);
}  // namespace

std::vector<std::string> Plat_PowerOffCommand() {
  const char* custom = std::getenv("QUARLO_POWEROFF_CMD");
  if (!custom || !*custom) return {"systemctl", "poweroff"};
  std::vector<std::string> argv;
  std::istringstream words(custom);
  std::string word;
  while (words >> word) argv.push_back(word);
  return argv;
}

int Plat_PowerOff() {
  const std::vector<std::string> args = Plat_PowerOffCommand();
  if (args.empty()) return -1;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  // A bounded wait: a command that hangs is counted as a failure and ended.
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(kPoll);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}
