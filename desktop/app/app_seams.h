#pragma once
// Where the windows of other parts of the program plug into the main window. Each seam is an
// interface or a factory set once at start-up (before the main window is created); an unset
// factory means "that window does not exist yet" and the main window goes on without it.
#include <functional>
#include <memory>
#include <string>

#include "desktop/foundation/ui_data.h"

class wxWindow;
class wxDialog;
class CSettingDlg;
class CLoginDlg;
class CDiyMenu;
struct LoginRecord;

// Reports of the update checker; they may come from its thread, the main window posts them on.
class IUpdateCallback {
 public:
  virtual ~IUpdateCallback() = default;
  virtual void OnInstallUpdate() = 0;
  virtual void OnNoUpdate() = 0;
  virtual void OnNewVersion() = 0;
  virtual void OnUpdateDownloaded() = 0;
};

class IUpdateChecker {
 public:
  virtual ~IUpdateChecker() = default;
  virtual void SetCallback(IUpdateCallback* callback) = 0;
  virtual void SetManual(bool manual) = 0;
  // Starts the check thread unless one is recorded.
  virtual void StartCheck() = 0;
  // Main thread, after OnNewVersion: the notice that asks whether to update.
  virtual void ShowUpdateNotice() = 0;
  // Releases the thread's wait for the user's consent to download.
  virtual void SetEvent() = 0;
  // Main thread, after OnNoUpdate of a check the user asked for.
  virtual void ShowNoUpdate() = 0;
  // Main thread, at exit: the thread is told to end (it may still be finishing a request).
  virtual void Stop() = 0;
  // At exit after OnInstallUpdate: starts the downloaded update (when the user may).
  virtual void StartInstaller() = 0;
};

// The main window's pages (account, shares, transfer log, settings), the phone log-in queue
// and the language switch. Controls are direct children of the main window (skinned controls
// paint over its composed background), shown and hidden by page. Every call is on the main
// thread unless said otherwise.
class IMainPages {
 public:
  virtual ~IMainPages() = default;
  // From OnInitDialog, after the four page buttons exist (ids 1138, 1049, 1133, 1048).
  virtual void Create(CSettingDlg& owner) = 0;
  virtual void ApplyLanguageTexts() = 0;
  virtual void OnLanguageChanged() = 0;
  // A click on page button id; also the start (shares page) and the tray's settings command
  // (ReopenSelectedPage).
  virtual void ShowPage(int pageButtonId) = 0;
  virtual void ReopenSelectedPage() = 0;
  virtual void SetDataFolder(const std::string& folder) = 0;
  virtual std::string DataFolder() const = 0;
  virtual void ClearShareList() = 0;
  virtual void OnShareItem(const std::string& folder) = 0;
  virtual void OnTransLogItem(const desktop::TransLogRecord& record) = 0;
  // The account shown on the account page ("" while logged out).
  virtual void SetAccount(const std::string& account) = 0;
  virtual void SetAccountPageFresh(bool fresh) = 0;
  // On CUIData's push reader thread, which waits for the return.
  virtual void OnMobileLoginRequest(const desktop::MobileLoginRequest* request) = 0;
  // The tray's left click: true when a waiting request was taken and shown.
  virtual bool ServeWaitingRequest() = 0;
  virtual void AgeTick() = 0;  // every second (request ageing)
  // The exit sequence and the session end: stop anything of the pages that runs.
  virtual void Stop() = 0;
};

// The factories. CQuarloApp fills them before the main window is built.
struct AppSeams {
  std::function<std::unique_ptr<IMainPages>()> makePages;
  std::function<std::unique_ptr<IUpdateChecker>()> makeUpdateChecker;
  // The dialog after an update was installed (modal).
  std::function<void(wxWindow* parent)> showUpdateDlg;
  // The first-run wizard; true when it ran. The main window ignores tray clicks meanwhile.
  std::function<bool(CSettingDlg& owner)> runSetupWizardIfNeeded;
  // The hotspot dialog, modeless and without parent; the main window owns the pointer.
  std::function<wxDialog*()> makeApDlg;
  std::function<void(wxWindow* parent)> showAbout;
  // The banner of the main window, a child the main window positions.
  std::function<wxWindow*(CSettingDlg& owner)> makeBanner;
  // The registration dialog of the log-in dialog (hidden until the log-in dialog shows it);
  // a registered account comes back through CLoginDlg::OnAccountRegistered.
  std::function<wxDialog*(CLoginDlg& owner)> makeRegisterDlg;
};

AppSeams& Seams();
// Defined by the pages' and the periphery's own files: each sets its factories.
void InstallMainPages(AppSeams& seams);
void InstallPeriphery(AppSeams& seams);
