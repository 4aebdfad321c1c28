// The windows around the main window: the update checker and its dialogs, registration, the
// first-run wizard, the hotspot dialog, the about box and the banner.
#include <memory>

#include "desktop/app/about_dlg.h"
#include "desktop/app/ap_dlg.h"
#include "desktop/app/app_seams.h"
#include "desktop/app/html_dlg.h"
#include "desktop/app/login_dlg.h"
#include "desktop/app/register_account_dlg.h"
#include "desktop/app/setting_dlg.h"
#include "desktop/app/update_checker.h"
#include "desktop/app/update_dlg.h"
#include "desktop/app/wizard_dlg.h"

void InstallPeriphery(AppSeams& seams) {
  seams.makeUpdateChecker = [] { return std::unique_ptr<IUpdateChecker>(new UpdateChecker()); };
  seams.showUpdateDlg = [](wxWindow* parent) { ShowUpdateDlgIfInstalled(parent); };
  seams.runSetupWizardIfNeeded = [](CSettingDlg& owner) {
    return RunSetupWizardIfNeeded(&owner, owner.UIData());
  };
  seams.makeApDlg = []() -> wxDialog* { return new CApDlg(nullptr); };
  seams.showAbout = [](wxWindow* parent) { ShowAboutDlg(parent); };
  seams.makeBanner = [](CSettingDlg& owner) -> wxWindow* {
    auto* banner = new CHtmlDlg(&owner, wxPoint(0, owner.m_captionBand), wxSize(owner.ArtSize().x, 111));
    if (owner.Languages()) banner->SetLanguage(owner.Languages()->GetLanguage());
    banner->NavigateBanner();
    return banner;
  };
  seams.makeRegisterDlg = [](CLoginDlg& owner) -> wxDialog* {
    // The record stays with the dialog's owner until the log-in dialog has taken it.
    auto pending = std::make_shared<LoginRecord>();
    return new CRegisterAccountDlg(
        nullptr,
        [&owner, pending](const LoginRecord& record) {
          *pending = record;
          owner.Show();
          owner.OnAccountRegistered(pending.get());
        },
        [&owner] { owner.Show(); });
  };
}
