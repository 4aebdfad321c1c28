// The skinned dialog base in a real window: the drag band, the caption buttons, the logo and
// the texts following the language.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "desktop/foundation/diy_dialog.h"
#include "desktop/foundation/languages.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/desktop/gui_test_support.h"

namespace {

class CountingDialog : public CDiyDialog {
 public:
  CountingDialog(const wxString& title, bool minimize) : CDiyDialog(nullptr, 102, 232, title) {
    m_dialogKind = 102;
    m_minimizeShown = minimize ? 1 : 0;
  }
  int applied = 0;
  wxString caption;

 protected:
  void ApplyLanguageTexts() override {
    ++applied;
    caption = wxString(Languages()->GetText("UI", "LOGIN_BUTTON_LOGIN").c_str());
  }
};

class DialogGui : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int id : {0, 1, 2}) {
      std::filesystem::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                                 folders.Program() + "/" + LanguageFileName(id));
    }
  }
  DesktopFolders folders;
};

void Xdo(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  Tool(argv);
}

TEST_F(DialogGui, DragBandCaptionButtonsAndLanguage) {
  auto* dlg = new CountingDialog("qdialog-drag", true);
  dlg->Move(100, 100);
  dlg->Show();
  ASSERT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen() && dlg->applied == 1; }));
  EXPECT_TRUE(dlg->FindWindow(kMinimizeButtonId)->IsShown());
  EXPECT_EQ(dlg->m_logoImage, 376);  // English under en_US
  EXPECT_EQ(dlg->caption, "Log in");
  const std::string id = WindowId("qdialog-drag");
  ASSERT_FALSE(id.empty());

  // A press in the top band drags the window; a press below it does not.
  const wxPoint start = dlg->GetPosition();
  Xdo({"mousemove", "--sync", "--window", id, "200", "20", "mousedown", "1"});
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  Xdo({"mousemove_relative", "--sync", "60", "40"});
  PumpUntil([&] { return dlg->GetPosition() != start; }, std::chrono::seconds(5));
  Xdo({"mouseup", "1"});
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(dlg->GetPosition(), start + wxPoint(60, 40));
  const wxPoint moved = dlg->GetPosition();
  Xdo({"mousemove", "--sync", "--window", id, "200", "150", "mousedown", "1"});
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  Xdo({"mousemove_relative", "--sync", "60", "40", "mouseup", "1"});
  PumpUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(dlg->GetPosition(), moved);

  // A language switch re-applies the texts and shows the other logo at the next paint.
  CLanguages::Instance()->SetLanguage(kLangChineseTraditional);
  ASSERT_TRUE(PumpUntil([&] { dlg->Refresh(); return dlg->applied == 2; }));
  EXPECT_EQ(dlg->m_logoImage, 377);
  EXPECT_EQ(dlg->caption, wxString::FromUTF8("登入"));

  // The main window hides instead of closing.
  int hideRequests = 0;
  dlg->Bind(EVT_HIDE_MAIN_WINDOW, [&](wxCommandEvent&) { ++hideRequests; });
  dlg->m_hideOnClose = true;
  Xdo({"mousemove", "--sync", "--window", id, std::to_string(dlg->GetSize().x - 18), "15", "click", "1"});
  ASSERT_TRUE(PumpUntil([&] { return hideRequests == 1; }));
  EXPECT_TRUE(dlg->IsShown());
  dlg->m_hideOnClose = false;
  Xdo({"mousemove", "--sync", "--window", id, std::to_string(dlg->GetSize().x - 20), "18", "click", "1"});
  ASSERT_TRUE(PumpUntil([&] { return !dlg->IsShown(); }));
  dlg->Destroy();

  auto* plain = new CountingDialog("qdialog-plain", false);
  plain->Show();
  ASSERT_TRUE(PumpUntil([&] { return plain->IsShownOnScreen(); }));
  EXPECT_FALSE(plain->FindWindow(kMinimizeButtonId)->IsShown());
  plain->Destroy();
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
}

}  // namespace
