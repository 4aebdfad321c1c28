// The message box in a real window under Xvfb, answered by keys and clicks from xdotool.
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/foundation/diy_message_box.h"
#include "desktop/foundation/languages.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/desktop/gui_test_support.h"

namespace {

class MessageBoxGui : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int id : {0, 1, 2}) {
      std::filesystem::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                                 folders.Program() + "/" + LanguageFileName(id));
    }
    languages = CLanguages::GetInstance();
    std::filesystem::create_directories(ScreenshotDir());
  }
  void TearDown() override { languages->Release(); }

  // Shows the box on this thread while the user's actions run on a helper thread.
  int Run(int type, const std::string& title, const std::wstring& text,
          const std::vector<std::vector<std::string>>& actions, const std::string& shot = "") {
    auto user = std::async(std::launch::async, [=] {
      const std::string id = WindowId(title);
      if (id.empty()) return false;
      if (!shot.empty()) Screenshot(id, ScreenshotDir() + "/" + shot);
      for (std::vector<std::string> a : actions) {
        for (std::string& arg : a)
          if (arg == "%w") arg = id;
        if (Plat_RunCapture(a, 20000).exitStatus != 0) return false;
      }
      return true;
    });
    const int result = DiyMessageBox(languages, text, std::wstring(title.begin(), title.end()), type);
    EXPECT_TRUE(user.get()) << title;
    return result;
  }

  DesktopFolders folders;
  ILanguages* languages = nullptr;
};

std::vector<std::string> Key(const char* key) {
  return {"xdotool", "windowfocus", "--sync", "%w", "key", "--clearmodifiers", key};
}
std::vector<std::string> Click(int x, int y) {
  return {"xdotool", "mousemove", "--sync", "--window", "%w", std::to_string(x), std::to_string(y),
          "click", "1"};
}

TEST_F(MessageBoxGui, KeysAndClicksGiveTheDocumentedResults) {
  const struct {
    int type;
    const char* title;
    std::vector<std::vector<std::string>> actions;
    int want;
  } cases[] = {
      {kMessageBoxOk, "qbox-ok-enter", {Key("Return")}, 1},
      {kMessageBoxOk, "qbox-ok-escape", {Key("Escape")}, 2},
      {kMessageBoxOk, "qbox-ok-click", {Click(177, 172)}, 1},
      {kMessageBoxOk, "qbox-ok-close", {Click(338, 15)}, 2},
      {kMessageBoxYesNo, "qbox-yes", {Click(103, 172)}, 1},
      {kMessageBoxYesNo, "qbox-no", {Click(236, 172)}, 2},
      {kMessageBoxYesNo, "qbox-yesno-enter", {Key("Return")}, 1},
      {kMessageBoxYesNo, "qbox-yesno-escape", {Key("Escape")}, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.type, c.title, L"Is this the question?", c.actions), c.want) << c.title;
  }
}

TEST_F(MessageBoxGui, ScreenshotsShowTheSkinAndTheCentredMessage) {
  languages->SetLanguage(kLangEnglish);
  Run(kMessageBoxYesNo, "qbox-shot-en", languages->GetText("MESSAGEBOX", "MSGBOX_SERVICE_CRASHED"),
      {Key("Escape")}, "message_box_yesno.png");
  Run(kMessageBoxOk, "qbox-shot-long",
      L"A long message that is wider than the body of the box, so that it wraps onto the "
      L"lines laid out for it.\\nAnd a second paragraph after a line break.",
      {Key("Escape")}, "message_box_long.png");
  wxImage shot;
  ASSERT_TRUE(shot.LoadFile(ScreenshotDir() + "/message_box_yesno.png", wxBITMAP_TYPE_PNG));
  ASSERT_EQ(shot.GetSize(), wxSize(355, 197));
  EXPECT_TRUE(Near(PixelAt(shot, 150, 30), wxColour(0x1f, 0x7f, 0xd0), 40));  // title band
  EXPECT_TRUE(Near(PixelAt(shot, 20, 150), wxColour(244, 244, 244)));          // body
  EXPECT_TRUE(Near(PixelAt(shot, 67 + 5, 160 + 12), wxColour(0xf3, 0xf5, 0xf7), 16));  // Yes face
  // The message is dark text somewhere on its centre line, nothing on the body's left margin.
  bool dark = false;
  for (int x = 40; x < 320 && !dark; ++x)
    for (int y = 80; y < 110 && !dark; ++y) dark = PixelAt(shot, x, y).Red() < 100;
  EXPECT_TRUE(dark);
  EXPECT_TRUE(Near(PixelAt(shot, 10, 96), wxColour(244, 244, 244)));
}

}  // namespace
