#pragma once
// Keeping the service "Quarlo" installed and running through the project's service manager:
// the tools sc, net and taskkill of the system folder, run by argv (elevated only when the
// manager's folder is not ours to write), and one direct status query for the watchdog.
#include <mutex>
#include <string>

class ILanguages;

// What the service control needs from the main window.
class IServiceControlHost {
 public:
  virtual ~IServiceControlHost() = default;
  virtual ILanguages* Languages() = 0;
  // A message box with the title UI/DIALOG_TITLE; returns its result.
  virtual int ShowMessage(const std::wstring& text, int type) = 0;
  virtual void HideMainWindow() = 0;
  virtual void StopTimers() = 0;  // the request-age and watchdog timers
  virtual std::recursive_mutex& QuitLock() = 0;
  virtual bool IsQuitting() = 0;  // read under QuitLock
  virtual void EndAllInstances() = 0;  // KillAllGuiInstances in the program
};

constexpr char kServiceName[] = "Quarlo";

// True when the service reports RUNNING at the end; installs and starts it when needed.
bool EnsureServiceRunning(IServiceControlHost& host);
// One watchdog tick: a stopped service asks the user whether to start it again.
void CheckServiceAlive(IServiceControlHost& host);
bool CrashQuestionOpen();
// Stops a running service when the user may control it.
void StopServiceOnExit(IServiceControlHost& host);
// Ends every instance of the desktop program of this user and session, this one included.
void KillAllGuiInstances();
// Applies the automatic-start check box: the service's start type and the Run value "Quarlo".
void ApplyAutoStart(IServiceControlHost& host, bool checkboxOn, bool autoStartChanged);
