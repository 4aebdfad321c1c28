// The main window as the host of its pages, and the seam that makes them.
#include <wx/dirdlg.h>

#include "desktop/app/main_pages.h"
#include "desktop/app/setting_dlg.h"

namespace desktop {

namespace {

wxString W(const std::string& utf8) { return wxString::FromUTF8(utf8); }

// The main window as the pages' host.
class CSettingDlgHost : public IPagesHost {
 public:
  explicit CSettingDlgHost(CSettingDlg& owner) : m_owner(owner) {}
  wxWindow* Window() override { return &m_owner; }
  ILanguages* Languages() override { return m_owner.Languages(); }
  IUIData* UIData() override { return m_owner.UIData(); }
  CSettingButton* PageButton(int id) override { return m_owner.PageButton(id); }
  void HideWindow() override { m_owner.HideMainWindow(); }
  int ShowMessage(const std::wstring& text, const std::wstring& title) override {
    return m_owner.ShowMessage(text, title);
  }
  std::string ChooseFolder(const std::wstring& title, const std::string& start) override {
    wxDirDialog dialog(&m_owner, wxString(title), W(start), wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
    return dialog.ShowModal() == wxID_OK ? dialog.GetPath().ToStdString(wxConvUTF8) : "";
  }
  IServiceControlHost* ServiceHost() override { return &m_owner; }

 private:
  CSettingDlg& m_owner;
};

}  // namespace

}  // namespace desktop

void InstallMainPages(AppSeams& seams) {
  desktop::SetPagesHostFactory([](CSettingDlg& owner) -> std::unique_ptr<desktop::IPagesHost> {
    return std::make_unique<desktop::CSettingDlgHost>(owner);
  });
  seams.makePages = [] { return std::unique_ptr<IMainPages>(new desktop::CMainPages()); };
}
