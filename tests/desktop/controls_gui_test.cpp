// Every skinned control in one real dialog under Xvfb: states sampled at a few pixels of a
// screenshot (never whole images: fonts differ), the drop-down driven with xdotool.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "desktop/foundation/diy_dialog.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_list.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/desktop/gui_test_support.h"

namespace {

class ControlsGui : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int id : {0, 1, 2}) {
      std::filesystem::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                                 folders.Program() + "/" + LanguageFileName(id));
    }
    std::filesystem::create_directories(ScreenshotDir());
  }
  DesktopFolders folders;
};

// Index of the first pixel in the rectangle for which pred holds, or false.
template <typename Pred>
bool AnyPixel(const wxImage& img, const wxRect& r, Pred pred) {
  for (int y = r.y; y < r.GetBottom(); ++y)
    for (int x = r.x; x < r.GetRight(); ++x)
      if (pred(PixelAt(img, x, y))) return true;
  return false;
}

bool Bluish(const wxColour& c) { return c.Blue() > c.Red() + 60; }
bool Dark(const wxColour& c) { return c.Red() < 110 && c.Green() < 110 && c.Blue() < 110; }

TEST_F(ControlsGui, EachControlDrawsItsStates) {
  CDiyDialog* dlg = new CDiyDialog(nullptr, 129, 337, "qcontrols");
  dlg->m_dialogKind = 129;
  dlg->m_decorationFlag = 1;
  const wxFont font = dlg->CreateLanguageFont("FONT_SETTING_BUTTON");
  ASSERT_TRUE(font.IsOk());

  auto push = [&](int id, int x, const char* text, bool enabled) {
    auto* b = new CColorButton(dlg, id, wxPoint(x, 60), wxSize(73, 25));
    b->m_normalImage = b->m_hoverImage = b->m_disabledImage = 260;
    b->m_pressedImage = 259;
    b->m_textColour = 0xFF434343;
    b->SetTextFont(font);
    b->SetText(text);
    b->Enable(enabled);
    return b;
  };
  push(1, 20, "Enabled", true);
  push(2, 110, "Disabled", false);
  auto* radioOn = new CColorButton(dlg, 3, wxPoint(20, 100), wxSize(120, 20));
  auto* radioOff = new CColorButton(dlg, 4, wxPoint(20, 124), wxSize(120, 20));
  auto* check = new CColorButton(dlg, 5, wxPoint(20, 150), wxSize(140, 20));
  for (CColorButton* b : {radioOn, radioOff, check}) {
    b->m_style = b == check ? CColorButton::kCheck : CColorButton::kRadio;
    b->m_textColour = 0xFF434343;
    b->SetTextFont(font);
  }
  radioOn->SetText("Suggested folder");
  radioOff->SetText("My own folder");
  check->SetText("Start automatically");
  radioOn->SetCheck(true);
  check->SetCheck(true);
  EXPECT_EQ(check->GetText(), " Start automatically");

  auto* label = new CDiyStatic(dlg, 6, "Static text", wxPoint(220, 60), wxSize(200, 20));
  label->SetTextFont(font);
  label->m_textColour = 0xFF323232;
  auto* combo = new CColorCombobox(dlg, 7, wxPoint(220, 100), wxSize(122, 22));
  combo->SetTextFont(font);
  combo->InsertItem(0, "Chinese (simplified)");
  combo->InsertItem(1, "English");
  combo->InsertItem(2, "Chinese (traditional)");
  combo->SetCurSel(1);
  auto* link = new CLinkButtonCtrl(dlg, 8, wxPoint(220, 130), wxSize(220, 20));
  link->SetLabel("No account yet? ");
  link->SetLinkText("Register");
  link->SetTextFont(font);
  auto* setting = new CSettingButton(dlg, 9, wxPoint(220, 156), wxSize(121, 31));
  setting->m_lightFace = true;
  setting->m_iconImage = 286;
  setting->SetCaption("Settings");
  setting->SetTextFont(font);
  auto* list = new CQVListCtrl(dlg, 10, wxPoint(20, 200), wxSize(440, 130));
  list->InsertColumn(0, "Folder", ColumnFormat::Left, 130);
  list->InsertColumn(1, "Path", ColumnFormat::Left, 300);
  list->Header()->SetHeaderFont(font);
  list->Header()->m_textColour = 0xFF434343;
  list->Header()->m_separator = 0xFFB8B8B8;
  list->Header()->m_bottomLine = 0xFFD7D7D7;
  EXPECT_EQ(AddShareToList("/home/user/Pictures", -1, *list), 1);
  EXPECT_EQ(AddShareToList("/srv/music", -1, *list), 1);
  EXPECT_EQ(AddShareToList("/usr/share", -1, *list), -2);

  int comboEvents = 0;
  dlg->Bind(wxEVT_COMBOBOX, [&](wxCommandEvent& e) {
    ++comboEvents;
    EXPECT_EQ(e.GetInt(), 2);
  });

  dlg->Show();
  ASSERT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen(); }));
  const std::string id = WindowId("qcontrols");
  ASSERT_FALSE(id.empty());
  const std::string path = ScreenshotDir() + "/controls.png";
  wxImage shot;
  // The first frames may still be on their way to the server: wait for the title band.
  ASSERT_TRUE(PumpUntil([&] {
    dlg->Refresh();
    dlg->Update();
    return Screenshot(id, path) && shot.LoadFile(path, wxBITMAP_TYPE_PNG) && shot.GetWidth() == 484 &&
           Bluish(PixelAt(shot, 200, 30)) && AnyPixel(shot, wxRect(20, 200, 300, 27), [](const wxColour& c) { return Dark(c); });
  }));

  EXPECT_TRUE(Near(PixelAt(shot, 30, 349 + 8), *wxWHITE, 8));  // the main window's decoration
  EXPECT_TRUE(AnyPixel(shot, wxRect(8, 8, 76, 22), [](const wxColour& c) { return c.Red() > 240; }));  // logo
  // Radio: the checked one has a blue dot, the other a white centre.
  EXPECT_TRUE(Bluish(PixelAt(shot, 20 + 7, 100 + 3 + 7)));
  EXPECT_TRUE(Near(PixelAt(shot, 20 + 7, 124 + 3 + 7), *wxWHITE, 8));
  // Check box: the blue mark inside the box.
  EXPECT_TRUE(AnyPixel(shot, wxRect(20 + 4, 150 + 5, 9, 9), Bluish));
  // Push buttons: both show their face; the captions differ in darkness (disabled is grey).
  EXPECT_TRUE(AnyPixel(shot, wxRect(20, 60, 73, 25), Dark));
  EXPECT_FALSE(AnyPixel(shot, wxRect(110, 60, 73, 25), Dark));
  EXPECT_TRUE(AnyPixel(shot, wxRect(110, 60, 73, 25), [](const wxColour& c) { return c.Red() < 170; }));
  // Static and combo texts, the combo's white face, the link's blue text and underline.
  EXPECT_TRUE(AnyPixel(shot, wxRect(220, 60, 120, 20), Dark));
  EXPECT_TRUE(Near(PixelAt(shot, 220 + 110, 100 + 3), *wxWHITE, 8));
  EXPECT_TRUE(AnyPixel(shot, wxRect(220, 101, 90, 20), Dark));
  EXPECT_TRUE(AnyPixel(shot, wxRect(300, 130, 140, 20), [](const wxColour& c) { return Bluish(c) && c.Red() < 60; }));
  // Setting button: the light face, and its caption away from the pointer in 0xFF41799C.
  EXPECT_TRUE(Near(PixelAt(shot, 222, 158), wxColour(0xEF, 0xF4, 0xFF), 6));
  EXPECT_TRUE(AnyPixel(shot, wxRect(240, 156, 100, 31), [](const wxColour& c) {
    return Near(c, wxColour(0x41, 0x79, 0x9C), 40);
  }));
  // List: header strip, header text, rows with the folder names.
  EXPECT_TRUE(AnyPixel(shot, wxRect(20, 228, 440, 100), Dark));

  // The drop-down: open it, point at the third row, choose it; the window hears once.
  ASSERT_EQ(Tool({"xdotool", "mousemove", "--sync", "--window", id, "260", "110", "click", "1"}).size(), 0u);
  ASSERT_TRUE(PumpUntil([&] { return combo->IsDroppedDown(); }));
  Tool({"xdotool", "mousemove", "--sync", "--window", id, "260", std::to_string(123 + 2 * 21 + 10)});
  PumpUntil([&] { return combo->HoverIndex() == 2; }, std::chrono::seconds(5));
  EXPECT_EQ(combo->HoverIndex(), 2);
  Tool({"xdotool", "click", "1"});
  ASSERT_TRUE(PumpUntil([&] { return comboEvents > 0 && !combo->IsDroppedDown(); }));
  PumpUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(comboEvents, 1);
  EXPECT_EQ(combo->GetCurSel(), 2);

  // The tray menu: native items with the model's texts and icons; a greyed item stays greyed.
  CDiyMenu tray;
  tray.SetItemText(32816, "No phone connected");
  tray.SetItemText(32787, "Exit");
  tray.m_phoneOnline = 1;
  const std::unique_ptr<wxMenu> menu =
      tray.BuildMenu({{32816, false}, {0, true}, {32806, true}, {32787, true}});
  ASSERT_EQ(menu->GetMenuItemCount(), 4u);
  const int phones = CDiyMenu::MenuIdOf(32816);
  EXPECT_EQ(CDiyMenu::CommandOf(phones), 32816u);
  EXPECT_EQ(menu->FindItem(phones)->GetItemLabelText(), "No phone connected");
  EXPECT_FALSE(menu->IsEnabled(phones));
  EXPECT_TRUE(menu->FindItem(phones)->GetBitmap().IsOk());
  EXPECT_EQ(menu->FindItem(CDiyMenu::MenuIdOf(32806))->GetItemLabelText(), " ");  // no text
  EXPECT_TRUE(menu->FindItemByPosition(1)->IsSeparator());

  dlg->Destroy();
  PumpUntil([] { return false; }, std::chrono::milliseconds(100));
}

}  // namespace
