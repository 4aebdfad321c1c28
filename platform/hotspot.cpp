#include "platform/hotspot.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"

extern char** environ;

const char* const kHotspotProfileName = "Quarlo Hotspot";

namespace {

// Queries answer at once; an activation may take NetworkManager a while (nmcli's own wait is
// kActivateWaitSeconds, ours a little longer so nmcli can report its own time-out).
constexpr int kQueryTimeoutMs = 30 * 1000;
constexpr int kActivateWaitSeconds = 60;
constexpr int kActivateTimeoutMs = (kActivateWaitSeconds + 30) * 1000;
// nmcli's exit status for "connection, device or access point does not exist".
constexpr int kNmcliNotFound = 10;

struct NmcliRun {
  bool started = false;
  int spawnError = 0;
  bool timedOut = false;
  int exitStatus = -1;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

std::vector<std::string> ChildEnvironment() {
  // Plain C messages and values: the output is parsed, and errors are shown as they come.
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    if (entry.compare(0, 3, "LC_") == 0 || entry.compare(0, 5, "LANG=") == 0 ||
        entry.compare(0, 9, "LANGUAGE=") == 0)
      continue;
    env.push_back(entry);
  }
  env.push_back("LC_ALL=C");
  return env;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for the child until the deadline; false when it is still running then.
bool WaitChild(pid_t pid, std::chrono::steady_clock::time_point deadline, int& status) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return waitpid(pid, &status, 0) == pid;  // kernel without pidfd
  bool done = false;
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      done = true;
      break;
    }
    const int left = RemainingMs(deadline);
    if (left == 0) break;
    pollfd p{pidfd, POLLIN, 0};
    if (poll(&p, 1, left) < 0 && errno != EINTR) break;
  }
  close(pidfd);
  return done;
}

// Runs nmcli with args: stdin from /dev/null, stdout and stderr read apart, the signal mask
// and dispositions of a fresh process (the tool blocks its stop signals), killed at the
// deadline.
NmcliRun RunNmcli(const std::vector<std::string>& args, int timeoutMs) {
  NmcliRun run;
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    run.spawnError = errno;
    CloseFd(outPipe[0]);
    CloseFd(outPipe[1]);
    return run;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argvStrings{"nmcli"};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvStrings) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = ChildEnvironment();
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, "nmcli", &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  CloseFd(outPipe[1]);
  CloseFd(errPipe[1]);
  if (rc != 0) {
    run.spawnError = rc;
    CloseFd(outPipe[0]);
    CloseFd(errPipe[0]);
    return run;
  }
  run.started = true;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int fds[2] = {outPipe[0], errPipe[0]};
  std::string* sinks[2] = {&run.out, &run.err};
  char buf[4096];
  while (fds[0] >= 0 || fds[1] >= 0) {
    const int left = RemainingMs(deadline);
    if (left == 0) break;
    pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    const int n = poll(p, 2, left);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && n > 0; ++i) {
      if (fds[i] < 0 || p[i].revents == 0) continue;
      const ssize_t got = read(fds[i], buf, sizeof(buf));
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        CloseFd(fds[i]);
      }
    }
  }
  CloseFd(fds[0]);
  CloseFd(fds[1]);

  int status = 0;
  if (!WaitChild(pid, deadline, status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    run.timedOut = true;
    return run;
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) run.exitStatus = 128 + WTERMSIG(status);
  return run;
}

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// What nmcli said about a failed run, for the user.
std::string Explain(const NmcliRun& run) {
  if (run.timedOut) return "nmcli did not finish in time";
  std::string said = Trim(run.err);
  if (said.empty()) said = Trim(run.out);
  std::string text = "nmcli exit status " + std::to_string(run.exitStatus);
  if (!said.empty()) text += ": " + said;
  return text;
}

// One line of nmcli's terse output: fields split at ':' with "\:" and "\\" escaped.
std::vector<std::string> TerseFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      fields.back() += line[++i];
    } else if (c == ':') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

std::vector<std::vector<std::string>> TerseLines(const std::string& out) {
  std::vector<std::vector<std::string>> lines;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(pos, end - pos);
    if (!line.empty()) lines.push_back(TerseFields(line));
    pos = end + 1;
  }
  return lines;
}

HotspotStatus NotRunnable(const NmcliRun& run, std::string& error) {
  if (run.spawnError == ENOENT) {
    error = "NetworkManager is not installed (nmcli was not found)";
  } else {
    error = std::string("nmcli could not be started: ") + std::strerror(run.spawnError);
  }
  return HotspotStatus::NoNetworkManager;
}

HotspotStatus CheckNetworkManager(std::string& error) {
  const NmcliRun run = RunNmcli({"-t", "-f", "RUNNING", "general"}, kQueryTimeoutMs);
  if (!run.started) return NotRunnable(run, error);
  if (run.exitStatus != 0 || Trim(run.out) != "running") {
    error = "NetworkManager is not running (" + Explain(run) + ")";
    return HotspotStatus::NoNetworkManager;
  }
  return HotspotStatus::Ok;
}

// The first managed Wi-Fi device that does not deny being able to act as an access point.
HotspotStatus FindWifiDevice(std::string& device, std::string& error,
                             std::string* state = nullptr) {
  const NmcliRun run =
      RunNmcli({"-t", "-f", "DEVICE,TYPE,STATE", "device", "status"}, kQueryTimeoutMs);
  if (!run.started) return NotRunnable(run, error);
  if (run.exitStatus != 0) {
    error = "NetworkManager did not list its devices (" + Explain(run) + ")";
    return HotspotStatus::Failed;
  }
  std::vector<std::string> noAp;
  for (const auto& f : TerseLines(run.out)) {
    if (f.size() < 3 || f[1] != "wifi" || f[2] == "unmanaged") continue;
    const NmcliRun props =
        RunNmcli({"-t", "-f", "WIFI-PROPERTIES.AP", "device", "show", f[0]}, kQueryTimeoutMs);
    bool deniesAp = false;
    if (props.started && props.exitStatus == 0) {
      for (const auto& p : TerseLines(props.out))
        if (p.size() >= 2 && p[0] == "WIFI-PROPERTIES.AP" && p[1] == "no") deniesAp = true;
    }
    if (deniesAp) {
      noAp.push_back(f[0]);
      continue;
    }
    device = f[0];
    if (state) *state = f[2];
    return HotspotStatus::Ok;
  }
  if (!noAp.empty()) {
    error = "the Wi-Fi adapter " + noAp.front() + " cannot act as an access point";
  } else {
    error = "no Wi-Fi adapter is available to NetworkManager";
  }
  return HotspotStatus::NoWifiAdapter;
}

HotspotStatus OurProfiles(std::vector<std::string>& uuids, std::string& error) {
  uuids.clear();
  const NmcliRun run = RunNmcli({"-t", "-f", "NAME,UUID", "connection", "show"}, kQueryTimeoutMs);
  if (!run.started) return NotRunnable(run, error);
  if (run.exitStatus != 0) {
    error = "NetworkManager did not list its connections (" + Explain(run) + ")";
    return HotspotStatus::Failed;
  }
  for (const auto& f : TerseLines(run.out))
    if (f.size() >= 2 && f[0] == kHotspotProfileName && !f[1].empty()) uuids.push_back(f[1]);
  return HotspotStatus::Ok;
}

// Deleting a profile also takes it down; one that is gone already counts as deleted.
HotspotStatus DeleteProfile(const std::string& uuid, std::string& error) {
  const NmcliRun run = RunNmcli({"connection", "delete", "uuid", uuid}, kQueryTimeoutMs);
  if (!run.started) return NotRunnable(run, error);
  if (run.exitStatus == 0 || run.exitStatus == kNmcliNotFound) return HotspotStatus::Ok;
  error = "NetworkManager did not remove the hotspot (" + Explain(run) + ")";
  return HotspotStatus::Failed;
}

// The passphrase for one activation, in a file only we can read; removed when done.
class PasswdFile {
 public:
  explicit PasswdFile(const std::string& passphrase) {
    std::string dir;
    for (const char* var : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
      const char* v = std::getenv(var);
      struct stat st;
      if (v && *v && stat(v, &st) == 0 && S_ISDIR(st.st_mode)) {
        dir = v;
        break;
      }
    }
    if (dir.empty()) dir = "/tmp";
    std::string tmpl = dir + "/quarlo-hotspot-XXXXXX";
    const int fd = mkostemp(&tmpl[0], O_CLOEXEC);  // mode 0600, created exclusively
    if (fd < 0) return;
    m_path = tmpl;
    const std::string line = "802-11-wireless-security.psk:" + passphrase + "\n";
    const bool written = Plat_WriteAll(fd, line.data(), line.size());
    if (close(fd) != 0 || !written) {
      unlink(m_path.c_str());
      m_path.clear();
    }
  }
  ~PasswdFile() {
    if (!m_path.empty()) unlink(m_path.c_str());
  }
  PasswdFile(const PasswdFile&) = delete;
  PasswdFile& operator=(const PasswdFile&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace

HotspotStatus Plat_HotspotStart(const std::string& ssid, const std::string& passphrase,
                                std::string& profileUuid, std::string& device,
                                std::string& error) {
  profileUuid.clear();
  device.clear();
  error.clear();
  HotspotStatus st = CheckNetworkManager(error);
  if (st != HotspotStatus::Ok) return st;
  st = FindWifiDevice(device, error);
  if (st != HotspotStatus::Ok) return st;

  // A profile left by a run that was killed would otherwise stay beside the new one.
  std::vector<std::string> stale;
  st = OurProfiles(stale, error);
  if (st != HotspotStatus::Ok) return st;
  for (const std::string& uuid : stale) {
    st = DeleteProfile(uuid, error);
    if (st != HotspotStatus::Ok) return st;
  }

  // The secret is "not saved" (flags 2): NetworkManager asks for it at activation and the
  // passwd-file answers; it never lands on disk in the profile or on a command line.
  const NmcliRun add = RunNmcli(
      {"connection", "add", "type", "wifi", "ifname", device, "con-name", kHotspotProfileName,
       "autoconnect", "no", "802-11-wireless.ssid", ssid, "802-11-wireless.mode", "ap",
       "ipv4.method", "shared", "802-11-wireless-security.key-mgmt", "wpa-psk",
       "802-11-wireless-security.proto", "rsn", "802-11-wireless-security.pairwise", "ccmp",
       "802-11-wireless-security.group", "ccmp", "802-11-wireless-security.psk-flags", "2"},
      kQueryTimeoutMs);
  if (!add.started) return NotRunnable(add, error);
  if (add.exitStatus != 0) {
    error = "NetworkManager did not accept the hotspot profile (" + Explain(add) + ")";
    return HotspotStatus::Failed;
  }
  std::vector<std::string> created;
  st = OurProfiles(created, error);
  if (st != HotspotStatus::Ok) return st;
  if (created.size() != 1) {
    // Another run raced us; take none of them down blindly, report it.
    error = "found " + std::to_string(created.size()) + " hotspot profiles after adding one";
    return HotspotStatus::Failed;
  }
  const std::string uuid = created.front();

  HotspotStatus result = HotspotStatus::Ok;
  {
    PasswdFile secret(passphrase);
    if (secret.Path().empty()) {
      error = std::string("cannot write the passphrase file: ") + std::strerror(errno);
      result = HotspotStatus::Failed;
    } else {
      const NmcliRun up = RunNmcli({"--wait", std::to_string(kActivateWaitSeconds), "connection",
                                    "up", "uuid", uuid, "ifname", device, "passwd-file",
                                    secret.Path()},
                                   kActivateTimeoutMs);
      if (!up.started) {
        result = NotRunnable(up, error);
      } else if (up.timedOut || up.exitStatus != 0) {
        error = "NetworkManager could not start the hotspot on " + device + " (" + Explain(up) +
                ")";
        result = HotspotStatus::Failed;
      }
    }
  }
  if (result != HotspotStatus::Ok) {
    std::string ignored;
    DeleteProfile(uuid, ignored);
    return result;
  }
  profileUuid = uuid;
  return HotspotStatus::Ok;
}

HotspotStatus Plat_HotspotStop(const std::string& profileUuid, std::string& error) {
  error.clear();
  if (!profileUuid.empty()) return DeleteProfile(profileUuid, error);
  HotspotStatus st = CheckNetworkManager(error);
  if (st != HotspotStatus::Ok) return st;
  std::vector<std::string> ours;
  st = OurProfiles(ours, error);
  if (st != HotspotStatus::Ok) return st;
  for (const std::string& uuid : ours) {
    st = DeleteProfile(uuid, error);
    if (st != HotspotStatus::Ok) return st;
  }
  return HotspotStatus::Ok;
}

HotspotQuery Plat_HotspotQuery() {
  HotspotQuery q;
  q.status = CheckNetworkManager(q.error);
  if (q.status != HotspotStatus::Ok) return q;
  std::string state;
  q.status = FindWifiDevice(q.device, q.error, &state);
  if (q.status != HotspotStatus::Ok) return q;
  const NmcliRun run =
      RunNmcli({"-t", "-f", "NAME,UUID", "connection", "show", "--active"}, kQueryTimeoutMs);
  if (!run.started) {
    q.status = NotRunnable(run, q.error);
    return q;
  }
  if (run.exitStatus != 0) {
    q.error = "NetworkManager did not list its active connections (" + Explain(run) + ")";
    q.status = HotspotStatus::Failed;
    return q;
  }
  for (const auto& f : TerseLines(run.out))
    if (f.size() >= 2 && f[0] == kHotspotProfileName && !f[1].empty()) q.activeUuid = f[1];
  // "connected" with no profile of ours up: the adapter serves another network.
  q.deviceBusy = q.activeUuid.empty() && state.compare(0, 9, "connected") == 0;
  return q;
}
