#pragma once
// The application object of Quarlo: lets one instance run per user, creates the per-user
// registry key (the installer's part on other systems) and settings files, builds the main
// window hidden and keeps the main loop running until the exit sequence. SIGTERM and SIGHUP
// (the session ends) reach the main loop through a self-pipe; they end every open modal loop
// first, and the exit sequence runs once, after the last one returned.
#include <wx/app.h>

#include <string>

namespace desktop { class CUIData; }
class CSettingDlg;

constexpr char kSingleInstanceMutex[] = "A22C2F3F-FC01-457D-B2BC-AC39B39435F2_QUARLO";

class CQuarloApp : public wxApp {
 public:
  bool OnInit() override;
  int OnExit() override;
  // Start-up up to the running main window; false ends the program.
  bool InitInstance();
  static bool EnsureAppDataFiles();

 private:
  void WatchSignals();
  int m_mutex = -1;
  desktop::CUIData* m_uiData = nullptr;
  int m_signalPipe[2] = {-1, -1};
  unsigned m_signalWatch = 0;
};
