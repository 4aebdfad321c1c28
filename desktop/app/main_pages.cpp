// The main window's pages. Until they are built, each page is one line of text, the data
// folder and the account are kept, and phone requests are left to the service's time-out.
#include <wx/window.h>

#include <memory>
#include <string>

#include "desktop/app/app_seams.h"
#include "desktop/app/setting_dlg.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_controls.h"

namespace {

class CPlainPages : public IMainPages {
 public:
  void Create(CSettingDlg& owner) override {
    m_owner = &owner;
    m_line = new CDiyStatic(&owner, wxID_ANY, "", wxPoint(24, 210), wxSize(436, 20));
    m_line->m_textColour = 0xFF323232;
  }
  void ApplyLanguageTexts() override { ShowPage(m_page); }
  void OnLanguageChanged() override {}
  void ShowPage(int pageButtonId) override {
    m_page = pageButtonId;
    if (!m_line || !m_owner->Languages()) return;
    const char* key = "SETTING_BUTTON_SHARE";
    if (pageButtonId == kPageAccount) key = "SETTING_BUTTON_ACCOUNT";
    else if (pageButtonId == kPageTransLog) key = "SETTING_BUTTON_TRANS";
    else if (pageButtonId == kPageSettings) key = "SETTING_BUTTON_SETTING";
    std::wstring text = m_owner->Languages()->GetText("UI", key);
    if (pageButtonId == kPageAccount && !m_account.empty()) text += L": " + wxString::FromUTF8(m_account).ToStdWstring();
    if (pageButtonId == kPageShares && !m_folder.empty()) text += L": " + wxString::FromUTF8(m_folder).ToStdWstring();
    m_line->SetLabel(text);
  }
  void ReopenSelectedPage() override { ShowPage(m_page); }
  void SetDataFolder(const std::string& folder) override { m_folder = folder; }
  std::string DataFolder() const override { return m_folder; }
  void ClearShareList() override {}
  void OnShareItem(const std::string&) override {}
  void OnTransLogItem(const desktop::TransLogRecord&) override {}
  void SetAccount(const std::string& account) override { m_account = account; }
  void SetAccountPageFresh(bool) override {}
  void OnMobileLoginRequest(const desktop::MobileLoginRequest*) override {}
  bool ServeWaitingRequest() override { return false; }
  void AgeTick() override {}
  void Stop() override {}

 private:
  CSettingDlg* m_owner = nullptr;
  CDiyStatic* m_line = nullptr;
  int m_page = kPageShares;
  std::string m_folder, m_account;
};

}  // namespace

void InstallMainPages(AppSeams& seams) {
  seams.makePages = [] { return std::unique_ptr<IMainPages>(new CPlainPages()); };
}
