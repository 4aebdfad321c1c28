#pragma once
// The main window's four pages (shares, settings, transfer log, account), the phone log-in
// prompts and the language switch. The controls are children of the host's window; everything
// runs on the main thread except OnMobileLoginRequest, which only hands a copy over.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "desktop/app/app_seams.h"
#include "desktop/app/connect_dlg.h"
#include "desktop/app/mobile_login_queue.h"
#include "desktop/app/share_edits.h"
#include "desktop/app/trans_log.h"
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

namespace desktop {

class CConnectDlg;

// What the pages need of the main window.
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

// How the pages find their host in the main window (set by InstallMainPages).
using PagesHostFactory = std::unique_ptr<IPagesHost> (*)(CSettingDlg& owner);
void SetPagesHostFactory(PagesHostFactory factory);

// Control ids of the pages.
enum PageControl {
  kShareList = 1012, kDeleteShare = 1016, kAddShare = 1017, kApplyButton = 1018,
  kCancelButton = 1019, kOkButton = 1020, kDataFolderEdit = 1025, kAutoStartBox = 1050,
  kLanguageLabel = 1051, kLanguageCombo = 1053, kDataFolderLabel = 1054, kMoveFolderButton = 1055,
  kChangePasswordLink = 1063, kSettingHeading1 = 1078, kStartStatic = 1079,
  kSettingHeading2 = 1084, kTransLogList = 1132, kAccountLine = 1137, kSwitchAccount = 1135,
};

class CMainPages : public IMainPages, public IConnectDlgCallBack {
 public:
  explicit CMainPages(IPagesHost* host = nullptr);  // host set by Create when null
  ~CMainPages() override;

  void Create(CSettingDlg& owner) override;
  void Create(IPagesHost& host);
  void ApplyLanguageTexts() override;
  void OnLanguageChanged() override;
  void ShowPage(int pageButtonId) override;
  void ReopenSelectedPage() override { ShowPage(m_page); }
  void SetDataFolder(const std::string& folder) override;
  std::string DataFolder() const override { return m_dataFolder; }
  void ClearShareList() override;
  void OnShareItem(const std::string& folder) override;
  void OnTransLogItem(const TransLogRecord& record) override;
  void SetAccount(const std::string& account) override { m_account = account; }
  void SetAccountPageFresh(bool fresh) override { m_accountPageFresh = fresh; }
  void OnMobileLoginRequest(const MobileLoginRequest* request) override;
  bool ServeWaitingRequest() override;
  void AgeTick() override;
  void Stop() override;
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
  void RefreshAccountInfo();
  void AddTransLogRow(const std::string& path, const std::string& sizeText, int type, const std::string& time);
  void ClearShareEdits() { m_edits.Clear(); }
  // 0 moved (or unchanged); otherwise the move's refusal, already shown.
  int MoveDataFolder(const std::string& newBase);

  // For tests and the main window.
  int Page() const { return m_page; }
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
  void ShowPrompt(const MobileLoginRequest& request);
  void UpdateDeleteButton();
  void ShowControlsOf(int page);
  std::wstring Text(const char* section, const char* key) const;
  ILanguages* L() const;

  IPagesHost* m_host = nullptr;
  std::unique_ptr<IPagesHost> m_ownedHost;
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
};

}  // namespace desktop
