// The periphery's windows under Xvfb: the registration dialog against the real QuarloCentral
// site, the update notice and the release notes, the wizard, the hotspot dialog over a
// stand-in NetworkManager layer, the about box and the banner's fallback. Every dialog is
// photographed in the three languages (build/screenshots/periphery_*.png).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>
#include <wx/webview.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "desktop/app/about/about_dlg.h"
#include "desktop/app/hotspot/ap_dlg.h"
#include "desktop/app/site/html_dlg.h"
#include "desktop/app/account/login_dlg.h"
#include "desktop/app/account/login_record.h"
#include "desktop/app/account/register_account_dlg.h"
#include "desktop/app/main_window/setting_dlg.h"
#include "desktop/app/update/update_checker.h"
#include "desktop/app/update/update_dlg.h"
#include "desktop/app/wizard/wizard_dlg.h"
#include "desktop/app/wizard/wizard_logic.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_list.h"
#include "desktop/foundation/ui_data.h"
#include "platform/registry.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/desktop/gui_test_support.h"
#include "platform/scm.h"
#include "tests/support/central_process.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/update_signing.h"
#include "tests/support/wait_for.h"
#include "tests/support/free_port.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const char* const kLangNames[] = {"cn", "en", "tw"};

void Xdo(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  Tool(argv);
}

// Clicks the middle of a control as the user does, then lets the click arrive (until done()).
void ClickOn(wxWindow* control, const std::function<bool()>& done = nullptr) {
  auto* top = static_cast<wxTopLevelWindow*>(wxGetTopLevelParent(control));
  if (!top->GetTitle().StartsWith("qp-")) {
    top->SetTitle("qp-click");
    PumpUntil([] { return false; }, std::chrono::milliseconds(200));
  }
  const std::string id = WindowId(top->GetTitle().ToStdString());
  ASSERT_FALSE(id.empty());
  const wxPoint p = top->ScreenToClient(control->GetScreenPosition()) +
                    wxPoint(control->GetSize().x / 2, control->GetSize().y / 2);
  // Away first: a synchronous move to where the pointer already is waits for nothing.
  Xdo({"mousemove", "1", "1"});
  Xdo({"mousemove", "--sync", "--window", id, std::to_string(p.x), std::to_string(p.y), "click", "1"});
  if (done) {
    EXPECT_TRUE(PumpUntil(done));
  } else {
    PumpUntil([] { return false; }, std::chrono::milliseconds(300));
  }
}

// Ends a modal dialog when the test's steps are over, also when an assertion left early.
struct EndModalAtExit {
  wxDialog& dlg;
  int result;
  ~EndModalAtExit() {
    if (dlg.IsModal()) dlg.EndModal(result);
  }
};

class PeripheryGui : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int id : {0, 1, 2})
      fs::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                    folders.Program() + "/" + LanguageFileName(id));
    fs::create_directories(folders.UserDir());
    for (const char* f : {"HtmlDlg.htm", "banner_ch.gif", "banner_en.gif", "banner_tw.gif"})
      fs::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/roaming/" + f, folders.UserDir() + "/" + f);
    fs::create_directories(ScreenshotDir());
    Reg_CreateKey(RegRoot::CurrentUser, kQuarloKey);
    languages = CLanguages::GetInstance();
  }
  void TearDown() override {
    if (languages) languages->Release();
  }
  void Language(int id) {
    languages->SetLanguage(id);
  }
  // Shows dlg, waits for its texts, names it and takes its picture.
  void Photograph(wxDialog* dlg, const std::string& name) {
    // The texts first (they set the caption), then a caption of the picture's own.
    dlg->Refresh();
    PumpUntil([] { return false; }, std::chrono::milliseconds(300));
    dlg->SetTitle(wxString::FromUTF8("qp-" + name));
    PumpUntil([] { return false; }, std::chrono::milliseconds(200));
    const std::string id = WindowId("qp-" + name);
    ASSERT_FALSE(id.empty()) << name;
    EXPECT_TRUE(Screenshot(id, ScreenshotDir() + "/periphery_" + name + ".png")) << name;
  }

  DesktopFolders folders;
  ILanguages* languages = nullptr;
};

TEST_F(PeripheryGui, RegistrationFromTheDialogAgainstTheRealSite) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  std::vector<LoginRecord> handed;
  int closed = 0;
  auto* dlg = new CRegisterAccountDlg(nullptr, [&](const LoginRecord& r) { handed.push_back(r); },
                                      [&] { ++closed; });
  // Gone before what its callbacks use, whatever ends the test.
  std::unique_ptr<CRegisterAccountDlg> owner(dlg);
  dlg->CentreOnScreen();
  dlg->Show();
  ASSERT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen(); }));
  for (int lang : {0, 2, 1}) {
    Language(lang);
    ASSERT_TRUE(PumpUntil([&] { dlg->Refresh(); return !dlg->InfoText().empty() || lang == 1; }, seconds(3)) || true);
    Photograph(dlg, std::string("register_") + kLangNames[lang]);
  }
  auto* email = static_cast<wxTextCtrl*>(dlg->FindWindow(CRegisterAccountDlg::kEmailId));
  auto* pass = static_cast<wxTextCtrl*>(dlg->FindWindow(CRegisterAccountDlg::kPassId));
  auto* repeat = static_cast<wxTextCtrl*>(dlg->FindWindow(CRegisterAccountDlg::kRepeatId));
  auto* licence = static_cast<CColorButton*>(dlg->FindWindow(CRegisterAccountDlg::kLicenceId));
  wxWindow* button = dlg->FindWindow(CRegisterAccountDlg::kRegisterId);

  // The account is made on the site and handed to the log-in dialog; the dialog hides.
  email->SetValue("New.Person@Example.com");
  pass->SetValue("secret1");
  repeat->SetValue("secret1");
  ClickOn(button);
  ASSERT_TRUE(PumpUntil([&] { return !handed.empty(); }, seconds(30))) << dlg->InfoText().ToStdString();
  EXPECT_STREQ(handed[0].account, "new.person@example.com");
  EXPECT_STREQ(handed[0].password, "secret1");
  EXPECT_EQ(handed[0].remember, 1);
  EXPECT_FALSE(dlg->IsShown());
  EXPECT_TRUE(email->GetValue().empty());
  EXPECT_NE(central.Admin({"account", "list"}).output.find("new.person@example.com"), std::string::npos);

  // The same address again: the page's refusal in the info line, the fields kept.
  dlg->Show();
  email->SetValue("new.person@example.com");
  pass->SetValue("secret1");
  repeat->SetValue("secret1");
  ASSERT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen(); }));
  ClickOn(button);
  ASSERT_TRUE(PumpUntil([&] { return dlg->InfoText() == "This e-mail address already has an account."; },
                        seconds(30)))
      << dlg->InfoText().ToStdString();
  EXPECT_EQ(handed.size(), 1u);
  EXPECT_EQ(email->GetValue(), "new.person@example.com");
  Photograph(dlg, "register_refused_en");

  // Refusals before anything is sent.
  repeat->SetValue("secret2");
  dlg->OnBnClickedRegister();
  ASSERT_TRUE(PumpUntil([&] { return !dlg->LastBalloonKey().empty(); }));
  EXPECT_EQ(dlg->LastBalloonKey(), "REGACCOUNT_INFO_PASSMISMATCH");
  repeat->SetValue("secret1");
  licence->SetCheck(false);
  dlg->OnBnClickedRegister();
  ASSERT_TRUE(PumpUntil([&] { return dlg->InfoText() == "Please accept the licence terms first."; }))
      << dlg->InfoText().ToStdString() << " / " << dlg->LastBalloonKey();
  // Outside printable ASCII: past the dialog's checks, but never sent.
  licence->SetCheck(true);
  pass->SetValue(wxString::FromUTF8("caf\xc3\xa9pass"));
  repeat->SetValue(wxString::FromUTF8("caf\xc3\xa9pass"));
  dlg->OnBnClickedRegister();
  EXPECT_EQ(dlg->InfoText(), "The password must have 6 to 16 letters, digits or signs.");
  EXPECT_FALSE(dlg->Busy());

  // Closing while idle empties the fields and goes back to the log-in dialog.
  wxCommandEvent close(wxEVT_BUTTON, kCloseButtonId);
  dlg->ProcessWindowEvent(close);
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(email->GetValue().empty());
}

TEST_F(PeripheryGui, UpdateNoticeStoresTheChoiceAndCloseCancels) {
  // No site: the banner shows the local page with the language's picture.
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", "http://127.0.0.1:1", 1);
  for (int lang : {0, 1, 2}) {
    Language(lang);
    CUpdateNoticeDlg dlg(nullptr, L"9.0.0.1");
    dlg.CentreOnScreen();
    bool checked = false;
    wxTheApp->CallAfter([&] {
      EndModalAtExit end{dlg, -1};
      PumpUntil([&] { return dlg.IsShownOnScreen() && !dlg.Announcement().empty(); });
      ASSERT_NE(dlg.Banner(), nullptr);
      EXPECT_TRUE(PumpUntil([&] { return dlg.Banner()->OnLocalPage() && dlg.Banner()->Loads() > 0; },
                            seconds(20)));
      EXPECT_EQ(dlg.Banner()->Language(), lang);
      Photograph(&dlg, std::string("update_notice_") + kLangNames[lang]);
      if (lang == 1) {
        EXPECT_EQ(dlg.Announcement(), "Quarlo 9.0.0.1 is available. Update now?");
        dlg.SetNeverShow(true);
        ClickOn(dlg.FindWindow(CUpdateNoticeDlg::kUpdateId), [&] { return !dlg.IsModal(); });
      } else {
        wxCommandEvent close(wxEVT_BUTTON, kCloseButtonId);
        dlg.ProcessWindowEvent(close);
      }
      checked = true;
    });
    const int result = dlg.ShowModal();
    EXPECT_TRUE(checked);
    uint32_t stored = 7;
    const int rc = Reg_GetDword(RegRoot::CurrentUser, kQuarloKey, "UpdateNotice", stored);
    if (lang == 1) {
      EXPECT_EQ(result, kNoticeUpdate);
      EXPECT_EQ(stored, 1u);
      EXPECT_FALSE(IsUpdateNoticeWanted());
    } else {
      EXPECT_EQ(result, kNoticeCancel);
      if (lang == 0) {
        EXPECT_EQ(rc, kRegNotFound) << "the close button stores nothing";
      }
    }
  }
}

// Runs step every 50 ms on the main thread, inside whatever modal loop runs, until it says so.
class Stepper : public wxTimer {
 public:
  explicit Stepper(std::function<bool()> step) : m_step(std::move(step)) { Start(50); }
  void Notify() override {
    if (!m_done && m_step()) {
      m_done = true;
      Stop();
    }
  }

 private:
  std::function<bool()> m_step;
  bool m_done = false;
};

template <typename T>
T* ShownTopLevel() {
  for (wxWindow* w : wxTopLevelWindows)
    if (auto* t = dynamic_cast<T*>(w); t && t->IsShownOnScreen()) return t;
  return nullptr;
}

// The first start with a newer version on the site: the wizard comes first and the update
// notice only after it, and the notice's Return (update), Escape and close button
// each end it as they should. Return downloads the package and ends the program for the
// install, with no dialog left on a stack the main window's end would cut
// through (the crash of Return: the wizard, a child on the main window's stack, was freed). The
// project's AddressSanitizer build runs this test too (scripts/sanitize.sh).
TEST_F(PeripheryGui, UpdateNoticeAfterTheWizardReturnEscapeAndClose) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  CEnvGuard origin("QUARLO_SITE_ORIGIN"), elevate("QUARLO_ELEVATE_CMD");
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  setenv("QUARLO_ELEVATE_CMD", "/bin/true", 1);  // the install at the end asks nobody
  const std::string root = folders.Config() + "/pkg";
  fs::create_directories(root + "/DEBIAN");
  std::ofstream(root + "/DEBIAN/control") << "Package: quarlo\nVersion: 9.0.0.1\nArchitecture: amd64\n"
                                             "Maintainer: t <t@example.com>\nDescription: test\n";
  const std::string deb = folders.Config() + "/quarlo_9.0.0.1_amd64.deb";
  ASSERT_EQ(RunProgram({"/usr/bin/dpkg-deb", "--build", "--root-owner-group", root, deb}).exitCode, 0);
  ASSERT_TRUE(SignPackage(deb));
  ASSERT_EQ(central.Admin({"site", "publish", deb, central.SiteUrl()}).exitCode, 0);
  const std::string package = folders.UserDir() + "/Quarlo.deb";
  Language(1);

  enum class Key { Return, Escape, Close };
  for (Key key : {Key::Escape, Key::Close, Key::Return}) {
    SCOPED_TRACE(static_cast<int>(key));
    Reg_SetDword(RegRoot::CurrentUser, kQuarloKey, "SetupWizard", 0);  // a first start
    Reg_DeleteValue(RegRoot::CurrentUser, kQuarloKey, "UpdateNotice");
    fs::remove(package);
    bool wizardSeen = false, noticeOverWizard = false, noticeSeen = false, acted = false;
    int noticeResultIsCancel = -1;
    std::chrono::steady_clock::time_point actedAt;
    auto* main = new CSettingDlg(nullptr, false);
    Stepper user([&]() -> bool {
      CWizardDlg* wizard = ShownTopLevel<CWizardDlg>();
      CUpdateNoticeDlg* notice = ShownTopLevel<CUpdateNoticeDlg>();
      if (wizard) wizardSeen = true;
      if (wizard && notice) noticeOverWizard = true;
      if (wizard && !notice) {
        // The check has found the new version while the wizard runs: then the wizard ends.
        if (main->Checker() && !main->Checker()->RemoteVersion().empty()) {
          PumpUntil([] { return false; }, std::chrono::milliseconds(300));
          if (!ShownTopLevel<CUpdateNoticeDlg>()) wizard->EndModal(wxID_CANCEL);
        }
        return false;
      }
      if (!notice) return acted;
      // A key that came before the window had the keyboard is pressed again a moment later.
      if (acted && std::chrono::steady_clock::now() - actedAt < std::chrono::seconds(3)) return false;
      noticeSeen = true;
      notice->SetTitle("qp-notice");
      PumpUntil([] { return false; }, std::chrono::milliseconds(200));
      const std::string id = WindowId("qp-notice");
      if (key == Key::Close) {
        ClickOn(notice->FindWindow(kCloseButtonId));
      } else {
        Xdo({"windowfocus", "--sync", id, "key", "--clearmodifiers", key == Key::Return ? "Return" : "Escape"});
      }
      acted = true;
      actedAt = std::chrono::steady_clock::now();
      return false;
    });
    main->Initialize();  // the wizard runs modally in here
    EXPECT_TRUE(wizardSeen);
    if (key == Key::Return) {
      // Update: the package comes, and the program ends to install it.
      EXPECT_TRUE(PumpUntil([&] {
        wxTheApp->ProcessIdle();
        return g_pSettingDlg == nullptr;
      }, seconds(60))) << "the main window did not end for the install";
      EXPECT_TRUE(fs::exists(package));
    } else {
      ASSERT_TRUE(PumpUntil([&] { return acted && !ShownTopLevel<CUpdateNoticeDlg>(); }, seconds(30)))
          << "the notice stays";
      PumpUntil([] { return false; }, std::chrono::milliseconds(500));
      noticeResultIsCancel = fs::exists(package) ? 0 : 1;
      EXPECT_EQ(noticeResultIsCancel, 1) << "nothing is downloaded after a cancel";
      uint32_t stored = 7;
      EXPECT_EQ(Reg_GetDword(RegRoot::CurrentUser, kQuarloKey, "UpdateNotice", stored), kRegNotFound)
          << "Escape and the close button store nothing";
      ASSERT_EQ(g_pSettingDlg, main);
      main->OnSessionEnd();
      EXPECT_TRUE(PumpUntil([&] {
        wxTheApp->ProcessIdle();
        return g_pSettingDlg == nullptr;
      }));
    }
    EXPECT_TRUE(noticeSeen);
    EXPECT_FALSE(noticeOverWizard) << "the update notice showed over the first-run wizard";
  }
}

TEST_F(PeripheryGui, ReleaseNotesFromTheSiteOrTheDialogCloses) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  DesktopFolders::Write(central.SiteFolder() + "/notes-en.txt", "Faster transfers.\nA new wizard.\n");
  DesktopFolders::Write(central.SiteFolder() + "/notes-cn.txt", "传输更快。\n");
  DesktopFolders::Write(central.SiteFolder() + "/notes-tw.txt", "傳輸更快。\n");
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  for (int lang : {0, 1, 2}) {
    Language(lang);
    CUpdateDlg dlg(nullptr);
    dlg.CentreOnScreen();
    wxTheApp->CallAfter([&] {
      EndModalAtExit end{dlg, -1};
      ASSERT_TRUE(PumpUntil([&] { return dlg.NotesShown(); }, seconds(10)));
      Photograph(&dlg, std::string("release_notes_") + kLangNames[lang]);
      if (lang == 1) {
        EXPECT_EQ(dlg.Notes(), "Faster transfers.\nA new wizard.\n");
      }
      if (lang == 0) {
        EXPECT_EQ(dlg.Notes(), wxString::FromUTF8("传输更快。\n"));
      }
      ClickOn(dlg.FindWindow(1115), [&] { return !dlg.IsModal(); });
    });
    EXPECT_EQ(dlg.ShowModal(), wxID_OK);
  }
  // No site: the dialog goes by itself.
  setenv("QUARLO_SITE_ORIGIN", "http://127.0.0.1:1", 1);
  CUpdateDlg gone(nullptr);
  EXPECT_EQ(gone.ShowModal(), wxID_CANCEL);
  EXPECT_FALSE(gone.NotesShown());
}

// The service's client as the wizard uses it: what it was told.
class RecordingUIData : public desktop::IUIData {
 public:
  int AddRef() override { return ++refs; }
  int Release() override { return --refs; }
  void SetCallback(desktop::IUIDataCallBack*) override {}
  void ClearCallback() override {}
  int LogOn(desktop::LoginRecord*, int) override { return 0; }
  int LogOut() override { return 0; }
  int GetLogOnInfo(desktop::LoginRecord*) override { return 0; }
  int GetDefShare(std::string& dataFolder) override {
    dataFolder = current;
    return 0;
  }
  int SetDefShare(const std::string& base) override {
    setBases.push_back(base);
    return moveResult;
  }
  int GetShare() override { return 0; }
  int SetShare(const std::vector<std::string>* add, const std::vector<std::string>*) override {
    if (add) added = *add;
    return 0;
  }
  int GetLogOnStatus() override { return 0; }
  int GetMobileState() override { return 0; }
  int SetServerAddr(const std::string&) override { return 0; }
  int GetTransLog() override { return 0; }
  int GetPath(const std::string&) override { return 0; }
  int GetSysType() override { return 1; }
  int AnswerMobileLogin(const desktop::MobileLoginAnswer*) override { return 0; }
  int SetPwd(const std::string&) override { return 0; }
  int GetPwd(std::string&) override { return 0; }
  int RefreshDataFolder() override { return 0; }

  int refs = 1;
  std::string current;
  int moveResult = -2;
  std::vector<std::string> setBases;
  std::vector<std::string> added;
};

TEST_F(PeripheryGui, WizardProposesTheDataFolderKeepsSharesAndReportsTheMove) {
  const std::string root = folders.Config() + "/wiz";
  fs::create_directories(root + "/old/Quarlo");
  fs::create_directories(root + "/new");
  fs::create_directories(root + "/music");
  fs::create_directories(root + "/films");
  RecordingUIData data;
  data.current = root + "/old/Quarlo";
  for (int lang : {0, 2, 1}) {
    Language(lang);
    Reg_SetDword(RegRoot::CurrentUser, kQuarloKey, "SetupWizard", 0);
    CWizardDlg wizard(nullptr, &data);
    std::vector<std::string> messages;
    wizard.m_showMessage = [&](const std::string& key) { messages.push_back(key); };
    std::vector<std::string> answers = {root + "/music", root + "/films", root + "/music", "/usr", root + "/new"};
    wizard.SetFolderChooser([&](const wxString&) {
      std::string a = answers.front();
      answers.erase(answers.begin());
      return a;
    });
    wizard.CentreOnScreen();
    wxTheApp->CallAfter([&] {
      EndModalAtExit end{wizard, -1};
      ASSERT_TRUE(PumpUntil([&] { return wizard.IsShownOnScreen(); }));
      uint32_t stored = 0;
      Reg_GetDword(RegRoot::CurrentUser, kQuarloKey, "SetupWizard", stored);
      EXPECT_EQ(stored, 1u) << "stored as soon as it opens";
      EXPECT_EQ(wizard.BaseFolder(), root + "/old");
      Photograph(&wizard, std::string("wizard1_") + kLangNames[lang]);
      ClickOn(wizard.FindWindow(CWizardDlg::kNextId));
      ASSERT_TRUE(PumpUntil([&] { return wizard.Step() == 2; }));
      EXPECT_EQ(wizard.List()->RowText(0, 1), root + "/old/Quarlo");
      wizard.OnBnClickedAdd();
      wizard.OnBnClickedAdd();
      wizard.OnBnClickedAdd();  // the same folder again
      EXPECT_EQ(messages, std::vector<std::string>{"MSGBOX_SHARESAMEFOLDER"});
      EXPECT_EQ(wizard.List()->GetItemCount(), 3);
      Photograph(&wizard, std::string("wizard2_") + kLangNames[lang]);
      // The data folder's row cannot be removed; another can.
      wizard.OnNMClickList(0);
      EXPECT_FALSE(wizard.FindWindow(CWizardDlg::kDeleteId)->IsEnabled());
      wizard.List()->SetSelection(2);
      wizard.OnNMClickList(2);
      EXPECT_TRUE(wizard.FindWindow(CWizardDlg::kDeleteId)->IsEnabled());
      wizard.OnBnClickedDelete();
      EXPECT_EQ(wizard.Shares(), std::vector<std::string>{root + "/music"});
      // Back and on again: the folder added stays listed.
      ClickOn(wizard.FindWindow(CWizardDlg::kFrontId));
      ASSERT_TRUE(PumpUntil([&] { return wizard.Step() == 1; }));
      // A system folder is refused, then a folder of the user's own is taken.
      wizard.OnBnClickedRadioUser();
      wizard.OnBnClickedBrowse();
      EXPECT_EQ(messages.back(), "MSGBOX_WIZARD_BADFOLDER");
      EXPECT_EQ(wizard.BaseFolder(), root + "/old");
      wizard.OnBnClickedBrowse();
      EXPECT_EQ(wizard.BaseFolder(), root + "/new");
      ClickOn(wizard.FindWindow(CWizardDlg::kNextId));
      ASSERT_TRUE(PumpUntil([&] { return wizard.Step() == 2; }));
      ASSERT_EQ(wizard.List()->GetItemCount(), 2);
      EXPECT_EQ(wizard.List()->RowText(0, 1), root + "/new/Quarlo");
      EXPECT_EQ(wizard.List()->RowText(1, 1), root + "/music");
      ClickOn(wizard.FindWindow(CWizardDlg::kNextId));
      ASSERT_TRUE(PumpUntil([&] { return wizard.Step() == 3; }));
      Photograph(&wizard, std::string("wizard3_") + kLangNames[lang]);
      ClickOn(wizard.FindWindow(CWizardDlg::kFinishId), [&] { return !wizard.IsModal(); });
    });
    wizard.ShowModal();
    ASSERT_FALSE(data.setBases.empty());
    EXPECT_EQ(data.setBases.back(), root + "/new");
    EXPECT_EQ(wizard.LastMoveResult(), -2);
    EXPECT_EQ(messages.back(), "MSGBOX_MOVEFOLDER_FAILED_DEL") << "the move's result is shown";
    EXPECT_EQ(data.added, std::vector<std::string>{root + "/music"});
  }
  // Once it ran it does not come again.
  EXPECT_FALSE(RunSetupWizardIfNeeded(nullptr, &data));
}

// NetworkManager as the hotspot dialog sees it.
class FakeHotspot : public IHotspotLayer {
 public:
  HotspotQuery Query() override {
    ++queries;
    HotspotQuery q;
    q.status = status;
    q.device = "wlan0";
    q.activeUuid = active;
    q.deviceBusy = busy && active.empty();
    return q;
  }
  HotspotStatus Start(const std::string& ssid, const std::string& pass, std::string& uuid,
                      std::string&) override {
    startedSsid = ssid;
    startedPass = pass;
    if (failStart) return HotspotStatus::Failed;
    active = uuid = "uuid-1";
    return HotspotStatus::Ok;
  }
  HotspotStatus Stop(const std::string& uuid, std::string&) override {
    stopped.push_back(uuid);
    if (uuid == active) active.clear();
    return HotspotStatus::Ok;
  }
  std::atomic<int> queries{0};
  HotspotStatus status = HotspotStatus::Ok;
  std::string active;
  bool busy = false;
  bool failStart = false;
  std::string startedSsid, startedPass;
  std::vector<std::string> stopped;
};

TEST_F(PeripheryGui, HotspotDialogStatesOverTheLayer) {
  FakeHotspot nm;
  auto open = [&](const std::string& shot) {
    auto* dlg = new CApDlg(nullptr, &nm);
    dlg->CentreOnScreen();
    dlg->Show();
    EXPECT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen() && !dlg->Working() && nm.queries > 0; }));
    PumpUntil([&] { return !dlg->Working(); });
    if (!shot.empty()) Photograph(dlg, shot);
    return dlg;
  };
  for (int lang : {0, 2, 1}) {
    Language(lang);
    CApDlg* dlg = open(std::string("hotspot_") + kLangNames[lang]);
    delete dlg;
  }
  const std::string pass = HotspotPassphrase();
  EXPECT_EQ(pass.size(), 12u);
  EXPECT_EQ(HotspotPassphrase(), pass) << "one passphrase per installation";

  CApDlg* dlg = open("");
  EXPECT_EQ(dlg->View().statusKey, "AP_OK");
  EXPECT_NE(dlg->KeyText().find(wxString::FromUTF8(pass)), wxString::npos);
  nm.failStart = true;
  ClickOn(dlg->FindWindow(CApDlg::kStartId));
  ASSERT_TRUE(PumpUntil([&] { return !nm.startedSsid.empty() && !dlg->Working(); }));
  EXPECT_EQ(dlg->View().statusKey, "AP_DEVICE_UNAVAILABLE");
  EXPECT_EQ(nm.startedSsid, "quarlo");
  EXPECT_EQ(nm.startedPass, pass);
  nm.failStart = false;
  dlg->OnBnClickedStart();
  ASSERT_TRUE(PumpUntil([&] { return !dlg->Working() && dlg->View().statusKey == "AP_STARTED"; }));
  EXPECT_TRUE(dlg->FindWindow(CApDlg::kStopId)->IsShown());
  EXPECT_EQ(StartedHotspot(), "uuid-1");
  Photograph(dlg, "hotspot_started_en");
  delete dlg;
  // Reopened: NetworkManager says it is up.
  dlg = open("");
  EXPECT_EQ(dlg->View().statusKey, "AP_STARTED");
  // Stopped while the adapter serves another network: not possible now.
  nm.busy = true;
  dlg->OnBnClickedStop();
  ASSERT_TRUE(PumpUntil([&] { return !dlg->Working() && !dlg->View().stopShown; }));
  EXPECT_EQ(nm.stopped, std::vector<std::string>{"uuid-1"});
  EXPECT_EQ(dlg->View().statusKey, "AP_NOWIFI");
  EXPECT_FALSE(dlg->FindWindow(CApDlg::kStartId)->IsEnabled());
  EXPECT_EQ(StartedHotspot(), "");
  delete dlg;
  // No NetworkManager, no Wi-Fi adapter.
  nm.busy = false;
  nm.status = HotspotStatus::NoNetworkManager;
  dlg = open("");
  EXPECT_EQ(dlg->View().statusKey, "AP_OS");
  EXPECT_FALSE(dlg->FindWindow(CApDlg::kStartId)->IsEnabled());
  delete dlg;
  nm.status = HotspotStatus::NoWifiAdapter;
  dlg = open("hotspot_nowlan_en");
  EXPECT_EQ(dlg->View().statusKey, "AP_NOWLAN");
  delete dlg;
  // At exit only a hotspot this program started is stopped.
  nm.active = "someone-elses";
  StopStartedHotspot(nm);
  EXPECT_EQ(nm.stopped.size(), 1u);
}

TEST_F(PeripheryGui, AboutBoxPerLanguage) {
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", "https://site.example.net", 1);
  for (int lang : {0, 1, 2}) {
    Language(lang);
    CAboutDlg dlg(nullptr);
    dlg.CentreOnScreen();
    wxTheApp->CallAfter([&] {
      EndModalAtExit end{dlg, -1};
      ASSERT_TRUE(PumpUntil([&] { dlg.Refresh(); return dlg.IsShownOnScreen() && !dlg.LinkUrl().empty(); }));
      EXPECT_EQ(dlg.PictureShown(), lang == 1 ? 374 : lang == 2 ? 373 : 372);
      EXPECT_EQ(dlg.GetSize(), wxSize(447, 385));
      EXPECT_FALSE(dlg.FindWindow(kMinimizeButtonId)->IsShown());
      Photograph(&dlg, std::string("about_") + kLangNames[lang]);
      wxCommandEvent close(wxEVT_BUTTON, kCloseButtonId);
      dlg.ProcessWindowEvent(close);
    });
    dlg.ShowModal();
    if (lang == 1) {
      EXPECT_EQ(dlg.LinkUrl(), "https://site.example.net/quarlo/index.html?L=en");
    }
  }
}

TEST_F(PeripheryGui, BannerShowsTheSitesPage) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  Language(1);
  CUpdateNoticeDlg dlg(nullptr, L"9.0.0.1");
  dlg.CentreOnScreen();
  wxTheApp->CallAfter([&] {
    EndModalAtExit end{dlg, kNoticeCancel};
    ASSERT_TRUE(PumpUntil([&] { return dlg.Banner() && dlg.Banner()->Loads() > 0; }, seconds(20)));
    EXPECT_FALSE(dlg.Banner()->OnLocalPage());
    EXPECT_EQ(dlg.Banner()->Target(), central.SiteUrl() + "/quarlo/bannerpc?L=en");
    Photograph(&dlg, "update_notice_site_en");
  });
  dlg.ShowModal();
}

// A banner whose script leaves the page by itself (at once, on a timer, and through a link it
// clicks itself): the view stays and the browser is not opened, for want of the user's click.
// Each of the page's attempts waits until the test has seen the one before held back: the web
// view drops a navigation still waiting for its decision when the next one starts, which on a
// busy machine made fixed delays between them too short.
TEST_F(PeripheryGui, BannerScriptOpensNothingWithoutAClick) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  {
    std::ofstream page(central.SiteFolder() + "/banner-en.html");
    page << "<p>banner</p><a id=\"l\" href=\"https://elsewhere.example/link\">x</a><script>"
            "window.decided = 0;"
            "location.href = 'https://elsewhere.example/now';"
            "function after(n, go) {"
            "  var t = setInterval(function () {"
            "    if (window.decided >= n) { clearInterval(t); setTimeout(go, 50); }"
            "  }, 10);"
            "}"
            "after(1, function () { location.href = 'https://elsewhere.example/later'; });"
            "after(2, function () { document.getElementById('l').click(); });"
            "</script>";
  }
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  Language(1);
  CUpdateNoticeDlg dlg(nullptr, L"9.0.0.1");
  dlg.CentreOnScreen();
  wxTheApp->CallAfter([&] {
    EndModalAtExit end{dlg, kNoticeCancel};
    auto heldBack = [&](int n) {
      return PumpUntil([&] { return dlg.Banner() && dlg.Banner()->HeldBack() >= n; }, seconds(20));
    };
    // Only tells the page how far the test got; the navigations are the page's own.
    auto tellPage = [&](int n) {
      for (wxWindow* child : dlg.Banner()->GetChildren()) {
        if (auto* view = wxDynamicCast(child, wxWebView)) {
          view->RunScriptAsync(wxString::Format("window.decided = %d;", n));
        }
      }
    };
    for (int n = 1; n < 3; ++n) {
      ASSERT_TRUE(heldBack(n)) << (dlg.Banner() ? dlg.Banner()->HeldBack() : -1);
      tellPage(n);
    }
    ASSERT_TRUE(heldBack(3)) << dlg.Banner()->HeldBack();
    EXPECT_EQ(dlg.Banner()->LastExternal(), "");
    EXPECT_FALSE(dlg.Banner()->OnLocalPage());
  });
  dlg.ShowModal();
}

// The main window's part of a log-in: the record goes to the service through its client.
class LogOnThroughTheService : public ICLoginDlgCallback {
 public:
  explicit LogOnThroughTheService(desktop::IUIData* ui) : m_ui(ui) {}
  void OnLogin(LoginRecord* record, int hash) override {
    desktop::LoginRecord service = ToServiceRecord(*record);
    results.push_back(m_ui->LogOn(&service, hash));
    accounts.push_back(record->account);
    std::memcpy(record->password, service.password, sizeof record->password);
    record->password[sizeof record->password - 1] = 0;
  }
  void OnTrayStateChanged() override {}
  void OnExitRequest() override {}
  void OnLoginHashed(LoginRecord*) override {}
  std::vector<int> results;
  std::vector<std::string> accounts;

 private:
  desktop::IUIData* m_ui;
};

// A newcomer opens the registration from the log-in dialog's link, registers on the real
// site, and the log-in dialog logs the new account on through the real service.
TEST_F(PeripheryGui, RegisterLinkRegistrationAndLogOnThroughTheService) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  CEnvGuard origin("QUARLO_SITE_ORIGIN"), home("HOME"), ns("QUARLO_NAMESPACE"), sys("QUARLO_SYSTEM_DIR");
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  TempBase base;
  setenv("HOME", base.MakeDir("home").c_str(), 1);
  base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  const uint16_t pushPort = FreePort();
  svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0,ui_port=" + std::to_string(pushPort));
  for (const std::string& e : svc.Env()) {
    const size_t eq = e.find('=');
    setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
  }
  Scm_SetSystemDir(base.Dir() + "/system");
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  const uint16_t port = svc.WaitForPort();
  ASSERT_NE(port, 0);
  desktop::CUIData::SetPorts(port, pushPort);
  desktop::CUIData* ui = desktop::CUIData::GetInstance();
  LogOnThroughTheService sink(ui);

  {
    CLoginDlg login;
    login.SetCallback(&sink);
    login.CentreOnScreen();
    login.Show();
    ASSERT_TRUE(PumpUntil([&] { return login.IsShownOnScreen(); }));
    ClickOn(login.FindWindow(kRegisterLink));
    CRegisterAccountDlg* reg = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
      for (wxWindow* w : wxTopLevelWindows)
        if (auto* r = dynamic_cast<CRegisterAccountDlg*>(w); r && r->IsShownOnScreen()) reg = r;
      return reg != nullptr;
    }));
    EXPECT_FALSE(login.IsShown()) << "the log-in dialog steps aside";
    static_cast<wxTextCtrl*>(reg->FindWindow(CRegisterAccountDlg::kEmailId))->SetValue("Newcomer@Example.com");
    static_cast<wxTextCtrl*>(reg->FindWindow(CRegisterAccountDlg::kPassId))->SetValue("secret7");
    static_cast<wxTextCtrl*>(reg->FindWindow(CRegisterAccountDlg::kRepeatId))->SetValue("secret7");
    ClickOn(reg->FindWindow(CRegisterAccountDlg::kRegisterId));
    ASSERT_TRUE(PumpUntil([&] { return !sink.accounts.empty(); }, seconds(30))) << reg->InfoText().ToStdString();
    EXPECT_EQ(sink.accounts[0], "newcomer@example.com");
    EXPECT_EQ(sink.results[0], 0);
    EXPECT_TRUE(WaitFor([&] { return svc.LogText().find("Show_LogOn return code 0") != std::string::npos; },
                        seconds(30)))
        << svc.LogText();
  }
  // The registration dialog goes with the log-in dialog (at the next idle time).
  EXPECT_TRUE(PumpUntil([] {
    wxTheApp->ProcessIdle();
    return wxTopLevelWindows.IsEmpty();
  }));
  // The service keeps the new account and logs it on at its next start.
  ASSERT_EQ(svc.NetStop().exitCode, 0);
  ASSERT_EQ(svc.NetStart().exitCode, 0) << svc.LogText();
  EXPECT_TRUE(WaitFor([&] { return svc.LogText().find("log on successfully.") != std::string::npos; },
                      seconds(30)))
      << svc.LogText();
  ui->Release();
  desktop::CUIData::SetPorts(15002, 15003);
  Scm_SetSystemDir("");
  svc.NetStop();
}

TEST(BannerPage, LocalPageGetsItsPictureOnceAndLinksLeave) {
  const std::string page = "<html><body style=\"margin:0\"></body></html>";
  const std::string shown = CHtmlDlg::LocalPageHtml(page, "file:///home/a%20b/banner_en.gif");
  EXPECT_EQ(shown, "<html><body style=\"margin:0\"><img src=\"file:///home/a%20b/banner_en.gif\"></body></html>");
  const std::string target = "http://127.0.0.1:5/quarlo/bannerpc?L=en";
  EXPECT_TRUE(CHtmlDlg::StaysInBanner(target, target));
  EXPECT_TRUE(CHtmlDlg::StaysInBanner("http://127.0.0.1:5/quarlo/bannerpc/?L=en", target));
  EXPECT_FALSE(CHtmlDlg::StaysInBanner("https://elsewhere.example/", target));
  EXPECT_FALSE(CHtmlDlg::StaysInBanner("http://127.0.0.1:5/quarlo/register.html", target));
  EXPECT_FALSE(CHtmlDlg::StaysInBanner("file:///etc/passwd", target));
}

}  // namespace
