#pragma once
// An emulated service control manager. Each service has a folder <system>/scm/<name>/ with a
// config file and a status file (both replaced atomically), a lock file that serialises
// controllers, and a control socket that the running service listens on. Starting forks,
// calls setsid, sends stdout/stderr to scm/<name>/stdout.log and execs the installed command
// line (split with Windows quoting rules); the child finds the manager through its
// environment. A status whose pid is dead (or reused) reads as STOPPED with exit code 1067.
// The started process gets QUARLO_SCM_SERVICE=<name> and QUARLO_SYSTEM_DIR=<system>; the
// dispatcher also requires the status file to name its own pid and start time.
#include <cstdint>
#include <string>
#include <vector>

// Windows error numbers the callers test.
constexpr int kScmOk = 0;
constexpr int kScmErrServiceNotInstalled = 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
constexpr int kScmErrServiceExists = 1073;        // ERROR_SERVICE_EXISTS
constexpr int kScmErrAlreadyRunning = 1056;       // ERROR_SERVICE_ALREADY_RUNNING
constexpr int kScmErrCannotAcceptCtrl = 1061;     // ERROR_SERVICE_CANNOT_ACCEPT_CTRL
constexpr int kScmErrNotActive = 1062;            // ERROR_SERVICE_NOT_ACTIVE
constexpr int kScmErrNotFromScm = 1063;           // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
constexpr int kScmErrMarkedForDelete = 1072;      // ERROR_SERVICE_MARKED_FOR_DELETE
constexpr int kScmErrTimeout = 1053;              // ERROR_SERVICE_REQUEST_TIMEOUT
constexpr int kScmErrProcessAborted = 1067;       // ERROR_PROCESS_ABORTED
constexpr int kScmErrIo = 1;                      // anything else
constexpr int kScmErrFileNotFound = 2;            // the installed program does not exist
constexpr int kScmErrAccessDenied = 5;
constexpr int kScmErrInvalidHandle = 6;           // status report outside a dispatcher
constexpr int kScmErrInvalidParameter = 87;
constexpr int kScmErrInvalidName = 123;           // not usable as a service name
constexpr int kScmErrBadExeFormat = 193;
constexpr int kScmErrInvalidControl = 1052;
constexpr int kScmErrServiceDisabled = 1058;
constexpr int kScmErrNeverStarted = 1077;         // exit code of a service not yet started

enum ScmState : uint32_t {
  kStateStopped = 1,
  kStateStartPending = 2,
  kStateStopPending = 3,
  kStateRunning = 4,
};
enum ScmStartType : uint32_t { kStartAuto = 2, kStartDemand = 3, kStartDisabled = 4 };
enum ScmControl : uint32_t { kControlStop = 1, kControlInterrogate = 4, kControlShutdown = 5 };

struct ScmConfig {
  std::string binaryPath;  // the command line as installed
  uint32_t startType = kStartAuto;
  std::string displayName;
  std::string description;
};

struct ScmStatus {
  uint32_t state = kStateStopped;
  uint32_t checkpoint = 0;
  uint32_t waitHintMs = 0;
  uint32_t exitCode = 0;
  int pid = 0;
};

// The system folder of the manager: the folder set by Scm_SetSystemDir, else $QUARLO_SYSTEM_DIR,
// else <base>/system where the base is the parent of the calling program's folder (a program
// that itself lives in a folder named "system" uses that folder).
// For a per-user installation (see process_path.h) it is <the user's base>/system.
std::string Scm_SystemDir();
// Where the tools sc, net, taskkill and reg are: the installation's own system folder for a
// per-user installation, else the system folder.
std::string Scm_ToolsDir();
void Scm_SetSystemDir(const std::string& dir);  // tests and tools

// Controller side. Each returns 0 or a Windows error number.
int Scm_CreateService(const std::string& name, const ScmConfig& config);
int Scm_DeleteService(const std::string& name);  // marked, removed once stopped
int Scm_QueryConfig(const std::string& name, ScmConfig& out);
int Scm_ChangeConfig(const std::string& name, const ScmConfig& config);  // every field
// Changes only the fields named in the mask, under the service's lock.
constexpr uint32_t kConfigBinaryPath = 1, kConfigStartType = 2, kConfigDisplayName = 4,
                   kConfigDescription = 8;
int Scm_ChangeConfigFields(const std::string& name, const ScmConfig& config, uint32_t fields);
int Scm_QueryStatus(const std::string& name, ScmStatus& out);
int Scm_StartService(const std::string& name);  // returns once the process was started
// Delivers the control and waits (up to 30 s, 1053 after) for the handler's answer; out is the
// status afterwards. 1062 when not running, 1061 while START_PENDING or STOP_PENDING.
int Scm_ControlService(const std::string& name, uint32_t control, ScmStatus& out);
bool Scm_IsInstalled(const std::string& name);
// What a service printed (its stdout.log) since a mark taken before a start: the reason a failed
// start gives, at most maxBytes of the end. A log moved aside meanwhile is read from its start.
struct ScmOutputMark {
  uint64_t device = 0, inode = 0, size = 0;
};
ScmOutputMark Scm_OutputMark(const std::string& name);
std::string Scm_OutputSince(const std::string& name, const ScmOutputMark& mark, size_t maxBytes);

// Splits a command line with Windows quoting rules (quotes, backslashes before quotes).
bool Scm_SplitCommandLine(const std::string& line, std::vector<std::string>& argv);
// Its inverse: every argument quoted so that Scm_SplitCommandLine gives back exactly argv
// (a quote or a blank in a path stays inside its argument). The manager stores a service's
// command this way and starts it from the split vector.
std::string Scm_JoinCommandLine(const std::vector<std::string>& argv);
const char* Scm_StateName(uint32_t state);  // "RUNNING", "STOPPED", ...
const char* Scm_ErrorText(int error);       // the Windows message of an error number

// Service side.
using ScmServiceMain = void (*)(int argc, char** argv);
using ScmCtrlHandler = uint32_t (*)(uint32_t control, uint32_t eventType, void* eventData,
                                    void* context);

// Blocks SIGTERM/SIGINT/SIGHUP, runs the service main on a thread and the control handler on
// the calling thread until the service reports STOPPED. SIGTERM and SIGINT are stop requests
// (held until the service runs), SIGHUP is ignored. Returns 0, or 1063 (touching nothing)
// when the process was not started by the manager.
int Scm_StartServiceCtrlDispatcher(const std::string& name, ScmServiceMain serviceMain);
// Registers the control handler; the name is not checked (own-process service). 0 on failure.
int Scm_RegisterServiceCtrlHandlerEx(const std::string& name, ScmCtrlHandler handler, void* context);
// Reports the service's state to the manager. 0 on success.
int Scm_SetServiceStatus(uint32_t state, uint32_t checkpoint, uint32_t waitHintMs, uint32_t exitCode);
