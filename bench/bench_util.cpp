#include "bench/bench_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

namespace bench {

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
