// The main window's pages in a real window under Xvfb, over a stand-in of the local API client:
// the phone prompts one after the other with the right answers, the shares page's edits, the
// data folder's browse button, and a language switch that relabels every text (with
// screenshots of each page in the three languages).
#include <wx/textctrl.h>

#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/app/prompts/connect_dlg.h"
#include "desktop/app/main_window/main_pages.h"
#include "desktop/app/main_window/setting_dlg.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/skin_list.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/desktop/gui_test_support.h"
#include "platform/run_command.h"
#include "tests/desktop_app/pages_test_support.h"

namespace fs = std::filesystem;
using namespace desktop;

namespace {

class PagesGui : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int id : {0, 1, 2})
      fs::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                    folders.Program() + "/" + LanguageFileName(id));
    host = std::make_unique<PagesWindow>("qpages-" + std::to_string(::getpid()), &ui);
    pages = std::make_unique<CMainPages>();
    pages->Create(*host);
    ui.SetTransLogSink(pages.get());
    host->dialog->Show();
    ASSERT_TRUE(PumpUntil([&] { return host->dialog->IsShownOnScreen(); }));
  }
  void TearDown() override {
    pages.reset();
    host.reset();
  }

  DesktopFolders folders;
  FakeUIData ui;
  std::unique_ptr<PagesWindow> host;
  std::unique_ptr<CMainPages> pages;
};

TEST_F(PagesGui, PhonePromptsOneAfterTheOtherEachAnsweredOnce) {
  // Two phones ask at once, from two reader threads.
  std::thread a([&] { pages->QueueMobileLoginRequest(ptr(MakeRequest(0x11223344, "Anna&Bob <b>phone</b>\n", "home-wifi"))); });
  std::thread b([&] { pages->QueueMobileLoginRequest(ptr(MakeRequest(0x55667788, "Carl", "office"))); });
  a.join();
  b.join();
  std::vector<uint32_t> shown;
  std::vector<wxString> senders;
  // The user: allows the first prompt, closes the second with Escape's road (WM close).
  ScriptedUser user([&]() -> bool {
    CConnectDlg* p = pages->OpenPrompt();
    if (!p || !p->IsShownOnScreen()) return false;
    if (shown.empty() && pages->Queue().Waiting() == 0) return false;  // the other one on its way
    shown.push_back(p->Request().requestId);
    senders.push_back(p->TextOf(CConnectDlg::kSenderId));
    if (shown.size() == 1) {
      EXPECT_EQ(pages->Queue().Waiting(), 1u);  // the other waits its turn, not in a prompt
      wxCommandEvent click(wxEVT_BUTTON, 1);
      p->ProcessWindowEvent(click);
    } else {
      p->Close();
    }
    return shown.size() == 2;
  });
  ASSERT_TRUE(PumpUntil([&] { return ui.Answers().size() == 2; }, std::chrono::seconds(20)));
  ASSERT_EQ(shown.size(), 2u);
  const auto answers = ui.Answers();
  EXPECT_EQ(answers[0].first, shown[0]);
  EXPECT_EQ(answers[0].second, 1);
  EXPECT_EQ(answers[1].first, shown[1]);
  EXPECT_EQ(answers[1].second, 0);
  // The phone's texts as plain text: markup and mnemonics shown as they are, the line break
  // as a space.
  const wxString anna = senders[shown[0] == 0x11223344 ? 0 : 1];
  EXPECT_TRUE(anna.EndsWith("Anna&Bob <b>phone</b> ")) << anna;
  EXPECT_FALSE(pages->OpenPrompt());

  // A third request is left alone: the 25th tick refuses it and closes its prompt.
  pages->QueueMobileLoginRequest(ptr(MakeRequest(0x01020304, "Dora", "cafe")));
  int ticks = 0;
  ScriptedUser ager([&]() -> bool {
    if (!pages->OpenPrompt()) return false;
    pages->MobileLoginRequestAgeTimer();
    ++ticks;
    return ticks == 25;
  });
  ASSERT_TRUE(PumpUntil([&] { return ui.Answers().size() == 3 && !pages->OpenPrompt(); }, std::chrono::seconds(20)));
  EXPECT_EQ(ticks, 25);
  EXPECT_EQ(ui.Answers()[2], std::make_pair(0x01020304u, 0));
  // Exit: nothing more goes out, and nothing is shown any more.
  pages->Stop();
  pages->QueueMobileLoginRequest(ptr(MakeRequest(0x0A0B0C0D, "late", "x")));
  PumpUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_FALSE(pages->OpenPrompt());
  EXPECT_EQ(ui.Answers().size(), 3u);
}

// Three phones one after the other; nobody answers the first, whose prompt the ageing timer
// closes on its 25th tick (refused). The second and the third still get their prompts.
TEST_F(PagesGui, APromptThatTimedOutLeavesTheNextPhonesTheirPrompts) {
  std::vector<uint32_t> shown;
  int ticks = 0;
  ScriptedUser user([&]() -> bool {
    CConnectDlg* p = pages->OpenPrompt();
    if (p && p->IsShownOnScreen() && (shown.empty() || shown.back() != p->Request().requestId))
      shown.push_back(p->Request().requestId);
    if (shown.size() == 1) {
      if (p) {
        pages->MobileLoginRequestAgeTimer();  // left alone: the clock runs
        ++ticks;
      } else {
        // Timed out and closed; the next phone asks.
        pages->QueueMobileLoginRequest(ptr(MakeRequest(0xB2, "Bob", "office")));
        shown.push_back(0);  // a mark: the second was sent
      }
    } else if (p && p->IsShownOnScreen() && p->Request().requestId == 0xB2) {
      wxCommandEvent allow(wxEVT_BUTTON, 1);
      p->ProcessWindowEvent(allow);
    } else if (!p && ui.Answers().size() == 2 && shown.back() == 0xB2) {
      pages->QueueMobileLoginRequest(ptr(MakeRequest(0xC3, "Cleo", "cafe")));
      shown.push_back(0);
    } else if (p && p->IsShownOnScreen() && p->Request().requestId == 0xC3) {
      p->Close();
      return true;
    }
    return false;
  });
  pages->QueueMobileLoginRequest(ptr(MakeRequest(0xA1, "Anna", "home")));
  ASSERT_TRUE(PumpUntil([&] { return ui.Answers().size() == 3 && !pages->OpenPrompt(); }, std::chrono::seconds(30)))
      << "prompts shown: " << shown.size() << ", answers: " << ui.Answers().size();
  EXPECT_EQ(ticks, 25);
  EXPECT_EQ(shown, (std::vector<uint32_t>{0xA1, 0, 0xB2, 0, 0xC3}));
  EXPECT_EQ(ui.Answers(), (std::vector<std::pair<uint32_t, int>>{{0xA1, 0}, {0xB2, 1}, {0xC3, 0}}));
}

TEST_F(PagesGui, ExitWhileAPromptIsOpenAnswersOnceAndTouchesNothingFreed) {
  pages->QueueMobileLoginRequest(ptr(MakeRequest(7, "Anna", "wifi")));
  bool destroyed = false;
  ScriptedUser user([&]() -> bool {
    if (!pages || !pages->OpenPrompt() || !pages->OpenPrompt()->IsShownOnScreen()) return false;
    pages.reset();  // the window goes while its prompt is open
    destroyed = true;
    return true;
  });
  ASSERT_TRUE(PumpUntil([&] { return destroyed; }, std::chrono::seconds(20)));
  PumpUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(ui.Answers(), (std::vector<std::pair<uint32_t, int>>{{7, 0}}));
}

TEST_F(PagesGui, SharesEditsFoldIntoOneChangeOnlyAfterTheListLoaded) {
  ui.shares = {"/srv/a", "/srv/b"};
  pages->SetDataFolder(folders.Program() + "/Quarlo");
  // Before the service's list was read, Add does nothing (an edit would replace every share).
  host->folders = {"/srv/c"};
  pages->OnBnClickedAddShare();
  EXPECT_TRUE(pages->Edits().Empty());
  ui.LoadShares(*pages);
  EXPECT_EQ(pages->ShareList()->RowCount(), 3);
  host->folders = {"/srv/c", "/srv/a"};
  pages->OnBnClickedAddShare();  // added
  pages->OnBnClickedAddShare();  // listed already: the message, no edit
  EXPECT_EQ(host->messages.size(), 1u);
  // The data folder's row cannot be removed; another can.
  pages->ShareList()->SetSelection(0);
  pages->OnShareListClick();
  EXPECT_FALSE(host->dialog->FindWindow(kDeleteShare)->IsEnabled());
  pages->OnBnClickedDeleteShare();
  EXPECT_EQ(pages->ShareList()->RowCount(), 4);
  pages->ShareList()->SetSelection(FindShareInList("/srv/b", *pages->ShareList()));
  pages->OnShareListClick();
  EXPECT_TRUE(host->dialog->FindWindow(kDeleteShare)->IsEnabled());
  pages->OnBnClickedDeleteShare();
  pages->OnBnClickedApply();
  ASSERT_TRUE(PumpUntil([&] { return !pages->RequestsRunning(); }));
  EXPECT_EQ(ui.Shares(), (std::vector<std::string>{"/srv/a", "/srv/c"}));
  EXPECT_EQ(ui.setShareCalls, 1);
  // Cancel undoes what was not applied.
  host->folders = {"/srv/d"};
  pages->OnBnClickedAddShare();
  pages->OnBnClickedCancel();
  EXPECT_EQ(FindShareInList("/srv/d", *pages->ShareList()), -1);
  pages->OnBnClickedOk();
  PumpUntil([&] { return !pages->RequestsRunning(); });
  EXPECT_EQ(ui.setShareCalls, 1);
}

TEST_F(PagesGui, TheBrowseButtonMarksAChangeOnlyWhenAFolderWasChosen) {
  const std::string base = folders.Program();
  pages->SetDataFolder(base + "/Quarlo");
  pages->ShowPage(kPageSettings);
  EXPECT_EQ(pages->DataFolderEditText(), base);
  host->folders = {""};  // the chooser was cancelled
  pages->OnBnClickedMoveFolder();
  EXPECT_FALSE(pages->DataFolderChanged());
  host->folders = {base + "/"};  // the same base, written otherwise
  pages->OnBnClickedMoveFolder();
  EXPECT_TRUE(pages->DataFolderChanged());
  pages->OnBnClickedApply();
  EXPECT_TRUE(ui.defShareCalls.empty());  // unchanged: nothing asked of the service
  const std::string other = folders.Config();
  host->folders = {other};
  pages->OnBnClickedMoveFolder();
  ui.defShareResult = -1;  // refused
  pages->OnBnClickedApply();
  EXPECT_EQ(ui.defShareCalls, (std::vector<std::string>{other}));
  ASSERT_EQ(host->messages.size(), 1u);
  EXPECT_EQ(host->messages[0], L"The files could not be copied to the new place; nothing was moved.");
  EXPECT_EQ(pages->DataFolder(), base + "/Quarlo");
  EXPECT_EQ(pages->DataFolderEditText(), base);
  ui.defShareResult = 0;
  pages->OnBnClickedMoveFolder();
  pages->OnBnClickedApply();
  EXPECT_EQ(pages->DataFolder(), other + "/Quarlo");
  EXPECT_NE(FindShareInList(other + "/Quarlo", *pages->ShareList()), -1);
  EXPECT_EQ(FindShareInList(base + "/Quarlo", *pages->ShareList()), -1);
}

TEST_F(PagesGui, ADataFolderWhoseFoldersCannotBeMadeIsSaidSo) {
  const std::string file = folders.Program() + "/a-file";
  DesktopFolders::Write(file, "not a folder");
  pages->SetDataFolder(file + "/Quarlo");
  ASSERT_EQ(host->messages.size(), 1u);
  EXPECT_EQ(host->messages[0].rfind(L"The data folder could not be moved.", 0), 0u);
  EXPECT_NE(host->messages[0].find(L"a-file"), std::wstring::npos);
  EXPECT_NE(FindShareInList(file + "/Quarlo", *pages->ShareList()), -1);  // still listed as the service has it
  // The service's folder by another name gets its category folders inside it.
  pages->SetDataFolder(folders.Program() + "/Data");
  EXPECT_TRUE(fs::is_directory(folders.Program() + "/Data/" + LocalizedFolderName("PICTURE")));
  EXPECT_FALSE(fs::exists(folders.Program() + "/Quarlo"));
  EXPECT_EQ(FindShareInList(file + "/Quarlo", *pages->ShareList()), -1);
}

// The list itself, as the user reads it: newest first, each row with its direction's picture
// (upload 296, download 297), the whole file name and the whole time, nothing cut.
TEST_F(PagesGui, TransferLogNewestFirstWithPicturesWholeNamesAndTimes) {
  ui.log = {MakeRecord(0, 500, "/d/Quarlo/Photos/old.jpg", "2026-12-11 09:12:03"),
            MakeRecord(1, 1572864, "/d/share/big.bin", "2026-12-11 23:59:58")};
  pages->ShowPage(kPageTransLog);
  CQVListCtrl* list = pages->TransLogList();
  ASSERT_TRUE(PumpUntil([&] { return !pages->RequestsRunning(); }));
  ASSERT_EQ(list->RowCount(), 2);
  EXPECT_EQ(list->DisplayedText(0, 0), "big.bin");
  EXPECT_EQ(list->DisplayedText(0, 1), "1.50MB");
  EXPECT_EQ(list->DisplayedText(0, 2), "2026-12-11 23:59:58");
  EXPECT_EQ(list->DisplayedText(1, 0), "old.jpg");
  EXPECT_EQ(list->DisplayedText(1, 1), "1KB");
  EXPECT_EQ(list->DisplayedText(1, 2), "2026-12-11 09:12:03");
  // The pictures: the list's images are bitmaps 297 and 296, and each row shows its own.
  ASSERT_EQ(list->SmallImages(), (std::vector<int>{297, 296}));
  EXPECT_EQ(list->SmallImages()[static_cast<size_t>(list->GetItemImage(0))], 297);  // a download
  EXPECT_EQ(list->SmallImages()[static_cast<size_t>(list->GetItemImage(1))], 296);  // an upload
  // And on the screen: the picture's colour at the start of each row (blue 297, green 296),
  // once the window has been painted (a busy machine paints late).
  host->dialog->Refresh();
  host->dialog->Update();
  const std::string shot = ScreenshotDir() + "/pages_translog_rows.png";
  fs::create_directories(ScreenshotDir());
  const std::string window = WindowId(host->title);
  ASSERT_FALSE(window.empty());
  const wxPoint body = host->dialog->ScreenToClient(list->Body()->GetScreenPosition());
  const int x = body.x + 1, y0 = body.y + 12, y1 = body.y + 25 + 12;  // the picture's left edge
  const wxColour blue(0x2f, 0x6f, 0xd6), green(0x2f, 0x8f, 0x4e);
  wxImage image;
  const auto shown = [&] {
    return Screenshot(window, shot) && image.LoadFile(shot) && image.GetWidth() > x &&
           image.GetHeight() > y1 && Near(PixelAt(image, x, y0), blue, 40) &&
           Near(PixelAt(image, x, y1), green, 40);
  };
  PumpUntil(shown, std::chrono::seconds(20));
  ASSERT_TRUE(image.IsOk()) << "no screenshot of the window";
  EXPECT_TRUE(Near(PixelAt(image, x, y0), blue, 40)) << "row 0 (download)";
  EXPECT_TRUE(Near(PixelAt(image, x, y1), green, 40)) << "row 1 (upload)";
}

// The pages' loopback requests (Apply's shares, the transfer-log page, the account page) run
// off the main thread, so a slow service never freezes the window.
TEST_F(PagesGui, ThePagesRequestsRunOffTheMainThread) {
  const std::thread::id main = std::this_thread::get_id();
  ui.shares = {"/srv/a"};
  ui.account = "anna@example.org";
  ui.log = {MakeRecord(1, 2048, "/srv/a/x.txt", "2026-12-11 09:12:03")};
  pages->SetDataFolder(folders.Program() + "/Quarlo");
  ui.LoadShares(*pages);
  host->folders = {"/srv/b"};
  pages->OnBnClickedAddShare();
  pages->OnBnClickedApply();
  pages->ShowPage(kPageTransLog);
  pages->ShowPage(kPageAccount);
  ASSERT_TRUE(PumpUntil([&] { return !pages->RequestsRunning(); }));
  for (const char* request : {"SetShare", "ReadTransLog", "GetLogOnInfo"}) {
    const std::set<std::thread::id> threads = ui.ThreadsOf(request);
    EXPECT_FALSE(threads.empty()) << request << " was not asked";
    EXPECT_EQ(threads.count(main), 0u) << request << " ran on the main thread";
  }
  EXPECT_EQ(pages->TransLogList()->RowCount(), 1);
  EXPECT_EQ(pages->Texts().at(kAccountLine).find(L"anna@example.org") != std::wstring::npos, true);
}

TEST_F(PagesGui, ALanguageSwitchRelabelsEveryTextWithScreenshots) {
  ui.account = "anna@example.org";
  ui.shares = {"/srv/photos"};
  pages->SetDataFolder(folders.Program() + "/Quarlo");
  ui.LoadShares(*pages);
  ui.log = {MakeRecord(0, 2048, "/d/Quarlo/Photos/beach.jpg", "2026-12-11 00:00:01")};
  const std::string shots = ScreenshotDir();
  fs::create_directories(shots);
  const char* names[3] = {"zh_CN", "en", "zh_TW"};
  std::map<int, std::wstring> english;
  for (int language : {1, 0, 2}) {
    host->SelectLanguage(*pages, language);
    const std::map<int, std::wstring> texts = pages->Texts();
    EXPECT_EQ(texts.size(), 26u);
    for (const auto& [id, text] : texts) {
      EXPECT_FALSE(text.empty()) << "control " << id << " in language " << language;
      const bool languageName = id / 10 == kLanguageCombo;  // each name is written in its own language
      if (!english.empty() && !languageName) {
        EXPECT_NE(english.at(id), text) << "control " << id << " kept its English text in language " << language;
      }
    }
    if (language == 1) english = texts;
    for (int page : {kPageShares, kPageSettings, kPageTransLog, kPageAccount}) {
      pages->ShowPage(page);
      host->dialog->Refresh();
      host->dialog->Update();
      PumpUntil([] { return false; }, std::chrono::milliseconds(300));
      const std::string id = WindowId(host->title);
      ASSERT_FALSE(id.empty());
      const char* pageName = page == kPageShares ? "shares" : page == kPageSettings ? "settings"
                             : page == kPageTransLog ? "transfers" : "account";
      EXPECT_TRUE(Screenshot(id, shots + "/pages_" + pageName + "_" + names[language] + ".png"));
    }
  }
}

}  // namespace

namespace {

// The program's own main window with its pages: every text and the tray menu follow a
// language switch; screenshots of each page in the three languages.
TEST(MainWindowPages, LanguageSwitchRelabelsThePagesAndTheTrayMenu) {
  DesktopFolders folders;
  for (int id : {0, 1, 2})
    fs::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                  folders.Program() + "/" + LanguageFileName(id));
  FakeUIData ui;
  ui.account = "anna@example.org";
  ui.shares = {"/srv/photos", "/srv/music"};
  ui.loaded = true;
  ui.log = {MakeRecord(0, 2048, "/home/anna/Quarlo/Photos/beach.jpg", "2026-12-11 09:12:03"),
            MakeRecord(1, 3 * 1048576, "/srv/music/song.mp3", "2026-12-11 09:14:40")};
  auto* dlg = new CSettingDlg(&ui, false);
  dlg->Initialize();
  CMainPages* pages = dlg->Pages();
  ASSERT_NE(pages, nullptr);
  ui.SetTransLogSink(pages);
  pages->SetDataFolder(folders.Program() + "/Quarlo");
  for (const std::string& s : ui.shares) pages->OnShareItem(s);
  dlg->SetTitle("qmain-" + std::to_string(::getpid()));
  dlg->Show();
  ASSERT_TRUE(PumpUntil([&] { return dlg->IsShownOnScreen(); }));
  auto trayTexts = [&] {
    std::map<int, wxString> texts;
    std::unique_ptr<wxMenu> menu = dlg->BuildTrayMenu();
    for (wxMenuItem* item : menu->GetMenuItems())
      if (!item->IsSeparator()) texts[item->GetId()] = item->GetItemLabelText();
    return texts;
  };
  const char* names[3] = {"zh_CN", "en", "zh_TW"};
  std::map<int, std::wstring> english;
  std::map<int, wxString> englishTray;
  for (int language : {1, 0, 2}) {
    auto* combo = static_cast<CColorCombobox*>(dlg->FindWindow(kLanguageCombo));
    combo->SetCurSel(language);
    pages->OnCbnSelchangeLanguage();
    PumpUntil([] { return false; }, std::chrono::milliseconds(200));
    const std::map<int, std::wstring> texts = pages->Texts();
    const std::map<int, wxString> tray = trayTexts();
    EXPECT_EQ(texts.size(), 26u);
    for (const auto& [id, text] : texts) {
      EXPECT_FALSE(text.empty()) << id << " in language " << language;
      if (!english.empty() && id / 10 != kLanguageCombo) {
        EXPECT_NE(english.at(id), text) << id << " in language " << language;
      }
    }
    ASSERT_FALSE(tray.empty());
    for (const auto& [item, text] : tray) {
      EXPECT_FALSE(text.Strip(wxString::both).empty()) << "tray item " << item;
      if (englishTray.count(item)) {
        EXPECT_NE(englishTray.at(item), text) << "tray item " << item;
      }
    }
    if (language == 1) {
      english = texts;
      englishTray = tray;
    }
    for (int page : {kPageShares, kPageSettings, kPageTransLog, kPageAccount}) {
      pages->ShowPage(page);
      dlg->Refresh();
      PumpUntil([] { return false; }, std::chrono::milliseconds(300));
      const std::string id = WindowId(dlg->GetTitle().ToStdString());
      ASSERT_FALSE(id.empty());
      const char* pageName = page == kPageShares ? "shares" : page == kPageSettings ? "settings"
                             : page == kPageTransLog ? "transfers" : "account";
      EXPECT_TRUE(Screenshot(id, ScreenshotDir() + "/main_" + pageName + "_" + names[language] + ".png"));
    }
  }
  // The log-on refresh: after the poll (off the main thread) read "logged on", the lists were
  // read off the main thread too.
  ASSERT_TRUE(PumpUntil([&] { return !ui.ThreadsOf("ReadShares").empty(); }, std::chrono::seconds(20)));
  for (const char* request : {"GetLogOnStatus", "ReadShares", "ReadTransLog"})
    EXPECT_EQ(ui.ThreadsOf(request).count(std::this_thread::get_id()), 0u) << request << " ran on the main thread";
  dlg->Destroy();
  // Gone before the shared language service is.
  for (int i = 0; i < 5; ++i) wxTheApp->ProcessIdle();
}

}  // namespace

namespace {

struct AnswerLog : IConnectDlgCallBack {
  std::vector<std::pair<uint32_t, int>> got;
  void OnMobileLoginAnswer(const MobileLoginAnswer* a) override { got.emplace_back(a->requestId, a->accept); }
};

std::vector<std::string> Key(const char* key) {
  return {"xdotool", "windowfocus", "--sync", "%w", "key", "--clearmodifiers", key};
}
std::vector<std::string> Click(int x, int y) {
  return {"xdotool", "mousemove", "--sync", "--window", "%w", std::to_string(x), std::to_string(y), "click", "1"};
}

// The prompt by itself, answered by the user's keys and clicks: exactly one answer each time,
// with the request's id as it came.
TEST(ConnectDlgGui, EveryWayOfEndingGivesOneAnswer) {
  DesktopFolders folders;
  for (int id : {0, 1, 2})
    fs::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                  folders.Program() + "/" + LanguageFileName(id));
  fs::create_directories(ScreenshotDir());
  const struct {
    const char* title;
    std::vector<std::vector<std::string>> actions;
    int accept;
    const char* shot;
  } cases[] = {
      {"qconnect-enter", {Key("Return")}, 1, "connect_prompt_en.png"},
      {"qconnect-escape", {Key("Escape")}, 0, nullptr},
      {"qconnect-allow", {Click(96, 210)}, 1, nullptr},
      {"qconnect-refuse", {Click(259, 210)}, 0, nullptr},
      {"qconnect-close", {Click(336, 15)}, 0, nullptr},
      {"qconnect-time", {}, 0, nullptr},  // nobody answers: the time limit refuses
  };
  uint32_t id = 0xA1B2C3D4;
  for (const auto& c : cases) {
    AnswerLog log;
    CConnectDlg dlg(nullptr, MakeRequest(id, "Anna's phone", "home-wifi"));
    dlg.SetCallback(&log);
    dlg.SetTimeLimit(c.actions.empty() ? 1 : 60);
    const std::string title = c.title;
    const std::string shot = c.shot ? ScreenshotDir() + "/" + c.shot : "";
    // The prompt's title is the program's name, as every window of it; no other is open.
    // Nobody answering needs no window: its time limit may end it before a busy machine has
    // started the window search.
    auto user = std::async(std::launch::async, [shot, actions = c.actions] {
      if (actions.empty() && shot.empty()) return true;
      const std::string window = WindowId("Quarlo");
      if (window.empty()) return false;
      if (!shot.empty()) Screenshot(window, shot);
      for (std::vector<std::string> a : actions) {
        for (std::string& arg : a)
          if (arg == "%w") arg = window;
        if (Plat_RunCapture(a, 20000).exitStatus != 0) return false;
      }
      return true;
    });
    dlg.ShowModal();
    EXPECT_TRUE(user.get()) << title;
    EXPECT_EQ(log.got, (std::vector<std::pair<uint32_t, int>>{{id, c.accept}})) << title;
    ++id;
  }
}

}  // namespace
