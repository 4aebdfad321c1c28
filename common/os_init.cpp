#include "common/os_init.h"

#include <chrono>
#include <thread>

#include "common/command_server.h"
#include "common/log.h"
#include "common/thread_pool.h"

namespace {

constexpr int kPortWaitPasses = 500;
constexpr auto kPortWaitPass = std::chrono::milliseconds(10);

OsServerTask g_commandServerTask = OS_RunEvent;

int CreateNamedMutex(MutexHandle* handle, const char* failureText) {
  if (OS_CreateMutex(handle) == 0) return 0;
  QV_LOG(kModCommLib, kLogError, "%s", failureText);
  return kErrMutex;
}

}  // namespace

void OS_SetCommandServerTask(OsServerTask task) { g_commandServerTask = task ? task : OS_RunEvent; }

int OS_Init() {
  g_pThreadPool = ThreadPool_Create();
  if (!g_pThreadPool) return kErrThreadPool;

  if (int rc = CreateNamedMutex(&g_MutexLogOnRtn, "Init g_MutexLogOnRtn error.")) return rc;
  if (int rc = CreateNamedMutex(&g_MutexDownLoadCount, "Init g_MutexDownLoadCount error.")) return rc;
  if (int rc = CreateNamedMutex(&g_MutexLastHBTime, "Init g_MutexLastHBTime error.")) return rc;
  if (int rc = CreateNamedMutex(&g_MutexTransMap, "Init user info mutex error.")) return rc;
  if (int rc = CreateNamedMutex(&g_StopDownLoadMutex, "Init g_StopDownLoadMutex error.")) return rc;

  g_CommandPortState = 0;
  if (ThreadPool_AddTask(g_pThreadPool, g_commandServerTask, nullptr) != 0) {
    QV_LOG(kModCommLib, kLogError, "Init communication server error.");
    return kErrCommandServerTask;
  }

  // Whether the port is configured or chosen, the service runs only once it holds it.
  for (int pass = 0; pass < kPortWaitPasses; ++pass) {
    const int state = g_CommandPortState.load();
    if (state == 1 && g_LocalPort.load() != 0) return 0;
    if (state < 0) break;
    std::this_thread::sleep_for(kPortWaitPass);
  }
  QV_LOG(kModCommLib, kLogError, "get local bind port error.");
  return kErrNoCommandPort;
}
