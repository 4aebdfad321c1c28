// Keyboard and screen-reader access to the skinned controls, in real windows under Xvfb with a
// session bus: the AT-SPI tree as a reader sees it (pyatspi of the system Python, in its own process), Tab through the
// controls, Space and Enter on them, and screenshots of a dialog in the three languages at the
// scale the run was started with (GDK_SCALE).
#include <wx/app.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/foundation/diy_dialog.h"
#include "desktop/foundation/diy_message_box.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_draw.h"
#include "desktop/foundation/skin_image.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/desktop/gui_test_support.h"

namespace {

class AccessGui : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int id : {0, 1, 2}) {
      std::filesystem::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                                 folders.Program() + "/" + LanguageFileName(id));
    }
    languages = CLanguages::GetInstance();
    languages->SetLanguage(kLangEnglish);
    std::filesystem::create_directories(ScreenshotDir());
  }
  void TearDown() override {
    if (dlg) dlg->Destroy();
    wxTheApp->Yield(true);
    languages->Release();
  }

  // A small dialog with one of each skinned control, in the order Tab should visit them.
  void MakeDialog(const char* title) {
    dlg = new CDiyDialog(nullptr, 105, 263, title);
    dlg->m_minimizeShown = 0;
    const wxFont font = dlg->CreateLanguageFont("FONT_MESSAGEBOX_BUTTON");
    label = new CDiyStatic(dlg, 20, "Account", wxPoint(20, 50), wxSize(120, 18));
    label->SetTextFont(font);
    combo = new CColorCombobox(dlg, 21, wxPoint(150, 48), wxSize(122, 22));
    combo->SetTextFont(font);
    combo->InsertItem(0, "Chinese (simplified)");
    combo->InsertItem(1, "English");
    combo->SetCurSel(1);
    check = new CColorButton(dlg, 22, wxPoint(20, 80), wxSize(120, 20));
    check->m_style = CColorButton::kCheck;
    check->SetTextFont(font);
    check->SetText("Remember password");
    radio = new CColorButton(dlg, 23, wxPoint(20, 104), wxSize(120, 20));
    radio->m_style = CColorButton::kRadio;
    radio->SetTextFont(font);
    radio->SetText("My own folder");
    link = new CLinkButtonCtrl(dlg, 24, wxPoint(150, 80), wxSize(190, 20));
    link->SetTextFont(font);
    link->SetLabel("No account yet? ");
    link->SetLinkText("Register");
    // The caption is wider than 73 pixels: the button widens about its centre.
    push = new CColorButton(dlg, 1, wxPoint(141, 160), wxSize(73, 25));
    push->m_normalImage = push->m_hoverImage = 260;
    push->m_pressedImage = 259;
    push->m_textColour = 0xFF434343;
    push->SetTextFont(font);
    push->SetText("Register and log in");
  }

  DesktopFolders folders;
  ILanguages* languages = nullptr;
  CDiyDialog* dlg = nullptr;
  CDiyStatic* label = nullptr;
  CColorCombobox* combo = nullptr;
  CColorButton* check = nullptr;
  CColorButton* radio = nullptr;
  CLinkButtonCtrl* link = nullptr;
  CColorButton* push = nullptr;
};

// Runs a command on a helper thread while this thread keeps the windows alive.
RunResult RunWhilePumping(const std::vector<std::string>& argv, int timeoutMs = 30000) {
  auto job = std::async(std::launch::async, [=] { return Plat_RunCapture(argv, timeoutMs); });
  PumpUntil([&] { return job.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            std::chrono::milliseconds(timeoutMs + 5000));
  return job.get();
}

TEST_F(AccessGui, ScreenReaderHearsEveryControlWithItsRole) {
  MakeDialog("qaccess-tree");
  check->SetCheck(true);
  dlg->Show();
  ASSERT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen(); }));
  const RunResult r = RunWhilePumping(
      {"/usr/bin/python3", std::string(QUARLO_SOURCE_DIR) + "/tests/desktop/atspi_tree.py", "qaccess-tree", "20"});
  ASSERT_EQ(r.exitStatus, 0) << r.output;
  // Every control of the dialog, by role and name.
  // The ticked check box says so; the radio is not selected.
  for (const char* want : {"label\tAccount", "combo box\tEnglish", "check box\tRemember password\tchecked",
                           "radio button\tMy own folder\n", "link\tNo account yet? Register",
                           "push button\tRegister and log in", "push button\tClose"}) {
    EXPECT_NE(r.output.find(want), std::string::npos) << want << "\n" << r.output;
  }
}

TEST_F(AccessGui, TabWalksTheControlsSpaceAndEnterAct) {
  MakeDialog("qaccess-keys");
  int clicks = 0, checks = 0, radios = 0;
  dlg->Bind(wxEVT_BUTTON, [&](wxCommandEvent&) { ++clicks; }, 1);
  dlg->Bind(wxEVT_CHECKBOX, [&](wxCommandEvent&) { ++checks; }, 22);
  dlg->Bind(wxEVT_RADIOBUTTON, [&](wxCommandEvent&) { ++radios; }, 23);
  int linkClicks = 0;
  dlg->Bind(wxEVT_BUTTON, [&](wxCommandEvent&) { ++linkClicks; }, 24);
  dlg->Show();
  ASSERT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen(); }));
  const std::string id = WindowId("qaccess-keys");
  ASSERT_FALSE(id.empty());
  auto key = [&](const char* k) {
    return RunWhilePumping({"xdotool", "windowfocus", "--sync", id, "key", "--clearmodifiers", k}).exitStatus == 0;
  };
  // The label takes no focus: the keyboard starts on the combo box.
  ASSERT_TRUE(PumpUntil([&] { return wxWindow::FindFocus() == combo; })) << wxWindow::FindFocus();
  const std::vector<wxWindow*> order = {check, radio, link, push, dlg->m_closeButton, combo};
  for (wxWindow* next : order) {
    ASSERT_TRUE(key("Tab"));
    EXPECT_TRUE(PumpUntil([&] { return wxWindow::FindFocus() == next; }))
        << "after Tab the focus is on id " << (wxWindow::FindFocus() ? wxWindow::FindFocus()->GetId() : -1)
        << ", not " << next->GetId();
  }
  // Down chooses the next row of the focused combo box.
  ASSERT_TRUE(key("Down"));
  EXPECT_TRUE(PumpUntil([&] { return combo->GetCurSel() == 1; }));  // already the last row
  ASSERT_TRUE(key("Up"));
  EXPECT_TRUE(PumpUntil([&] { return combo->GetCurSel() == 0; }));
  // Space opens the list; Down and Enter choose a row in it.
  ASSERT_TRUE(key("space"));
  ASSERT_TRUE(PumpUntil([&] { return combo->IsDroppedDown(); }));
  ASSERT_TRUE(RunWhilePumping({"xdotool", "key", "--clearmodifiers", "Down", "Return"}).exitStatus == 0);
  EXPECT_TRUE(PumpUntil([&] { return !combo->IsDroppedDown() && combo->GetCurSel() == 1; }))
      << combo->GetCurSel();
  // Escape closes the open list, not the dialog.
  ASSERT_TRUE(key("space"));
  ASSERT_TRUE(PumpUntil([&] { return combo->IsDroppedDown(); }));
  ASSERT_TRUE(RunWhilePumping({"xdotool", "key", "--clearmodifiers", "Escape"}).exitStatus == 0);
  EXPECT_TRUE(PumpUntil([&] { return !combo->IsDroppedDown(); }));
  EXPECT_TRUE(dlg->IsShown());
  EXPECT_EQ(combo->GetCurSel(), 1);
  // Space ticks the check box and selects the radio; Enter presses the focused link, not the
  // dialog's default button.
  check->SetFocus();
  ASSERT_TRUE(key("space"));
  EXPECT_TRUE(PumpUntil([&] { return checks == 1 && check->GetCheck(); }));
  radio->SetFocus();
  ASSERT_TRUE(key("space"));
  EXPECT_TRUE(PumpUntil([&] { return radios == 1 && radio->GetCheck(); }));
  link->SetFocus();
  ASSERT_TRUE(key("Return"));
  EXPECT_TRUE(PumpUntil([&] { return linkClicks == 1; }));
  EXPECT_EQ(clicks, 0);
  push->SetFocus();
  ASSERT_TRUE(key("space"));
  EXPECT_TRUE(PumpUntil([&] { return clicks == 1; }));
}

TEST_F(AccessGui, LongTextsGrowTheButtonOrEndInAnEllipsis) {
  MakeDialog("qaccess-fit");
  const int text = MeasureText("Register and log in", push->TextFont()).x;
  EXPECT_GE(push->GetSize().x, text + 12);
  EXPECT_NEAR(push->GetRect().x + push->GetSize().x / 2.0, 141 + 73 / 2.0, 1);  // centre kept
  auto measure = [](const wxString& s) { return static_cast<double>(s.length()) * 10; };
  const wxString dots = wxString::FromUTF8("\xE2\x80\xA6");
  EXPECT_EQ(EllipsizeText("fits", 40, measure), "fits");
  // Cut back to the last whole word when it is near, else at a character.
  EXPECT_EQ(EllipsizeText("Register and log in", 130, measure), "Register and" + dots);
  EXPECT_EQ(EllipsizeText("Register and log in", 120, measure), "Register" + dots);
  EXPECT_EQ(EllipsizeText("Registration", 80, measure), "Registr" + dots);
  EXPECT_EQ(EllipsizeText("abc", 5, measure), dots);
  // A path keeps its last name whole where it fits, else both its ends.
  EXPECT_EQ(EllipsizeText("/tmp/wiz/old/Quarlo", 120, measure, EllipsisAt::Middle), "/tmp" + dots + "/Quarlo");
  EXPECT_EQ(EllipsizeText("/a/VeryLongFolderName", 80, measure, EllipsisAt::Middle), "/a/V" + dots + "ame");
}

bool TwiceScale() {
  const char* scale = std::getenv("GDK_SCALE");
  return scale && std::string(scale) == "2";
}

// Run once at scale 1 and once with GDK_SCALE=2 (see tests/CMakeLists.txt).
TEST_F(AccessGui, ScreenshotsInEachLanguageAtTheRunsScale) {
  const char* names[] = {"zh_CN", "en", "zh_TW"};
  for (int language : {0, 1, 2}) {
    languages->SetLanguage(language);
    const std::string title = std::string("qshot-") + names[language];
    auto user = std::async(std::launch::async, [&] {
      const std::string id = WindowId(title);
      if (id.empty()) return std::string();
      const std::string path =
          ScreenshotDir() + "/message_box_" + names[language] + (TwiceScale() ? "_2x.png" : "_1x.png");
      // The first frames may still be on their way: a shot with the band's blue is a whole one.
      for (int attempt = 0; attempt < 50; ++attempt) {
        wxImage shot;
        if (Screenshot(id, path) && shot.LoadFile(path, wxBITMAP_TYPE_PNG) && shot.GetWidth() > 40 &&
            shot.GetBlue(shot.GetWidth() / 2, 20) > shot.GetRed(shot.GetWidth() / 2, 20) + 60)
          break;
      }
      Plat_RunCapture({"xdotool", "windowfocus", "--sync", id, "key", "--clearmodifiers", "Escape"}, 20000);
      return path;
    });
    const std::wstring text = languages->GetText("MESSAGEBOX", "MSGBOX_UAC");
    DiyMessageBox(languages, text.empty() ? L"?" : text, std::wstring(title.begin(), title.end()),
                  kMessageBoxYesNo);
    const std::string path = user.get();
    ASSERT_FALSE(path.empty()) << title;
    wxImage shot;
    ASSERT_TRUE(shot.LoadFile(path, wxBITMAP_TYPE_PNG));
    // The window is 355 x 197 in logical pixels; at 2x every one is four.
    EXPECT_EQ(shot.GetWidth(), TwiceScale() ? 710 : 355) << path;
  }
}

}  // namespace
