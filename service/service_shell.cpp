#include "service/service_shell.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>

#include "common/command_server.h"
#include "common/log.h"
#include "common/os_init.h"
#include "common/settings.h"
#include "common/share_paths.h"
#include "common/sockets.h"
#include "common/sqlite_wrapper.h"
#include "common/thread_pool.h"
#include "platform/named_mutex.h"
#include "platform/process_path.h"
#include "platform/scm.h"
#include "service/pictures/auto_sort.h"
#include "service/account/device_requests.h"
#include "service/account/account.h"
#include "service/transfers/download.h"
#include "service/roads/http_server.h"
#include "service/account/identity.h"
#include "service/roads/relay_client.h"
#include "service/transfers/relay_transfer.h"
#include "service/roads/lan_discovery.h"
#include "service/roads/p2p_channel.h"
#include "service/service_globals.h"
#include "service/transfers/transfer_sessions.h"
#include "service/transfers/upload.h"
#include "service/transfers/upload_writer.h"

namespace {

char g_szServiceName[50] = "QuarloClient";
std::string g_strDbPath;
EventHandle g_hStopEvent = nullptr;
int g_nInstanceLock = -1;  // kept open for the life of the process

// Status record of the service as last reported.
struct StatusRecord {
  uint32_t state = kStateStopped;
  uint32_t checkpoint = 0;
  uint32_t waitHint = 0;
};
StatusRecord g_status;

void ReportStatus(uint32_t state, uint32_t checkpoint, uint32_t waitHint) {
  g_status.state = state;
  g_status.checkpoint = checkpoint;
  g_status.waitHint = waitHint;
  Scm_SetServiceStatus(state, checkpoint, waitHint, 0);
}

void PrintLine(const char* text) {
  printf("%s\n", text);
  fflush(stdout);
}

// An uncaught exception ends the process quietly, after the log has what it had.
[[noreturn]] void Service_ExceptionFilter() {
  g_Log.Flush();
  _exit(1);
}

// Pool tasks of the later parts of the service, in start-up order. A slot without a task is a
// part that this build does not have yet; nothing is started for it.
struct StartTask {
  const char* name;
  PoolTask task;
  const char* failure;
};
const StartTask kStartTasks[] = {
    {"UserOp", UserOp, nullptr},  // a refused first log-on is retried by the heartbeat
    {"HeartBeat", HeartBeat, "Add HeartBeat to thread error."},
    {"StartRecvInterLine", StartRecvInterLine, "Add StartRecvInterLine to thread error."},
    {"InterLineUpLoadFile", InterLineUpLoadFile, "Add InterLineUpLoadFile to thread error."},
    {"StartP2PClient", StartP2PClient, "Add StartP2PClient to thread error."},
    {"StartBroadcastServer", StartBroadcastServer, "Add StartBroadcastServer to thread error."},
    {"SetDiskInfo", SetDiskInfo, "Add SetDiskInfo to thread error."},
    {"StartHttpServer", StartHttpServer, "StartHttpServer thread error."},
    {"StartAutoTiding", StartAutoTiding, "StartAutoTiding thread error."},
};

std::string ReadOsRelease() {
  std::ifstream in("/etc/os-release");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
    std::string v = line.substr(12);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    return v;
  }
  return "";
}

bool HasConfRow() {
  try {
    CMutexLock lock(g_DB.WriteMutex());
    CppSQLite3Query q = g_DB.ExecQuery("select count(*) as num from qv_conf");
    return !q.Eof() && q.GetIntField("num") > 0;
  } catch (const CppSQLite3Exception&) {
    return false;
  }
}

// The stop and shutdown controls differ only in the step table they run.
void Service_OnControl(const ServiceStep* steps, int count) {
  g_ExitFlag = 1;
  ReportStatus(kStateStopPending, 0, 60000);
  if (g_hStopEvent) g_hStopEvent->Set();
  g_status.checkpoint = 0;
  Service_RunSteps(steps, count);
  ReportStatus(kStateStopped, 0, 0);
}

const ServiceStep kStartTable[] = {Service_InitProcess, Service_InitProgram};
const ServiceStep kStopTable[] = {Service_Exit};
const ServiceStep kShutdownTable[] = {Service_Exit};

void Service_OnStop() { Service_OnControl(kStopTable, 1); }
void Service_OnShutdown() { Service_OnControl(kShutdownTable, 1); }

}  // namespace

int Service_IsInstalled(const std::string& name) { return Scm_IsInstalled(name) ? 1 : 0; }

int Service_Install(const std::string& name) {
  std::string exe;
  if (Plat_ProgramPath(exe) != 0 || exe.size() > 259) return 0;
  ScmConfig config;
  // Quoted so that the manager's split gives back exactly these three arguments; a line too
  // long to store is no install (a cut one would start something else).
  const std::string line = Scm_JoinCommandLine({exe, "-r", name});
  if (line.size() > 1023) return 0;
  config.binaryPath = line;
  config.startType = kStartAuto;
  config.displayName = name;
  return Scm_CreateService(name, config) == kScmOk ? 1 : 0;
}

int Service_Uninstall(const std::string& name) {
  return Scm_DeleteService(name) == kScmOk ? 1 : 0;
}

int Service_RunSteps(const ServiceStep* steps, int count) {
  for (int i = 0; i < count; ++i) {
    ++g_status.checkpoint;
    ReportStatus(g_status.state, g_status.checkpoint, g_status.waitHint);
    if (steps[i]() != 0) return -1;
  }
  return 0;
}

void Service_Main(int /*argc*/, char** /*argv*/) {
  g_status = StatusRecord();
  Scm_RegisterServiceCtrlHandlerEx(g_szServiceName, Service_CtrlHandler, nullptr);
  ReportStatus(kStateStartPending, 0, 60000);
  g_hStopEvent = Plat_CreateEvent(true, false);
  // Our own copy before RUNNING is reported: from then on the stop path runs on the control
  // thread. The event itself is never destroyed.
  const EventHandle stopEvent = g_hStopEvent;
  if (stopEvent && Service_RunSteps(kStartTable, 2) == 0) {
    ReportStatus(kStateRunning, 0, 0);
    stopEvent->Wait();
    return;  // the stop path reports STOPPED once Service_Exit has run
  }
  ReportStatus(kStateStopped, 0, 0);
}

uint32_t Service_CtrlHandler(uint32_t control, uint32_t /*eventType*/, void* /*eventData*/,
                             void* /*context*/) {
  if (control == kControlStop) {
    Service_OnStop();
  } else if (control == kControlShutdown) {
    Service_OnShutdown();
  }
  return 0;
}

int Service_InitProcess() {
  // Higher priority needs privileges a desktop user lacks; without them the service runs at
  // normal priority.
  setpriority(PRIO_PROCESS, 0, -5);
  std::set_terminate(Service_ExceptionFilter);
  return 0;
}

std::string GetOSName() {
  std::string name = ReadOsRelease();
  if (!name.empty()) return name;
  struct utsname u;
  if (uname(&u) != 0) return "unknown";
  return std::string(u.sysname) + " " + u.release;
}

void InitOSInfo() {
  g_strOSName = GetOSName();
  g_nSysType = 2;
}

int Service_InitProgram() {
  g_ExitFlag = 0;

  // One service per base folder, whoever starts it and with whatever environment: the lock
  // lives in the base folder itself.
  bool exists = false;
  g_nInstanceLock = g_strBaseDir.empty()
                        ? -1
                        : Plat_CreateNamedMutexIn(g_strBaseDir + "/etc", kSingleInstanceName, exists);
  if (g_nInstanceLock < 0) {
    if (exists) {
      PrintLine("server exits.");
      return kErrAnotherInstance;
    }
    PrintLine("create instance lock error.");
    return kErrInstanceLock;
  }

  // Without a base folder there is no database to open; the service never creates one (its
  // tables come with the installation), so a missing file is an installation fault.
  struct stat st;
  if (g_strBaseDir.empty() || stat(g_strDbPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    PrintLine("open database error.");
    return kErrOpenDatabase;
  }
  try {
    g_DB.Open(g_strDbPath);
  } catch (CppSQLite3Exception&) {
    PrintLine("open database error.");
    return kErrOpenDatabase;
  }

  int console = 0;
  int priority = kLogDefaultPriority;
  ParseLogConf(console, priority);

  const std::string logDir = g_strBaseDir + "/log";
  if (OS_DirExists(logDir) != 0) mkdir(logDir.c_str(), 0755);
  g_Log.SetPath(logDir + "/Log.txt");
  g_Log.SetConsole(console != 0);
  g_Log.SetPriority(static_cast<unsigned>(priority));
  if (!g_Log.Open()) {
    PrintLine("open log file exits.");
    return kErrOpenLogFile;
  }

  DeleteRenameFiles();

  ParseLocalPort();
  QV_LOG(kModCommLib, kLogDebug, "local bind port %d.", static_cast<int>(g_LocalPort.load()));
  // One line marks each start, so a tail of the log tells this run from the last one.
  QV_LOG(kModClient, kLogInfo, "QuarloClient %s starting: base folder %s, command port %d.",
         QUARLO_VERSION_TEXT, g_strBaseDir.c_str(), static_cast<int>(g_LocalPort.load()));

  InitOSInfo();
  QV_LOG(kModCommLib, kLogDebug, "os %s, type %d.", g_strOSName.c_str(), g_nSysType);

  g_strMacAddr = GetMacAddr();
  if (g_strMacAddr.empty()) {
    QV_LOG(kModCommLib, kLogError, "Get mac addr error.");
    return -1;
  }
  QV_LOG(kModCommLib, kLogDebug, "Mac:%s", g_strMacAddr.c_str());
  // Without an identity of its own (no file, no server) the MAC text stands in, unsaved, so
  // the next start asks the server again.
  std::string identity = GetDeviceUUID();
  if (identity.empty()) identity = g_strMacAddr;
  std::memset(g_szUUID, 0, sizeof(g_szUUID));
  std::strncpy(g_szUUID, identity.c_str(), sizeof(g_szUUID) - 1);
  QV_LOG(kModCommLib, kLogDebug, "UUID:%s", g_szUUID);

  g_strCodePage = GetDefLanguageEncode();
  QV_LOG(kModCommLib, kLogDebug, "def language encode is %s.", g_strCodePage.c_str());

  std::string localIp;
  if (GetLoaclIp(localIp) != 0)
    QV_LOG(kModCommLib, kLogWarning, "get local ip error %s.", localIp.c_str());
  SetLocalIpText(localIp);

  // Every handler is registered before the command server accepts its first connection, so
  // no lookup ever races an insert.
  int rc = RegBusinessFun();
  if (rc != 0) {
    QV_LOG(kModClient, kLogInfo, "Regester function error, return code(%d).", rc);
    return rc;
  }
  Trans_InstallHooks(&Download_OnConnectionClosed);
  Download_InstallHooks();
  Device_InstallHooks();  // after the transfer hooks: it chains them
  Device_LoadSettings();
  Http_LoadSettings();

  OS_ApplyTestSettings();
  rc = OS_Init();
  if (rc != 0) {
    QV_LOG(kModCommLib, kLogError, "os init error.");
    return rc;
  }
  if (!HasConfRow()) {
    // The desktop program dials 15002: a port chosen for want of settings must be findable.
    QV_LOG(kModCommLib, kLogError, "qv_conf has no row; command port %d chosen.",
           static_cast<int>(g_LocalPort.load()));
  }

  for (const StartTask& t : kStartTasks) {
    if (!t.task) continue;
    if (ThreadPool_AddTask(g_pThreadPool, t.task, nullptr) != 0 && t.failure) {
      QV_LOG(kModClient, kLogError, "%s", t.failure);
      return -1;
    }
  }

  QV_LOG(kModClient, kLogInfo, "Start service successful!");
  return 0;
}

int Service_Exit() {
  LogOut();
  OS_StopEvent();
  // Its connections close (and their transfers with them) before STOPPED is reported.
  if (!OS_WaitEventStopped(5000)) QV_LOG(kModCommLib, kLogError, "local server did not stop.");
  // The database stays open: tasks may still be running, and the process leaves right after
  // STOPPED is reported. Every write was committed in its own transaction.
  QV_LOG(kModClient, kLogDebug, "exit server.");
  OS_Exit();
  Upload_Flush();    // uploads ended before the stop are published
  TransLog_Flush();  // every finished transfer has its row before STOPPED
  return 0;
}

namespace {

const char kUsage[] =
    "usage: QuarloClient -i NAME   install the service NAME (then \"net start NAME\")\n"
    "       QuarloClient -u NAME   remove the installed service NAME\n"
    "       QuarloClient -r NAME   run as the service NAME (the service manager starts it so)\n"
    "The base folder is the parent of the program's folder: its settings are\n"
    "<base>/etc/Quarlo.db, its log <base>/log/Log.txt.\n";

int BadCommandLine(int status) {
  std::fputs(kUsage, stderr);
  return status;
}

}  // namespace

int ServiceCommandLine(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 2) return BadCommandLine(1);
  // An option without a service name is a mistake worth saying, not a silent success.
  if (argc < 3) return BadCommandLine(1);

  std::snprintf(g_szServiceName, sizeof(g_szServiceName), "%s", "QuarloClient");
  g_strBaseDir.clear();
  std::string base;
  if (GetBaseDir(base) == 0) g_strBaseDir = base;
  g_strDbPath = g_strBaseDir + "/etc/Quarlo.db";

  const std::string option = argv[1];
  const std::string name = argv[2];
  if (option == "-i") {
    if (Service_IsInstalled(name)) {
      QV_LOG(kModCommLib, kLogWarning, "Service %s exited!", name.c_str());
      return -1;
    }
    if (Service_Install(name)) {
      QV_LOG(kModCommLib, kLogInfo, "Install service %s successful!", name.c_str());
      return 0;
    }
    QV_LOG(kModCommLib, kLogError, "Install service %s error!", name.c_str());
    return -1;
  }
  if (option == "-u") {
    return (Service_IsInstalled(name) && Service_Uninstall(name)) ? 0 : -1;
  }
  if (option == "-r") {
    const int rc = Scm_StartServiceCtrlDispatcher(name, Service_Main);
    if (rc != 0) return -1;
    // STOPPED has been reported: leave without running destructors under live threads.
    g_Log.Flush();
    fflush(stdout);
    _exit(0);
  }
  return BadCommandLine(-1);
}
