// sc: the service control tool of the emulated manager. Its output follows the Windows tool
// where callers parse it ("STATE              : 4  RUNNING", "FAILED 1060:").
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/scm.h"

namespace {

constexpr int kExitSyntax = kScmErrInvalidParameter;

// An exit status has 8 bits here: the low byte of the error number, never 0 for a failure.
int ExitCodeFor(int error) {
  if (error == kScmOk) return 0;
  const int code = error & 0xFF;
  return code != 0 ? code : 1;
}

int Fail(const char* function, int error) {
  std::printf("[SC] %s FAILED %d:\n\n%s\n\n", function, error, Scm_ErrorText(error));
  return ExitCodeFor(error);
}

void PrintStatus(const std::string& name, const ScmStatus& s, bool extended) {
  std::printf("SERVICE_NAME: %s\n", name.c_str());
  std::printf("        TYPE               : 10  WIN32_OWN_PROCESS\n");
  std::printf("        STATE              : %u  %s\n", s.state, Scm_StateName(s.state));
  std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", s.exitCode, s.exitCode);
  std::printf("        SERVICE_EXIT_CODE  : 0  (0x0)\n");
  std::printf("        CHECKPOINT         : 0x%x\n", s.checkpoint);
  std::printf("        WAIT_HINT          : 0x%x\n", s.waitHintMs);
  if (extended) {
    std::printf("        PID                : %d\n", s.pid);
    std::printf("        FLAGS              :\n");
  }
}

const char* StartTypeName(uint32_t type) {
  switch (type) {
    case kStartAuto:
      return "AUTO_START";
    case kStartDemand:
      return "DEMAND_START";
    case kStartDisabled:
      return "DISABLED";
    default:
      return "UNKNOWN";
  }
}

const char kUsage[] =
    "DESCRIPTION:\n"
    "        SC is a command line program used for communicating with the\n"
    "        Service Control Manager and services.\n"
    "USAGE:\n"
    "        sc <command> [service name] <option1> <option2>...\n\n"
    "        query, queryex, qc, start, stop, config, description, delete\n"
    "        config options: start= <auto|demand> binPath= <command line>\n"
    "                        DisplayName= <name>\n";

// A command line it does not take: the usage on standard error and the syntax error's status.
int Usage() {
  std::fputs(kUsage, stderr);
  return ExitCodeFor(kExitSyntax);
}

bool AsksForHelp(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "/?"; }

int Query(const std::string& name, bool extended) {
  ScmStatus status;
  const int rc = Scm_QueryStatus(name, status);
  if (rc != kScmOk) {
    // Windows prints this form with a single line break.
    std::printf("[SC] EnumQueryServicesStatus:OpenService FAILED %d:\n%s\n", rc, Scm_ErrorText(rc));
    return ExitCodeFor(rc);
  }
  PrintStatus(name, status, extended);
  return 0;
}

int QueryConfig(const std::string& name) {
  ScmConfig config;
  const int rc = Scm_QueryConfig(name, config);
  if (rc != kScmOk) return Fail("OpenService", rc);
  std::printf("[SC] QueryServiceConfig SUCCESS\n\n");
  std::printf("SERVICE_NAME: %s\n", name.c_str());
  std::printf("        TYPE               : 10  WIN32_OWN_PROCESS\n");
  std::printf("        START_TYPE         : %u  %s\n", config.startType,
              StartTypeName(config.startType));
  std::printf("        BINARY_PATH_NAME   : %s\n", config.binaryPath.c_str());
  std::printf("        DISPLAY_NAME       : %s\n", config.displayName.c_str());
  return 0;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Options are written "key=" followed by the value as its own argument.
int Config(const std::string& name, const std::vector<std::string>& opts) {
  ScmConfig config;
  uint32_t fields = 0;
  for (size_t i = 0; i < opts.size(); ++i) {
    std::string key = opts[i];
    std::string value;
    const size_t eq = key.find('=');
    if (eq == std::string::npos) return Usage();
    if (eq + 1 < key.size()) {
      value = key.substr(eq + 1);
    } else {
      if (i + 1 >= opts.size()) return Usage();
      value = opts[++i];
    }
    key = Lower(key.substr(0, eq));
    if (key == "start") {
      const std::string v = Lower(value);
      if (v == "auto") {
        config.startType = kStartAuto;
      } else if (v == "demand") {
        config.startType = kStartDemand;
      } else {
        return Fail("ChangeServiceConfig", kScmErrInvalidParameter);
      }
      fields |= kConfigStartType;
    } else if (key == "binpath") {
      config.binaryPath = value;
      fields |= kConfigBinaryPath;
    } else if (key == "displayname") {
      config.displayName = value;
      fields |= kConfigDisplayName;
    } else {
      return Usage();
    }
  }
  if (fields == 0) return Usage();
  const int rc = Scm_ChangeConfigFields(name, config, fields);
  if (rc != kScmOk) return Fail("ChangeServiceConfig", rc);
  std::printf("[SC] ChangeServiceConfig SUCCESS\n");
  return 0;
}

int Description(const std::string& name, const std::vector<std::string>& words) {
  ScmConfig config;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i) config.description += ' ';
    config.description += words[i];
  }
  const int rc = Scm_ChangeConfigFields(name, config, kConfigDescription);
  if (rc != kScmOk) return Fail("ChangeServiceConfig2", rc);
  std::printf("[SC] ChangeServiceConfig2 SUCCESS\n");
  return 0;
}

int Delete(const std::string& name) {
  const int rc = Scm_DeleteService(name);
  if (rc != kScmOk) return Fail("DeleteService", rc);
  std::printf("[SC] DeleteService SUCCESS\n");
  return 0;
}

int Start(const std::string& name) {
  const int rc = Scm_StartService(name);
  if (rc != kScmOk) return Fail("StartService", rc);
  ScmStatus status;
  if (Scm_QueryStatus(name, status) == kScmOk) PrintStatus(name, status, true);
  return 0;
}

int Stop(const std::string& name) {
  ScmStatus status;
  const int rc = Scm_ControlService(name, kControlStop, status);
  if (rc != kScmOk) return Fail("ControlService", rc);
  PrintStatus(name, status, false);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && AsksForHelp(argv[1])) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 3) return Usage();
  const std::string command = Lower(argv[1]);
  const std::string name = argv[2];
  const std::vector<std::string> rest(argv + 3, argv + argc);
  if (command == "query" && rest.empty()) return Query(name, false);
  if (command == "queryex" && rest.empty()) return Query(name, true);
  if (command == "qc" && rest.empty()) return QueryConfig(name);
  if (command == "config") return Config(name, rest);
  if (command == "description" && !rest.empty()) return Description(name, rest);
  if (command == "delete" && rest.empty()) return Delete(name);
  if (command == "start" && rest.empty()) return Start(name);
  if (command == "stop" && rest.empty()) return Stop(name);
  return Usage();
}
