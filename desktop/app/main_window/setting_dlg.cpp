#include "desktop/app/main_window/setting_dlg.h"

#include <wx/app.h>
#include <wx/dirdlg.h>
#include <wx/evtloop.h>
#include <wx/icon.h>
#include <wx/menu.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "desktop/app/about/about_dlg.h"
#include "desktop/app/account/login_dlg.h"
#include "desktop/app/hotspot/ap_dlg.h"
#include "desktop/app/hotspot/hotspot_control.h"
#include "desktop/app/prompts/switch_account_dlg.h"
#include "desktop/app/site/html_dlg.h"
#include "desktop/app/site/web_pages.h"
#include "desktop/app/update/update_dlg.h"
#include "desktop/app/wizard/wizard_dlg.h"
#include "desktop/foundation/diy_message_box.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_image.h"
#include "desktop/foundation/sys_utils.h"
#include "platform/registry.h"

CSettingDlg* g_pSettingDlg = nullptr;

namespace {

// The tray menus, top to bottom (0 is a separator): 139 while logged on, 145 otherwise.
const std::vector<CDiyMenu::Entry>& MenuEntries(bool loggedOn) {
  static const std::vector<CDiyMenu::Entry> on = {
      {32810, true}, {32827, true}, {32784, true}, {0, true}, {32816, false}, {32817, true},
      {0, true}, {32786, true}, {32818, true}, {0, true}, {32822, true}, {32806, true},
      {0, true}, {32788, true}, {0, true}, {32787, true}};
  static const std::vector<CDiyMenu::Entry> off = {
      {32810, true}, {32827, true}, {32784, true}, {0, true}, {32816, false}, {32817, true},
      {0, true}, {32786, true}, {32818, true}, {0, true}, {32822, true}, {32806, true},
      {0, true}, {32787, true}};
  return loggedOn ? on : off;
}

struct MenuText {
  unsigned command;
  const char* key;
};
constexpr MenuText kMenuTexts[] = {
    {32810, "TRAYMENU_OPENFOLDER"}, {32827, "TRAYMENU_AP"},       {32784, "TRAYMENU_SHAREMANAGE"},
    {32817, "TRAYMENU_DOWNLOAD"},   {32786, "TRAYMENU_UPDATE"},   {32818, "TRAYMENU_HELP"},
    {32822, "TRAYMENU_FEEFBACK"},   {32806, "TRAYMENU_ABOUT"},    {32788, "TRAYMENU_CHANGACCOUNT"},
    {32787, "TRAYMENU_EXIT"}};

struct PageButtonSpec {
  int id;
  int x;
  int icon;
  const char* font;
  const char* key;
};
constexpr PageButtonSpec kPageButtons[4] = {
    {kPageAccount, 1, 339, "FONT_UI_SETTING_BUTTON", "SETTING_BUTTON_ACCOUNT"},
    {kPageShares, 122, 311, "FONT_UI_SHARE_BUTTON", "SETTING_BUTTON_SHARE"},
    {kPageTransLog, 243, 308, "FONT_UI_SETTING_BUTTON", "SETTING_BUTTON_TRANS"},
    {kPageSettings, 364, 310, "FONT_UI_SETTING_BUTTON", "SETTING_BUTTON_SETTING"}};

}  // namespace

CSettingDlg::CSettingDlg(desktop::IUIData* uiData, bool ensureService)
    : CDiyDialog(nullptr, 129, 337, "Quarlo"),
      m_uiData(uiData),
      m_flow(*this, *this),
      m_ensureService(ensureService) {
  m_dialogKind = 129;
  m_hideOnClose = true;
  SetName("SettingDlg");
  wxImage icon;
  if (LoadPngResource(icon, 128)) {
    wxIcon windowIcon;
    windowIcon.CopyFromBitmap(wxBitmap(icon, 32));
    SetIcon(windowIcon);
  }
  m_flow.SetServices(m_uiData, CDiyDialog::Languages());
  for (int i = 0; i < 4; ++i) m_timers[i].SetOwner(this, i);
  Bind(wxEVT_TIMER, &CSettingDlg::OnTimer, this);
  Bind(EVT_HIDE_MAIN_WINDOW, &CSettingDlg::OnHideMainWindow, this);
  Bind(wxEVT_CLOSE_WINDOW, &CSettingDlg::OnCloseWindow, this);
  Bind(wxEVT_ICONIZE, [this](wxIconizeEvent& e) {
    // The window manager's minimize: into the tray, where there is one.
    if (e.IsIconized() && HasTray()) CallAfter([this] { Iconize(false); Hide(); });
  });
  for (int id : {kPageAccount, kPageShares, kPageTransLog, kPageSettings})
    Bind(wxEVT_BUTTON, &CSettingDlg::OnPageButton, this, id);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnTrayChangeAccount(); }, kSwitchAccountButton);
  if (m_ensureService) {
    if (!EnsureServiceRunning(*this)) {
      KillAllGuiInstances();
    } else if (IsUserInAdministrators()) {
      Start(TimerId::Watchdog, 10000);
    }
  }
}

CSettingDlg::~CSettingDlg() {
  if (g_pSettingDlg == this) g_pSettingDlg = nullptr;
  for (wxTimer& t : m_timers) t.Stop();
  // No result of the window's own work arrives any more, and no report of CUIData's threads.
  m_tasks.Stop();
  if (m_uiData) m_uiData->ClearCallback();
  if (m_pages) m_pages->Stop();
  if (m_updateChecker) {
    m_updateChecker->Stop();
    if (m_installUpdate) m_updateChecker->StartInstaller();
  }
  m_tray.reset();
  if (m_loginDlg) m_loginDlg->Destroy();
  m_loginDlg = nullptr;
  if (m_apDlg) m_apDlg->Destroy();
  // Only the hotspot this program started ends with it.
  StopStartedHotspot(SystemHotspotLayer());
}

bool CSettingDlg::HasTray() const { return m_tray && m_tray->CanShow(); }

void CSettingDlg::Initialize() {
  if (m_initialized) return;
  OnInitDialog();
}

bool CSettingDlg::OnInitDialog() {
  if (m_initialized) return true;
  m_initialized = true;
  CDiyDialog::OnInitDialog();
  g_pSettingDlg = this;

  for (int i = 0; i < 4; ++i) {
    const PageButtonSpec& p = kPageButtons[i];
    // The strip ends with the window: the last button stops at its right edge.
    auto* button = new CSettingButton(this, p.id, wxPoint(p.x, 156), wxSize(std::min(121, 484 - p.x), 31));
    button->m_faceImage = 338;
    button->m_iconImage = p.icon;
    const wxFont font = CreateLanguageFont(p.font);
    if (font.IsOk()) button->SetTextFont(font);
    m_pageButtons[i] = button;
  }
  CentreOnScreen();

  // The tray icon exists from the start, offline until the service says otherwise.
  m_tray.reset(new CTrayIcon(*this));
  LocalizeTrayMenus();
  m_tray->Create();
  m_menuLoggedOnShown = m_flow.UsesLoggedOnMenu();
  m_tray->SetIcon(kIconOffline, L"Quarlo");

  if (m_uiData) m_uiData->SetCallback(this);
  m_loginDlg = new CLoginDlg();
  m_loginDlg->SetCallback(this);
  m_loginDlg->CentreOnScreen();
  m_loginDlg->Bind(wxEVT_SHOW, [this](wxShowEvent& e) {
    e.Skip();
    if (!e.IsShown()) CallAfter([this] { EnsureSomethingShown(); });
  });

  m_updateChecker.reset(new UpdateChecker());
  m_updateChecker->SetCallback(this);
  m_updateChecker->SetManual(false);
  m_startupDialog = true;
  m_updateChecker->StartCheck();
  m_startupDialog = false;

  m_pages.reset(new desktop::CMainPages());
  m_pages->Create(*this);  // opens the shares page
  Start(TimerId::RequestAge, 1000);
  SetArtSize(484, 426);
  // The start-up dialogs come one after the other; an update notice waits for them.
  m_startupDialog = true;
  CheckUpdateFinished();
  m_startupDialog = false;
  RunSetupWizardIfNeeded();
  if (m_quitting) return true;  // ended while a start-up dialog ran
  m_tasks.Post([this] {
    StartLogOn();
    // Nobody would see a tray icon: the window the program needs shows at once.
    if (!HasTray()) EnsureSomethingShown();
  });
  CreateBanner();
  return true;
}

void CSettingDlg::RunSetupWizardIfNeeded() {
  m_startupDialog = true;
  // Without a parent: a dialog on this stack must never be a child the window's end deletes.
  ::RunSetupWizardIfNeeded(nullptr, m_uiData);
  m_startupDialog = false;
  if (m_noticeWaiting && !m_quitting) {
    m_noticeWaiting = false;
    m_tasks.Post([this] { OnMsgNewVersion(); });
  }
}

void CSettingDlg::CreateBanner() {
  if (m_banner) return;
  m_banner = new CHtmlDlg(this, wxPoint(0, m_captionBand), wxSize(ArtSize().x, 111));
  if (Languages()) m_banner->SetLanguage(Languages()->GetLanguage());
  m_banner->NavigateBanner();
}

void CSettingDlg::ApplyLanguageTexts() {
  ILanguages* lang = CDiyDialog::Languages();
  if (!lang) return;
  if (lang->HasTexts()) m_textsApplied = true;
  else lang->Reload();
  for (int i = 0; i < 4; ++i)
    if (m_pageButtons[i]) m_pageButtons[i]->SetCaption(wxString(lang->GetText("UI", kPageButtons[i].key).c_str()));
  if (m_pages) m_pages->ApplyLanguageTexts();
}

void CSettingDlg::OnLanguageChanged() {
  CDiyDialog::OnLanguageChanged();
  m_trayMenusLocalized = false;
  if (m_pages) m_pages->OnLanguageChanged();
  if (m_banner) {
    if (Languages()) m_banner->SetLanguage(Languages()->GetLanguage());
    m_banner->NavigateBanner();
  }
  // The tray's menu follows at once, also while the window is hidden.
  LocalizeTrayMenus();
  m_flow.UpdateTrayState();
  if (m_tray) m_tray->MenuChanged();
  Refresh();
}

void CSettingDlg::LocalizeTrayMenus() {
  ILanguages* lang = CDiyDialog::Languages();
  if (!lang) return;
  for (const MenuText& t : kMenuTexts) {
    const wxString text(lang->GetText("UI", t.key).c_str());
    m_menuLoggedOn.SetItemText(t.command, text);
    m_menuLoggedOff.SetItemText(t.command, text);
  }
  if (m_menuLoggedOn.ItemText(32816).empty()) {
    const wxString phone(lang->GetText("UI", "TRAYMENU_MOBILE_OUTLINE").c_str());
    m_menuLoggedOn.SetItemText(32816, phone);
    m_menuLoggedOff.SetItemText(32816, phone);
  }
  m_trayMenusLocalized = true;
}

std::unique_ptr<wxMenu> CSettingDlg::BuildTrayMenu() {
  if (!m_trayMenusLocalized) LocalizeTrayMenus();
  const bool loggedOn = m_flow.UsesLoggedOnMenu();
  const CDiyMenu& menu = loggedOn ? m_menuLoggedOn : m_menuLoggedOff;
  return menu.BuildMenu(MenuEntries(loggedOn));
}

CSettingButton* CSettingDlg::PageButton(int id) {
  for (int i = 0; i < 4; ++i)
    if (kPageButtons[i].id == id) return m_pageButtons[i];
  return nullptr;
}

std::string CSettingDlg::DataFolder() const { return m_pages ? m_pages->DataFolder() : m_dataFolder; }

// ---- log-on ----

int CSettingDlg::StartLogOn() { return m_flow.StartLogOn(); }
void CSettingDlg::OnLogin(LoginRecord* record, int hash) { m_flow.OnLogin(record, hash); }
void CSettingDlg::OnLoginHashed(LoginRecord* record) { m_flow.OnLoginHashed(record); }
void CSettingDlg::OnTrayStateChanged() {
  m_flow.UpdateTrayState();
  HideMainWindow();
}
void CSettingDlg::OnExitRequest() { OnTrayExit(); }
void CSettingDlg::OnTrayChangeAccount() { m_flow.OnTrayChangeAccount(); }

void CSettingDlg::OnShareItem(const std::string& folder) {
  if (m_pages) m_pages->OnShareItem(folder);
}

void CSettingDlg::OnTransLogItem(const desktop::TransLogRecord* record) {
  if (m_pages && record) m_pages->OnTransLogItem(*record);
}

void CSettingDlg::OnMobileLoginRequest(const desktop::MobileLoginRequest* request) {
  if (request) {
    // The desktop tells of the phone too, wherever the user looks (the prompt may be behind
    // other windows, or on another workspace).
    const desktop::MobileLoginRequest copy = *request;
    // Queued on this window ahead of the prompt, so it goes out before the prompt's loop runs.
    m_tasks.Post([this, copy] { NotifyPhoneRequest(copy); });
  }
  if (m_pages) m_pages->QueueMobileLoginRequest(request);
}

void CSettingDlg::NotifyPhoneRequest(const desktop::MobileLoginRequest& request) {
  ILanguages* lang = CDiyDialog::Languages();
  if (!lang) return;
  auto field = [](const char* text, std::size_t size) { return std::string(text, strnlen(text, size)); };
  const std::wstring sender = wxString::FromUTF8(field(request.sender, sizeof request.sender)).ToStdWstring();
  const std::wstring network = wxString::FromUTF8(field(request.network, sizeof request.network)).ToStdWstring();
  ShowBalloon(lang->GetText("UI", "CONNECT_STATIC_SENDER") + sender + L"\n" + lang->GetText("UI", "CONNECT_STATIC_NET") +
                  network,
              lang->GetText("UI", "CONNECT_STATIC_TITLE"));
}

// The network watch's reports, once a second on its thread.
void CSettingDlg::OnNetworkDown() {
  m_tasks.Post([this] { OnMsgNetworkDown(); });
}

void CSettingDlg::OnNetworkUp() {
  m_tasks.Post([this] { OnMsgNetworkUp(); });
}

// ---- updates (the checker's thread posts; the handlers run here) ----

void CSettingDlg::OnInstallUpdate() {
  m_tasks.Post([this] { OnMsgInstallUpdate(); });
}

void CSettingDlg::OnNoUpdate() {
  m_tasks.Post([this] { OnMsgNoUpdate(); });
}

void CSettingDlg::OnNewVersion() {
  m_tasks.Post([this] { OnMsgNewVersion(); });
}

void CSettingDlg::OnUpdateDownloaded() {
  m_tasks.Post([this] { OnMsgUpdateDownloaded(); });
}

void CSettingDlg::OnMsgNewVersion() {
  if (!m_updateChecker || m_quitting) return;
  // The wizard (or the release notes) comes first: the notice follows when it has closed.
  if (m_startupDialog) {
    m_noticeWaiting = true;
    return;
  }
  m_updateChecker->ShowUpdateNotice();
}

void CSettingDlg::OnMsgNoUpdate() {
  if (m_updateChecker && !m_quitting) m_updateChecker->ShowNoUpdate();
}

void CSettingDlg::OnMsgInstallUpdate() {
  m_installUpdate = true;
  OnTrayExit();
}

void CSettingDlg::OnMsgUpdateDownloaded() {
  if (Reg_OpenKey(RegRoot::CurrentUser, kQuarloKey, false) == kRegOk)
    Reg_SetDword(RegRoot::CurrentUser, kQuarloKey, "UpdateFinish", 1);
  if (m_updateChecker) m_updateChecker->SetEvent();
}

void CSettingDlg::CheckUpdateFinished() {
  // Only the after-update dialog: releasing the checker's wait here would start a download
  // nobody agreed to.
  uint32_t finished = 0;
  if (Reg_OpenKey(RegRoot::CurrentUser, kQuarloKey, false) != kRegOk) return;
  if (Reg_GetDword(RegRoot::CurrentUser, kQuarloKey, "UpdateFinish", finished) == kRegOk && finished == 1) {
    Reg_SetDword(RegRoot::CurrentUser, kQuarloKey, "UpdateFinish", 0);
    ShowUpdateDlgIfInstalled(nullptr);
  }
}

// ---- tray ----

void CSettingDlg::OnTrayLeftClick() {
  if (m_pages && m_pages->ServeWaitingRequest()) return;
  if (m_startupDialog) return;
  const int state = m_flow.LogOnState();
  if (state == 1 || state == 3) {
    OnTrayOpenFolder();
    return;
  }
  ShowLoginDlg(true);
}

void CSettingDlg::OnTrayCommand(unsigned command) {
  switch (command) {
    case 32810: OnTrayOpenFolder(); break;
    case 32827: OnTrayAp(); break;
    case 32784: OnTrayShareManage(); break;
    case 32817: OnTrayDownload(); break;
    case 32786: OnTrayUpdate(); break;
    case 32818: OnTrayHelp(); break;
    case 32822: OnTrayFeedback(); break;
    case 32806: OnTrayAbout(); break;
    case 32788: OnTrayChangeAccount(); break;
    case 32787: OnTrayExit(); break;
    default: break;
  }
}

void CSettingDlg::OnTrayOpenFolder() { OpenFolder(DataFolder()); }

void CSettingDlg::OnTrayAp() {
  if (m_apDlg) {
    m_apDlg->Hide();
    m_apDlg->Destroy();
    m_apDlg = nullptr;
  }
  m_apDlg = new CApDlg(nullptr);
  m_apDlg->Bind(wxEVT_DESTROY, [this](wxWindowDestroyEvent& e) {
    if (e.GetEventObject() == m_apDlg) m_apDlg = nullptr;
    e.Skip();
  });
  m_apDlg->Show();
}

void CSettingDlg::OnTrayShareManage() {
  if (m_loginDlg && m_loginDlg->IsShown()) {
    m_loginDlg->Raise();
    return;
  }
  if (m_pages) m_pages->ReopenSelectedPage();
  ShowFront();
}

void CSettingDlg::OnTrayDownload() { OpenInBrowser(WebPage("/download.html")); }

void CSettingDlg::OnTrayUpdate() {
  HideMainWindow();
  if (m_updateChecker) {
    m_updateChecker->SetManual(true);
    m_updateChecker->StartCheck();
  }
}

void CSettingDlg::OnTrayHelp() { OpenInBrowser(WebPage("/faq.html")); }

void CSettingDlg::OnTrayFeedback() { OpenInBrowser(WebPage("/book")); }

void CSettingDlg::OnTrayAbout() { ShowAboutDlg(this); }

void CSettingDlg::ShowFront() {
  Show();
  if (IsIconized()) Iconize(false);
  Raise();
}

void CSettingDlg::EnsureSomethingShown() {
  if (HasTray() || m_quitting || !m_initialized) return;
  if (m_loginDlg && m_loginDlg->IsShown()) return;
  if (!IsShown()) ShowFront();
}

// ---- exit ----

void CSettingDlg::StopTimers() {
  Stop(TimerId::RequestAge);
  Stop(TimerId::Watchdog);
}

bool CSettingDlg::IsQuitting() {
  std::lock_guard<std::recursive_mutex> guard(m_quitLock);
  return m_quitting;
}

// What both ways out share; false when the program is already on its way out.
bool CSettingDlg::StopForExit(bool logOut) {
  if (m_quitting) return false;
  Hide();
  if (logOut) m_flow.LogOutUnlessRemembered();
  // Every timer stops first: no poll, animation or watchdog runs against a stopping service.
  for (TimerId t : {TimerId::Poll, TimerId::RequestAge, TimerId::TrayAnimation, TimerId::Watchdog}) Stop(t);
  m_tasks.Stop();  // the poll and the refresh end; nothing of theirs arrives after this
  if (m_pages) m_pages->Stop();
  std::lock_guard<std::recursive_mutex> guard(m_quitLock);
  m_quitting = true;
  return true;
}

void CSettingDlg::OnTrayExit() {
  if (!StopForExit()) return;
  if (m_ensureService) StopServiceOnExit(*this);
  EndMainLoop();
}

void CSettingDlg::OnSessionEnd() {
  // The session ends: the service is left to the session's own end.
  if (StopForExit()) EndMainLoop();
}

void CSettingDlg::EndMainLoop() {
  if (m_loginDlg) m_loginDlg->Hide();
  m_tray.reset();
  FinishExit();
}

void CSettingDlg::FinishExit() {
  // A modal loop that was ended still runs until control is back in its caller.
  if (m_endingLoop && wxEventLoopBase::GetActive() == m_endingLoop) {
    CallAfter(&CSettingDlg::FinishExit);
    return;
  }
  m_endingLoop = nullptr;
  // Dialogs that run modally (the wizard, the update notice, a question) live on stacks this
  // window's end must not cut through: each is cancelled, innermost (the newest) first.
  wxDialog* innermost = nullptr;
  for (wxWindow* w : wxTopLevelWindows)
    if (auto* d = dynamic_cast<wxDialog*>(w); d && d != this && d->IsModal()) innermost = d;
  if (innermost) {
    m_endingLoop = wxEventLoopBase::GetActive();
    innermost->EndModal(wxID_CANCEL);
    CallAfter(&CSettingDlg::FinishExit);
    return;
  }
  Destroy();
  if (!wxTheApp) return;
  // Ended during the start (the main loop has not begun): it ends as soon as it begins.
  if (wxTheApp->IsMainLoopRunning()) wxTheApp->ExitMainLoop();
  else wxTheApp->CallAfter([] { wxTheApp->ExitMainLoop(); });
}

void CSettingDlg::EndAllInstances() { KillAllGuiInstances(); }

int CSettingDlg::ShowMessage(const std::wstring& text, int type) {
  ILanguages* lang = CDiyDialog::Languages();
  return DiyMessageBox(lang, text, lang ? lang->GetText("UI", "DIALOG_TITLE") : L"Quarlo", type, nullptr);
}

// ---- window events ----

void CSettingDlg::OnMinimize() { HideMainWindow(); }

void CSettingDlg::OnHideMainWindow(wxCommandEvent&) {
  // Without a tray nothing would bring the window back: closing it ends the program, but the
  // service goes on serving the phones; only Exit stops it.
  if (!HasTray()) {
    CloseWithoutTray();
    return;
  }
  Hide();
}

void CSettingDlg::CloseWithoutTray() {
  if (m_quitting) return;
  ILanguages* lang = CDiyDialog::Languages();
  const std::wstring text = lang ? lang->GetText("MESSAGEBOX", "MSGBOX_SERVICE_STAYS") : L"";
  const std::wstring title = lang ? lang->GetText("UI", "DIALOG_TITLE") : L"Quarlo";
  Hide();
  if (m_loginDlg) m_loginDlg->Hide();
  // Said once: as a notification where a daemon shows it, else in a box.
  if (!text.empty()) {
    if (NotificationServicePresent()) ShowBalloon(text, title);
    else DiyMessageBox(lang, text, title, kMessageBoxOk, nullptr);
  }
  // The account stays logged on too: the phones that reach the PC through it keep it.
  if (StopForExit(false)) EndMainLoop();
}

void CSettingDlg::OnCloseWindow(wxCloseEvent& event) {
  // A close request leaves the window as it is; only the exit sequence ends it.
  if (event.CanVeto()) event.Veto();
}

void CSettingDlg::OnPageButton(wxCommandEvent& event) {
  if (m_pages) m_pages->ShowPage(event.GetId());
  FocusSelectedPage();
}

void CSettingDlg::FocusSelectedPage() {
  // The keyboard sits on the page that shows, so no other page button keeps a focus ring.
  wxWindow* focus = FindFocus();
  for (CSettingButton* b : m_pageButtons) {
    if (!b) continue;
    if (b->m_lightFace) {
      if (IsShown() && focus != b) b->SetFocus();
    } else if (focus == b) {
      b->Refresh(false);
    }
  }
}

bool CSettingDlg::Show(bool show) {
  const bool changed = CDiyDialog::Show(show);
  if (show && changed) {
    m_tasks.Post([this] {
      wxWindow* focus = FindFocus();
      // Only where the keyboard was on a page button (the first control) or nowhere.
      bool onPage = !focus || focus == this;
      for (CSettingButton* b : m_pageButtons) onPage = onPage || focus == b;
      if (onPage) FocusSelectedPage();
    });
  }
  return changed;
}

void CSettingDlg::OnTimer(wxTimerEvent& event) {
  switch (static_cast<TimerId>(event.GetId())) {
    case TimerId::Poll: LogOnStatusPollTimer(); break;
    case TimerId::RequestAge: MobileLoginRequestAgeTimer(); break;
    case TimerId::TrayAnimation: TrayAnimationTimer(); break;
    case TimerId::Watchdog: ServiceWatchdogTimer(); break;
  }
}

void CSettingDlg::MobileLoginRequestAgeTimer() {
  if (m_pages) m_pages->MobileLoginRequestAgeTimer();
}

void CSettingDlg::ServiceWatchdogTimer() {
  CheckServiceAlive(*this);
  m_flow.ResetPollBackOff();
}

std::string CSettingDlg::ChooseFolder(const std::wstring& title, const std::string& start) {
  wxDirDialog dialog(this, wxString(title), wxString::FromUTF8(start), wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
  return dialog.ShowModal() == wxID_OK ? dialog.GetPath().ToStdString(wxConvUTF8) : "";
}

// ---- ILogOnView ----

void CSettingDlg::HideMainWindow() {
  if (!HasTray()) {
    // Without a tray the window stays (the log-in dialog covers it when it shows).
    CallAfter([this] { EnsureSomethingShown(); });
    if (m_loginDlg && m_loginDlg->IsShown()) Hide();
    return;
  }
  Hide();
}

void CSettingDlg::ShowLoginDlg(bool restoreHints) {
  if (!m_loginDlg) return;
  if (restoreHints) {
    m_loginDlg->OnEnKillfocusPassword();
    m_loginDlg->OnEnKillfocusAccount();
    m_loginDlg->OnEnSetfocusPassword();
  }
  m_loginDlg->Show();
  m_loginDlg->Raise();
  if (!HasTray()) Hide();
}

void CSettingDlg::HideLoginDlg() {
  if (m_loginDlg) m_loginDlg->Hide();
}

void CSettingDlg::SetLoginDlgRecord(const LoginRecord& record, bool passwordIsHash) {
  if (m_loginDlg) m_loginDlg->SetLoginRecord(&record, passwordIsHash);
}

void CSettingDlg::ClearLoginDlgPassword() {
  if (m_loginDlg) m_loginDlg->ClearPassword();
}

void CSettingDlg::SetAccountShown(const std::string& account) {
  ILanguages* lang = CDiyDialog::Languages();
  if (!account.empty() && lang)
    SetTitle("Quarlo " + wxString(lang->GetText("UI", "SETTING_STATIC_ACCOUNT").c_str()) + wxString::FromUTF8(account));
  if (m_pages) m_pages->SetAccount(account);
}

int CSettingDlg::ShowMessage(const std::wstring& text, const std::wstring& title) {
  return DiyMessageBox(CDiyDialog::Languages(), text, title, kMessageBoxOk, nullptr);
}

void CSettingDlg::ShowBalloon(const std::wstring& text, const std::wstring& title) {
  if (m_tray) m_tray->ShowBalloon(text, title);
}

void CSettingDlg::SetTrayIcon(int icon, const std::wstring& tip) {
  if (!m_tray) return;
  m_tray->SetIcon(icon, tip);
  const bool loggedOn = m_flow.UsesLoggedOnMenu();
  if (loggedOn != m_menuLoggedOnShown) {
    m_menuLoggedOnShown = loggedOn;
    m_tray->MenuChanged();
  }
}

void CSettingDlg::SetPhoneItem(bool online, const std::wstring& text) {
  const wxString item(text.c_str());
  const bool changed = m_menuLoggedOn.ItemText(32816) != item || (m_menuLoggedOn.m_phoneOnline != 0) != online;
  for (CDiyMenu* menu : {&m_menuLoggedOn, &m_menuLoggedOff}) {
    menu->SetItemText(32816, item);
    menu->m_phoneOnline = online ? 1 : 0;
  }
  if (changed && m_tray) m_tray->MenuChanged();
}

void CSettingDlg::SetDataFolder(const std::string& folder) {
  m_dataFolder = folder;
  if (m_pages) m_pages->SetDataFolder(folder);
}

void CSettingDlg::ClearShareList() {
  if (m_pages) m_pages->ClearShareList();
}

void CSettingDlg::SetAccountPageFresh(bool fresh) {
  if (m_pages) m_pages->SetAccountPageFresh(fresh);
}

bool CSettingDlg::AskSwitchAccount() {
  CSwitchAccountDlg dlg(nullptr);
  return dlg.ShowModal() == wxID_OK;
}

void CSettingDlg::RunPoll(std::function<void(int status, int mobile)> done) {
  desktop::IUIData* ui = m_uiData;
  m_tasks.Run<std::pair<int, int>>(
      [ui](const std::atomic<bool>&) {
        const int status = ui ? ui->GetLogOnStatus() : -2;
        const int mobile = ui ? ui->GetMobileState() : 0;
        return std::make_pair(status, mobile);
      },
      [done](std::pair<int, int> r) { done(r.first, r.second); });
}

namespace {

// What a refresh after a log-on learns of the service.
struct RefreshedLists {
  std::string dataFolder;
  std::vector<std::string> shares;
  std::vector<desktop::TransLogRecord> log;
};

}  // namespace

void CSettingDlg::RefreshLists() {
  desktop::IUIData* ui = m_uiData;
  if (!ui) return;
  m_tasks.Run<RefreshedLists>(
      [ui](const std::atomic<bool>&) {
        RefreshedLists lists;
        ui->GetDefShare(lists.dataFolder);
        ui->ReadShares(lists.shares);
        ui->ReadTransLog(lists.log);
        return lists;
      },
      [this](RefreshedLists lists) {
        if (!lists.dataFolder.empty()) SetDataFolder(lists.dataFolder);
        for (const std::string& folder : lists.shares) OnShareItem(folder);
        for (const desktop::TransLogRecord& record : lists.log) OnTransLogItem(&record);
      });
}

// ---- ITimers ----

void CSettingDlg::Start(TimerId timer, int periodMs) { m_timers[static_cast<int>(timer)].Start(periodMs); }
void CSettingDlg::Stop(TimerId timer) { m_timers[static_cast<int>(timer)].Stop(); }
bool CSettingDlg::Running(TimerId timer) const { return m_timers[static_cast<int>(timer)].IsRunning(); }
