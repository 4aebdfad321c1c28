#include "tests/support/peer_namespace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "tests/support/wait_for.h"

extern char** environ;

namespace {

int RunArgv(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

PeerNamespace::PeerNamespace() {
  const int pid = static_cast<int>(getpid());
  m_ns = "qvpn" + std::to_string(pid);
  m_hostIf = "qvph" + std::to_string(pid);
  m_peerIf = "qvpp" + std::to_string(pid);
  const std::string net = "10.214." + std::to_string((pid >> 6) & 0xFF) + ".";
  const int base = (pid & 63) * 4;
  m_hostIp = net + std::to_string(base + 1);
  m_peerIp = net + std::to_string(base + 2);
}

PeerNamespace::~PeerNamespace() {
  if (m_linkMade) RunArgv({"ip", "link", "del", m_hostIf});
  if (m_nsMade) RunArgv({"ip", "netns", "del", m_ns});
}

std::string PeerNamespace::Create() {
  // Leftovers of an earlier run that died with the same process id.
  RunArgv({"ip", "link", "del", m_hostIf});
  RunArgv({"ip", "netns", "del", m_ns});
  if (RunArgv({"ip", "netns", "add", m_ns}) != 0) return "ip netns add failed";
  m_nsMade = true;
  if (RunArgv({"ip", "link", "add", m_hostIf, "type", "veth", "peer", "name", m_peerIf}) != 0)
    return "ip link add ... type veth failed";
  m_linkMade = true;
  const std::vector<std::vector<std::string>> steps = {
      {"ip", "link", "set", m_peerIf, "netns", m_ns},
      {"ip", "addr", "add", m_hostIp + "/30", "dev", m_hostIf},
      {"ip", "link", "set", m_hostIf, "up"},
      {"ip", "netns", "exec", m_ns, "ip", "addr", "add", m_peerIp + "/30", "dev", m_peerIf},
      {"ip", "netns", "exec", m_ns, "ip", "link", "set", m_peerIf, "up"},
  };
  for (const auto& step : steps) {
    if (RunArgv(step) != 0) return "command failed: " + step[0] + " " + step[1] + " " + step[2];
  }
  return "";
}

std::string PeerNamespace::AddOutsideAddress() {
  const int pid = static_cast<int>(getpid());
  m_outsideIp = "198.18." + std::to_string((pid >> 8) & 0xFF) + "." + std::to_string(pid & 0xFF);
  const std::vector<std::vector<std::string>> steps = {
      {"ip", "netns", "exec", m_ns, "ip", "addr", "add", m_outsideIp + "/32", "dev", m_peerIf},
      {"ip", "route", "replace", m_outsideIp + "/32", "via", m_peerIp, "dev", m_hostIf},
  };
  for (const auto& step : steps) {
    if (RunArgv(step) != 0) return "command failed: " + step[0] + " " + step[1] + " " + step[2];
  }
  return "";
}

bool PeerNamespace::RunInside(const std::function<void()>& fn) {
  bool joined = false;
  std::thread inside([&] {
    const int nsFd = open(("/var/run/netns/" + m_ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) return;
    joined = setns(nsFd, CLONE_NEWNET) == 0;
    close(nsFd);
    if (joined) fn();
  });
  inside.join();
  return joined;
}

int PeerNamespace::Connect(uint16_t port, const std::string& sourceIp) {
  int result = -1;
  RunInside([&] {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, m_hostIp.c_str(), &to.sin_addr);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (!sourceIp.empty()) inet_pton(AF_INET, sourceIp.c_str(), &from.sin_addr);
    // The link may take a moment to carry traffic after it came up.
    WaitFor(
        [&] {
          const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          if (s < 0) return false;
          if ((sourceIp.empty() ||
               bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0) &&
              connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            result = s;
            return true;
          }
          close(s);
          return false;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(50));
  });
  return result;
}
