#include "platform/scm.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "platform/autostart.h"
#include "platform/files.h"
#include "platform/line_value.h"
#include "platform/process_path.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace {

constexpr char kEnvService[] = "QUARLO_SCM_SERVICE";
constexpr char kEnvSystemDir[] = "QUARLO_SYSTEM_DIR";
constexpr char kConfigFile[] = "config";
constexpr char kStatusFile[] = "status";
constexpr char kLockFile[] = "lock";
constexpr char kSocketFile[] = "control";
constexpr char kDeleteMark[] = "delete_pending";
constexpr char kStdoutLog[] = "stdout.log";
constexpr char kStdoutLogOld[] = "stdout.log.1";
constexpr off_t kStdoutLogLimit = 1024 * 1024;  // then moved to stdout.log.1, replacing it
constexpr int kStdoutCheckMs = 1000;

constexpr size_t kMaxNameLength = 256;
constexpr size_t kMaxFileBytes = 64 * 1024;   // config and status files are a few lines
constexpr size_t kMaxRequestBytes = 64;       // one "control=N" line
constexpr int kReplyTimeoutMs = 30000;        // a control handler must answer within this
constexpr int kPeerIoTimeoutMs = 1000;        // a controller that sends nothing is dropped
constexpr int kChildReportTimeoutMs = 10000;  // fork/exec of the started program
constexpr int kMainGraceMs = 5000;            // service main may still be returning
constexpr uint32_t kStartWaitHintMs = 2000;

// ---------------------------------------------------------------------------------------------
// Small RAII and text helpers

using CFd = UniqueFd;

bool ParseU64(const std::string& text, uint64_t& out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  out = v;
  return true;
}

bool ParseU32(const std::string& text, uint32_t& out) {
  uint64_t v = 0;
  if (!ParseU64(text, v) || v > UINT32_MAX) return false;
  out = static_cast<uint32_t>(v);
  return true;
}


std::string UnescapeValue(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const char next = value[++i];
    out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

std::map<std::string, std::string> ParseKeyValues(const std::string& text) {
  std::map<std::string, std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    const size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0) out[line.substr(0, eq)] = line.substr(eq + 1);
    pos = end + 1;
  }
  return out;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength || name[0] == '.') return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Files

// Reads a small file below dirfd; ENOENT is reported through errno.
bool ReadSmallFile(int dirfd, const char* name, std::string& out) {
  CFd fd(openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return false;
  out.clear();
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd.get(), buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > kMaxFileBytes) {
      errno = EFBIG;
      return false;
    }
  }
}

// Readers see the old file or the new one, never a half-written one.
bool WriteFileAtomic(int dirfd, const char* name, const std::string& text) {
  static std::atomic<unsigned> counter{0};
  const std::string tmp = std::string(".") + name + ".tmp." + std::to_string(getpid()) + "." +
                          std::to_string(counter.fetch_add(1));
  CFd fd(openat(dirfd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  const bool written = Plat_WriteAll(fd.get(), text.data(), text.size()) && fdatasync(fd.get()) == 0;
  fd.reset();
  if (!written || renameat(dirfd, tmp.c_str(), dirfd, name) != 0) {
    unlinkat(dirfd, tmp.c_str(), 0);
    return false;
  }
  return true;
}

CFd OpenDir(const std::string& path) {
  return CFd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool ReadFileIn(const std::string& dir, const char* name, std::string& out) {
  CFd d = OpenDir(dir);
  return d.valid() && ReadSmallFile(d.get(), name, out);
}

bool WriteFileIn(const std::string& dir, const char* name, const std::string& text) {
  CFd d = OpenDir(dir);
  return d.valid() && WriteFileAtomic(d.get(), name, text);
}

bool FileExistsIn(const std::string& dir, const char* name) {
  struct stat st;
  return lstat((dir + "/" + name).c_str(), &st) == 0;
}

// ---------------------------------------------------------------------------------------------
// Config and status records

std::string FormatConfig(const ScmConfig& c) {
  return "binary_path=" + Plat_EscapeLineValue(c.binaryPath) + "\n" +
         "start_type=" + std::to_string(c.startType) + "\n" +
         "display_name=" + Plat_EscapeLineValue(c.displayName) + "\n" +
         "description=" + Plat_EscapeLineValue(c.description) + "\n";
}

bool ParseConfig(const std::string& text, ScmConfig& out) {
  const auto kv = ParseKeyValues(text);
  const auto path = kv.find("binary_path");
  const auto type = kv.find("start_type");
  if (path == kv.end() || type == kv.end()) return false;
  ScmConfig c;
  c.binaryPath = UnescapeValue(path->second);
  if (!ParseU32(type->second, c.startType)) return false;
  if (auto it = kv.find("display_name"); it != kv.end()) c.displayName = UnescapeValue(it->second);
  if (auto it = kv.find("description"); it != kv.end()) c.description = UnescapeValue(it->second);
  out = c;
  return true;
}

bool ValidStartType(uint32_t t) {
  return t == kStartAuto || t == kStartDemand || t == kStartDisabled;
}

struct StatusRecord {
  ScmStatus status;
  uint64_t pidStart = 0;  // field 22 of /proc/<pid>/stat, against pid reuse
};

std::string FormatStatus(const StatusRecord& r) {
  return "state=" + std::to_string(r.status.state) + "\n" +
         "checkpoint=" + std::to_string(r.status.checkpoint) + "\n" +
         "wait_hint=" + std::to_string(r.status.waitHintMs) + "\n" +
         "exit_code=" + std::to_string(r.status.exitCode) + "\n" +
         "pid=" + std::to_string(r.status.pid) + "\n" +
         "pid_start=" + std::to_string(r.pidStart) + "\n";
}

// A missing or unreadable status reads as a stopped service.
StatusRecord ParseStatus(const std::string& text) {
  StatusRecord r;
  const auto kv = ParseKeyValues(text);
  auto u32 = [&](const char* key, uint32_t& v) {
    auto it = kv.find(key);
    if (it != kv.end()) ParseU32(it->second, v);
  };
  u32("state", r.status.state);
  u32("checkpoint", r.status.checkpoint);
  u32("wait_hint", r.status.waitHintMs);
  u32("exit_code", r.status.exitCode);
  uint32_t pid = 0;
  u32("pid", pid);
  r.status.pid = pid <= static_cast<uint32_t>(INT32_MAX) ? static_cast<int>(pid) : 0;
  if (auto it = kv.find("pid_start"); it != kv.end()) ParseU64(it->second, r.pidStart);
  return r;
}

// State (field 3) and start time (field 22) of a process; the name in field 2 may hold
// spaces and parentheses, so fields are counted from the last ')'.
bool ReadProcStat(int pid, char& state, uint64_t& start) {
  std::string text;
  CFd proc = OpenDir("/proc/" + std::to_string(pid));
  if (!proc.valid() || !ReadSmallFile(proc.get(), "stat", text)) return false;
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::vector<std::string> fields;  // fields[0] is field 3
  size_t pos = close + 1;
  while (pos < text.size() && fields.size() < 20) {
    while (pos < text.size() && text[pos] == ' ') ++pos;
    const size_t end = text.find(' ', pos);
    fields.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    if (end == std::string::npos) break;
    pos = end;
  }
  if (fields.size() < 20 || fields[0].empty()) return false;
  state = fields[0][0];
  return ParseU64(fields[19], start);
}

bool ProcessAlive(int pid, uint64_t recordedStart) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  char state = 0;
  uint64_t start = 0;
  if (!ReadProcStat(pid, state, start)) return false;
  if (state == 'Z' || state == 'X') return false;  // a zombie no longer serves
  return start == recordedStart;
}

uint64_t OwnStartTime() {
  char state = 0;
  uint64_t start = 0;
  return ReadProcStat(getpid(), state, start) ? start : 0;
}

// What a caller sees: a process that died without reporting STOPPED was aborted.
ScmStatus EffectiveStatus(const StatusRecord& r) {
  ScmStatus s = r.status;
  if (s.state == kStateStopped) {
    s.pid = 0;
    return s;
  }
  if (!ProcessAlive(s.pid, r.pidStart)) {
    s = ScmStatus();
    s.state = kStateStopped;
    s.exitCode = kScmErrProcessAborted;
  }
  return s;
}

// ---------------------------------------------------------------------------------------------
// Folders

std::mutex& SystemDirMutex() {
  static std::mutex* m = new std::mutex;  // immortal: tools may call from any thread at exit
  return *m;
}

std::string& SystemDirOverride() {
  static std::string* s = new std::string;
  return *s;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) return path;
  return std::string(cwd) + "/" + path;
}

bool ScmRoot(std::string& root) {
  const std::string system = Scm_SystemDir();
  if (system.empty()) return false;
  root = system + "/scm";
  return true;
}

bool MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

// Moves the folder out of the way first so that no controller sees half of it.
void RemoveServiceDir(const std::string& root, const std::string& dir, const std::string& name) {
  static std::atomic<unsigned> counter{0};
  const std::string trash = root + "/.removed-" + name + "." + std::to_string(getpid()) + "." +
                            std::to_string(counter.fetch_add(1));
  std::error_code ec;
  if (rename(dir.c_str(), trash.c_str()) == 0) {
    std::filesystem::remove_all(trash, ec);
  } else {
    std::filesystem::remove_all(dir, ec);
  }
}

// Exclusive flock on <dir>/lock. A controller that waited while the service was removed
// finds that its lock file is no longer the one at the path.
class CServiceLock {
 public:
  int Acquire(const std::string& dir) {
    const std::string path = dir + "/" + kLockFile;
    for (int attempt = 0; attempt < 3; ++attempt) {
      CFd fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
      if (!fd.valid()) return errno == ENOENT ? kScmErrServiceNotInstalled : kScmErrIo;
      int rc;
      do {
        rc = flock(fd.get(), LOCK_EX);
      } while (rc != 0 && errno == EINTR);
      if (rc != 0) return kScmErrIo;
      struct stat held, now;
      if (fstat(fd.get(), &held) != 0) return kScmErrIo;
      if (stat(path.c_str(), &now) != 0) {
        if (errno == ENOENT) return kScmErrServiceNotInstalled;
        return kScmErrIo;
      }
      if (held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
        m_fd = std::move(fd);
        return kScmOk;
      }
    }
    return kScmErrServiceNotInstalled;
  }
  bool Held() const { return m_fd.valid(); }

 private:
  CFd m_fd;  // closing releases the lock
};

struct ServiceRef {
  std::string name;
  std::string root;
  std::string dir;
  CServiceLock lock;
  ScmConfig config;
  StatusRecord status;
  bool deletePending = false;
};

// Finds an installed service and reads its files; a service that was marked for delete and
// has stopped is removed here and reads as not installed.
int OpenService(const std::string& name, bool lock, ServiceRef& ref) {
  if (!ValidName(name)) return kScmErrInvalidName;
  ref.name = name;
  if (!ScmRoot(ref.root)) return kScmErrIo;
  ref.dir = ref.root + "/" + name;
  if (lock) {
    const int rc = ref.lock.Acquire(ref.dir);
    if (rc != kScmOk) return rc;
  }
  std::string text;
  if (!ReadFileIn(ref.dir, kConfigFile, text)) {
    return errno == ENOENT || errno == ENOTDIR ? kScmErrServiceNotInstalled : kScmErrIo;
  }
  if (!ParseConfig(text, ref.config)) return kScmErrIo;
  ref.status = ReadFileIn(ref.dir, kStatusFile, text) ? ParseStatus(text) : StatusRecord();
  ref.deletePending = FileExistsIn(ref.dir, kDeleteMark);
  if (ref.deletePending && EffectiveStatus(ref.status).state == kStateStopped) {
    if (!ref.lock.Held()) return OpenService(name, true, ref);
    RemoveServiceDir(ref.root, ref.dir, name);
    return kScmErrServiceNotInstalled;
  }
  return kScmOk;
}

// ---------------------------------------------------------------------------------------------
// Control socket. The path goes through /proc/self/fd so that a deep system folder does not
// run into the 108-byte limit of sun_path.

bool ControlAddress(int dirfd, sockaddr_un& addr) {
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  const int n = snprintf(addr.sun_path, sizeof(addr.sun_path), "/proc/self/fd/%d/%s", dirfd,
                         kSocketFile);
  return n > 0 && static_cast<size_t>(n) < sizeof(addr.sun_path);
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads one line (without the newline) until the deadline; false on time-out or cap.
bool ReadLine(int fd, std::chrono::steady_clock::time_point deadline, std::string& line) {
  line.clear();
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int rc = poll(&p, 1, RemainingMs(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    char buf[kMaxRequestBytes];
    const ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    line.append(buf, static_cast<size_t>(n));
    const size_t nl = line.find('\n');
    if (nl != std::string::npos) {
      line.resize(nl);
      return true;
    }
    if (line.size() > kMaxRequestBytes) return false;
  }
}

bool ParseTagged(const std::string& line, const char* tag, uint32_t& value) {
  const std::string prefix = std::string(tag) + "=";
  return line.compare(0, prefix.size(), prefix) == 0 &&
         ParseU32(line.substr(prefix.size()), value);
}

// ---------------------------------------------------------------------------------------------
// Starting a service process

int ErrnoToError(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return kScmErrFileNotFound;
    case EACCES:
    case EPERM:
      return kScmErrAccessDenied;
    case ENOEXEC:
      return kScmErrBadExeFormat;
    default:
      return kScmErrIo;
  }
}

// Everything the child needs, built before fork: between fork and exec only async-signal-
// safe calls are made.
struct SpawnPlan {
  std::vector<std::string> argStrings;
  std::vector<std::string> envStrings;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::string logPath;
};

void BuildPlan(const std::vector<std::string>& args, const std::string& name,
               const std::string& system, const std::string& dir, SpawnPlan& plan) {
  plan.argStrings = args;
  const std::string svcPrefix = std::string(kEnvService) + "=";
  const std::string sysPrefix = std::string(kEnvSystemDir) + "=";
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    if (entry.compare(0, svcPrefix.size(), svcPrefix) == 0) continue;
    if (entry.compare(0, sysPrefix.size(), sysPrefix) == 0) continue;
    plan.envStrings.push_back(entry);
  }
  plan.envStrings.push_back(svcPrefix + name);
  plan.envStrings.push_back(sysPrefix + Absolute(system));
  for (std::string& a : plan.argStrings) plan.argv.push_back(&a[0]);
  plan.argv.push_back(nullptr);
  for (std::string& e : plan.envStrings) plan.envp.push_back(&e[0]);
  plan.envp.push_back(nullptr);
  plan.logPath = dir + "/" + kStdoutLog;
}

// Puts fd on target with close-on-exec cleared.
void MoveFd(int fd, int target) {
  if (fd == target) {
    fcntl(target, F_SETFD, 0);
  } else {
    dup2(fd, target);
  }
}

[[noreturn]] void RunChild(const SpawnPlan& plan, int reportFd, int goFd) {
  const pid_t self = getpid();
  if (!Plat_WriteAll(reportFd, reinterpret_cast<const char*>(&self), sizeof(self))) _exit(127);
  char go = 0;
  ssize_t n;
  do {
    n = read(goFd, &go, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) _exit(127);  // the controller gave up

  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  struct stat old;
  if (stat(plan.logPath.c_str(), &old) == 0 && old.st_size > kStdoutLogLimit) {
    rename(plan.logPath.c_str(), (plan.logPath + ".1").c_str());
  }
  int out = open(plan.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) out = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (in >= 0) MoveFd(in, 0);
  if (out >= 0) {
    MoveFd(out, 1);
    MoveFd(out, 2);
  }
  if (chdir("/") != 0) _exit(127);

  // The controller may have blocked or ignored signals; a service starts clean.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl;
  memset(&dfl, 0, sizeof(dfl));
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);

  // No descriptor of the controller leaks into the service (its lock file least of all).
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < 65536; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  execve(plan.argv[0], plan.argv.data(), plan.envp.data());
  const int e = errno;
  Plat_WriteAll(reportFd, reinterpret_cast<const char*>(&e), sizeof(e));
  _exit(127);
}

// Reads exactly size bytes before the deadline; returns the count read (short on EOF).
size_t ReadBytes(int fd, char* data, size_t size, std::chrono::steady_clock::time_point deadline,
                 bool& timedOut) {
  size_t got = 0;
  timedOut = false;
  while (got < size) {
    pollfd p{fd, POLLIN, 0};
    const int rc = poll(&p, 1, RemainingMs(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc == 0) {
      timedOut = true;
      return got;
    }
    if (rc < 0) return got;
    const ssize_t n = read(fd, data + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return got;
    got += static_cast<size_t>(n);
  }
  return got;
}

// Double fork: the intermediate child calls setsid and leaves at once, so the service is
// adopted by init and no zombie stays behind. The grandchild waits for the go byte until the
// START_PENDING status with its pid is on disk, so its own first report cannot be overwritten.
int SpawnService(ServiceRef& ref, const std::vector<std::string>& args) {
  SpawnPlan plan;
  BuildPlan(args, ref.name, Scm_SystemDir(), ref.dir, plan);
  int up[2], down[2];
  if (pipe2(up, O_CLOEXEC) != 0) return kScmErrIo;
  CFd upRead(up[0]), upWrite(up[1]);
  if (pipe2(down, O_CLOEXEC) != 0) return kScmErrIo;
  CFd downRead(down[0]), downWrite(down[1]);

  const pid_t mid = fork();
  if (mid < 0) return kScmErrIo;
  if (mid == 0) {
    if (setsid() < 0) _exit(1);
    const pid_t child = fork();
    if (child != 0) _exit(child < 0 ? 1 : 0);
    RunChild(plan, up[1], down[0]);
  }
  upWrite.reset();
  downRead.reset();
  int midStatus = 0;
  while (waitpid(mid, &midStatus, 0) < 0 && errno == EINTR) {
  }

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kChildReportTimeoutMs);
  pid_t pid = 0;
  bool timedOut = false;
  if (ReadBytes(upRead.get(), reinterpret_cast<char*>(&pid), sizeof(pid), deadline, timedOut) !=
          sizeof(pid) ||
      pid <= 0) {
    return kScmErrIo;
  }
  char state = 0;
  StatusRecord rec;
  rec.status.state = kStateStartPending;
  rec.status.waitHintMs = kStartWaitHintMs;
  rec.status.pid = pid;
  if (!ReadProcStat(pid, state, rec.pidStart) || !WriteFileIn(ref.dir, kStatusFile, FormatStatus(rec))) {
    kill(pid, SIGKILL);  // it has not run any of the service's code yet
    return kScmErrIo;
  }
  const char go = 'g';
  if (!Plat_WriteAll(downWrite.get(), &go, 1)) return kScmErrIo;
  downWrite.reset();

  int childErrno = 0;
  const size_t got = ReadBytes(upRead.get(), reinterpret_cast<char*>(&childErrno),
                               sizeof(childErrno), deadline, timedOut);
  if (got == 0) return kScmOk;  // EOF: the exec succeeded (or it is slow; then it runs)
  const int error = got == sizeof(childErrno) ? ErrnoToError(childErrno) : kScmErrIo;
  StatusRecord stopped;
  stopped.status.exitCode = static_cast<uint32_t>(error);
  WriteFileIn(ref.dir, kStatusFile, FormatStatus(stopped));
  return error;
}

// ---------------------------------------------------------------------------------------------
// Service side: the dispatcher and the status reports

struct DispatcherState {
  std::mutex mu;  // guards every field; never held while the handler runs
  std::string name;
  std::string dir;
  int dirfd = -1;
  int wakefd = -1;
  uint64_t ownStart = 0;
  ScmCtrlHandler handler = nullptr;
  void* context = nullptr;
  uint32_t state = kStateStartPending;
  bool mainDone = false;
  std::condition_variable mainDoneCv;
};

DispatcherState& Dispatcher() {
  static DispatcherState* d = new DispatcherState;  // immortal: threads may outlive main
  return *d;
}

void Wake(int wakefd) {
  if (wakefd < 0) return;
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = write(wakefd, &one, sizeof(one));
  } while (n < 0 && errno == EINTR);
}

void Drain(int fd) {
  char buf[256];
  while (read(fd, buf, sizeof(buf)) > 0) {
  }
}

// True when the process was started by the manager for that service: the environment names
// the service and its status file records this very process.
bool StartedByManager(std::string& name, std::string& dir) {
  const char* svc = std::getenv(kEnvService);
  const char* sys = std::getenv(kEnvSystemDir);
  if (!svc || !sys || !*sys || !ValidName(svc)) return false;
  name = svc;
  dir = std::string(sys) + "/scm/" + name;
  std::string text;
  if (!ReadFileIn(dir, kStatusFile, text)) return false;
  const StatusRecord rec = ParseStatus(text);
  return rec.status.pid == getpid() && rec.pidStart == OwnStartTime();
}

CFd ListenControl(int dirfd) {
  sockaddr_un addr;
  if (!ControlAddress(dirfd, addr)) return CFd();
  unlinkat(dirfd, kSocketFile, 0);
  CFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return CFd();
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return CFd();
  if (listen(fd.get(), 8) != 0) return CFd();
  return fd;
}

uint32_t DeliverControl(uint32_t control) {
  DispatcherState& d = Dispatcher();
  ScmCtrlHandler handler;
  void* context;
  uint32_t state;
  {
    std::lock_guard<std::mutex> g(d.mu);
    handler = d.handler;
    context = d.context;
    state = d.state;
  }
  if (!handler) return kScmErrCannotAcceptCtrl;
  const bool stopping = control == kControlStop || control == kControlShutdown;
  if (stopping && state == kStateStopped) return kScmErrNotActive;
  if (stopping && state != kStateRunning) return kScmErrCannotAcceptCtrl;
  return handler(control, 0, nullptr, context);
}

void ServeControlConnection(int fd) {
  ucred cred;
  socklen_t len = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return;
  if (cred.uid != getuid() && cred.uid != 0) return;
  std::string line;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerIoTimeoutMs);
  if (!ReadLine(fd, deadline, line)) return;
  uint32_t control = 0;
  uint32_t result = kScmErrInvalidControl;
  if (ParseTagged(line, "control", control)) result = DeliverControl(control);
  const std::string reply = "result=" + std::to_string(result) + "\n";
  send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void WaitForServiceMain() {
  DispatcherState& d = Dispatcher();
  std::unique_lock<std::mutex> g(d.mu);
  d.mainDoneCv.wait_for(g, std::chrono::milliseconds(kMainGraceMs), [&] { return d.mainDone; });
}

std::atomic<bool> g_dispatcherStarted{false};

}  // namespace

// -----------------------------------------------------------------------------------------------
// Public functions

std::string Scm_SystemDir() {
  {
    std::lock_guard<std::mutex> g(SystemDirMutex());
    if (!SystemDirOverride().empty()) return SystemDirOverride();
  }
  const char* env = std::getenv(kEnvSystemDir);
  if (env && *env) return env;
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return std::string();
  const std::string folder = ParentOf(std::string(buf, static_cast<size_t>(n)));
  // Programs installed for every user keep each user's manager state in that user's base.
  if (Plat_IsPerUserInstall(ParentOf(folder))) return Plat_UserBaseFolder() + "/system";
  // The tools themselves live in the system folder.
  if (folder.size() >= 7 && folder.compare(folder.size() - 7, 7, "/system") == 0) return folder;
  return ParentOf(folder) + "/system";
}

std::string Scm_ToolsDir() {
  std::string program;
  if (Plat_ProgramPath(program) == 0) {
    const std::string root = ParentOf(ParentOf(program));
    if (Plat_IsPerUserInstall(root)) return root + "/system";
  }
  return Scm_SystemDir();
}

void Scm_SetSystemDir(const std::string& dir) {
  std::lock_guard<std::mutex> g(SystemDirMutex());
  SystemDirOverride() = dir;
}

namespace {

std::string AutostartFile(const std::string& name) { return "quarlo-service-" + name + ".desktop"; }

// An AUTO_START service starts when the user logs in: an autostart entry runs `net start` of
// this system folder; other start types have none.
void SyncAutostart(const std::string& name, const ScmConfig& config) {
  if (config.startType != kStartAuto) {
    Plat_RemoveAutostart(AutostartFile(name));
    return;
  }
  const std::string label = config.displayName.empty() ? name : config.displayName;
  Plat_WriteAutostart(AutostartFile(name), label, {Scm_ToolsDir() + "/net", "start", name});
}

}  // namespace

int Scm_CreateService(const std::string& name, const ScmConfig& config) {
  if (!ValidName(name)) return kScmErrInvalidName;
  if (!ValidStartType(config.startType)) return kScmErrInvalidParameter;
  {
    ServiceRef existing;
    const int rc = OpenService(name, false, existing);
    if (rc == kScmOk) return existing.deletePending ? kScmErrMarkedForDelete : kScmErrServiceExists;
    if (rc != kScmErrServiceNotInstalled) return rc;
  }
  std::string root;
  if (!ScmRoot(root) || !MakeDirs(root)) return kScmErrIo;

  // Built aside and renamed into place: the service appears complete or not at all.
  std::string tmpl = root + "/.new-" + name + ".XXXXXX";
  if (!mkdtemp(&tmpl[0])) return kScmErrIo;
  const std::string tmp = tmpl;
  chmod(tmp.c_str(), 0755);
  StatusRecord never;
  never.status.exitCode = kScmErrNeverStarted;
  bool ok = WriteFileIn(tmp, kConfigFile, FormatConfig(config)) &&
            WriteFileIn(tmp, kStatusFile, FormatStatus(never));
  if (ok) {
    CFd lock(open((tmp + "/" + kLockFile).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    ok = lock.valid();
  }
  const std::string dir = root + "/" + name;
  int rc = kScmOk;
  if (!ok) {
    rc = kScmErrIo;
  } else if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, dir.c_str(), RENAME_NOREPLACE) != 0) {
    rc = (errno == EEXIST || errno == ENOTEMPTY)
             ? (FileExistsIn(dir, kDeleteMark) ? kScmErrMarkedForDelete : kScmErrServiceExists)
             : kScmErrIo;
  }
  if (rc != kScmOk) {
    std::error_code ec;
    std::filesystem::remove_all(tmp, ec);
  } else {
    SyncAutostart(name, config);
  }
  return rc;
}

int Scm_DeleteService(const std::string& name) {
  ServiceRef ref;
  const int rc = OpenService(name, true, ref);
  if (rc != kScmOk) return rc;
  if (ref.deletePending) return kScmErrMarkedForDelete;
  Plat_RemoveAutostart(AutostartFile(name));
  if (EffectiveStatus(ref.status).state == kStateStopped) {
    RemoveServiceDir(ref.root, ref.dir, name);
    return kScmOk;
  }
  return WriteFileIn(ref.dir, kDeleteMark, "") ? kScmOk : kScmErrIo;
}

int Scm_QueryConfig(const std::string& name, ScmConfig& out) {
  ServiceRef ref;
  const int rc = OpenService(name, false, ref);
  if (rc == kScmOk) out = ref.config;
  return rc;
}

int Scm_ChangeConfig(const std::string& name, const ScmConfig& config) {
  return Scm_ChangeConfigFields(
      name, config, kConfigBinaryPath | kConfigStartType | kConfigDisplayName | kConfigDescription);
}

int Scm_ChangeConfigFields(const std::string& name, const ScmConfig& config, uint32_t fields) {
  if ((fields & kConfigStartType) && !ValidStartType(config.startType))
    return kScmErrInvalidParameter;
  ServiceRef ref;
  const int rc = OpenService(name, true, ref);
  if (rc != kScmOk) return rc;
  if (ref.deletePending) return kScmErrMarkedForDelete;
  ScmConfig next = ref.config;
  if (fields & kConfigBinaryPath) next.binaryPath = config.binaryPath;
  if (fields & kConfigStartType) next.startType = config.startType;
  if (fields & kConfigDisplayName) next.displayName = config.displayName;
  if (fields & kConfigDescription) next.description = config.description;
  if (!WriteFileIn(ref.dir, kConfigFile, FormatConfig(next))) return kScmErrIo;
  SyncAutostart(name, next);
  return kScmOk;
}

int Scm_QueryStatus(const std::string& name, ScmStatus& out) {
  ServiceRef ref;
  const int rc = OpenService(name, false, ref);
  if (rc == kScmOk) out = EffectiveStatus(ref.status);
  return rc;
}

bool Scm_IsInstalled(const std::string& name) {
  ServiceRef ref;
  return OpenService(name, false, ref) == kScmOk;
}

namespace {

std::string OutputPath(const std::string& name) {
  std::string root;
  if (!ValidName(name) || !ScmRoot(root)) return std::string();
  return root + "/" + name + "/" + kStdoutLog;
}

}  // namespace

ScmOutputMark Scm_OutputMark(const std::string& name) {
  ScmOutputMark mark;
  struct stat st;
  const std::string path = OutputPath(name);
  if (!path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    mark.device = st.st_dev;
    mark.inode = st.st_ino;
    mark.size = static_cast<uint64_t>(st.st_size);
  }
  return mark;
}

std::string Scm_OutputSince(const std::string& name, const ScmOutputMark& mark, size_t maxBytes) {
  const std::string path = OutputPath(name);
  if (path.empty()) return std::string();
  CFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const bool same = st.st_dev == mark.device && st.st_ino == mark.inode && size >= mark.size;
  uint64_t from = same ? mark.size : 0;
  if (size - from > maxBytes) from = size - maxBytes;
  std::string text(static_cast<size_t>(size - from), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = pread(fd.get(), &text[got], text.size() - got, static_cast<off_t>(from + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  return text;
}

int Scm_StartService(const std::string& name) {
  ServiceRef ref;
  const int rc = OpenService(name, true, ref);
  if (rc != kScmOk) return rc;
  if (ref.deletePending) return kScmErrMarkedForDelete;
  if (ref.config.startType == kStartDisabled) return kScmErrServiceDisabled;
  if (EffectiveStatus(ref.status).state != kStateStopped) return kScmErrAlreadyRunning;
  std::vector<std::string> args;
  if (!Scm_SplitCommandLine(ref.config.binaryPath, args) || args[0].empty())
    return kScmErrFileNotFound;
  return SpawnService(ref, args);
}

int Scm_ControlService(const std::string& name, uint32_t control, ScmStatus& out) {
  if (control != kControlStop && control != kControlInterrogate && control != kControlShutdown)
    return kScmErrInvalidControl;
  CFd conn;
  {
    ServiceRef ref;
    const int rc = OpenService(name, true, ref);
    if (rc != kScmOk) return rc;
    out = EffectiveStatus(ref.status);
    if (out.state == kStateStopped) return kScmErrNotActive;
    if (control != kControlInterrogate && out.state != kStateRunning)
      return kScmErrCannotAcceptCtrl;
    CFd dirfd(open(ref.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    sockaddr_un addr;
    if (!dirfd.valid() || !ControlAddress(dirfd.get(), addr)) return kScmErrIo;
    // Non-blocking: a full backlog must not stall a controller that holds the lock.
    conn.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!conn.valid()) return kScmErrIo;
    if (connect(conn.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
      return kScmErrCannotAcceptCtrl;
    const std::string request = "control=" + std::to_string(control) + "\n";
    if (send(conn.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
      return kScmErrCannotAcceptCtrl;
  }  // the lock is released here: the handler may take long, and it reports without the lock

  std::string line;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  const bool answered = ReadLine(conn.get(), deadline, line);
  const bool timedOut = !answered && RemainingMs(deadline) == 0;
  // A service deleted while it ran is gone as soon as it stopped.
  if (Scm_QueryStatus(name, out) == kScmErrServiceNotInstalled) out = ScmStatus();
  if (!answered) {
    if (timedOut) return kScmErrTimeout;
    return out.state == kStateStopped ? kScmErrNotActive : kScmErrIo;
  }
  uint32_t result = 0;
  if (!ParseTagged(line, "result", result)) return kScmErrIo;
  return static_cast<int>(result);
}

bool Scm_SplitCommandLine(const std::string& line, std::vector<std::string>& argv) {
  argv.clear();
  if (line.find('\0') != std::string::npos) return false;
  size_t i = 0;
  const size_t n = line.size();
  for (;;) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      const char c = line[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == '"') {
          // 2n backslashes and a quote: n backslashes, the quote toggles; 2n+1: n and a quote.
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          arg += '"';  // "" inside quotes is a literal quote
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += c;
      ++i;
    }
    argv.push_back(arg);
  }
  return !argv.empty();
}

std::string Scm_JoinCommandLine(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += ' ';
    line += '"';
    size_t slashes = 0;
    for (const char c : arg) {
      if (c == '\\') {
        ++slashes;
        continue;
      }
      if (c == '"') {
        line.append(slashes * 2 + 1, '\\');  // each backslash doubled, then the escaped quote
        line += '"';
      } else {
        line.append(slashes, '\\');
        line += c;
      }
      slashes = 0;
    }
    line.append(slashes * 2, '\\');  // before the closing quote they are doubled
    line += '"';
  }
  return line;
}

const char* Scm_StateName(uint32_t state) {
  switch (state) {
    case kStateStopped:
      return "STOPPED";
    case kStateStartPending:
      return "START_PENDING";
    case kStateStopPending:
      return "STOP_PENDING";
    case kStateRunning:
      return "RUNNING";
    default:
      return "UNKNOWN";
  }
}

const char* Scm_ErrorText(int error) {
  switch (error) {
    case kScmOk:
      return "The operation completed successfully.";
    case kScmErrIo:
      return "Incorrect function.";
    case kScmErrFileNotFound:
      return "The system cannot find the file specified.";
    case kScmErrAccessDenied:
      return "Access is denied.";
    case kScmErrInvalidHandle:
      return "The handle is invalid.";
    case kScmErrInvalidParameter:
      return "The parameter is incorrect.";
    case kScmErrInvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case kScmErrBadExeFormat:
      return "%1 is not a valid Win32 application.";
    case kScmErrInvalidControl:
      return "The requested control is not valid for this service.";
    case kScmErrTimeout:
      return "The service did not respond to the start or control request in a timely fashion.";
    case kScmErrAlreadyRunning:
      return "An instance of the service is already running.";
    case kScmErrServiceDisabled:
      return "The service cannot be started, either because it is disabled or because it has no "
             "enabled devices associated with it.";
    case kScmErrServiceNotInstalled:
      return "The specified service does not exist as an installed service.";
    case kScmErrCannotAcceptCtrl:
      return "The service cannot accept control messages at this time.";
    case kScmErrNotActive:
      return "The service has not been started.";
    case kScmErrNotFromScm:
      return "The service process could not connect to the service controller.";
    case kScmErrProcessAborted:
      return "The process terminated unexpectedly.";
    case kScmErrMarkedForDelete:
      return "The specified service has been marked for deletion.";
    case kScmErrServiceExists:
      return "The specified service already exists.";
    case kScmErrNeverStarted:
      return "The service has not been started since the last boot.";
    default:
      return "Unknown error.";
  }
}

namespace {

// The service's stdout and stderr go to stdout.log for its whole life: past the limit the file
// is moved aside (replacing the one moved before) and a new one takes its place, so a talkative
// service never fills the disk.
void BoundStdoutLog(int dirfd) {
  struct stat out, file;
  if (fstat(1, &out) != 0 || !S_ISREG(out.st_mode) || out.st_size <= kStdoutLogLimit) return;
  if (fstatat(dirfd, kStdoutLog, &file, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (file.st_dev != out.st_dev || file.st_ino != out.st_ino) return;  // not ours to move
  if (renameat(dirfd, kStdoutLog, dirfd, kStdoutLogOld) != 0) return;
  const int fd = openat(dirfd, kStdoutLog, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  fflush(stdout);
  fflush(stderr);
  dup2(fd, 1);
  dup2(fd, 2);
  close(fd);
}

}  // namespace

int Scm_StartServiceCtrlDispatcher(const std::string& /*name*/, ScmServiceMain serviceMain) {
  // An own-process service is known by what the manager put into the environment; the name
  // of the table entry is not checked.
  std::string name, dir;
  if (!StartedByManager(name, dir)) return kScmErrNotFromScm;
  if (!serviceMain || g_dispatcherStarted.exchange(true)) return kScmErrAlreadyRunning;

  // Before any thread exists, so every thread inherits the mask and the signals reach only
  // the signalfd below.
  sigset_t signals, old;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, &old);

  CFd sigfd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  CFd dirfd = OpenDir(dir);
  CFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  CFd listener = dirfd.valid() ? ListenControl(dirfd.get()) : CFd();
  if (!sigfd.valid() || !dirfd.valid() || !wake.valid() || !listener.valid()) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    g_dispatcherStarted = false;
    return kScmErrIo;
  }

  DispatcherState& d = Dispatcher();
  {
    std::lock_guard<std::mutex> g(d.mu);
    d.name = name;
    d.dir = dir;
    d.dirfd = dirfd.release();  // kept for late reports from other threads
    d.wakefd = wake.get();
    d.ownStart = OwnStartTime();
    d.state = kStateStartPending;
  }

  static std::string* argv0 = new std::string(name);  // the service main may keep argv
  static char* args[] = {&(*argv0)[0], nullptr};
  std::thread([serviceMain] {
    serviceMain(1, args);
    DispatcherState& ds = Dispatcher();
    std::lock_guard<std::mutex> g(ds.mu);
    ds.mainDone = true;
    ds.mainDoneCv.notify_all();
    Wake(ds.wakefd);
  }).detach();

  bool pendingStop = false;
  for (;;) {
    uint32_t state;
    ScmCtrlHandler handler;
    {
      std::lock_guard<std::mutex> g(d.mu);
      state = d.state;
      handler = d.handler;
    }
    if (state == kStateStopped) break;
    // A stop signal that came while the service was starting is delivered once it runs.
    if (pendingStop && handler && state == kStateRunning) {
      pendingStop = false;
      DeliverControl(kControlStop);
      continue;
    }
    BoundStdoutLog(d.dirfd);
    pollfd fds[3] = {{sigfd.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}, {listener.get(), POLLIN, 0}};
    if (poll(fds, 3, kStdoutCheckMs) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      while (read(sigfd.get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) pendingStop = true;
      }
    }
    if (fds[1].revents & POLLIN) Drain(wake.get());
    if (fds[2].revents & POLLIN) {
      for (;;) {
        CFd conn(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn.valid()) break;
        ServeControlConnection(conn.get());
      }
    }
  }

  WaitForServiceMain();
  listener.reset();
  {
    std::lock_guard<std::mutex> g(d.mu);
    unlinkat(d.dirfd, kSocketFile, 0);
    d.wakefd = -1;
  }
  // A service deleted while it ran goes now that it has stopped.
  ServiceRef ref;
  OpenService(name, false, ref);
  return kScmOk;
}

int Scm_RegisterServiceCtrlHandlerEx(const std::string& /*name*/, ScmCtrlHandler handler,
                                     void* context) {
  DispatcherState& d = Dispatcher();
  std::lock_guard<std::mutex> g(d.mu);
  if (!handler || d.dirfd < 0) return 0;
  d.handler = handler;
  d.context = context;
  return 1;
}

int Scm_SetServiceStatus(uint32_t state, uint32_t checkpoint, uint32_t waitHintMs,
                         uint32_t exitCode) {
  if (state < kStateStopped || state > kStateRunning) return kScmErrInvalidParameter;
  DispatcherState& d = Dispatcher();
  std::lock_guard<std::mutex> g(d.mu);
  if (d.dirfd < 0) return kScmErrInvalidHandle;
  StatusRecord rec;
  rec.status.state = state;
  rec.status.checkpoint = checkpoint;
  rec.status.waitHintMs = waitHintMs;
  rec.status.exitCode = exitCode;
  rec.status.pid = getpid();
  rec.pidStart = d.ownStart;
  if (!WriteFileAtomic(d.dirfd, kStatusFile, FormatStatus(rec))) return kScmErrIo;
  d.state = state;
  Wake(d.wakefd);
  return kScmOk;
}
