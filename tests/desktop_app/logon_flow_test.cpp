// The log-on flow's and the tray's decisions over fakes of the service client, the timers and
// the window: the real language files give the texts.
#include "desktop/app/main_window/logon_flow.h"

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/app/account/login_dlg.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/ui_config.h"
#include "desktop/foundation/ui_data.h"
#include "tests/desktop/desktop_test_support.h"

namespace {

class FakeUIData : public desktop::IUIData {
 public:
  int AddRef() override { return 1; }
  int Release() override { return 0; }
  void SetCallback(desktop::IUIDataCallBack*) override {}
  void ClearCallback() override {}
  int LogOn(desktop::LoginRecord* record, int hash) override {
    logOns.push_back({record->email, record->password, hash});
    if (hash) std::strcpy(record->password, "HASHofTYPEDpassword012");
    return 0;
  }
  int LogOut() override {
    ++logOuts;
    account.clear();
    password.clear();
    return 0;
  }
  int GetLogOnInfo(desktop::LoginRecord* record) override {
    std::memset(record, 0, sizeof *record);
    std::snprintf(record->email, sizeof record->email, "%s", account.c_str());
    std::snprintf(record->password, sizeof record->password, "%s", password.c_str());
    return 0;
  }
  int GetDefShare(std::string& folder) override {
    folder = "/home/me/Quarlo";
    return 0;
  }
  int SetDefShare(const std::string&) override { return 0; }
  int GetShare() override { return ++shareRequests; }
  int SetShare(const std::vector<std::string>*, const std::vector<std::string>*) override { return 0; }
  int GetLogOnStatus() override { return 0; }
  int GetMobileState() override { return 0; }
  int SetServerAddr(const std::string&) override { return 0; }
  int GetTransLog() override { return 0; }
  int GetPath(const std::string&) override { return 0; }
  int GetSysType() override { return 2; }
  int AnswerMobileLogin(const desktop::MobileLoginAnswer*) override { return 0; }
  int SetPwd(const std::string&) override { return 0; }
  int GetPwd(std::string&) override { return 0; }
  int RefreshDataFolder() override { return 0; }

  struct LogOnCall {
    std::string account, password;
    int hash;
  };
  std::vector<LogOnCall> logOns;
  int logOuts = 0;
  int shareRequests = 0;
  std::string account = "me@quarlo.local", password = "STOREDhashSTOREDhash01";
};

class FakeTimers : public ITimers {
 public:
  void Start(TimerId timer, int periodMs) override { periods[timer] = periodMs; }
  void Stop(TimerId timer) override { periods.erase(timer); }
  bool Running(TimerId timer) const override { return periods.count(timer) != 0; }
  int Period(TimerId timer) const {
    auto it = periods.find(timer);
    return it == periods.end() ? 0 : it->second;
  }
  std::map<TimerId, int> periods;
};

class FakeView : public ILogOnView {
 public:
  void HideMainWindow() override { ++mainHidden; }
  void ShowLoginDlg(bool restoreHints) override {
    ++loginShown;
    hintsRestored = restoreHints;
  }
  void HideLoginDlg() override { ++loginHidden; }
  void SetLoginDlgRecord(const LoginRecord& record, bool isHash) override {
    dialogRecord = record;
    dialogIsHash = isHash;
  }
  void ClearLoginDlgPassword() override { ++passwordCleared; }
  void SetAccountShown(const std::string& account) override { shownAccount = account; }
  int ShowMessage(const std::wstring& text, const std::wstring&) override {
    messages.push_back(text);
    if (duringMessage) duringMessage();
    return 1;
  }
  void ShowBalloon(const std::wstring& text, const std::wstring& title) override {
    balloons.push_back(text);
    balloonTitle = title;
  }
  void SetTrayIcon(int icon, const std::wstring& newTip) override {
    icons.push_back(icon);
    if (!newTip.empty()) tip = newTip;
  }
  void SetPhoneItem(bool online, const std::wstring& text) override {
    phoneOnline = online;
    phoneText = text;
  }
  void SetDataFolder(const std::string& folder) override { dataFolder = folder; }
  void ClearShareList() override { ++shareListCleared; }
  void SetAccountPageFresh(bool) override {}
  bool AskSwitchAccount() override {
    ++asked;
    return answer;
  }
  void RunPoll(std::function<void(int, int)> done) override { done(nextStatus, nextMobile); }
  void RefreshLists() override {
    ++refreshes;
    if (refresh) refresh();
  }
  int refreshes = 0;
  std::function<void()> refresh;

  int Icon() const { return icons.empty() ? 0 : icons.back(); }
  int mainHidden = 0, loginShown = 0, loginHidden = 0, passwordCleared = 0, shareListCleared = 0;
  int asked = 0;
  bool answer = true, hintsRestored = false, phoneOnline = false, dialogIsHash = false;
  LoginRecord dialogRecord{};
  std::string shownAccount, dataFolder;
  std::vector<std::wstring> messages, balloons;
  std::wstring balloonTitle, tip, phoneText;
  std::vector<int> icons;
  std::function<void()> duringMessage;
  int nextStatus = 1, nextMobile = 1;
};

LoginRecord Typed(const char* account, const char* password, int remember = 1) {
  LoginRecord r{};
  std::snprintf(r.account, sizeof r.account, "%s", account);
  std::snprintf(r.password, sizeof r.password, "%s", password);
  r.remember = remember;
  return r;
}

// One flow over its own fakes.
struct Rig {
  explicit Rig(ILanguages* languages) { flow.SetServices(&ui, languages); }
  void Poll(int status, int mobile = 1) {
    view.nextStatus = status;
    view.nextMobile = mobile;
    flow.LogOnStatusPollTimer();
  }
  // Logged on as the service reports it, after a start with a remembered account.
  void StartLoggedOn(int mobile = 1) {
    flow.StartLogOn();
    Poll(1, mobile);
  }
  FakeUIData ui;
  FakeTimers timers;
  FakeView view;
  CLogOnFlow flow{view, timers};
};

// The language files beside the program, a remembered password in the settings.
ILanguages* LoadLanguages(const DesktopFolders& folders) {
  for (int id : {0, 1, 2})
    std::filesystem::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                               folders.Program() + "/" + LanguageFileName(id));
  std::filesystem::create_directories(folders.UserDir());
  UiConfig::GetInstance()->WriteRemPass("true", true);
  return CLanguages::GetInstance();
}

class LogOnFlow : public ::testing::Test {
 protected:
  ~LogOnFlow() override {
    rig.reset();
    languages->Release();
  }
  std::wstring Text(const char* section, const char* key) { return languages->GetText(section, key); }
  void Poll(int status, int mobile = 1) { rig->Poll(status, mobile); }
  void StartLoggedOn(int mobile = 1) { rig->StartLoggedOn(mobile); }

  DesktopFolders folders;
  ILanguages* languages = LoadLanguages(folders);
  std::unique_ptr<Rig> rig{new Rig(languages)};
  FakeUIData& ui = rig->ui;
  FakeTimers& timers = rig->timers;
  FakeView& view = rig->view;
  CLogOnFlow& flow = rig->flow;
};

TEST_F(LogOnFlow, TrayIconOfEachState) {
  struct Row {
    const char* name;
    std::function<void(Rig&)> drive;
    int icon;  // 0: no still picture expected
    bool animating;
  };
  const std::vector<Row> rows = {
      {"logged on, no phone", [](Rig& r) { r.StartLoggedOn(1); }, kIconOnline, false},
      {"phone linked and idle", [](Rig& r) { r.StartLoggedOn(2); }, kIconPhoneIdle, false},
      {"not logged on", [](Rig& r) { r.Poll(2, 1); }, kIconOffline, false},
      {"service absent", [](Rig& r) { r.StartLoggedOn(3); r.Poll(-2, 0); }, kIconOffline, false},
      {"no usable answer", [](Rig& r) { r.StartLoggedOn(3); r.Poll(0, 0); }, kIconOffline, false},
      {"network down", [](Rig& r) { r.StartLoggedOn(3); r.flow.OnNetworkDown(); }, kIconOffline, false},
      {"logged out by a switch", [](Rig& r) { r.StartLoggedOn(1); r.flow.OnTrayChangeAccount(); }, kIconOffline, false},
      {"logging on", [](Rig& r) { r.flow.StartLogOn(); }, 0, true},
      {"transfers", [](Rig& r) { r.StartLoggedOn(3); }, 0, true},
      {"downloads", [](Rig& r) { r.StartLoggedOn(4); }, 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig r(languages);
    row.drive(r);
    if (row.icon) {
      EXPECT_EQ(r.view.Icon(), row.icon);
    }
    EXPECT_EQ(r.timers.Running(TimerId::TrayAnimation), row.animating);
    if (row.animating) {
      EXPECT_EQ(r.timers.Period(TimerId::TrayAnimation), kTrayAnimationMs);
    }
  }
}

TEST_F(LogOnFlow, AnimationsCycleTheirOwnFrames) {
  flow.StartLogOn();  // the service logs on with its stored account: state 3
  std::vector<int> seen;
  for (int i = 0; i < 5; ++i) {
    view.icons.clear();
    flow.TrayAnimationTimer();
    seen.push_back(view.Icon());
  }
  EXPECT_EQ(seen, (std::vector<int>{320, 349, 350, 0, 320}));  // the fourth step holds 350
  // A phone opens a transfer at step 1 of the 4-step cycle: the 3-step cycle starts at its own
  // first frame and never runs past its last.
  Poll(1, 3);
  seen.clear();
  for (int i = 0; i < 4; ++i) {
    flow.TrayAnimationTimer();
    seen.push_back(view.Icon());
  }
  EXPECT_EQ(seen, (std::vector<int>{240, 241, 355, 240}));
  Poll(2, 4);
  seen.clear();
  for (int i = 0; i < 3; ++i) {
    flow.TrayAnimationTimer();
    seen.push_back(view.Icon());
  }
  EXPECT_EQ(seen, (std::vector<int>{315, 316, 354}));  // downloads, not logged on
  Poll(1, 2);
  EXPECT_EQ(view.Icon(), kIconPhoneIdle);
  EXPECT_EQ(view.tip, Text("UI", "DIALOG_TITLE"));
  EXPECT_FALSE(timers.Running(TimerId::TrayAnimation));
  EXPECT_TRUE(view.phoneOnline);
  EXPECT_EQ(view.phoneText, Text("UI", "TRAYMENU_MOBILE_ONLINE"));
}

TEST_F(LogOnFlow, WrongPasswordShowsOneBoxOnTheNextTickAndTheLogInDialog) {
  ui.account.clear();
  ui.password.clear();
  flow.StartLogOn();
  EXPECT_EQ(view.loginShown, 1);
  LoginRecord typed = Typed("me@quarlo.local", "secret1");
  flow.OnLogin(&typed, 1);
  EXPECT_EQ(flow.LogOnState(), 3);
  Poll(4);
  EXPECT_TRUE(view.messages.empty());  // the error is reported on the tick after
  Poll(4);
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0], Text("MESSAGEBOX", "MSGBOX_IDORPWERROR"));
  EXPECT_EQ(view.passwordCleared, 1);
  EXPECT_EQ(view.loginShown, 2);
  Poll(4);
  Poll(4);
  EXPECT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(flow.LogOnState(), 4);
}

TEST_F(LogOnFlow, ServiceCodesAndTheirMessages) {
  struct Row {
    int status;
    std::wstring message;  // empty: none
    bool balloon;
  };
  const std::vector<Row> rows = {
      {0x100C, Text("MESSAGEBOX", "MSGBOX_OTHER") + L", code: 100c", false},
      {7, Text("MESSAGEBOX", "MSGBOX_CONNECTFAIL"), false},
      {5, L"", true},
      {-2, L"", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status);
    Rig r(languages);
    LoginRecord typed = Typed("me@quarlo.local", "secret1");
    r.flow.OnLogin(&typed, 1);
    r.Poll(row.status);
    r.Poll(row.status);
    if (row.message.empty()) {
      EXPECT_TRUE(r.view.messages.empty());
    } else {
      ASSERT_EQ(r.view.messages.size(), 1u);
      EXPECT_EQ(r.view.messages[0], row.message);
    }
    EXPECT_EQ(r.view.balloons.size(), row.balloon ? 1u : 0u);
    // A balloon leaves the windows; every other outcome brings the log-in dialog back.
    EXPECT_EQ(r.view.loginShown, row.balloon ? 0 : 1);
  }
  EXPECT_EQ(OtherErrorText(L"failed", 0x100C), L"failed, code: 100c");
}

TEST_F(LogOnFlow, ALogOnTheServiceStartedItselfNeverShowsAnError) {
  flow.StartLogOn();
  EXPECT_EQ(flow.LogOnState(), 3);
  for (int i = 0; i < 4; ++i) Poll(4);
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(LogOnFlow, ErrorsStopOnceATickReadsLoggedOn) {
  LoginRecord typed = Typed("me@quarlo.local", "secret1");
  flow.OnLogin(&typed, 1);
  Poll(1);
  EXPECT_EQ(view.refreshes, 1);  // refreshed once
  // A second log-on request while the lists are fresh: the tick that reads 1 still ends the
  // wait for errors, so a later failure of the service pops no box.
  flow.OnLogin(&typed, 0);
  Poll(1);
  EXPECT_FALSE(flow.ShowErrors());
  Poll(4);
  Poll(4);
  EXPECT_TRUE(view.messages.empty());
  EXPECT_EQ(view.refreshes, 1);
}

TEST_F(LogOnFlow, StateLearntWhileTheBoxIsOpenIsKept) {
  LoginRecord typed = Typed("me@quarlo.local", "secret1");
  flow.OnLogin(&typed, 1);
  Poll(4);
  // While the box is open the next tick finds the service logged on with a phone.
  view.duringMessage = [this] {
    view.duringMessage = nullptr;
    Poll(1, 2);
  };
  Poll(4);
  EXPECT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(flow.LogOnState(), 1);
  EXPECT_EQ(flow.MobileState(), 2);
  EXPECT_EQ(view.Icon(), kIconPhoneIdle);
}

TEST_F(LogOnFlow, PollPeriods) {
  flow.StartLogOn();
  EXPECT_EQ(timers.Period(TimerId::Poll), kPollMs);
  Poll(-3);  // busy logging on: one 5-second tick, nothing else changes
  EXPECT_EQ(timers.Period(TimerId::Poll), kPollBusyMs);
  EXPECT_EQ(flow.LogOnState(), 3);
  Poll(1);
  EXPECT_EQ(timers.Period(TimerId::Poll), kPollMs);
  // An absent service is asked less and less often, never less than every 30 seconds.
  std::vector<int> periods;
  for (int i = 0; i < 6; ++i) {
    Poll(-2, 0);
    periods.push_back(timers.Period(TimerId::Poll));
  }
  EXPECT_EQ(periods, (std::vector<int>{4000, 8000, 16000, 30000, 30000, 30000}));
  Poll(1);
  EXPECT_EQ(timers.Period(TimerId::Poll), kPollMs);
  EXPECT_EQ(flow.BackOff(), 0);
  // The watchdog brought the service back: the poll returns to 2 seconds at once.
  Poll(-2, 0);
  flow.ResetPollBackOff();
  EXPECT_EQ(timers.Period(TimerId::Poll), kPollMs);
}

TEST_F(LogOnFlow, NetworkLossReportedEverySecondGivesOneNotificationAndOneLogOnBack) {
  StartLoggedOn();
  for (int i = 0; i < 5; ++i) flow.OnNetworkDown();
  ASSERT_EQ(view.balloons.size(), 1u);
  EXPECT_EQ(view.balloons[0], Text("MESSAGEBOX", "MSGBOX_ONNET"));
  EXPECT_EQ(view.balloonTitle, L"Quarlo");
  EXPECT_EQ(flow.LogOnState(), 2);
  EXPECT_EQ(view.Icon(), kIconOffline);
  for (int i = 0; i < 3; ++i) flow.OnNetworkUp();
  ASSERT_EQ(ui.logOns.size(), 1u);
  EXPECT_EQ(ui.logOns[0].account, "me@quarlo.local");
  EXPECT_EQ(ui.logOns[0].password, "STOREDhashSTOREDhash01");  // the stored hash, as is
  EXPECT_EQ(ui.logOns[0].hash, 0);
  EXPECT_TRUE(flow.ShowErrors());
}

TEST_F(LogOnFlow, RememberOnAndOff) {
  // Remembered: the service keeps its account; the dialog gets it with the hash flagged.
  flow.StartLogOn();
  EXPECT_EQ(ui.logOuts, 0);
  EXPECT_EQ(flow.LogOnState(), 3);
  EXPECT_STREQ(view.dialogRecord.account, "me@quarlo.local");
  EXPECT_TRUE(view.dialogIsHash);
  EXPECT_EQ(view.shownAccount, "me@quarlo.local");
  flow.LogOutUnlessRemembered();
  EXPECT_EQ(ui.logOuts, 0);

  // Not remembered: the start logs the account out and asks for one.
  UiConfig::GetInstance()->WriteRemPass("false", true);
  FakeUIData other;
  FakeView otherView;
  FakeTimers otherTimers;
  CLogOnFlow start(otherView, otherTimers);
  start.SetServices(&other, languages);
  start.StartLogOn();
  EXPECT_EQ(other.logOuts, 1);
  EXPECT_EQ(otherView.loginShown, 1);
  EXPECT_EQ(start.LogOnState(), 2);
  LoginRecord typed = Typed("me@quarlo.local", "secret1", 0);
  start.OnLogin(&typed, 1);
  start.LogOutUnlessRemembered();  // the exit sequence
  EXPECT_EQ(other.logOuts, 2);
}

TEST_F(LogOnFlow, TypedPasswordsAreHashedAndNeverKept) {
  LoginRecord typed = Typed("me@quarlo.local", "secret1");
  flow.OnLogin(&typed, 1);
  ASSERT_EQ(ui.logOns.size(), 1u);
  EXPECT_EQ(ui.logOns[0].hash, 1);
  EXPECT_STREQ(typed.password, "HASHofTYPEDpassword012");  // the caller's record gets the hash
  EXPECT_STREQ(flow.StoredRecord().password, "HASHofTYPEDpassword012");
  EXPECT_TRUE(view.dialogIsHash);
  EXPECT_EQ(view.loginHidden, 1);
  LoginRecord hashed = Typed("me@quarlo.local", "HASHofTYPEDpassword012");
  flow.OnLoginHashed(&hashed);
  ASSERT_EQ(ui.logOns.size(), 2u);
  EXPECT_EQ(ui.logOns[1].hash, 0);
  EXPECT_EQ(ui.logOns[1].password, "HASHofTYPEDpassword012");
  // Nothing to send without an account or a password.
  LoginRecord empty = Typed("", "secret1");
  flow.OnLogin(&empty, 1);
  EXPECT_EQ(ui.logOns.size(), 2u);
}

TEST_F(LogOnFlow, SwitchAccountAsksOnlyWhileLoggedOn) {
  StartLoggedOn();
  EXPECT_TRUE(flow.UsesLoggedOnMenu());
  view.answer = false;
  flow.OnTrayChangeAccount();
  EXPECT_EQ(view.asked, 1);
  EXPECT_EQ(ui.logOuts, 0);
  EXPECT_FALSE(flow.LoggedOut());
  EXPECT_EQ(view.loginShown, 0);

  view.answer = true;
  flow.OnTrayChangeAccount();
  EXPECT_EQ(view.asked, 2);
  EXPECT_EQ(ui.logOuts, 1);  // logged out before the log-in dialog shows
  EXPECT_TRUE(flow.LoggedOut());
  EXPECT_FALSE(flow.UsesLoggedOnMenu());
  EXPECT_EQ(view.shareListCleared, 1);
  EXPECT_EQ(view.loginShown, 1);
  EXPECT_TRUE(view.hintsRestored);

  // Logged out already: no question, the dialog at once.
  flow.OnTrayChangeAccount();
  EXPECT_EQ(view.asked, 2);
  EXPECT_EQ(view.loginShown, 2);
}

// The log-in dialog takes 31 characters, the most the 32-byte field holds with its zero: such
// an account is one, and the service logs on with it by itself.
TEST_F(LogOnFlow, AnAccountOfThirtyOneCharactersCountsAsAnAccount) {
  ui.account = std::string(19, 'a') + "@example.com";
  ASSERT_EQ(ui.account.size(), 31u);
  flow.StartLogOn();
  EXPECT_EQ(view.loginShown, 0);
  EXPECT_EQ(flow.LogOnState(), 3);
  EXPECT_EQ(view.shownAccount, ui.account);
  EXPECT_EQ(view.dialogRecord.account, ui.account);
}

TEST_F(LogOnFlow, NoAccountShowsTheLogInDialog) {
  ui.account.clear();
  flow.StartLogOn();
  EXPECT_EQ(view.loginShown, 1);
  EXPECT_EQ(flow.LogOnState(), 2);
}

TEST(LoginChecks, ForbiddenCharactersAndPasswords) {
  for (const char* bad : {"a'b", "a;b", "a\"b", "a=b", "a`b", "a*b", "a%b", "a$b", "a^b", "a&b",
                          "a<b", "a>b", "a{b", "a}b", "a[b", "a]b"})
    EXPECT_EQ(CheckForbiddenChars(bad), 0) << bad;
  EXPECT_EQ(CheckForbiddenChars("with blanks ok"), 1);
  struct Row {
    std::string password;
    bool ok;
  };
  const std::vector<Row> rows = {
      {"12345", false},           {"123456", true},          {"abc def", true},
      {"sixteen_chars_16", true}, {"seventeen_chars17", false}, {"pass&word", false},
      {"\xE5\xAF\x86\xE7\xA0\x81\xE5\xAF\x86\xE7\xA0\x81\xE5\xAF\x86\xE7\xA0\x81", false},  // 6 CJK characters
      {"tab\there", false},
  };
  for (const Row& row : rows) EXPECT_EQ(IsAcceptablePassword(row.password), row.ok) << row.password;
}

}  // namespace
