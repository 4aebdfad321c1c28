#pragma once
// The phone connection prompt: a small modal skinned dialog that names the phone's sender and
// network and lets the user allow or refuse it. Every way of ending gives the callback exactly
// one answer (Allow and Enter 1; Refuse, Escape, the close button and the time limit 0), the
// request id byte for byte as it came; Dismiss ends it without one (answered elsewhere).
#include <wx/timer.h>

#include "desktop/foundation/diy_dialog.h"
#include "desktop/foundation/ui_data.h"

class CColorButton;
class CDiyStatic;

namespace desktop {

class IConnectDlgCallBack {
 public:
  virtual ~IConnectDlgCallBack() = default;
  virtual void OnMobileLoginAnswer(const MobileLoginAnswer* answer) = 0;
};

class CConnectDlg : public CDiyDialog {
 public:
  static constexpr int kTitleId = 1103, kSenderId = 1104, kNetworkId = 1105, kOtherId = 1106;
  CConnectDlg(wxWindow* parent, const MobileLoginRequest& request);
  ~CConnectDlg() override;

  void SetCallback(IConnectDlgCallBack* callback) { m_callback = callback; }
  // Refuses and ends once seconds have passed without a decision (at least one second).
  void SetTimeLimit(int seconds);
  void Dismiss();
  bool Answered() const { return m_answered; }
  const MobileLoginRequest& Request() const { return m_request; }
  // The texts as shown, for tests.
  wxString TextOf(int id) const;

 protected:
  bool OnInitDialog() override;
  void OnMinimize() override {}
  void ApplyLanguageTexts() override;

 private:
  void Decide(bool accept, int code);

  IConnectDlgCallBack* m_callback = nullptr;
  MobileLoginRequest m_request;
  bool m_answered = false;
  wxTimer m_limit;
  CColorButton* m_ok = nullptr;
  CColorButton* m_cancel = nullptr;
  CDiyStatic* m_title = nullptr;
  CDiyStatic* m_sender = nullptr;
  CDiyStatic* m_network = nullptr;
  CDiyStatic* m_other = nullptr;
};

}  // namespace desktop
