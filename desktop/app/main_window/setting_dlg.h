#pragma once
// The one main window of Quarlo. It is created hidden and lives for the whole run of the main
// loop behind the tray icon; closing or minimizing hides it, only the exit sequence ends it.
// It owns the tray icon and its menus, the hidden log-in dialog, the log-on flow, the pages,
// the update checker, the hotspot dialog, the banner and its background tasks, and it runs the
// wizard and the about box. Every method runs on the main thread; the service's reports and
// the update checker's arrive through its background tasks' posts.
#include <wx/timer.h>

#include <memory>
#include <mutex>
#include <string>

#include "desktop/app/account/login_record.h"
#include "desktop/app/main_window/logon_flow.h"
#include "desktop/app/main_window/main_pages.h"
#include "desktop/app/support/background_task.h"
#include "desktop/app/tray/tray_icon.h"
#include "desktop/app/update/update_checker.h"
#include "desktop/foundation/diy_dialog.h"
#include "desktop/foundation/service_control.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/ui_data.h"

class CLoginDlg;
class CTrayIcon;
class CSettingButton;
class CHtmlDlg;
class wxEventLoopBase;

// The main window's switch-account button (the page buttons' ids are in main_pages.h).
constexpr int kSwitchAccountButton = 1135;
constexpr int kAccountStatic = 1137;

class CSettingDlg : public CDiyDialog,
                    public ICLoginDlgCallback,
                    public desktop::IUIDataCallBack,
                    public IUpdateCallback,
                    public ILogOnView,
                    public ITimers,
                    public IServiceControlHost,
                    public ITrayHost,
                    public desktop::IPagesHost {
 public:
  // uiData may be null (no service client: the log-on steps do nothing). ensureService
  // false skips the service check (tests of the window alone).
  CSettingDlg(desktop::IUIData* uiData, bool ensureService = true);
  ~CSettingDlg() override;

  // What the creation of the window does (tray icon, log-in dialog, pages, timers, the first
  // log-on step), without showing it. Showing it later does not repeat it.
  void Initialize();

  // ICLoginDlgCallback
  void OnLogin(LoginRecord* record, int hash) override;
  void OnTrayStateChanged() override;
  void OnExitRequest() override;
  void OnLoginHashed(LoginRecord* record) override;
  // IUIDataCallBack (OnNetwork* and OnMobileLoginRequest on CUIData's threads)
  void OnShareItem(const std::string& folder) override;
  void OnTransLogItem(const desktop::TransLogRecord* record) override;
  void OnPathItem(const std::string&) override {}
  void OnMobileLoginRequest(const desktop::MobileLoginRequest* request) override;
  void OnNetworkDown() override;
  void OnNetworkUp() override;
  // IUpdateCallback (the checker's thread): each posts its message to the window.
  void OnInstallUpdate() override;
  void OnNoUpdate() override;
  void OnNewVersion() override;
  void OnUpdateDownloaded() override;
  // The handlers of those messages, on the main thread.
  void OnMsgNewVersion();
  void OnMsgNoUpdate();
  void OnMsgInstallUpdate();
  void OnMsgUpdateDownloaded();
  void OnMsgNetworkDown() { m_flow.OnNetworkDown(); }
  void OnMsgNetworkUp() { m_flow.OnNetworkUp(); }

  // The log-on flow and the tray.
  int StartLogOn();
  void UpdateTrayState() { m_flow.UpdateTrayState(); }
  void OnTrayChangeAccount();
  void OnTrayCommand(unsigned command) override;  // the tray menus' commands, by id
  void OnTrayLeftClick() override;
  void OnTrayOpenFolder();
  void OnTrayAp();
  void OnTrayShareManage();
  void OnTrayDownload();
  void OnTrayUpdate();
  void OnTrayHelp();
  void OnTrayFeedback();
  void OnTrayAbout();
  // The exit sequence: hides, logs out unless the password is remembered, stops the timers
  // and the service, and ends the main loop.
  void OnTrayExit();
  // SIGTERM / SIGHUP: the exit sequence without stopping the service (the session ends).
  void OnSessionEnd();
  // The tray menus as they are now (logged on: menu 139, else 145).
  std::unique_ptr<wxMenu> BuildTrayMenu() override;
  void LocalizeTrayMenus();

  // The timers' procedures.
  void LogOnStatusPollTimer() { m_flow.LogOnStatusPollTimer(); }
  void MobileLoginRequestAgeTimer();
  void TrayAnimationTimer() { m_flow.TrayAnimationTimer(); }
  void ServiceWatchdogTimer();

  CLogOnFlow& Flow() { return m_flow; }
  const CLogOnFlow& Flow() const { return m_flow; }
  CLoginDlg* LoginDlg() const { return m_loginDlg; }
  CTrayIcon* TrayIcon() const { return m_tray.get(); }
  desktop::CMainPages* Pages() const { return m_pages.get(); }
  UpdateChecker* Checker() const { return m_updateChecker.get(); }
  CHtmlDlg* Banner() const { return m_banner; }
  // The startup-dialog flag: tray clicks are ignored while the wizard (or a start-up check) runs.
  void SetStartupDialogRunning(bool on) { m_startupDialog = on; }
  bool StartupDialogRunning() const { return m_startupDialog; }
  bool IsQuittingNow() const { return m_quitting; }
  // Mobile state of the phone queue (set to 1 when the last waiting request is served).
  void SetMobileState(int state) { m_flow.SetMobileState(state); }
  void StopTrayAnimation() { Stop(TimerId::TrayAnimation); }
  std::string DataFolder() const;
  bool HasTrayForTests() const { return HasTray(); }
  // Work of the window off the main thread (the pages' requests share it).
  CBackgroundTasks& Tasks() { return m_tasks; }
  bool Show(bool show = true) override;

  // ILogOnView
  void HideMainWindow() override;
  void ShowLoginDlg(bool restoreHints) override;
  void HideLoginDlg() override;
  void SetLoginDlgRecord(const LoginRecord& record, bool passwordIsHash) override;
  void ClearLoginDlgPassword() override;
  void SetAccountShown(const std::string& account) override;
  int ShowMessage(const std::wstring& text, const std::wstring& title) override;
  void ShowBalloon(const std::wstring& text, const std::wstring& title) override;
  void SetTrayIcon(int icon, const std::wstring& tip) override;
  void SetPhoneItem(bool online, const std::wstring& text) override;
  void SetDataFolder(const std::string& folder) override;
  void ClearShareList() override;
  void SetAccountPageFresh(bool fresh) override;
  bool AskSwitchAccount() override;
  void RunPoll(std::function<void(int status, int mobile)> done) override;
  void RefreshLists() override;
  // ITimers
  void Start(TimerId timer, int periodMs) override;
  void Stop(TimerId timer) override;
  bool Running(TimerId timer) const override;
  // IServiceControlHost and IPagesHost
  ILanguages* Languages() override { return CDiyDialog::Languages(); }
  int ShowMessage(const std::wstring& text, int type) override;
  void StopTimers() override;
  std::recursive_mutex& QuitLock() override { return m_quitLock; }
  bool IsQuitting() override;
  void EndAllInstances() override;
  wxWindow* Window() override { return this; }
  desktop::IUIData* UIData() override { return m_uiData; }
  CSettingButton* PageButton(int id) override;
  void HideWindow() override { HideMainWindow(); }
  std::string ChooseFolder(const std::wstring& title, const std::string& start) override;
  IServiceControlHost* ServiceHost() override { return this; }

 protected:
  bool OnInitDialog() override;
  void ApplyLanguageTexts() override;
  void OnLanguageChanged() override;
  void OnMinimize() override;
  void OnEnterKey() override {}  // Enter and Escape leave the main window as it is

 private:
  void OnTimer(wxTimerEvent& event);
  void OnHideMainWindow(wxCommandEvent& event);
  void OnPageButton(wxCommandEvent& event);
  void OnCloseWindow(wxCloseEvent& event);
  // The window's close without a tray: the program ends, the service stays (and says so).
  void CloseWithoutTray();
  void NotifyPhoneRequest(const desktop::MobileLoginRequest& request);
  void FocusSelectedPage();
  void CheckUpdateFinished();
  // The first-run wizard, when "SetupWizard" asks for it; the update notice waits for it.
  void RunSetupWizardIfNeeded();
  void CreateBanner();
  void ShowFront();
  // Without a tray the program must stay reachable: when neither window shows, the main
  // window does.
  void EnsureSomethingShown();
  bool HasTray() const;
  bool StopForExit(bool logOut = true);
  void EndMainLoop();
  // The last step of the exit: once no dialog runs modally on the stack any more (each is
  // ended in turn, innermost first), the window goes and the main loop ends.
  void FinishExit();

  desktop::IUIData* m_uiData;
  CLogOnFlow m_flow;
  CLoginDlg* m_loginDlg = nullptr;
  std::unique_ptr<CTrayIcon> m_tray;
  CDiyMenu m_menuLoggedOn;   // menu 139
  CDiyMenu m_menuLoggedOff;  // menu 145
  bool m_trayMenusLocalized = false;
  std::unique_ptr<desktop::CMainPages> m_pages;
  std::unique_ptr<UpdateChecker> m_updateChecker;
  wxDialog* m_apDlg = nullptr;
  CHtmlDlg* m_banner = nullptr;
  CSettingButton* m_pageButtons[4] = {};
  std::string m_dataFolder;
  bool m_initialized = false;
  bool m_menuLoggedOnShown = false;  // which menu the indicator exports now
  // One wx timer per role; the ids are the TimerId values.
  wxTimer m_timers[4];
  bool m_startupDialog = false;
  bool m_noticeWaiting = false;  // a new version was announced while the wizard ran
  std::recursive_mutex m_quitLock;
  bool m_quitting = false;
  bool m_installUpdate = false;
  bool m_ensureService;
  wxEventLoopBase* m_endingLoop = nullptr;  // the modal loop FinishExit ended, until it unwinds
  CBackgroundTasks m_tasks;      // last: stopped first, before the members its tasks use
};

// The one main window, set in OnInitDialog and cleared when it is destroyed.
extern CSettingDlg* g_pSettingDlg;
