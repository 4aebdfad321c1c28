// Quarlo's windows in a real X server (Xvfb) with a session bus: the log-in dialog driven by
// xdotool, the main window's minimize and close, and screenshots of every window in the three
// languages (1x here; the same tests run again at scale 2).
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/app/account/login_dlg.h"
#include "desktop/app/main_window/setting_dlg.h"
#include "desktop/app/prompts/switch_account_dlg.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/ui_config.h"
#include "desktop/foundation/skin_buttons.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/desktop/gui_test_support.h"

// The X window of a top-level window, as xdotool and import name it (x_window_id.cpp).
std::string XidOf(wxWindow* window);

namespace {

class RecordingCallback : public ICLoginDlgCallback {
 public:
  void OnLogin(LoginRecord* record, int hash) override {
    records.push_back(*record);
    hashes.push_back(hash);
    std::snprintf(record->password, sizeof record->password, "%s", "HASHofTYPEDpassword012");
  }
  void OnTrayStateChanged() override {}
  void OnExitRequest() override {}
  void OnLoginHashed(LoginRecord* record) override {
    records.push_back(*record);
    hashes.push_back(-1);
  }
  std::vector<LoginRecord> records;
  std::vector<int> hashes;
};

class AppGui : public ::testing::Test {
 protected:
  AppGui() {
    for (int id : {0, 1, 2})
      std::filesystem::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                                 folders.Program() + "/" + LanguageFileName(id));
    std::filesystem::create_directories(folders.UserDir());
    languages = CLanguages::GetInstance();
  }
  ~AppGui() override {
    // Windows destroyed by the test go now, while the language service they hold still lives.
    for (int i = 0; i < 3; ++i) wxTheApp->ProcessIdle();
    languages->Release();
  }

  // Runs xdotool commands on a helper thread once the window titled title shows; %w is its id.
  std::future<bool> User(const std::string& title, std::vector<std::vector<std::string>> commands) {
    return std::async(std::launch::async, [title, commands] {
      const std::string id = WindowId(title);
      if (id.empty()) return false;
      for (std::vector<std::string> argv : commands) {
        for (std::string& a : argv)
          if (a == "%w") a = id;
        Tool(argv);
      }
      return true;
    });
  }

  DesktopFolders folders;
  ILanguages* languages = nullptr;
};

std::string Scale() {
  const char* scale = std::getenv("GDK_SCALE");
  return scale && *scale ? std::string(scale) + "x" : "1x";
}

TEST_F(AppGui, EnterInTheLogInDialogLogsInAndNeverClosesIt) {
  RecordingCallback callback;
  auto* dlg = new CLoginDlg();
  dlg->SetTitle("qlogin-enter");
  dlg->SetCallback(&callback);
  dlg->Show();
  ASSERT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen() && dlg->AccountEdit(); }));
  dlg->SetTitle("qlogin-enter");
  // Empty fields: Enter shows the box (answered with Enter) and the dialog stays.
  auto user = User("qlogin-enter", {{"xdotool", "windowfocus", "--sync", "%w", "key", "--clearmodifiers", "Return"}});
  auto answer = User("Quarlo", {{"xdotool", "windowfocus", "--sync", "%w", "key", "--clearmodifiers", "Return"}});
  ASSERT_TRUE(PumpUntil([&] { return !dlg->LastNote().empty(); }, std::chrono::seconds(20)));
  EXPECT_EQ(dlg->LastNote(), languages->GetText("MESSAGEBOX", "MSGBOX_NOACCOUNT"));
  EXPECT_TRUE(user.get());
  EXPECT_TRUE(answer.get());
  EXPECT_TRUE(dlg->IsShown());
  EXPECT_TRUE(callback.records.empty());

  // Typed account and password: Enter sends them, the account in lower case, the password
  // to be hashed; the dialog keeps the hash it got back, never the typed text.
  auto typing = User("qlogin-enter", {
      {"xdotool", "mousemove", "--sync", "--window", "%w", "230", "77", "click", "1"},
      {"xdotool", "type", "--delay", "10", "Me@Example.com"},
      {"xdotool", "mousemove", "--sync", "--window", "%w", "230", "120", "click", "1"},
      {"xdotool", "type", "--delay", "10", "secret 16 chars!"},
      {"xdotool", "key", "--clearmodifiers", "Return"}});
  ASSERT_TRUE(PumpUntil([&] { return !callback.records.empty(); }, std::chrono::seconds(20)));
  EXPECT_TRUE(typing.get());
  EXPECT_STREQ(callback.records[0].account, "me@example.com");
  EXPECT_STREQ(callback.records[0].password, "secret 16 chars!");
  EXPECT_EQ(callback.hashes[0], 1);
  EXPECT_EQ(callback.records[0].remember, 1);
  EXPECT_STREQ(dlg->RememberedRecord().password, "HASHofTYPEDpassword012");
  EXPECT_EQ(dlg->AccountText(), "me@example.com");
  EXPECT_EQ(UiConfig::GetInstance()->ReadRemPass(), "true");
  dlg->Destroy();
}

std::string ShotPath(const std::string& window, int language) {
  static const char* kNames[] = {"zh_CN", "en", "zh_TW"};
  const std::string dir = ScreenshotDir() + "/desktop_app";
  std::filesystem::create_directories(dir);
  return dir + "/" + window + "-" + kNames[language] + "-" + Scale() + ".png";
}

TEST_F(AppGui, MinimizeAndCloseHideTheMainWindowWhereATrayShows) {
  setenv("QUARLO_TRAY", "xembed", 1);
  auto* main = new CSettingDlg(nullptr, false);
  main->Initialize();
  unsetenv("QUARLO_TRAY");
  ASSERT_TRUE(main->HasTrayForTests());
  PumpUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_FALSE(main->IsShown());  // it starts in the tray
  main->OnTrayCommand(32784);     // the tray's settings item shows it
  ASSERT_TRUE(PumpUntil([&] { return main->IsShownOnScreen(); }));
  const std::string id = XidOf(main);
  // A close request from outside leaves it as it is.
  main->Close();
  PumpUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_TRUE(main->IsShown());
  const int w = main->GetSize().x;
  auto minimize = std::async(std::launch::async, [id, w] {
    Tool({"xdotool", "mousemove", "--sync", "--window", id, std::to_string(w - 47), "18", "click", "1"});
  });
  ASSERT_TRUE(PumpUntil([&] { return !main->IsShown(); }, std::chrono::seconds(20)));
  minimize.get();
  // The click's own events are still being handled when the window hides; let them drain
  // before the tray shows it again.
  PumpUntil([] { return false; }, std::chrono::milliseconds(300));
  main->OnTrayCommand(32784);
  ASSERT_TRUE(PumpUntil([&] { return main->IsShownOnScreen(); }))
      << "log-in dialog shown: " << (main->LoginDlg() && main->LoginDlg()->IsShown()) << " shown: " << main->IsShown() << " iconized: " << main->IsIconized();
  auto close = std::async(std::launch::async, [id, w] {
    Tool({"xdotool", "mousemove", "--sync", "--window", id, std::to_string(w - 18), "15", "click", "1"});
  });
  ASSERT_TRUE(PumpUntil([&] { return !main->IsShown(); }, std::chrono::seconds(20)));
  close.get();
  main->OnSessionEnd();
}

// A screen reader finds the log-in dialog's fields by their labels. (The skinned buttons and
// texts get their names and roles from the foundation's controls.)
TEST_F(AppGui, ScreenReaderNamesTheLogInFields) {
  auto* dlg = new CLoginDlg();
  dlg->Show();
  ASSERT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen(); }));
  PumpUntil([] { return false; }, std::chrono::milliseconds(300));  // texts applied at the first paint
  auto tree = std::async(std::launch::async, [] {
    return Tool({"/usr/bin/python3", std::string(QUARLO_SOURCE_DIR) + "/tests/desktop_app/atspi_names.py",
                 "desktop_app_gui_tests"}, 30000);
  });
  ASSERT_TRUE(PumpUntil([&] { return tree.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; },
                        std::chrono::seconds(40)));
  const std::string lines = tree.get();
  const std::string account = wxString(languages->GetText("UI", "LOGIN_STATIC_ACCOUNT").c_str()).ToStdString();
  const std::string password = wxString(languages->GetText("UI", "LOGIN_STATIC_PASSWORD").c_str()).ToStdString();
  EXPECT_NE(lines.find("text|" + account + "\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("password text|" + password + "\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("frame|Quarlo"), std::string::npos) << lines;
  delete dlg;
}

// Every window of this program in each language, saved for people to look at.
TEST_F(AppGui, ScreenshotsOfEveryWindowInEachLanguage) {
  for (int language : {kLangChineseSimplified, kLangEnglish, kLangChineseTraditional}) {
    SCOPED_TRACE(language);
    languages->SetLanguage(language);
    auto* login = new CLoginDlg();
    login->Show();
    ASSERT_TRUE(PumpUntil([&] { return login->IsShownOnScreen(); }));
    std::string id = XidOf(login);
    ASSERT_FALSE(id.empty());
    PumpUntil([] { return false; }, std::chrono::milliseconds(300));  // the first paint
    EXPECT_TRUE(Screenshot(id, ShotPath("login", language)));
    login->Destroy();

    auto* main = new CSettingDlg(nullptr, false);
    main->Initialize();
    ASSERT_TRUE(PumpUntil([&] { return main->IsShownOnScreen(); }));  // no tray: it shows
    id = XidOf(main);
    ASSERT_FALSE(id.empty());
    PumpUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(Screenshot(id, ShotPath("main", language)));

    CSwitchAccountDlg question(nullptr);
    question.SetTitle("qshot-switch");
    std::string questionShot = ShotPath("switch-account", language);
    std::future<bool> user;
    // Once the modal run has begun: the shot of the question, then Escape.
    question.CallAfter([&] {
      const std::string wid = XidOf(&question);
      user = std::async(std::launch::async, [wid, questionShot] {
        if (wid.empty()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));  // mapped and painted
        const bool ok = Screenshot(wid, questionShot);
        Tool({"xdotool", "windowfocus", "--sync", wid, "key", "--clearmodifiers", "Escape"});
        return ok;
      });
    });
    EXPECT_EQ(question.ShowModal(), wxID_CANCEL);  // Escape answers Cancel
    EXPECT_TRUE(user.get());
    main->OnSessionEnd();
    PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  }
  languages->SetLanguage(kLangEnglish);
}

}  // namespace
