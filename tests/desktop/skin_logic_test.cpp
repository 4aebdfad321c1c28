// The display-free rules of the skinned controls.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/foundation/diy_dialog.h"
#include "desktop/foundation/diy_message_box.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_draw.h"
#include "desktop/foundation/skin_image.h"
#include "desktop/foundation/skin_resources.h"
#include "desktop/foundation/skin_list.h"

namespace {

TEST(SkinLogic, MessageLayout) {
  const struct {
    int w, h, control;
    MessageLayout want;
  } cases[] = {
      {100, 16, 301, {27, 88, 17}},          // one line
      {301, 16, 301, {27, 88, 17}},          // exactly one line wide
      {752, 16, 301, {27, 71, 51}},          // 2.5 widths: three lines
      {0, 16, 301, {27, 96, 0}},             // nothing to show
      {400, 16, 301, {27, 79, 34}},          // two lines
  };
  for (const auto& c : cases) {
    const MessageLayout got = ComputeMessageLayout(c.w, c.h, c.control);
    EXPECT_EQ(got.x, c.want.x);
    EXPECT_EQ(got.y, c.want.y) << c.w;
    EXPECT_EQ(got.height, c.want.height) << c.w;
  }
  EXPECT_EQ(ExpandLineBreaks(L"one\\ntwo\\\\n\\"), L"one\ntwo\\\n\\");
}

TEST(SkinLogic, ButtonImageChoice) {
  // normal 1, hover 2, pressed 3, disabled 4
  const struct {
    bool enabled, pressed, inside;
    int want;
  } cases[] = {{true, false, false, 1}, {true, false, true, 2}, {true, true, true, 3},
               {true, true, false, 2},  {false, true, true, 4}, {false, false, false, 4}};
  for (const auto& c : cases)
    EXPECT_EQ(ChooseButtonImage(c.enabled, c.pressed, c.inside, 1, 2, 3, 4), c.want)
        << c.enabled << c.pressed << c.inside;
  EXPECT_EQ(CSettingButton::CaptionColour(true), 0xFF000000u);
  EXPECT_EQ(CSettingButton::CaptionColour(false), 0xFF41799Cu);
}

TEST(SkinLogic, MenuIconsLogosAndDecorations) {
  EXPECT_EQ(MenuIconFor(32816, true), 285);
  EXPECT_EQ(MenuIconFor(32816, false), 280);
  EXPECT_EQ(MenuIconFor(32787, false), 281);
  EXPECT_EQ(MenuIconFor(32822, false), 0);
  CDiyMenu menu;
  menu.SetItemText(32787, "Exit");
  menu.SetItemText(32787, "Quit");
  EXPECT_EQ(menu.ItemText(32787), "Quit");
  EXPECT_EQ(menu.ItemText(32806), "");
  for (unsigned command : {32784u, 32787u, 32816u, 32827u, 100u}) {
    EXPECT_LT(CDiyMenu::MenuIdOf(command), 0x7FFF);
    EXPECT_EQ(CDiyMenu::CommandOf(CDiyMenu::MenuIdOf(command)), command);
  }

  EXPECT_EQ(LogoForLanguage(0, 0), 344);
  EXPECT_EQ(LogoForLanguage(1, 0), 376);
  EXPECT_EQ(LogoForLanguage(2, 0), 377);
  EXPECT_EQ(LogoForLanguage(7, 376), 376);
  EXPECT_EQ(DecorationsFor(101, false).size(), 3u);
  EXPECT_EQ(DecorationsFor(129, false).size(), 0u);
  ASSERT_EQ(DecorationsFor(129, true).size(), 1u);
  EXPECT_EQ(DecorationsFor(129, true)[0].png, 370);
  EXPECT_EQ(DecorationsFor(263, true).size(), 0u);
}

TEST(SkinLogic, HeaderTextPlacesAndColumnWidths) {
  EXPECT_EQ(HeaderTextX(ColumnFormat::Left, 100, 80, 30), 101);
  EXPECT_EQ(HeaderTextX(ColumnFormat::Right, 100, 80, 30), 149);
  EXPECT_EQ(HeaderTextX(ColumnFormat::Center, 100, 80, 30), 125);
  EXPECT_EQ(HeaderTextX(ColumnFormat::Right, 100, 80, 200), 101);  // never left of the column
  EXPECT_EQ(ClampColumnWidth(0, 130, 50), 130);
  EXPECT_EQ(ClampColumnWidth(1, 130, 5), 5);
  EXPECT_EQ(ClampColumnWidth(2, 130, 5), 30);
  EXPECT_EQ(ClampColumnWidth(2, 130, 200), 200);
}

TEST(SkinLogic, WrapTextBreaksWordsThenCharacters) {
  auto measure = [](const wxString& s) { return 10.0 * static_cast<double>(s.length()); };
  EXPECT_EQ(WrapText("aaa bbb ccc", 80, measure), (std::vector<wxString>{"aaa bbb", "ccc"}));
  EXPECT_EQ(WrapText("abcdefghij", 40, measure), (std::vector<wxString>{"abcd", "efgh", "ij"}));
  EXPECT_EQ(WrapText("one\ntwo", 400, measure), (std::vector<wxString>{"one", "two"}));
  EXPECT_EQ(WrapText(wxString::FromUTF8("你好世界"), 20, measure),
            (std::vector<wxString>{wxString::FromUTF8("你好"), wxString::FromUTF8("世界")}));
  // A full stop or comma never starts a line: the character before it goes down with it.
  EXPECT_EQ(WrapText(wxString::FromUTF8("你好世。"), 30, measure),
            (std::vector<wxString>{wxString::FromUTF8("你好"), wxString::FromUTF8("世。")}));
  EXPECT_EQ(WrapText(wxString::FromUTF8("登入，好"), 20, measure),
            (std::vector<wxString>{wxString::FromUTF8("登"), wxString::FromUTF8("入，"), wxString::FromUTF8("好")}));
  EXPECT_EQ(WrapText(wxString::FromUTF8("ab cd。"), 30, measure),
            (std::vector<wxString>{"ab", wxString::FromUTF8("cd。")}));
}

TEST(SkinLogic, EverySkinPictureDecodes) {
  const int ids[] = {222, 223, 224, 225, 259, 260, 263, 280, 281, 282, 283, 284, 285, 286, 287,
                     322, 326, 327, 328, 329, 344, 376, 377, 388, 389, 391};
  for (int id : ids) {
    wxImage image;
    EXPECT_TRUE(LoadPngResource(image, id)) << id;
  }
  // Every embedded picture has its 2x drawing, exactly twice the natural size; the tray icons
  // and the window icon are among them.
  size_t count = 0;
  const SkinResource* table = SkinResources(count);
  ASSERT_GT(count, 0u);
  for (size_t i = 0; i < count; ++i) {
    wxImage one, two;
    ASSERT_TRUE(LoadPngResource(one, table[i].id, 1)) << table[i].id;
    ASSERT_TRUE(LoadPngResource(two, table[i].id, 2)) << table[i].id;
    EXPECT_EQ(two.GetSize(), one.GetSize() * 2) << table[i].id;
    const wxBitmap bitmap = SkinBitmap(table[i].id, 2);
    EXPECT_EQ(bitmap.GetLogicalSize(), one.GetSize()) << table[i].id;
  }
  for (int id : {128, 174, 368, 239, 320, 349, 350, 240, 241, 355, 242, 243, 353, 313, 314, 356, 315,
                 316, 354}) {
    wxImage icon;
    EXPECT_TRUE(LoadPngResource(icon, id)) << id;
  }
  const wxIconBundle windowIcon = SkinIconBundle(128);
  ASSERT_EQ(windowIcon.GetIconCount(), 2u);
  EXPECT_EQ(windowIcon.GetIconByIndex(0).GetWidth(), 48);
  EXPECT_EQ(windowIcon.GetIconByIndex(1).GetWidth(), 96);
  EXPECT_TRUE(SkinIconBundle(99999).IsEmpty());
  wxImage bg;
  ASSERT_TRUE(LoadPngResource(bg, 263));
  EXPECT_EQ(bg.GetSize(), wxSize(355, 197));
  ASSERT_TRUE(LoadPngResource(bg, 260));
  EXPECT_EQ(bg.GetSize(), wxSize(73, 25));
  wxImage untouched(3, 3);
  EXPECT_FALSE(LoadPngResource(untouched, 99999));
  EXPECT_EQ(untouched.GetSize(), wxSize(3, 3));
}

}  // namespace
