#pragma once
// The main window's four pages (shares, settings, transfer log, account), the phone log-in
// prompts and the language switch. The controls are children of the host's window; everything
// runs on the main thread except OnMobileLoginRequest, which only hands a copy over.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "desktop/app/main_window/share_edits.h"
#include "desktop/app/main_window/trans_log.h"
#include "desktop/app/prompts/connect_dlg.h"
#include "desktop/app/prompts/mobile_login_queue.h"
#include "desktop/app/support/background_task.h"
#include "desktop/foundation/ui_data.h"

class wxWindow;
class wxTextCtrl;
class wxString;
class ILanguages;
class CSettingButton;
class CColorButton;
class CColorCombobox;
class CDiyStatic;
class CLinkButtonCtrl;
class CQVListCtrl;
class IServiceControlHost;
class CSettingDlg;

// Page buttons of the main window.
constexpr int kPageAccount = 1138;
constexpr int kPageShares = 1049;
constexpr int kPageTransLog = 1133;
constexpr int kPageSettings = 1048;

namespace desktop {

class CConnectDlg;

// What the pages need of the main window (CSettingDlg; a stand-in in tests).
class IPagesHost {
 public:
  virtual ~IPagesHost() = default;
  virtual wxWindow* Window() = 0;
  virtual ILanguages* Languages() = 0;
  virtual IUIData* UIData() = 0;
  virtual CSettingButton* PageButton(int id) = 0;  // nullptr when absent
  virtual void HideWindow() = 0;
  virtual int ShowMessage(const std::wstring& text, const std::wstring& title) = 0;
  // A folder chosen by the user, "" when none was (wxDirDialog in the program).
  virtual std::string ChooseFolder(const std::wstring& title, const std::string& start) = 0;
  virtual IServiceControlHost* ServiceHost() = 0;  // for the automatic start; may be null
};

// Control ids of the pages.
enum PageControl {
  kShareList = 1012, kDeleteShare = 1016, kAddShare = 1017, kApplyButton = 1018,
  kCancelButton = 1019, kOkButton = 1020, kDataFolderEdit = 1025, kAutoStartBox = 1050,
  kLanguageLabel = 1051, kLanguageCombo = 1053, kDataFolderLabel = 1054, kMoveFolderButton = 1055,
  kChangePasswordLink = 1063, kSettingHeading1 = 1078, kStartStatic = 1079,
  kSettingHeading2 = 1084, kTransLogList = 1132, kAccountLine = 1137, kSwitchAccount = 1135,
};

// The pages' controls are direct children of the host's window (skinned controls paint over
// its composed background), shown and hidden by page. Every call is on the main thread except
// QueueMobileLoginRequest, which only hands a copy over. The loopback requests of the pages
// (the transfer log, the account, Apply's shares) run on the pages' background tasks.
class CMainPages : public IConnectDlgCallBack {
 public:
  CMainPages();
  ~CMainPages() override;

  // From OnInitDialog, after the four page buttons exist (ids 1138, 1049, 1133, 1048); opens
  // the shares page.
  void Create(IPagesHost& host);
  void ApplyLanguageTexts();
  void OnLanguageChanged();
  // A click on page button id; also the start (shares page) and the tray's settings command
  // (ReopenSelectedPage).
  void ShowPage(int pageButtonId);
  void ReopenSelectedPage() { ShowPage(m_page); }
  void SetDataFolder(const std::string& folder);
  std::string DataFolder() const { return m_dataFolder; }
  void ClearShareList();
  void OnShareItem(const std::string& folder);
  void OnTransLogItem(const TransLogRecord& record);
  // The account shown on the account page ("" while logged out).
  void SetAccount(const std::string& account) { m_account = account; }
  void SetAccountPageFresh(bool fresh) { m_accountPageFresh = fresh; }
  // On CUIData's push reader thread, which waits for the return: a copy of the request goes
  // to the main thread, where it is queued and its prompt shown in turn.
  void QueueMobileLoginRequest(const MobileLoginRequest* request);
  // The tray's left click: true when a waiting request was taken and shown.
  bool ServeWaitingRequest();
  // Every second (the request-ageing timer): requests age, those of 25 ticks are refused.
  void MobileLoginRequestAgeTimer();
  // The exit sequence and the session end: stop anything of the pages that runs.
  void Stop();
  void OnMobileLoginAnswer(const MobileLoginAnswer* answer) override;

  // The main window's handlers of the pages' controls.
  void OnBnClickedAddShare();
  void OnBnClickedDeleteShare();
  void OnBnClickedApply();
  void OnBnClickedOk();
  void OnBnClickedCancel();
  void OnShareListClick();
  void OnShareListDoubleClick();
  void OnBnClickedMoveFolder();
  void OnBnClickedAutoStart();
  void OnCbnSelchangeLanguage();
  // Fills the account page with what is known, then with the service's answer.
  void RefreshAccountInfo();
  void AddTransLogRow(const std::string& path, const std::string& sizeText, int type, const std::string& time);
  void ClearShareEdits() { m_edits.Clear(); }
  // 0 moved (or unchanged); otherwise the move's refusal, already shown.
  int MoveDataFolder(const std::string& newBase);

  // For tests and the main window.
  int Page() const { return m_page; }
  // The pages' requests still on their way (tests wait for them).
  bool RequestsRunning() const { return m_tasks.Busy(); }
  CQVListCtrl* ShareList() const { return m_shareList; }
  CQVListCtrl* TransLogList() const { return m_transList; }
  CConnectDlg* OpenPrompt() const { return m_prompt; }
  const CMobileLoginQueue& Queue() const { return m_queue; }
  const CShareEdits& Edits() const { return m_edits; }
  std::string DataFolderEditText() const;
  bool DataFolderChanged() const { return m_dataFolderChanged; }
  // Every text the pages show now, by control id (column titles as id*10 + column).
  std::map<int, std::wstring> Texts() const;

 private:
  void ShowNextPrompt();
  // One request's prompt, modal; the request is over when it returns.
  void ShowConnectDlg(const MobileLoginRequest& request);
  void ShowAccount(const std::string& account);
  void UpdateDeleteButton();
  void ShowControlsOf(int page);
  std::wstring Text(const char* section, const char* key) const;
  ILanguages* L() const;

  IPagesHost* m_host = nullptr;
  std::shared_ptr<CLoginRequestRelay> m_relay = std::make_shared<CLoginRequestRelay>();
  std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
  CMobileLoginQueue m_queue;
  CConnectDlg* m_prompt = nullptr;
  CShareEdits m_edits;
  std::string m_dataFolder;
  std::string m_account;
  std::string m_editText;  // the base folder on the settings page
  bool m_dataFolderChanged = false;
  bool m_autoStartChanged = false;
  bool m_accountPageFresh = false;
  bool m_stopped = false;
  int m_page = 0;
  int m_transLogGeneration = 0;  // the transfer-log request whose answer fills the list

  CQVListCtrl* m_shareList = nullptr;
  CQVListCtrl* m_transList = nullptr;
  CColorButton* m_add = nullptr;
  CColorButton* m_delete = nullptr;
  CColorButton* m_ok = nullptr;
  CColorButton* m_cancel = nullptr;
  CColorButton* m_autoStart = nullptr;
  CColorButton* m_moveFolder = nullptr;
  CColorButton* m_switchAccount = nullptr;
  CColorCombobox* m_language = nullptr;
  wxTextCtrl* m_edit = nullptr;
  CDiyStatic* m_languageLabel = nullptr;
  CDiyStatic* m_folderLabel = nullptr;
  CDiyStatic* m_heading1 = nullptr;
  CDiyStatic* m_start = nullptr;
  CDiyStatic* m_heading2 = nullptr;
  CDiyStatic* m_accountLine = nullptr;
  CLinkButtonCtrl* m_link = nullptr;
  std::string m_linkUrl;
  std::map<int, std::wstring> m_columnTitles;  // list id * 10 + column
  CBackgroundTasks m_tasks;  // last: stopped first
};

}  // namespace desktop
