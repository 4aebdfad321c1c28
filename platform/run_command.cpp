#include "platform/run_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace {

std::vector<char*> ArgvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  out.reserve(argv.size() + 1);
  for (const std::string& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

int StatusOf(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

// Spawns with stdin from /dev/null and stdout/stderr to outFd (or inherited when -1).
int Spawn(const std::vector<std::string>& argv, int outFd, int closeFd, pid_t& pid) {
  if (argv.empty() || argv[0].empty()) return EINVAL;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outFd, 2);
    posix_spawn_file_actions_addclose(&actions, outFd);
  }
  if (closeFd >= 0) posix_spawn_file_actions_addclose(&actions, closeFd);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal dispositions and an empty mask, whatever ours are.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args = ArgvPointers(argv);
  const int rc = argv[0].find('/') == std::string::npos
                     ? posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
                     : posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

}  // namespace

RunResult Plat_RunCapture(const std::vector<std::string>& argv, int timeoutMs) {
  RunResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  pid_t pid = -1;
  const int rc = Spawn(argv, fds[1], fds[0], pid);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    result.error = rc;
    return result;
  }
  result.started = true;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // Once the command itself has ended, output still arriving is taken until the pipe has
  // been quiet this long: a daemon it left behind may hold the pipe for ever.
  const auto quietAfterExit = std::chrono::milliseconds(100);
  bool exited = false;
  auto lastData = Clock::now();
  int wstatus = 0;
  char buf[4096];
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) {
      result.timedOut = !exited;
      break;
    }
    if (exited && now - lastData >= quietAfterExit) break;
    pollfd p{fds[0], POLLIN, 0};
    const int n = poll(&p, 1, 20);
    if (n < 0 && errno != EINTR) break;
    if (n > 0) {
      const ssize_t got = read(fds[0], buf, sizeof buf);
      if (got < 0 && errno != EINTR && errno != EAGAIN) break;
      if (got == 0) break;  // every writer is gone
      if (got > 0) {
        result.output.append(buf, static_cast<size_t>(got));
        lastData = Clock::now();
      }
    }
    if (!exited && waitpid(pid, &wstatus, WNOHANG) == pid) {
      exited = true;
      result.exitStatus = StatusOf(wstatus);
      lastData = Clock::now();
    }
  }
  close(fds[0]);
  // The pipe closed (or time ran out): wait for the command up to the deadline, then kill it.
  while (!exited) {
    const pid_t w = waitpid(pid, &wstatus, WNOHANG);
    if (w == pid) {
      exited = true;
      result.exitStatus = StatusOf(wstatus);
    } else if (w < 0 && errno != EINTR) {
      break;
    } else if (result.timedOut || Clock::now() >= deadline) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
      }
      result.exitStatus = StatusOf(wstatus);
      exited = true;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return result;
}

int Plat_RunDetached(const std::vector<std::string>& argv) {
  pid_t pid = -1;
  const int rc = Spawn(argv, -1, -1, pid);
  if (rc != 0) return rc;
  std::thread([pid] {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return 0;
}

bool Plat_IsElevated() { return geteuid() == 0; }

int Plat_RunElevated(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<std::string> full;
  if (!Plat_IsElevated()) {
    const char* helper = std::getenv("QUARLO_ELEVATE_CMD");
    full.push_back(helper && *helper ? helper : "pkexec");
  }
  full.insert(full.end(), argv.begin(), argv.end());
  pid_t pid = -1;
  if (Spawn(full, -1, -1, pid) != 0) return -1;
  int wstatus = 0;
  for (;;) {
    if (waitpid(pid, &wstatus, 0) == pid) return StatusOf(wstatus);
    if (errno != EINTR) return -1;
  }
}
