#include "desktop/app/quarlo_app.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <signal.h>
#include <unistd.h>
#include <wx/image.h>

#include "desktop/app/setting_dlg.h"
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

gboolean OnSignalPipe(gint, GIOCondition, gpointer data) {
  char buffer[16];
  while (read(g_signalRead, buffer, sizeof buffer) > 0) {
  }
  if (g_pSettingDlg) g_pSettingDlg->OnSessionEnd();
  else static_cast<CQuarloApp*>(data)->ExitMainLoop();
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
