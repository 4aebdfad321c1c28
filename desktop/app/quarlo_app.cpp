#include "desktop/app/quarlo_app.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>
#include <wx/dialog.h>
#include <wx/modalhook.h>

#include <wx/image.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "desktop/app/main_window/setting_dlg.h"
#include "desktop/foundation/diy_message_box.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/ui_config.h"
#include "desktop/foundation/ui_data.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"

namespace {

int g_signalRead = -1;
int g_signalWrite = -1;

void OnSignal(int) {
  if (g_signalWrite >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(g_signalWrite, &byte, 1);
  }
}

void RunExitSequence() {
  if (g_pSettingDlg) g_pSettingDlg->OnSessionEnd();
  else if (wxTheApp) wxTheApp->ExitMainLoop();
}

// Every modal loop of the program (skinned dialogs, message boxes, the wizard, the phone
// prompt, the folder choosers) passes through this hook. Once the session ends, the open ones
// end one by one from the innermost out (a GTK loop can only leave from the innermost), no new
// one starts, and the exit sequence runs once, after the last of them has returned, so that no
// caller of a modal loop finds its windows gone.
class CSessionEndHook : public wxModalDialogHook {
 public:
  // SIGTERM or SIGHUP: the exit sequence runs now, or once the open modal loops have ended.
  void EndSession() {
    m_ending = true;
    if (m_open.empty()) RunExit();
    else m_open.back()->EndModal(wxID_CANCEL);
  }

 protected:
  int Enter(wxDialog* dialog) override {
    if (m_ending) return wxID_CANCEL;  // the session is over: nothing more to ask
    m_open.push_back(dialog);
    return wxID_NONE;
  }
  void Exit(wxDialog* dialog) override {
    auto it = std::find(m_open.rbegin(), m_open.rend(), dialog);
    if (it != m_open.rend()) m_open.erase(std::next(it).base());
    if (!m_ending) return;
    if (!m_open.empty()) {
      // This dialog's loop has returned; the one around it is the innermost now.
      m_open.back()->EndModal(wxID_CANCEL);
    } else if (wxTheApp) {
      // Outside of every modal loop: the main loop runs the exit next.
      wxTheApp->CallAfter([this] { RunExit(); });
    }
  }

 private:
  void RunExit() {
    if (m_exitRun || !m_open.empty()) return;
    m_exitRun = true;
    RunExitSequence();
  }
  std::vector<wxDialog*> m_open;  // innermost last
  bool m_ending = false;
  bool m_exitRun = false;
};

// Never destroyed: wx's own list of hooks may be gone before static destructors run.
CSessionEndHook* g_sessionEndHook = nullptr;

gboolean OnSignalPipe(gint, GIOCondition, gpointer) {
  char buffer[16];
  while (read(g_signalRead, buffer, sizeof buffer) > 0) {
  }
  if (g_sessionEndHook) g_sessionEndHook->EndSession();
  return G_SOURCE_CONTINUE;
}

}  // namespace

bool CQuarloApp::EnsureAppDataFiles() { return UiConfig::EnsureAppDataFiles(); }

bool CQuarloApp::OnInit() {
  signal(SIGPIPE, SIG_IGN);
  wxInitAllImageHandlers();
  SetAppName("Quarlo");
  SetAppDisplayName("Quarlo");
  try {
    return InitInstance();
  } catch (...) {
    return false;
  }
}

bool CQuarloApp::InitInstance() {
  bool exists = false;
  m_mutex = Plat_CreateNamedMutex(kSingleInstanceMutex, exists);
  if (exists) {
    // Another instance runs: say so once and leave; the running one is not touched.
    if (ILanguages* lang = CLanguages::GetInstance()) {
      DiyMessageBox(lang, lang->GetText("MESSAGEBOX", "MSGBOX_ONEMORESTART"), L"Quarlo", kMessageBoxOk);
      lang->Release();
    }
    return false;
  }
  // The per-user key the installer would make: later checks open it rather than create it.
  Reg_CreateKey(RegRoot::CurrentUser, "SOFTWARE\\Quarlo");
  EnsureAppDataFiles();
  m_uiData = desktop::CUIData::GetInstance();
  SetExitOnFrameDelete(false);
  // Before the main window starts: its start-up (service, dialogs, banner) can take seconds,
  // and a SIGTERM meanwhile must end the program through its exit, not kill it.
  WatchSignals();
  auto* main = new CSettingDlg(m_uiData);
  SetTopWindow(main);
  main->Initialize();
  return true;
}

void CQuarloApp::WatchSignals() {
  if (!g_sessionEndHook) g_sessionEndHook = new CSessionEndHook;
  g_sessionEndHook->Register();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_signalRead = fds[0];
  g_signalWrite = fds[1];
  m_signalPipe[0] = fds[0];
  m_signalPipe[1] = fds[1];
  m_signalWatch = g_unix_fd_add(g_signalRead, G_IO_IN, &OnSignalPipe, this);
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

int CQuarloApp::OnExit() {
  // The main window destroys itself through wx's pending-delete list, which the base OnExit
  // would empty only after the settings object below is released: its destructor still uses it.
  DeletePendingObjects();
  if (m_signalWatch) g_source_remove(m_signalWatch);
  if (g_sessionEndHook) g_sessionEndHook->Unregister();
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  g_signalWrite = -1;
  g_signalRead = -1;
  for (int& fd : m_signalPipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  if (m_uiData) m_uiData->Release();
  m_uiData = nullptr;
  if (m_mutex >= 0) Plat_CloseNamedMutex(m_mutex);
  m_mutex = -1;
  UiConfig::DeleteInstance();
  return wxApp::OnExit();
}
