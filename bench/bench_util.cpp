#include "bench/bench_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tests/support/wait_for.h"

namespace bench {

namespace {

volatile sig_atomic_t g_stopSignal = 0;
void NoteStop(int sig) { g_stopSignal = sig; }

// Processes whose parent is this one: a subreaper inherits everything its run left behind.
std::vector<pid_t> Children() {
  std::vector<pid_t> out;
  DIR* proc = opendir("/proc");
  if (!proc) return out;
  const pid_t self = getpid();
  while (dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == self) out.push_back(pid);
  }
  closedir(proc);
  return out;
}

void Reap() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// Asks every leftover to stop (a service takes SIGTERM as a stop request), then forces them.
void EndLeftovers() {
  for (int round = 0; round < 20; ++round) {
    Reap();
    const std::vector<pid_t> left = Children();
    if (left.empty()) return;
    for (pid_t pid : left) kill(pid, round < 2 ? SIGTERM : SIGKILL);
    WaitFor([] {
      Reap();
      return Children().empty();
    }, std::chrono::seconds(round < 2 ? 10 : 2));
  }
}

void PrintUsage(FILE* to, const char* usage) { std::fputs(usage, to); }

}  // namespace

void StartRun(int argc, char** argv, const char* usage, int maxArgs) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage(stdout, usage);
      std::exit(0);
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-' || i > maxArgs) {
      std::fprintf(stderr, "%s: cannot take \"%s\"\n", argv[0], argv[i]);
      PrintUsage(stderr, usage);
      std::exit(2);
    }
  }
  // A peer that goes away fails a send instead of ending the run.
  signal(SIGPIPE, SIG_IGN);
  std::fflush(stdout);
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarlo-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "%s: cannot make a folder under %s\n", argv[0], tmp && *tmp ? tmp : "/tmp");
    std::exit(1);
  }
  const std::string own = pattern;
  // Where the run sees /tmp: its own folder in a mount namespace of its own, so that what the
  // fixtures make there goes with it; without the right to mount, the real /tmp.
  // A build under /tmp (a clone there) must stay visible to the run: then the real /tmp it is.
  std::error_code selfError;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe", selfError).string();
  const bool buildInTmp = self.rfind("/tmp/", 0) == 0;
  const bool bound = !buildInTmp && unshare(CLONE_NEWNS) == 0 &&
                     mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                     mount(own.c_str(), "/tmp", nullptr, MS_BIND, nullptr) == 0;
  const std::string seen = bound ? std::string("/tmp") : own;
  const std::string config = seen + "/config";
  mkdir(config.c_str(), 0700);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  // The fixtures' base folders too (a benchmark killed mid-run has no destructors run).
  setenv("TMPDIR", seen.c_str(), 1);
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  struct sigaction stop {};
  stop.sa_handler = NoteStop;
  sigemptyset(&stop.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &stop, nullptr);
  const pid_t run = fork();
  if (run < 0) std::exit(1);
  if (run == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
    return;  // the benchmark itself
  }
  int status = 0;
  bool forwarded = false;
  for (;;) {
    const pid_t r = waitpid(run, &status, 0);
    if (r == run) break;
    if (r < 0 && errno != EINTR) break;
    // A signal sent to this process alone (kill, a closed terminal) ends the run too.
    if (g_stopSignal && !forwarded) {
      kill(run, SIGTERM);
      forwarded = true;
    }
  }
  EndLeftovers();
  std::error_code ec;
  if (bound) umount2("/tmp", MNT_DETACH);
  std::filesystem::remove_all(own, ec);
  if (g_stopSignal) std::fprintf(stderr, "%s: stopped; what it started is ended and its folders removed\n", argv[0]);
  if (WIFEXITED(status)) std::exit(WEXITSTATUS(status));
  std::exit(g_stopSignal ? 128 + g_stopSignal : 1);
}

std::string LoadText() {
  std::ifstream in("/proc/loadavg");
  double one = 0, five = 0, fifteen = 0;
  if (!(in >> one >> five >> fifteen)) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.1f/%.1f/%.1f", one, five, fifteen);
  return text;
}

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

bool MakeFile(const std::string& path, uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<uint8_t> chunk(kMiB);
  uint64_t x = 88172645463325252ull;
  bool ok = true;
  for (uint64_t done = 0; ok && done < size; done += chunk.size()) {
    for (size_t i = 0; i + 8 <= chunk.size(); i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      std::memcpy(&chunk[i], &x, 8);
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - done));
    ok = write(fd, chunk.data(), n) == static_cast<ssize_t>(n);
  }
  return close(fd) == 0 && ok;
}

void WarmCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<char> buf(kMiB);
  while (read(fd, buf.data(), buf.size()) > 0) {
  }
  close(fd);
}

bool PortAnswers(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

Lighttpd::Lighttpd(const std::string& dir) : m_port(FreePort()) {
  const std::string conf = dir + "/lighttpd.conf";
  std::ofstream(conf) << "server.document-root = \"/\"\n"
                      << "server.port = " << m_port << "\n"
                      << "server.bind = \"127.0.0.1\"\n"
                      << "server.errorlog = \"" << dir << "/lighttpd.err\"\n"
                      << "server.max-keep-alive-requests = 0\n";
  m_pid = fork();
  if (m_pid == 0) {
    execl("/usr/sbin/lighttpd", "lighttpd", "-D", "-f", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; m_pid > 0 && i < 1000 && !m_up; ++i) {
    m_up = PortAnswers(m_port);
    if (!m_up) usleep(10000);
  }
}

Lighttpd::~Lighttpd() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);
  waitpid(m_pid, nullptr, 0);
}

bool Nginx::Installed() { return access("/usr/sbin/nginx", X_OK) == 0; }

Nginx::Nginx(const std::string& dir, bool keepAlive) : m_port(FreePort()) {
  const std::string prefix = dir + "/nginx";
  mkdir(prefix.c_str(), 0700);
  const std::string conf = prefix + "/nginx.conf";
  std::ofstream out(conf);
  // Run as root (the benchmarks may be), its workers keep the user, so they read what we read.
  if (geteuid() == 0) out << "user root;\n";
  out << "worker_processes auto;\n"
      << "pid " << prefix << "/nginx.pid;\n"
      << "error_log " << prefix << "/error.log;\n"
      << "events { worker_connections 1024; }\n"
      << "http {\n"
      << "  access_log off;\n"
      << "  sendfile on;\n"
      << (keepAlive ? "  keepalive_timeout 65;\n  keepalive_requests 100000;\n"
                    : "  keepalive_timeout 0;\n")
      << "  default_type application/octet-stream;\n"
      << "  client_body_temp_path " << prefix << "/body;\n"
      << "  proxy_temp_path " << prefix << "/proxy;\n"
      << "  fastcgi_temp_path " << prefix << "/fastcgi;\n"
      << "  uwsgi_temp_path " << prefix << "/uwsgi;\n"
      << "  scgi_temp_path " << prefix << "/scgi;\n"
      << "  server {\n"
      << "    listen 127.0.0.1:" << m_port << ";\n"
      << "    root /;\n"
      << "  }\n"
      << "}\n";
  out.close();
  m_pid = fork();
  if (m_pid == 0) {
    execl("/usr/sbin/nginx", "nginx", "-p", prefix.c_str(), "-c", conf.c_str(), "-g", "daemon off;",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; m_pid > 0 && i < 1000 && !m_up; ++i) {
    m_up = PortAnswers(m_port);
    if (!m_up) usleep(10000);
  }
}

Nginx::~Nginx() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);  // the master stops its workers
  waitpid(m_pid, nullptr, 0);
}

}  // namespace bench
