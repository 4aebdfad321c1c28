// Quarlo's windows as a user of XFCE sees them: under the window manager xfwm4 (which frames
// every window), with xfce4-panel's notification area as the tray host and xfce4-notifyd as the
// notification daemon (wm_session.sh starts them). Every window of the program, in each
// language, at the scale of the run: each of its buttons lies wholly inside the window's
// client area as the X server has it, and no other control lies over a button. One picture of
// each window goes to build/screenshots/wm/. The tray's left click and the desktop
// notifications are checked against the real panel and daemon.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <wx/menu.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/toplevel.h>
#include <wx/webview.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "desktop/app/about/about_dlg.h"
#include "desktop/app/hotspot/ap_dlg.h"
#include "desktop/app/prompts/connect_dlg.h"
#include "desktop/app/hotspot/hotspot_control.h"
#include "desktop/app/account/login_dlg.h"
#include "desktop/app/account/register_account_dlg.h"
#include "desktop/app/main_window/setting_dlg.h"
#include "desktop/app/prompts/switch_account_dlg.h"
#include "desktop/app/site/html_dlg.h"
#include "desktop/app/tray/tray_icon.h"
#include "desktop/app/update/update_checker.h"
#include "desktop/app/update/update_dlg.h"
#include "desktop/app/wizard/wizard_dlg.h"
#include "desktop/foundation/diy_dialog.h"
#include "desktop/foundation/diy_message_box.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_image.h"
#include "platform/registry.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/desktop/gui_test_support.h"
#include "tests/desktop_app/pages_test_support.h"
#include "tests/support/central_process.h"
#include "tests/support/env_guard.h"

std::string XidOf(wxWindow* window);  // x_window_id.cpp

namespace {

namespace fs = std::filesystem;
const char* const kLangNames[] = {"zh_CN", "en", "zh_TW"};

int Scale() {
  const char* s = std::getenv("GDK_SCALE");
  return s && std::atoi(s) > 1 ? std::atoi(s) : 1;
}

std::string Cmd(const std::vector<std::string>& argv) { return Tool(argv, 20000); }

// The window's client area on the screen as the X server has it (in the program's units).
wxRect ClientOnScreen(wxWindow* top) {
  const std::string info = Cmd({"xwininfo", "-id", XidOf(top)});
  auto field = [&](const std::string& name) {
    std::smatch m;
    const std::regex re(name + ":\\s+(-?\\d+)");
    return std::regex_search(info, m, re) ? std::stoi(m[1]) : -1;
  };
  const int s = Scale();
  return wxRect(field("Absolute upper-left X") / s, field("Absolute upper-left Y") / s, field("Width") / s,
                field("Height") / s);
}

// True when the window manager manages (maps and frames) the window.
bool Managed(wxWindow* top) {
  const std::string frame = Cmd({"xprop", "-id", XidOf(top), "_NET_FRAME_EXTENTS", "WM_STATE"});
  return frame.find("_NET_FRAME_EXTENTS(CARDINAL) =") != std::string::npos &&
         frame.find("window state: Normal") != std::string::npos;
}

bool IsButton(wxWindow* w) {
  return dynamic_cast<CColorButton*>(w) || dynamic_cast<CTransparentButton*>(w) ||
         dynamic_cast<CLinkButtonCtrl*>(w) || dynamic_cast<CSettingButton*>(w);
}

void Descendants(wxWindow* w, std::vector<wxWindow*>& out) {
  for (wxWindow* child : w->GetChildren()) {
    if (child->IsTopLevel() || !child->IsShown()) continue;
    out.push_back(child);
    Descendants(child, out);
  }
}

std::string Describe(wxWindow* w) {
  std::ostringstream s;
  const wxRect r = w->GetScreenRect();
  s << w->GetClassInfo()->GetClassName() << " id " << w->GetId() << " \"" << w->GetLabel().ToStdString()
    << "\" at " << r.x << "," << r.y << " " << r.width << "x" << r.height;
  return s.str();
}

class WmGui : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int id : {0, 1, 2})
      fs::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                    folders.Program() + "/" + LanguageFileName(id));
    fs::create_directories(folders.UserDir());
    for (const char* f : {"HtmlDlg.htm", "banner_ch.gif", "banner_en.gif", "banner_tw.gif"})
      fs::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/roaming/" + f, folders.UserDir() + "/" + f);
    Reg_CreateKey(RegRoot::CurrentUser, kQuarloKey);
    Reg_SetDword(RegRoot::CurrentUser, kQuarloKey, "SetupWizard", 1);
    fs::create_directories(ShotDir());
    languages = CLanguages::GetInstance();
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) wxTheApp->ProcessIdle();
    languages->SetLanguage(kLangEnglish);
    languages->Release();
  }
  static std::string ShotDir() { return ScreenshotDir() + "/wm"; }

  // The window is up, framed by the manager and at its final size; then its buttons are checked
  // against its client area and its picture taken.
  void Check(wxTopLevelWindow* top, const std::string& name, int language) {
    SCOPED_TRACE(name + " " + kLangNames[language]);
    ASSERT_TRUE(PumpUntil([&] { return top->IsShownOnScreen() && !XidOf(top).empty(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(PumpUntil([&] { return Managed(top); }, std::chrono::seconds(10)))
        << "the window manager does not manage the window: " << Cmd({"xprop", "-id", XidOf(top)});
    // Let the manager's frame, the resize it may cause and the first paint settle.
    wxRect client;
    PumpUntil([&] {
      const wxRect now = ClientOnScreen(top);
      const bool steady = now == client;
      client = now;
      return steady;
    }, std::chrono::seconds(5));
    PumpUntil([] { return false; }, std::chrono::milliseconds(250));
    client = ClientOnScreen(top);
    if (auto* dlg = dynamic_cast<CDiyDialog*>(top)) {
      EXPECT_EQ(client.GetSize(), dlg->ArtSize()) << "the client area is the size of the window's picture";
    }
    std::vector<wxWindow*> controls;
    Descendants(top, controls);
    int buttons = 0;
    for (wxWindow* b : controls) {
      if (!IsButton(b)) continue;
      ++buttons;
      const wxRect r = b->GetScreenRect();
      EXPECT_TRUE(client.Contains(r)) << Describe(b) << " lies outside the client area " << client.x << ","
                                      << client.y << " " << client.width << "x" << client.height;
      for (wxWindow* other : controls) {
        if (other == b || other->GetParent() == b || b->GetParent() == other) continue;
        if (!dynamic_cast<CSkinControl*>(other) && !dynamic_cast<wxControl*>(other)) continue;
        const wxRect o = other->GetScreenRect();
        EXPECT_FALSE(o.Intersects(r)) << Describe(other) << " lies over " << Describe(b);
      }
    }
    EXPECT_GT(buttons, 0);
    if (auto* dlg = dynamic_cast<CDiyDialog*>(top)) ExpectOneFramePerField(dlg, name);
    const std::string shot = ShotDir() + "/" + name + "-" + kLangNames[language] + "-" + std::to_string(Scale()) + "x.png";
    EXPECT_TRUE(Screenshot(XidOf(top), shot)) << shot;
  }

  // A field over one of the skin's frame pictures has that one frame: the picture holds the
  // whole field and the entry draws none of its own.
  static void ExpectOneFramePerField(CDiyDialog* dlg, const std::string& name) {
    for (const Decoration& d : DecorationsFor(dlg->m_dialogKind, dlg->m_decorationFlag != 0)) {
      wxImage picture;
      ASSERT_TRUE(LoadPngResource(picture, d.png));
      const wxRect frame(wxPoint(d.x, d.y), picture.GetSize());
      for (wxWindow* child : dlg->GetChildren()) {
        auto* edit = dynamic_cast<wxTextCtrl*>(child);
        const wxRect field = child->GetRect();
        if (!edit || !edit->IsShown() || !field.Intersects(frame)) continue;
        EXPECT_TRUE(wxRect(frame).Deflate(1).Contains(field))
            << name << ": the field at " << field.x << "," << field.y << " " << field.width << "x"
            << field.height << " reaches past its frame at " << frame.x << "," << frame.y << " "
            << frame.width << "x" << frame.height;
        // The border the theme gives the entry, as GTK lays it out.
        GtkStyleContext* style = gtk_widget_get_style_context(edit->GetHandle());
        GtkBorder border{};
        gtk_style_context_get_border(style, gtk_style_context_get_state(style), &border);
        EXPECT_EQ(border.left + border.top + border.right + border.bottom, 0)
            << name << ": a second frame around the field at " << field.x << "," << field.y;
      }
    }
  }

  template <typename Dlg>
  void CheckShown(Dlg* dlg, const std::string& name, int language) {
    dlg->CentreOnScreen();
    dlg->Show();
    Check(dlg, name, language);
    dlg->Hide();
  }

  DesktopFolders folders;
  ILanguages* languages = nullptr;
};

class NoHotspot : public IHotspotLayer {
 public:
  explicit NoHotspot(HotspotStatus s) : status(s) {}
  HotspotQuery Query() override {
    HotspotQuery q;
    q.status = status;
    if (status == HotspotStatus::Ok) q.device = "wlan0";
    return q;
  }
  HotspotStatus Start(const std::string&, const std::string&, std::string&, std::string&) override {
    return HotspotStatus::Failed;
  }
  HotspotStatus Stop(const std::string&, std::string&) override { return HotspotStatus::Ok; }
  HotspotStatus status;
};

TEST_F(WmGui, EveryButtonOfEveryWindowLiesInsideItsClientArea) {
  // The release notes come from the operator's site (the real central server's).
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  for (const char* lang : {"en", "cn", "tw"})
    DesktopFolders::Write(central.SiteFolder() + "/notes-" + lang + ".txt", "Faster transfers.\nA new wizard.\n");
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);
  for (int language : {kLangChineseSimplified, kLangEnglish, kLangChineseTraditional}) {
    languages->SetLanguage(language);

    auto* login = new CLoginDlg();
    CheckShown(login, "login", language);
    login->Destroy();

    auto* reg = new CRegisterAccountDlg(nullptr, [](const LoginRecord&) {}, [] {});
    CheckShown(reg, "register", language);
    reg->Destroy();

    FakeUIData ui;
    ui.account = "anna@example.org";
    ui.shares = {"/srv/photos", "/srv/music"};
    ui.loaded = true;
    ui.log = {MakeRecord(0, 2048, "/home/anna/Quarlo/Photos/beach.jpg", "2026-12-11 09:12:03")};
    // Without a tray the window stays up for its pictures (with one it hides into the tray).
    CEnvGuard tray("QUARLO_TRAY");
    setenv("QUARLO_TRAY", "none", 1);
    auto* main = new CSettingDlg(&ui, false);
    main->Initialize();
    PumpUntil([] { return false; }, std::chrono::milliseconds(200));  // the first log-on step
    if (desktop::CMainPages* pages = main->Pages()) {
      pages->SetDataFolder(folders.Program() + "/Quarlo");
      for (const std::string& s : ui.shares) pages->OnShareItem(s);
      for (const auto& r : ui.log) pages->OnTransLogItem(r);
    }
    main->CentreOnScreen();
    main->Show();
    const std::pair<int, const char*> pages[] = {
        {kPageAccount, "main-account"}, {kPageShares, "main-shares"}, {kPageTransLog, "main-transfers"},
        {kPageSettings, "main-settings"}};
    for (const auto& [page, name] : pages) {
      // As a click on the page's button reaches the window.
      wxCommandEvent click(wxEVT_BUTTON, page);
      click.SetEventObject(main->PageButton(page));
      main->ProcessWindowEvent(click);
      Check(main, name, language);
      EXPECT_TRUE(main->PageButton(page)->HasFocus() || !main->PageButton(kPageAccount)->HasFocus())
          << name << ": another page's button keeps the focus";
    }
    main->OnSessionEnd();

    CSwitchAccountDlg question(nullptr);
    CheckShown(&question, "switch-account", language);

    desktop::CConnectDlg prompt(nullptr, MakeRequest(7, "Anna's phone", "home-wifi"));
    CheckShown(&prompt, "phone-prompt", language);

    const std::pair<HotspotStatus, const char*> hotspots[] = {
        {HotspotStatus::Ok, "hotspot"},
        {HotspotStatus::NoWifiAdapter, "hotspot-no-adapter"},
        {HotspotStatus::NoNetworkManager, "hotspot-cannot-host"},
        {HotspotStatus::Failed, "hotspot-failed"}};
    for (const auto& [status, name] : hotspots) {
      NoHotspot layer(status);
      auto* ap = new CApDlg(nullptr, &layer);
      ap->CentreOnScreen();
      ap->Show();
      PumpUntil([&] { return !ap->Working(); });
      Check(ap, name, language);
      delete ap;
    }

    CAboutDlg about(nullptr);
    CheckShown(&about, "about", language);

    CUpdateNoticeDlg notice(nullptr, L"9.0.0.1");
    notice.CentreOnScreen();
    notice.Show();
    // Its picture shows the site's banner once the page is in the view and laid out.
    if (CHtmlDlg* banner = notice.Banner()) {
      EXPECT_TRUE(PumpUntil([&] { return banner->Loads() > 0; }, std::chrono::seconds(20)));
      for (wxWindow* child : banner->GetChildren())
        if (auto* view = dynamic_cast<wxWebView*>(child))
          PumpUntil([&] { return !view->IsBusy(); }, std::chrono::seconds(20));
      PumpUntil([] { return false; }, std::chrono::milliseconds(500));
    }
    Check(&notice, "update-notice", language);
    notice.Hide();

    // The release notes show only as a modal dialog.
    CUpdateDlg notes(nullptr);
    notes.CentreOnScreen();
    wxTheApp->CallAfter([&] {
      EXPECT_TRUE(PumpUntil([&] { return notes.NotesShown(); }, std::chrono::seconds(10)));
      Check(&notes, "update-notes", language);
      if (notes.IsModal()) notes.EndModal(wxID_OK);
    });
    notes.ShowModal();

    FakeUIData wizardData;
    CWizardDlg wizard(nullptr, &wizardData);
    wizard.CentreOnScreen();
    wizard.Show();
    for (int step : {1, 2, 3}) {
      wizard.ShowStep(step);
      Check(&wizard, "wizard" + std::to_string(step), language);
    }
    wizard.Hide();

    CDiyMessageBox box(languages, languages->GetText("MESSAGEBOX", "MSGBOX_ONEMORESTART"),
                       languages->GetText("UI", "DIALOG_TITLE"), kMessageBoxYesNo);
    CheckShown(&box, "message-box", language);
  }
}

// --- the tray and the notifications, against xfce4-panel and xfce4-notifyd ---

std::string NotifyLog() {
  const char* path = std::getenv("QUARLO_NOTIFY_LOG");
  return path ? DesktopFolders::Read(path) : std::string();
}

std::string Utf8(const std::wstring& text) { return wxString(text.c_str()).ToStdString(wxConvUTF8); }

// A Notify call on the bus (as dbus-monitor prints it) with this summary and a body that holds
// bodyPart.
bool Notified(const std::wstring& summary, const std::wstring& bodyPart) {
  const std::string log = NotifyLog();
  std::size_t at = 0;
  while ((at = log.find("member=Notify", at)) != std::string::npos) {
    const std::size_t end = std::min(log.find("method call", at), log.size());
    const std::string call = log.substr(at, end - at);
    at = end;
    if (call.find("   string \"" + Utf8(summary) + "\"\n") != std::string::npos &&
        call.find(Utf8(bodyPart)) != std::string::npos)
      return true;
  }
  return false;
}

TEST_F(WmGui, BalloonsAndPhoneRequestsAreDesktopNotifications) {
  FakeUIData ui;
  ui.loaded = true;
  auto* main = new CSettingDlg(&ui, false);
  main->Initialize();
  // The network goes away: the balloon of that moment reaches the daemon with its text.
  main->Flow().OnNetworkDown();
  EXPECT_TRUE(PumpUntil([&] { return Notified(L"Quarlo", languages->GetText("MESSAGEBOX", "MSGBOX_ONNET")); },
                        std::chrono::seconds(10)))
      << NotifyLog();
  // A phone asks to connect (on the push reader's thread, as the service's question arrives).
  // The prompt opens too, in a modal loop of its own that runs this timer: once the
  // notification is out, the user refuses.
  bool prompted = false;
  wxTimer refuse;
  refuse.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    // The phone's name is plain text: the daemon reads markup, so it comes escaped.
    if (!Notified(languages->GetText("UI", "CONNECT_STATIC_TITLE"), L"Anna &lt;b&gt;phone&lt;/b&gt;")) return;
    for (wxWindow* w : wxTopLevelWindows)
      if (auto* p = dynamic_cast<desktop::CConnectDlg*>(w); p && p->IsShown()) {
        prompted = true;
        p->Close();
      }
  });
  refuse.Start(300);
  const desktop::MobileLoginRequest request = MakeRequest(0x51, "Anna <b>phone</b>", "home-wifi");
  std::thread reader([&] { main->OnMobileLoginRequest(&request); });
  EXPECT_TRUE(PumpUntil([&] { return prompted; }, std::chrono::seconds(20))) << NotifyLog();
  EXPECT_TRUE(Notified(languages->GetText("UI", "CONNECT_STATIC_TITLE"), L"home-wifi")) << NotifyLog();
  refuse.Stop();
  reader.join();
  main->OnSessionEnd();
  // The window goes at the next idle time: while `ui`, which it talks to, still lives.
  for (int i = 0; i < 3; ++i) wxTheApp->ProcessIdle();
}

// The item the panel shows for this process, as the watcher lists it ("" when none).
std::string OurTrayItem() {
  const std::string reply = Cmd({"dbus-send", "--session", "--print-reply", "--dest=org.kde.StatusNotifierWatcher",
                                 "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get",
                                 "string:org.kde.StatusNotifierWatcher", "string:RegisteredStatusNotifierItems"});
  std::smatch m;
  const std::regex item("string \"([^\"]+)\"");
  std::string last;
  for (auto it = std::sregex_iterator(reply.begin(), reply.end(), item); it != std::sregex_iterator(); ++it)
    last = (*it)[1];
  return last;
}

TEST_F(WmGui, TheTraysLeftClickWhileLoggedOffShowsTheLogInDialog) {
  FakeUIData ui;
  ui.loaded = true;
  auto* main = new CSettingDlg(&ui, false);
  main->Initialize();
  EXPECT_EQ(main->TrayIcon()->Kind(), TrayKind::StatusNotifier);
  std::string item;
  EXPECT_TRUE(PumpUntil([&] { return !(item = OurTrayItem()).empty(); }, std::chrono::seconds(10)));
  if (item.empty()) {
    main->OnSessionEnd();
    return;
  }
  PumpUntil([&] { return false; }, std::chrono::milliseconds(500));  // the first log-on step
  main->LoginDlg()->Hide();
  main->Hide();
  PumpUntil([&] { return false; }, std::chrono::milliseconds(300));
  EXPECT_FALSE(main->LoginDlg()->IsShown());
  // What the panel does on a left click of an item that is not only a menu.
  // The item answers on this thread's main loop: the questions come from another thread.
  auto ask = std::async(std::launch::async, [item] {
    return Cmd({"dbus-send", "--session", "--print-reply", "--dest=" + item.substr(0, item.find('/')),
                item.substr(item.find('/')), "org.freedesktop.DBus.Properties.Get",
                "string:org.kde.StatusNotifierItem", "string:ItemIsMenu"});
  });
  PumpUntil([&] { return ask.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; });
  const std::string props = ask.get();
  EXPECT_NE(props.find("boolean false"), std::string::npos) << "the panel would open the menu: " << item << " " << props;
  std::thread click([item] {
    Cmd({"dbus-send", "--session", "--print-reply", "--dest=" + item.substr(0, item.find('/')), item.substr(item.find('/')),
         "org.kde.StatusNotifierItem.Activate", "int32:10", "int32:10"});
  });
  EXPECT_TRUE(PumpUntil([&] { return main->LoginDlg()->IsShownOnScreen(); }, std::chrono::seconds(10)));
  click.join();
  main->OnSessionEnd();
}

}  // namespace
