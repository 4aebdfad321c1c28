#include "tests/support/service_process.h"

#include <algorithm>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/wait_for.h"
#include "tests/support/text_files.h"

extern char** environ;

namespace {

void CopyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.close();
  chmod(to.c_str(), 0755);
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         std::chrono::milliseconds timeout) {
  ProgramResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool overridden = false;
    for (const std::string& x : env)
      if (entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0) overridden = true;
    if (!overridden) envStrings.push_back(entry);
  }
  for (const std::string& x : env) envStrings.push_back(x);

  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n <= 0) break;  // every writer closed its end
    result.output.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  // A started service keeps no copy of the pipe (the manager redirects it), so the program
  // itself has ended by now unless it hung.
  if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(5))) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return result;
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

ServiceProcess::ServiceProcess(std::string baseDir, std::string name)
    : m_base(std::move(baseDir)), m_name(std::move(name)) {
  mkdir((m_base + "/bin").c_str(), 0755);
  mkdir((m_base + "/system").c_str(), 0755);
  mkdir((m_base + "/log").c_str(), 0755);
}

ServiceProcess::~ServiceProcess() {
  if (!m_installed) return;
  if (Pid() > 0) NetStop();
  Uninstall();
}

std::vector<std::string> ServiceProcess::Env() const {
  // http_port=0: each service binds its own free HTTP port, never 15008 of the host. Later
  // items of the one QUARLO_TEST_SETTINGS override earlier ones.
  const std::string kSettings = "QUARLO_TEST_SETTINGS=";
  std::string settings = "http_port=0";
  if (!m_testSettings.empty()) settings += "," + m_testSettings;
  std::vector<std::string> env = {"QUARLO_NAMESPACE=" + m_base + "/system",
                                  "QUARLO_SYSTEM_DIR=" + m_base + "/system"};
  for (const std::string& extra : m_extraEnv) {
    if (extra.compare(0, kSettings.size(), kSettings) == 0) {
      settings += "," + extra.substr(kSettings.size());
      continue;
    }
    // An extra entry replaces a default of the same name.
    const std::string name = extra.substr(0, extra.find('=') + 1);
    env.erase(std::remove_if(env.begin(), env.end(),
                             [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; }),
              env.end());
    env.push_back(extra);
  }
  env.push_back(kSettings + settings);
  return env;
}

void ServiceProcess::CopyPrograms() {
  // Benchmarks measure another build's programs beside this one's when asked (before/after).
  const char* other = std::getenv("QUARLO_BENCH_SERVICE_BUILD");
  const std::string build = other != nullptr && *other != 0 ? other : QUARLO_BUILD_DIR;
  CopyFile(build + "/service/QuarloClient", m_base + "/bin/QuarloClient");
  CopyFile(build + "/platform/tools/sc", m_base + "/system/sc");
  CopyFile(build + "/platform/tools/net", m_base + "/system/net");
}

ProgramResult ServiceProcess::Client(const std::vector<std::string>& args) {
  std::vector<std::string> argv{m_base + "/bin/QuarloClient"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, Env());
}

ProgramResult ServiceProcess::Install() {
  ProgramResult r = Client({"-i", m_name});
  if (r.exitCode == 0) m_installed = true;
  return r;
}

ProgramResult ServiceProcess::Uninstall() {
  ProgramResult r = Client({"-u", m_name});
  if (r.exitCode == 0) m_installed = false;
  return r;
}

ProgramResult ServiceProcess::NetStart() {
  return RunProgram({m_base + "/system/net", "start", m_name}, Env());
}

ProgramResult ServiceProcess::NetStop() {
  return RunProgram({m_base + "/system/net", "stop", m_name}, Env());
}

ProgramResult ServiceProcess::Sc(const std::vector<std::string>& args) {
  std::vector<std::string> argv{m_base + "/system/sc"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, Env());
}

bool ServiceProcess::Start() {
  CopyPrograms();
  if (Install().exitCode != 0) return false;
  if (NetStart().exitCode != 0) return false;
  return WaitForPort() != 0;
}

uint16_t ServiceProcess::WaitForPort(std::chrono::milliseconds timeout) {
  uint16_t port = 0;
  const std::regex bind(R"(Bind port (\d+)\.)");
  WaitFor(
      [&] {
        const std::string log = LogText();
        std::smatch m;
        if (!std::regex_search(log, m, bind)) return false;
        port = static_cast<uint16_t>(std::stoi(m[1].str()));
        return true;
      },
      timeout, std::chrono::milliseconds(20));
  return port;
}

int ServiceProcess::Pid() {
  const ProgramResult r = Sc({"queryex", m_name});
  std::smatch m;
  static const std::regex pidLine(R"(PID\s*:\s*(\d+))");
  if (r.output.find("RUNNING") == std::string::npos &&
      r.output.find("PENDING") == std::string::npos)
    return 0;
  if (std::regex_search(r.output, m, pidLine)) return std::stoi(m[1].str());
  return 0;
}

std::string ServiceProcess::LogText() const {
  return ReadFileText(m_base + "/log/Log.txt");
}
