// A small service for the manager's tests. It runs the way a Windows service does (dispatcher,
// handler registration, START_PENDING with checkpoints, RUNNING, and on stop STOP_PENDING
// then STOPPED) and can misbehave on request.
//   fake_service -r <name> [--states=<file>] [--start-gate=<fifo>] [--fail-start]
//                [--crash-on-interrogate] [--ignore-stop] [--print=<bytes>]
// --states appends "pid <n>" once and then one "<STATE> <checkpoint>" line per report.
// --start-gate holds START_PENDING until a writer has opened and closed the FIFO.
// --print writes that many bytes of text to stdout once RUNNING.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/scm.h"

namespace {

constexpr uint32_t kFailStartExitCode = 1066;  // a service-specific error

struct Options {
  std::string name;
  std::string statesFile;
  std::string startGate;
  bool failStart = false;
  bool crashOnInterrogate = false;
  bool ignoreStop = false;
  std::string print;
};

Options g_options;
std::mutex* g_stopMutex = new std::mutex;
std::condition_variable* g_stopCv = new std::condition_variable;
bool g_stopSignalled = false;

void Record(const std::string& line) {
  if (g_options.statesFile.empty()) return;
  const int fd = open(g_options.statesFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + "\n";
  if (write(fd, text.data(), text.size()) < 0) std::perror("states file");
  close(fd);
}

void Report(uint32_t state, uint32_t checkpoint, uint32_t waitHint, uint32_t exitCode = 0) {
  Record(std::string(Scm_StateName(state)) + " " + std::to_string(checkpoint));
  Scm_SetServiceStatus(state, checkpoint, waitHint, exitCode);
}

uint32_t Handler(uint32_t control, uint32_t, void*, void*) {
  if (control == kControlInterrogate && g_options.crashOnInterrogate) {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);  // no core file for an intended crash
    std::abort();
  }
  if (control != kControlStop && control != kControlShutdown) return 0;
  if (g_options.ignoreStop) {
    Record("ignored stop");
    return 0;
  }
  Report(kStateStopPending, 0, 60000);
  {
    std::lock_guard<std::mutex> g(*g_stopMutex);
    g_stopSignalled = true;
  }
  g_stopCv->notify_all();
  Report(kStateStopPending, 1, 60000);
  Report(kStateStopped, 0, 0);
  return 0;
}

void PassStartGate() {
  const int fd = open(g_options.startGate.c_str(), O_RDONLY | O_CLOEXEC);  // waits for a writer
  if (fd < 0) return;
  char buf[64];
  while (read(fd, buf, sizeof(buf)) > 0) {
  }
  close(fd);
}

void ServiceMain(int, char**) {
  Record("pid " + std::to_string(getpid()));
  std::printf("fake service %d starting\n", static_cast<int>(getpid()));
  std::fflush(stdout);
  if (!Scm_RegisterServiceCtrlHandlerEx(g_options.name, Handler, nullptr)) return;
  Report(kStateStartPending, 0, 60000);
  if (!g_options.startGate.empty()) PassStartGate();
  if (g_options.failStart) {
    Report(kStateStopped, 0, 0, kFailStartExitCode);
    return;
  }
  Report(kStateStartPending, 1, 60000);
  Report(kStateStartPending, 2, 60000);
  Report(kStateRunning, 0, 0);
  if (!g_options.print.empty()) {
    const std::string line(99, 'p');
    for (long left = std::atol(g_options.print.c_str()); left > 0; left -= 100) {
      std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
    Record("printed");
  }
  std::unique_lock<std::mutex> g(*g_stopMutex);
  g_stopCv->wait(g, [] { return g_stopSignalled; });
}

bool Option(const std::string& arg, const char* key, std::string& value) {
  const std::string prefix = std::string(key) + "=";
  if (arg.compare(0, prefix.size(), prefix) != 0) return false;
  value = arg.substr(prefix.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 3 || std::string(argv[1]) != "-r") {
    std::fprintf(stderr, "usage: fake_service -r <name> [options]\n");
    return 64;
  }
  g_options.name = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (Option(arg, "--states", g_options.statesFile) ||
        Option(arg, "--start-gate", g_options.startGate) ||
        Option(arg, "--print", g_options.print)) {
      continue;
    }
    if (arg == "--fail-start") {
      g_options.failStart = true;
    } else if (arg == "--crash-on-interrogate") {
      g_options.crashOnInterrogate = true;
    } else if (arg == "--ignore-stop") {
      g_options.ignoreStop = true;
    } else {
      std::fprintf(stderr, "unknown option %s\n", arg.c_str());
      return 64;
    }
  }
  const int rc = Scm_StartServiceCtrlDispatcher(g_options.name, ServiceMain);
  if (rc != kScmOk) {
    std::printf("StartServiceCtrlDispatcher failed %d\n", rc);
    return 3;
  }
  std::printf("dispatcher returned\n");
  std::fflush(stdout);
  _exit(0);
}
