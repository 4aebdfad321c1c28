#include "tests/support/central_process.h"

#include <crypt.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

std::string CentralProcess::Binary() {
  return std::string(QUARLO_BUILD_DIR) + "/central/QuarloCentral";
}

std::string PcPasswordOf(const std::string& password) {
  crypt_data data{};
  const char* out = crypt_r(password.c_str(), "$1$bramle$", &data);
  const std::string full = out ? out : "";
  return full.size() > 10 ? full.substr(10) : "";
}

bool MakeTestCertificate(const std::string& certPath, const std::string& keyPath) {
  return RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                     "-keyout", keyPath, "-out", certPath, "-days", "2", "-subj", "/CN=127.0.0.1",
                     "-addext", "subjectAltName=IP:127.0.0.1"})
             .exitCode == 0;
}

CentralProcess::CentralProcess() {
  char pattern[] = "/tmp/quarlo-central-XXXXXX";
  if (mkdtemp(pattern)) m_dir = pattern;
}

CentralProcess::~CentralProcess() {
  Stop();
  std::error_code ec;
  if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

bool CentralProcess::Start() {
  // A restart appends to the same log: only what this run writes names its ports.
  const size_t logStart = LogText().size();
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    std::vector<std::string> args{Binary(), "--data", m_dir, "--listen", m_host + ":0",
                                  "--p2p", m_host + ":0"};
    args.insert(args.end(), m_siteArgs.begin(), m_siteArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  m_pid = pid;
  const std::regex listening(R"(listening on [0-9.]+:(\d+))");
  int status = 0;
  WaitFor(
      [&] {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {  // refused to start: no use waiting
          m_pid = -1;
          return true;
        }
        std::smatch m;
        const std::string all = LogText();
        const std::string log = all.size() > logStart ? all.substr(logStart) : "";
        if (!std::regex_search(log, m, listening)) return false;
        m_port = static_cast<uint16_t>(std::stoi(m[1].str()));
        return true;
      },
      std::chrono::seconds(10), std::chrono::milliseconds(10));
  if (m_pid < 0) return false;
  const std::regex udp(R"(peer-to-peer UDP [0-9.]+:(\d+))");
  std::smatch u;
  const std::string all = LogText();
  const std::string log = all.size() > logStart ? all.substr(logStart) : "";
  if (std::regex_search(log, u, udp)) m_p2pPort = static_cast<uint16_t>(std::stoi(u[1].str()));
  if (!m_siteArgs.empty()) {
    // Logged before the central port: present once that is.
    const std::regex site(R"(site on (https?)://[0-9.]+:(\d+))");
    std::smatch s;
    if (!std::regex_search(log, s, site)) return false;
    m_siteUrl = s[1].str() + "://127.0.0.1:" + s[2].str();
  }
  return m_port != 0;
}

bool CentralProcess::StartWithSite(const std::string& tlsCert, const std::string& tlsKey) {
  m_siteArgs = {"--site", m_host + ":0"};
  if (!tlsCert.empty()) m_siteArgs.insert(m_siteArgs.end(), {"--tls-cert", tlsCert, "--tls-key", tlsKey});
  return Start();
}

bool CentralProcess::Stop() {
  if (m_pid <= 0) return false;
  kill(m_pid, SIGTERM);
  int status = 0;
  if (!WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, std::chrono::seconds(10))) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return false;
  }
  m_pid = -1;
  m_port = 0;
  m_siteUrl.clear();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string CentralProcess::LogText() const { return ReadFileText(m_dir + "/central.log"); }

std::vector<std::string> CentralProcess::Exchanges(uint16_t command) const {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "exchange 0x%04X ", command);
  std::vector<std::string> out;
  std::istringstream in(LogText());
  std::string line;
  while (std::getline(in, line)) {
    const size_t at = line.find(prefix);
    if (at != std::string::npos) out.push_back(line.substr(at));
  }
  return out;
}

ProgramResult CentralProcess::Admin(const std::vector<std::string>& args,
                                    const std::string& input) const {
  ProgramResult result;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    std::vector<std::string> argv{Binary(), "--data", m_dir};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(&a[0]);
    raw.push_back(nullptr);
    execv(raw[0], raw.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
  }
  close(in[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) result.output.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool CentralProcess::AddAccount(const std::string& email, const std::string& password) const {
  return Admin({"account", "add", email}, password + "\n").exitCode == 0;
}
