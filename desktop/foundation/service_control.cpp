#include "desktop/foundation/service_control.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/sys_utils.h"
#include "platform/registry.h"
#include "platform/scm.h"

namespace {

std::atomic<bool> g_crashQuestionOpen{false};

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

bool Has(const std::string& text, const char* marker) {
  return text.find(marker) != std::string::npos;
}

std::wstring Text(IServiceControlHost& host, const char* key) {
  ILanguages* l = host.Languages();
  return l ? l->GetText("MESSAGEBOX", key) : std::wstring();
}

// The user may control the service: an administrator, or one who owns the manager's folder.
bool MayControlService() { return IsUserInAdministrators() || !NeedsElevation(); }

}  // namespace

bool EnsureServiceRunning(IServiceControlHost& host) {
  std::string out = RunCommandCapture({"sc", "query", "Quarlo"}, true);
  bool running = Has(out, "RUNNING");
  for (int query = 1; !running && Has(out, "STATE"); ++query) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    if (query == 2) break;
    out = RunCommandCapture({"sc", "query", "Quarlo"}, true);
    running = Has(out, "RUNNING");
  }
  if (!running) {
    // By argv, one command at a time: no batch file in a folder the user can write.
    if (!Has(out, "STATE")) {
      RunMaybeElevated(host.Languages(), GetModuleDir() + "/QuarloClient", {"-i", "Quarlo"},
                       Text(host, "MSGBOX_UAC_STARTSERVICE"));
    }
    RunMaybeElevated(host.Languages(), "sc",
                     {"description", "Quarlo", "Provides Quarlo data transmitting supports."},
                     Text(host, "MSGBOX_UAC_UPDATE_SERVICE_DESC"));
    RunMaybeElevated(host.Languages(), "net", {"start", "Quarlo"}, Text(host, "MSGBOX_UAC_STARTSERVICE"));
  }
  if (Has(RunCommandCapture({"sc", "query", "Quarlo"}, true), "RUNNING")) return true;
  host.HideMainWindow();
  host.StopTimers();
  host.ShowMessage(Text(host, "MSGBOX_SERVICE_START_FAILED"), 0);
  return false;
}

bool CrashQuestionOpen() { return g_crashQuestionOpen; }

void CheckServiceAlive(IServiceControlHost& host) {
  ScmStatus status;
  if (Scm_QueryStatus(kServiceName, status) != kScmOk) return;
  if (status.state != kStateStopped) return;
  if (g_crashQuestionOpen.exchange(true)) return;  // a question is already open
  std::lock_guard<std::recursive_mutex> quit(host.QuitLock());
  if (host.IsQuitting()) {
    g_crashQuestionOpen = false;
    return;
  }
  if (host.ShowMessage(Text(host, "MSGBOX_SERVICE_CRASHED"), 4) == 1) {
    // A restart that fails has already told the user and stopped the timers: the program
    // ends rather than staying without a service and without a watchdog.
    if (!EnsureServiceRunning(host)) host.EndAllInstances();
  } else {
    host.StopTimers();
    host.EndAllInstances();
  }
  g_crashQuestionOpen = false;
}

void StopServiceOnExit(IServiceControlHost& host) {
  const std::string out = RunCommandCapture({"sc", "query", "Quarlo"}, true);
  if (Has(out, "STATE") && !Has(out, "STOPPED") && MayControlService()) {
    RunMaybeElevated(host.Languages(), "net", {"stop", "Quarlo"}, Text(host, "MSGBOX_UAC_STOPSERVICE"));
  }
}

void KillAllGuiInstances() { RunCommandCapture({"taskkill", "/IM", "Quarlo.exe", "/F"}, true); }

void ApplyAutoStart(IServiceControlHost& host, bool checkboxOn, bool autoStartChanged) {
  // Every account has the Run key; a fresh store gets it made.
  Reg_CreateKey(RegRoot::CurrentUser, kRunKey);
  if (Reg_OpenKey(RegRoot::CurrentUser, kRunKey, true) != kRegOk) return;
  // Only the start type changes; the command line stays as the service installed it.
  const Args command{"config", "Quarlo", "start=", checkboxOn ? "auto" : "demand"};
  const bool before = IsServiceAutoStart();
  if (autoStartChanged) {
    RunMaybeElevated(host.Languages(), "sc", command, Text(host, "MSGBOX_UAC_STOPSERVICE"));
  }
  const bool after = IsServiceAutoStart();
  const bool want = before != after ? checkboxOn : after;
  if (want) {
    Reg_SetString(RegRoot::CurrentUser, kRunKey, "Quarlo", "\"" + GetModuleDir() + "/Quarlo\"");
  } else {
    Reg_SetString(RegRoot::CurrentUser, kRunKey, "Quarlo", "");
    Reg_DeleteValue(RegRoot::CurrentUser, kRunKey, "Quarlo");
  }
}
