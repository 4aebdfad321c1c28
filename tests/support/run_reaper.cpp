// Every program a test starts ends with the test, on every way out: a failed assertion, a
// crash, or ctest killing the test at its time-out (no destructor runs then). Before main, each
// test binary marks its environment with a text of its own, which every program it starts
// inherits (the service manager passes it on to the service), and leaves behind a watcher
// process outside its own process tree. When the test's end closes the pipe to the watcher,
// the watcher kills whatever still carries the mark: services, their children, central
// servers, routers. Nothing of another test, another run or another worktree carries it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Pulled into every test binary by a link option of test_support.
extern "C" {
int quarlo_test_reaper_anchor = 0;
}

namespace {

constexpr char kMarkName[] = "QUARLO_TEST_REAPER";

std::vector<pid_t> MarkedProcesses(const std::string& entry) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* d = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(d->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == getpid()) continue;
    std::ifstream in("/proc/" + std::string(d->d_name) + "/environ", std::ios::binary);
    const std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    while (start < env.size()) {
      size_t stop = env.find('\0', start);
      if (stop == std::string::npos) stop = env.size();
      if (env.compare(start, stop - start, entry) == 0) {
        found.push_back(static_cast<pid_t>(pid));
        break;
      }
      start = stop + 1;
    }
  }
  closedir(proc);
  return found;
}

[[noreturn]] void Watch(int readEnd, const std::string& entry) {
  char byte;
  while (read(readEnd, &byte, 1) != 0) {
    // Nothing is ever written: EOF (or an error other than EINTR) means the test ended.
    if (errno != EINTR) break;
  }
  // A few rounds: a program being killed may have started another meanwhile.
  for (int round = 0; round < 20; ++round) {
    const std::vector<pid_t> left = MarkedProcesses(entry);
    if (left.empty()) break;
    for (pid_t pid : left) kill(pid, SIGKILL);
    timespec pause{0, 50 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  _exit(0);
}

struct CRunReaper {
  CRunReaper() {
    int fds[2];
    if (pipe(fds) != 0) return;
    char mark[64];
    std::snprintf(mark, sizeof mark, "%ld.%ld", static_cast<long>(getpid()),
                  static_cast<long>(std::time(nullptr)));
    const std::string entry = std::string(kMarkName) + "=" + mark;
    const pid_t child = fork();
    if (child < 0) {
      close(fds[0]);
      close(fds[1]);
      return;
    }
    if (child == 0) {
      // Out of the test's session and process tree, so that ctest's kill of the test's tree
      // leaves the watcher to do its work.
      setsid();
      if (fork() != 0) _exit(0);
      close(fds[1]);
      for (int fd = 0; fd < 1024; ++fd)
        if (fd != fds[0]) close(fd);
      Watch(fds[0], entry);
    }
    waitpid(child, nullptr, 0);
    close(fds[0]);
    // The write end stays open for the test's life; programs it starts do not inherit it.
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    setenv(kMarkName, mark, 1);
  }
};

CRunReaper g_runReaper;

}  // namespace
