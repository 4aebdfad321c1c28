#include "desktop/app/main_window/logon_flow.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/ui_config.h"
#include "desktop/foundation/ui_data.h"

namespace {

void CopyField(char (&out)[32], const char* text) {
  std::snprintf(out, sizeof out, "%s", text ? text : "");
}

}  // namespace

desktop::LoginRecord ToServiceRecord(const LoginRecord& record) {
  desktop::LoginRecord out{};
  CopyField(out.email, record.account);
  CopyField(out.password, record.password);
  out.valid = record.account[0] && record.password[0] ? 1 : 0;
  return out;
}

LoginRecord FromServiceRecord(const desktop::LoginRecord& record, int32_t remember) {
  LoginRecord out{};
  CopyField(out.account, record.email);
  CopyField(out.password, record.password);
  out.remember = remember;
  return out;
}

int AnimationFrameCount(TrayAnimation animation) {
  switch (animation) {
    case TrayAnimation::LoggingOn: return 4;
    case TrayAnimation::Transfers:
    case TrayAnimation::Downloads: return 3;
    case TrayAnimation::None: break;
  }
  return 0;
}

int AnimationFrameIcon(TrayAnimation animation, int frame, bool loggedOn) {
  static const int kLoggingOn[4] = {320, 349, 350, 0};
  static const int kTransfersOn[3] = {240, 241, 355};
  static const int kTransfersOff[3] = {242, 243, 353};
  static const int kDownloadsOn[3] = {313, 314, 356};
  static const int kDownloadsOff[3] = {315, 316, 354};
  const int count = AnimationFrameCount(animation);
  if (count == 0 || frame < 0) return 0;
  frame %= count;
  switch (animation) {
    case TrayAnimation::LoggingOn: return kLoggingOn[frame];
    case TrayAnimation::Transfers: return loggedOn ? kTransfersOn[frame] : kTransfersOff[frame];
    case TrayAnimation::Downloads: return loggedOn ? kDownloadsOn[frame] : kDownloadsOff[frame];
    case TrayAnimation::None: break;
  }
  return 0;
}

int PollBackOffMs(int n) {
  if (n < 1) return kPollMs;
  if (n >= 4) return kPollMaxBackOffMs;
  return std::min(kPollMs << n, kPollMaxBackOffMs);
}

std::wstring OtherErrorText(const std::wstring& other, int code) {
  wchar_t buffer[512];
  std::swprintf(buffer, sizeof buffer / sizeof buffer[0], L"%ls, code: %x", other.c_str(),
                static_cast<unsigned>(code));
  return buffer;
}

CLogOnFlow::CLogOnFlow(ILogOnView& view, ITimers& timers) : m_view(view), m_timers(timers) {}

void CLogOnFlow::SetServices(desktop::IUIData* uiData, ILanguages* languages) {
  m_uiData = uiData;
  m_languages = languages;
}

std::wstring CLogOnFlow::Text(const char* section, const char* key) const {
  return m_languages ? m_languages->GetText(section, key) : std::wstring();
}

int CLogOnFlow::StartLogOn() {
  if (!m_uiData) return 1;
  m_view.HideMainWindow();
  std::string folder;
  m_uiData->GetDefShare(folder);
  if (!folder.empty()) m_view.SetDataFolder(folder);
  desktop::LoginRecord service{};
  m_uiData->GetLogOnInfo(&service);
  const bool remembered = UiConfig::GetInstance()->ReadRemPass() != "false";
  if (!remembered) {
    service.email[0] = 0;
    m_uiData->LogOut();
    service = {};
    m_uiData->GetLogOnInfo(&service);
  }
  m_stored = FromServiceRecord(service, remembered ? 1 : 0);
  // What the service returns as password is its stored hash, never typed text.
  m_storedIsHash = m_stored.password[0] != 0;
  const size_t length = strnlen(m_stored.account, sizeof m_stored.account);
  if (length > 0 && length < sizeof m_stored.account) {
    m_view.SetAccountShown(m_stored.account);
    m_view.SetLoginDlgRecord(m_stored, m_storedIsHash);
    m_logOnState = 3;
    UpdateTrayState();
  } else {
    m_view.ShowLoginDlg(false);
    m_view.HideMainWindow();
  }
  m_timers.Start(TimerId::Poll, kPollMs);
  return 1;
}

void CLogOnFlow::OnLogin(LoginRecord* record, int hash) {
  if (!record || !record->account[0] || !record->password[0]) return;
  m_loggedOut = false;
  m_showErrors = true;
  m_logOnState = 3;
  m_view.SetAccountShown(record->account);
  UpdateTrayState();
  m_stored = *record;
  m_storedIsHash = hash == 0;
  if (!m_uiData) {
    m_view.HideMainWindow();
    return;
  }
  desktop::LoginRecord service = ToServiceRecord(m_stored);
  const int rc = m_uiData->LogOn(&service, hash);
  if (hash) {
    // The typed text is never kept: the caller's record and ours get the hash (or nothing
    // when it could not be made, and then nothing was sent).
    if (rc == 0) CopyField(m_stored.password, service.password);
    else m_stored.password[0] = 0;
    std::memcpy(record->password, m_stored.password, sizeof record->password);
    m_storedIsHash = rc == 0;
  }
  std::memset(&service, 0, sizeof service);
  m_view.HideLoginDlg();
  m_view.SetLoginDlgRecord(m_stored, m_storedIsHash);
  if (rc != 0) {
    m_showErrors = false;
    m_logOnState = 2;
    UpdateTrayState();
    m_view.ShowLoginDlg(false);
  }
}

void CLogOnFlow::OnLoginHashed(LoginRecord* record) {
  if (!record) return;
  LoginRecord copy{};
  CopyField(copy.account, record->account);
  CopyField(copy.password, record->password);
  copy.remember = record->remember;
  m_stored = copy;
  m_storedIsHash = true;
  OnLogin(&copy, 0);
}

void CLogOnFlow::LogOnStatusPollTimer() {
  if (!m_uiData || m_pollRunning) return;
  m_pollRunning = true;
  m_view.RunPoll([this](int status, int mobile) {
    m_pollRunning = false;
    OnPollResult(status, mobile);
  });
}

void CLogOnFlow::OnPollResult(int status, int mobile) {
  if (!m_uiData) return;
  if (status == -3 && m_logOnState == 3) {
    m_timers.Start(TimerId::Poll, kPollBusyMs);
    return;
  }
  // A service that is not there is asked less and less often, up to every 30 seconds.
  m_timers.Start(TimerId::Poll, status == -2 ? PollBackOffMs(m_backOff + 1) : kPollMs);
  if (status == 1) {
    // Errors are shown only for the log-on the user is waiting for; that one is over.
    m_showErrors = false;
    if (m_logOnState != 1 && !m_refreshDone) RefreshAfterLogOn();
  }
  if (m_logOnState != 1 && m_logOnState != 2 && m_logOnState != 3) {
    const uint64_t generation = m_pollGeneration;
    ShowLogOnError();
    // A tick that ran while the box was open learnt a newer state: keep it.
    if (m_pollGeneration != generation) return;
  }
  m_logOnState = status;
  m_mobileState = mobile;
  ++m_pollGeneration;
  m_backOff = status == -2 ? m_backOff + 1 : 0;
  UpdateTrayState();
}

void CLogOnFlow::ResetPollBackOff() {
  if (m_backOff == 0) return;
  m_backOff = 0;
  m_timers.Start(TimerId::Poll, kPollMs);
}

void CLogOnFlow::RefreshAfterLogOn() {
  if (!m_refreshDone && m_uiData) {
    m_refreshDone = true;
    m_view.RefreshLists();  // data folder, shares, transfer log: off the main thread
    m_loggedOut = false;
  }
  m_view.HideMainWindow();
}

void CLogOnFlow::ShowLogOnError() {
  if (m_errorShowing || !m_showErrors) return;
  m_errorShowing = true;
  const uint64_t generation = m_pollGeneration;
  const std::wstring title = Text("UI", "DIALOG_TITLE");
  const int state = m_logOnState;
  if (state == 5) {
    m_view.ShowBalloon(Text("MESSAGEBOX", "MSGBOX_CONNECTFAIL"), title);
  } else {
    if (state == 4) m_view.ShowMessage(Text("MESSAGEBOX", "MSGBOX_IDORPWERROR"), title);
    else if (state == 7) m_view.ShowMessage(Text("MESSAGEBOX", "MSGBOX_CONNECTFAIL"), title);
    else if (state > 0) m_view.ShowMessage(OtherErrorText(Text("MESSAGEBOX", "MSGBOX_OTHER"), state), title);
    m_view.HideMainWindow();
    if (state == 4) m_view.ClearLoginDlgPassword();
    m_view.ShowLoginDlg(false);
  }
  m_errorShowing = false;
  m_showErrors = false;
  if (m_pollGeneration == generation) {
    m_logOnState = 2;
    m_mobileState = 1;
  }
  UpdateTrayState();
}

void CLogOnFlow::OnNetworkDown() {
  if (!m_networkUp) return;
  m_networkUp = false;
  m_showErrors = false;
  m_logOnState = 2;
  UpdateTrayState();
  m_view.ShowBalloon(Text("MESSAGEBOX", "MSGBOX_ONNET"), L"Quarlo");
}

void CLogOnFlow::OnNetworkUp() {
  if (m_networkUp) return;
  m_networkUp = true;
  m_logOnState = 3;
  UpdateTrayState();
  LoginRecord record = m_stored;
  OnLogin(&record, 0);
}

void CLogOnFlow::OnTrayChangeAccount() {
  m_view.SetAccountPageFresh(false);
  // An account in use (logged on, or the service logging on with it) is logged out first.
  if ((m_logOnState == 1 || m_logOnState == 3) && !m_loggedOut && m_stored.account[0]) {
    if (!m_view.AskSwitchAccount()) return;
    m_stored.account[0] = 0;
    if (m_uiData) m_uiData->LogOut();
  }
  m_loggedOut = true;
  m_refreshDone = false;
  m_showErrors = false;
  UpdateTrayState();
  m_view.ClearShareList();
  m_view.HideMainWindow();
  m_view.ShowLoginDlg(true);
}

void CLogOnFlow::LogOutUnlessRemembered() {
  if (UiConfig::GetInstance()->ReadRemPass() != "false") return;
  m_stored.account[0] = 0;
  if (m_uiData) m_uiData->LogOut();
}

void CLogOnFlow::StartAnimation(TrayAnimation animation) {
  if (m_animation != animation) {
    m_animation = animation;
    m_frame = 0;
  }
  m_timers.Start(TimerId::TrayAnimation, kTrayAnimationMs);
}

void CLogOnFlow::StopAnimation() {
  m_timers.Stop(TimerId::TrayAnimation);
  m_animation = TrayAnimation::None;
  m_frame = 0;
}

void CLogOnFlow::UpdateTrayState() {
  const std::wstring tip = Text("UI", "DIALOG_TITLE");
  // No network, or no service that answers: the offline picture, whatever else was known.
  if (!m_networkUp || m_logOnState <= 0) {
    m_view.SetTrayIcon(kIconOffline, tip);
    StopAnimation();
    return;
  }
  switch (m_mobileState) {
    case 1: {
      bool animating = false;
      if (m_loggedOut) {
        m_view.SetTrayIcon(kIconOffline, tip);
      } else if (m_logOnState == 1) {
        m_view.SetTrayIcon(kIconOnline, tip);
      } else if (m_logOnState == 3) {
        StartAnimation(TrayAnimation::LoggingOn);
        animating = true;
      } else {
        m_view.SetTrayIcon(kIconOffline, tip);
      }
      if (!animating) StopAnimation();
      m_view.SetPhoneItem(false, Text("UI", "TRAYMENU_MOBILE_OUTLINE"));
      break;
    }
    case 2:
      m_view.SetTrayIcon(kIconPhoneIdle, tip);
      StopAnimation();
      m_view.SetPhoneItem(true, Text("UI", "TRAYMENU_MOBILE_ONLINE"));
      break;
    case 3:
      StartAnimation(TrayAnimation::Transfers);
      break;
    case 4:
      StartAnimation(TrayAnimation::Downloads);
      break;
    default:
      break;
  }
}

void CLogOnFlow::TrayAnimationTimer() {
  TrayAnimation animation = TrayAnimation::None;
  if (m_mobileState == 1 || m_mobileState == 2) animation = TrayAnimation::LoggingOn;
  else if (m_mobileState == 3) animation = TrayAnimation::Transfers;
  else if (m_mobileState == 4) animation = TrayAnimation::Downloads;
  if (animation == TrayAnimation::None) return;
  if (animation != m_animation) {
    m_animation = animation;
    m_frame = 0;
  }
  const int icon = AnimationFrameIcon(animation, m_frame, m_logOnState == 1);
  if (icon) m_view.SetTrayIcon(icon, animation == TrayAnimation::LoggingOn ? L"Quarlo" : L"");
  m_frame = (m_frame + 1) % AnimationFrameCount(animation);
}
