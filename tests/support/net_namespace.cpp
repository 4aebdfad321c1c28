#include "tests/support/net_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/service_process.h"
#include "tests/support/wait_for.h"

namespace {

bool Run(const std::vector<std::string>& argv, std::string* output = nullptr) {
  const ProgramResult r = RunProgram(argv, {}, std::chrono::seconds(20));
  if (output) *output = r.output;
  return r.exitCode == 0;
}

bool RunAll(const std::vector<std::vector<std::string>>& commands, std::string& why) {
  for (const auto& c : commands) {
    std::string out;
    if (!Run(c, &out)) {
      why = c[0];
      for (size_t i = 1; i < c.size(); ++i) why += " " + c[i];
      why += ": " + out;
      return false;
    }
  }
  return true;
}

std::string UniqueSuffix() {
  static std::atomic<int> counter{0};
  return std::to_string(getpid()) + "x" + std::to_string(counter++);
}

}  // namespace

bool EnterPrivateNetwork(std::string& why) {
  if (unshare(CLONE_NEWNET) != 0) {
    why = "network namespaces are not allowed here (unshare: " + std::string(strerror(errno)) + ")";
    return false;
  }
  return RunAll({{"/usr/sbin/ip", "link", "set", "lo", "up"},
                 {"/usr/sbin/ip", "link", "add", "qv0", "type", "veth", "peer", "name", "qv1"},
                 {"/usr/sbin/ip", "addr", "add", "10.66.0.2/24", "dev", "qv0"},
                 {"/usr/sbin/ip", "addr", "add", "10.66.0.3/24", "dev", "qv1"},
                 {"/usr/sbin/ip", "link", "set", "qv0", "up"},
                 {"/usr/sbin/ip", "link", "set", "qv1", "up"}},
                why);
}

bool EnterNetworkWithDownFirstAdapter(std::string& why) {
  if (unshare(CLONE_NEWNET) != 0) {
    why = "network namespaces are not allowed here (unshare: " + std::string(strerror(errno)) + ")";
    return false;
  }
  return RunAll({{"/usr/sbin/ip", "link", "set", "lo", "up"},
                 {"/usr/sbin/ip", "link", "add", "ifb0", "type", "ifb"},
                 {"/usr/sbin/ip", "addr", "add", "10.55.0.2/24", "dev", "ifb0"},
                 {"/usr/sbin/ip", "link", "add", "qv0", "type", "veth", "peer", "name", "qv1"},
                 {"/usr/sbin/ip", "addr", "add", "10.66.0.2/24", "dev", "qv0"},
                 {"/usr/sbin/ip", "addr", "add", "10.66.0.3/24", "dev", "qv1"},
                 {"/usr/sbin/ip", "link", "set", "qv0", "up"},
                 {"/usr/sbin/ip", "link", "set", "qv1", "up"},
                 {"/usr/sbin/ip", "route", "add", "default", "via", "10.66.0.1", "dev", "qv0"}},
                why);
}

NamespaceRouter::~NamespaceRouter() {
  if (m_daemon > 0) {
    kill(m_daemon, SIGTERM);
    int status = 0;
    if (!WaitFor([&] { return waitpid(m_daemon, &status, WNOHANG) == m_daemon; },
                 std::chrono::seconds(5))) {
      kill(m_daemon, SIGKILL);
      waitpid(m_daemon, &status, 0);
    }
  }
  if (!m_router.empty()) Run({"/usr/sbin/ip", "netns", "del", m_router});
  if (!m_client.empty()) Run({"/usr/sbin/ip", "netns", "del", m_client});
  std::error_code ec;
  if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

bool NamespaceRouter::Start(std::string& why) {
  if (access("/usr/sbin/miniupnpd", X_OK) != 0 || access("/usr/bin/upnpc", X_OK) != 0 ||
      access("/usr/sbin/nft", X_OK) != 0) {
    why = "miniupnpd, upnpc or nft is not installed (scripts/deps.sh installs them)";
    return false;
  }
  const std::string s = UniqueSuffix();
  if (!Run({"/usr/sbin/ip", "netns", "add", "qr" + s}, &why)) {
    why = "network namespaces are not allowed here: " + why;
    return false;
  }
  m_router = "qr" + s;
  if (!Run({"/usr/sbin/ip", "netns", "add", "qc" + s}, &why)) return false;
  m_client = "qc" + s;
  const std::string lan = "ql" + s, lanPeer = "qm" + s;
  const std::vector<std::string> inR{"/usr/sbin/ip", "netns", "exec", m_router};
  const std::vector<std::string> inC{"/usr/sbin/ip", "netns", "exec", m_client};
  auto R = [&](std::vector<std::string> args) {
    std::vector<std::string> v = inR;
    v.insert(v.end(), args.begin(), args.end());
    return v;
  };
  auto C = [&](std::vector<std::string> args) {
    std::vector<std::string> v = inC;
    v.insert(v.end(), args.begin(), args.end());
    return v;
  };
  // The WAN address must look public, or miniupnpd refuses to forward; nothing leaves the
  // router's namespace.
  if (m_downFirst &&
      !RunAll({C({"ip", "link", "add", "ifb0", "type", "ifb"}),
               C({"ip", "addr", "add", "10.55.0.2/24", "dev", "ifb0"})},
              why))
    return false;
  if (!RunAll({R({"ip", "link", "set", "lo", "up"}), C({"ip", "link", "set", "lo", "up"}),
               {"/usr/sbin/ip", "link", "add", lan, "netns", m_client, "type", "veth", "peer",
                "name", lanPeer, "netns", m_router},
               C({"ip", "addr", "add", "10.77.0.100/24", "dev", lan}),
               C({"ip", "link", "set", lan, "up"}),
               C({"ip", "route", "add", "default", "via", "10.77.0.1"}),
               R({"ip", "addr", "add", "10.77.0.1/24", "dev", lanPeer}),
               R({"ip", "link", "set", lanPeer, "up"}),
               R({"ip", "link", "add", "wan0", "type", "veth", "peer", "name", "wan1"}),
               R({"ip", "addr", "add", "11.22.33.44/24", "dev", "wan0"}),
               R({"ip", "link", "set", "wan0", "up"}), R({"ip", "link", "set", "wan1", "up"}),
               R({"nft", "add", "table", "inet", "filter"}),
               R({"nft", "add", "chain", "inet", "filter", "forward",
                  "{ type filter hook forward priority 0; policy accept; }"}),
               R({"nft", "add", "chain", "inet", "filter", "miniupnpd"}),
               R({"nft", "add", "chain", "inet", "filter", "prerouting_miniupnpd",
                  "{ type nat hook prerouting priority -100; }"}),
               R({"nft", "add", "chain", "inet", "filter", "postrouting_miniupnpd",
                  "{ type nat hook postrouting priority 100; }"})},
              why))
    return false;

  char pattern[] = "/tmp/quarlo-router-XXXXXX";
  if (!mkdtemp(pattern)) return false;
  m_dir = pattern;
  const std::string conf = m_dir + "/miniupnpd.conf";
  std::ofstream(conf) << "ext_ifname=wan0\nlistening_ip=" << lanPeer
                      << "\nport=0\nenable_upnp=yes\nenable_natpmp=no\nsecure_mode=no\n"
                         "system_uptime=yes\nuuid=3a1c9f00-1111-4222-8333-444455556666\n"
                         "allow 1024-65535 10.77.0.0/24 1024-65535\n"
                         "deny 0-65535 0.0.0.0/0 0-65535\n";
  const std::string log = m_dir + "/miniupnpd.log";
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    // A pid file of its own: the default one in /var/run is shared by every router of
    // every test, and a second daemon that finds it refuses to start.
    const std::string pidFile = m_dir + "/miniupnpd.pid";
    execl("/usr/sbin/ip", "ip", "netns", "exec", m_router.c_str(), "/usr/sbin/miniupnpd", "-d",
          "-f", conf.c_str(), "-P", pidFile.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  m_daemon = pid;
  // Ready once it listens and a discovery from the client side finds it; a loaded machine
  // may take a while.
  const bool listening = WaitFor(
      [&] { return DaemonLog().find("HTTP listening on port") != std::string::npos; },
      std::chrono::seconds(60), std::chrono::milliseconds(50));
  const bool found = listening && WaitFor(
      [&] { return Listing().find("ExternalIPAddress = 11.22.33.44") != std::string::npos; },
      std::chrono::seconds(60), std::chrono::milliseconds(200));
  if (!found) {
    m_failure = "miniupnpd did not come up in its namespace:\n" + DaemonLog();
    why = m_failure;
  }
  return found;
}

bool NamespaceRouter::EnterClient() {
  const int fd = open(("/var/run/netns/" + m_client).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return ok;
}

std::string NamespaceRouter::DaemonLog() const {
  std::ifstream in(m_dir + "/miniupnpd.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string NamespaceRouter::Listing() const {
  std::string out;
  Run({"/usr/sbin/ip", "netns", "exec", m_client, "upnpc", "-l"}, &out);
  return out;
}

std::vector<UPnPMappingRow> NamespaceRouter::Mappings() const {
  std::vector<UPnPMappingRow> rows;
  // " 0 TCP 61716->10.77.0.100:15002 'Quarlo' '' 3598"
  static const std::regex row(R"(^\s*\d+\s+(TCP|UDP)\s+(\d+)->([\d.]+):(\d+)\s+'([^']*)')");
  std::istringstream in(Listing());
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, row)) continue;
    rows.push_back({m[1].str(), std::stoi(m[2].str()), m[3].str(), std::stoi(m[4].str()), m[5].str()});
  }
  return rows;
}
