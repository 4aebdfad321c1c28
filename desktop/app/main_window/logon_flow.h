#pragma once
// The main window's picture of the account and the tray's state: the first log-on step, the
// log-on request, the 2-second poll of the service, the errors it reports, network loss and
// return, the account switch, and which tray icon, animation and phone item show. No widget
// here: the window is reached through ILogOnView and its timers through ITimers, so the
// decisions run in tests without a display.
#include <cstdint>
#include <functional>
#include <string>

#include "desktop/app/account/login_record.h"

class ILanguages;
namespace desktop { class IUIData; }

enum class TimerId { Poll = 0, RequestAge = 1, TrayAnimation = 2, Watchdog = 3 };

class ITimers {
 public:
  virtual ~ITimers() = default;
  // (Re-)arms the timer: a running one is replaced, never doubled.
  virtual void Start(TimerId timer, int periodMs) = 0;
  virtual void Stop(TimerId timer) = 0;
  virtual bool Running(TimerId timer) const = 0;
};

class ILogOnView {
 public:
  virtual ~ILogOnView() = default;
  virtual void HideMainWindow() = 0;
  // Shows the log-in dialog in front; restoreHints first puts the empty fields' hints back.
  virtual void ShowLoginDlg(bool restoreHints) = 0;
  virtual void HideLoginDlg() = 0;
  virtual void SetLoginDlgRecord(const LoginRecord& record, bool passwordIsHash) = 0;
  virtual void ClearLoginDlgPassword() = 0;
  // The caption and the account line for this account ("" none).
  virtual void SetAccountShown(const std::string& account) = 0;
  virtual int ShowMessage(const std::wstring& text, const std::wstring& title) = 0;  // modal
  virtual void ShowBalloon(const std::wstring& text, const std::wstring& title) = 0;
  virtual void SetTrayIcon(int icon, const std::wstring& tip) = 0;  // empty tip: unchanged
  virtual void SetPhoneItem(bool online, const std::wstring& text) = 0;
  virtual void SetDataFolder(const std::string& folder) = 0;
  virtual void ClearShareList() = 0;
  virtual void SetAccountPageFresh(bool fresh) = 0;
  virtual bool AskSwitchAccount() = 0;  // the switch-account question; true for OK
  // Reads the log-on status and the phone state off the main thread and calls done with
  // them on the main thread (tests call it at once).
  virtual void RunPoll(std::function<void(int status, int mobile)> done) = 0;
  // After a log-on: reads the data folder, the shares and the transfer log off the main thread
  // and fills the window's lists with them on the main thread.
  virtual void RefreshLists() = 0;
};

// Tray pictures.
constexpr int kIconOffline = 174;
constexpr int kIconOnline = 368;
constexpr int kIconPhoneIdle = 239;
constexpr int kTrayAnimationMs = 150;
constexpr int kPollMs = 2000;
constexpr int kPollBusyMs = 5000;
constexpr int kPollMaxBackOffMs = 30000;

enum class TrayAnimation { None, LoggingOn, Transfers, Downloads };
// The picture of one animation step; 0 means the step changes nothing.
int AnimationFrameIcon(TrayAnimation animation, int frame, bool loggedOn);
int AnimationFrameCount(TrayAnimation animation);
// The poll period after n ticks in a row that found no service (n >= 1).
int PollBackOffMs(int n);
// "MSGBOX_OTHER" text, a comma, " code: " and the code in lower-case hexadecimal.
std::wstring OtherErrorText(const std::wstring& other, int code);

class CLogOnFlow {
 public:
  CLogOnFlow(ILogOnView& view, ITimers& timers);
  void SetServices(desktop::IUIData* uiData, ILanguages* languages);

  // The first step after start (the service logs on with its stored account by itself).
  int StartLogOn();
  // A log-on request (hash 1: typed password, hashed here and written back into record).
  void OnLogin(LoginRecord* record, int hash);
  void OnLoginHashed(LoginRecord* record);
  // The poll timer's procedure: one tick (the requests run off the main thread).
  void LogOnStatusPollTimer();
  void OnPollResult(int status, int mobile);
  void RefreshAfterLogOn();
  void ShowLogOnError();
  void OnNetworkDown();
  void OnNetworkUp();
  void OnTrayChangeAccount();
  void UpdateTrayState();
  // The animation timer's procedure: one step of the running animation.
  void TrayAnimationTimer();
  // The exit sequence's account part: with RemPass "false" the account is logged out.
  void LogOutUnlessRemembered();

  int LogOnState() const { return m_logOnState; }
  int MobileState() const { return m_mobileState; }
  void SetMobileState(int state) { m_mobileState = state; }
  bool LoggedOut() const { return m_loggedOut; }
  bool NetworkUp() const { return m_networkUp; }
  bool ShowErrors() const { return m_showErrors; }
  bool RefreshDone() const { return m_refreshDone; }
  int BackOff() const { return m_backOff; }
  // The tray shows the logged-on menu (with the switch-account item).
  bool UsesLoggedOnMenu() const { return m_logOnState == 1 && !m_loggedOut; }
  // Whether an account is logged on (asked before switching).
  bool IsLoggedOn() const { return m_logOnState == 1 && !m_loggedOut; }
  const LoginRecord& StoredRecord() const { return m_stored; }
  // The service is back (the watchdog restarted it): the poll returns to 2 seconds.
  void ResetPollBackOff();

 private:
  std::wstring Text(const char* section, const char* key) const;
  void StartAnimation(TrayAnimation animation);
  void StopAnimation();

  ILogOnView& m_view;
  ITimers& m_timers;
  desktop::IUIData* m_uiData = nullptr;
  ILanguages* m_languages = nullptr;
  int m_logOnState = 2;
  int m_mobileState = 1;
  bool m_loggedOut = false;
  bool m_networkUp = true;
  bool m_refreshDone = false;
  bool m_showErrors = false;
  bool m_errorShowing = false;  // re-entry guard of ShowLogOnError
  int m_backOff = 0;
  bool m_pollRunning = false;  // a poll's requests are on their way
  uint64_t m_pollGeneration = 0;  // counts applied poll results
  LoginRecord m_stored{};
  bool m_storedIsHash = false;
  TrayAnimation m_animation = TrayAnimation::None;
  int m_frame = 0;
};
