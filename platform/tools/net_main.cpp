// net: starts and stops services of the emulated manager and, unlike sc, waits until the
// service reports RUNNING or STOPPED (bounded). Messages follow the Windows tool; every
// failure exits with 2.
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/scm.h"

namespace {

constexpr int kExitFailed = 2;
constexpr int kExitSyntax = 1;
constexpr auto kWaitLimit = std::chrono::seconds(30);
constexpr auto kPollPeriod = std::chrono::milliseconds(100);

const char kSyntax[] = "The syntax of this command is:\n\nNET\n    [ START | STOP ] service\n";

int Usage() {
  std::fputs(kSyntax, stderr);
  return kExitSyntax;
}

int SystemError(int error) {
  std::fprintf(stderr, "System error %d has occurred.\n\n%s\n\n", error, Scm_ErrorText(error));
  return kExitFailed;
}

int InvalidName() {
  std::fprintf(stderr,
               "The service name is invalid.\n\nMore help is available by typing NET HELPMSG "
               "2185.\n\n");
  return kExitFailed;
}

int NotResponding() {
  std::fprintf(stderr,
               "The service is not responding to the control function.\n\nMore help is "
               "available by typing NET HELPMSG 2186.\n\n");
  return kExitFailed;
}

constexpr size_t kReasonBytes = 4096;  // the end of what the service printed, when it printed much

// What the service printed while it failed to start, as whole lines, with control characters
// shown as "?" (the text goes to a terminal); empty when it printed nothing.
std::string StartReason(const std::string& name, const ScmOutputMark& mark) {
  std::string text = Scm_OutputSince(name, mark, kReasonBytes);
  if (text.size() >= kReasonBytes) {
    const size_t line = text.find('\n');
    text.erase(0, line == std::string::npos ? 0 : line + 1);
  }
  for (char& c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n' && c != '\t') || u == 0x7f) c = '?';
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  size_t start = 0;
  while (start < text.size() && text[start] == '\n') ++start;
  return text.substr(start);
}

void PrintReason(const std::string& reason) {
  if (!reason.empty()) std::fprintf(stderr, "The service reported:\n%s\n\n", reason.c_str());
}

// Polls the status until it reaches the wanted state, STOPPED, removal, or the limit.
// Returns the query's result; status holds the last state seen.
int WaitForState(const std::string& name, uint32_t wanted, ScmStatus& status, bool& timedOut) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  timedOut = false;
  for (;;) {
    const int rc = Scm_QueryStatus(name, status);
    if (rc != kScmOk) return rc;
    if (status.state == wanted || status.state == kStateStopped) return kScmOk;
    if (std::chrono::steady_clock::now() >= deadline) {
      timedOut = true;
      return kScmOk;
    }
    std::this_thread::sleep_for(kPollPeriod);
  }
}

int Start(const std::string& name) {
  // Taken before the start: only what this start printed is its reason.
  const ScmOutputMark mark = Scm_OutputMark(name);
  const int rc = Scm_StartService(name);
  if (rc == kScmErrServiceNotInstalled || rc == kScmErrInvalidName) return InvalidName();
  if (rc == kScmErrAlreadyRunning) {
    std::fprintf(stderr,
                 "The requested service has already been started.\n\nMore help is available by "
                 "typing NET HELPMSG 2182.\n\n");
    return kExitFailed;
  }
  if (rc != kScmOk) return SystemError(rc);

  ScmStatus status;
  bool timedOut = false;
  const int q = WaitForState(name, kStateRunning, status, timedOut);
  if (q == kScmOk && !timedOut && status.state == kStateRunning) {
    std::printf("The %s service was started successfully.\n\n", name.c_str());
    return 0;
  }
  if (timedOut) return NotResponding();
  std::fprintf(stderr, "The %s service could not be started.\n\n", name.c_str());
  if (q != kScmOk) return SystemError(q);
  const std::string reason = StartReason(name, mark);
  if (status.exitCode != 0) {
    std::fprintf(stderr, "A system error has occurred.\n\n");
    PrintReason(reason);
    return SystemError(static_cast<int>(status.exitCode));
  }
  // Our services report no error number but print why they stopped: that is the message.
  if (reason.empty()) {
    std::fprintf(stderr, "The service did not report an error.\n\n");
  } else {
    PrintReason(reason);
  }
  std::fprintf(stderr, "More help is available by typing NET HELPMSG 3534.\n\n");
  return kExitFailed;
}

int Stop(const std::string& name) {
  ScmStatus status;
  const int rc = Scm_ControlService(name, kControlStop, status);
  if (rc == kScmErrServiceNotInstalled || rc == kScmErrInvalidName) return InvalidName();
  if (rc == kScmErrNotActive) {
    std::fprintf(stderr,
                 "The %s service is not started.\n\nMore help is available by typing NET HELPMSG "
                 "3521.\n\n",
                 name.c_str());
    return kExitFailed;
  }
  if (rc == kScmErrCannotAcceptCtrl) {
    std::fprintf(stderr,
                 "The service could not be controlled in its present state.\n\nMore help is "
                 "available by typing NET HELPMSG 2189.\n\n");
    return kExitFailed;
  }
  if (rc == kScmErrTimeout) return NotResponding();
  if (rc != kScmOk) return SystemError(rc);

  bool timedOut = false;
  const int q = WaitForState(name, kStateStopped, status, timedOut);
  // A service deleted while it ran is removed once it stopped.
  if (q == kScmErrServiceNotInstalled || (q == kScmOk && status.state == kStateStopped)) {
    std::printf("The %s service was stopped successfully.\n\n", name.c_str());
    return 0;
  }
  std::fprintf(stderr, "The %s service could not be stopped.\n\n", name.c_str());
  if (q != kScmOk) return SystemError(q);
  return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h" ||
                    std::string(argv[1]) == "/?")) {
    std::fputs(kSyntax, stdout);
    return 0;
  }
  if (argc != 3) return Usage();
  const std::string command = argv[1];
  const std::string name = argv[2];
  auto is = [&](const char* word) {
    if (command.size() != std::char_traits<char>::length(word)) return false;
    for (size_t i = 0; i < command.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(command[i])) != word[i]) return false;
    }
    return true;
  };
  if (is("start")) return Start(name);
  if (is("stop")) return Stop(name);
  return Usage();
}
