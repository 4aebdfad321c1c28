#pragma once
// The registration dialog: e-mail, password twice and the licence box; one registration at a
// time runs on the dialog's background tasks, which hand its result to the main thread. A created account
// goes to the log-in dialog (through the hand-over function) and is logged on at once.
#include <functional>
#include <string>

#include "desktop/app/account/login_record.h"
#include "desktop/app/support/background_task.h"
#include "desktop/app/support/dialog_ui.h"
#include "desktop/foundation/diy_dialog.h"

class wxTextCtrl;
class CColorButton;
class CDiyStatic;
class CLinkButtonCtrl;

class CRegisterAccountDlg : public CDiyDialog {
 public:
  using Handover = std::function<void(const LoginRecord& record)>;
  // onRegistered gets the new account (e-mail in lower case, the typed password, remember 1);
  // onClosed shows the log-in dialog again.
  CRegisterAccountDlg(wxWindow* parent, Handover onRegistered, std::function<void()> onClosed);
  ~CRegisterAccountDlg() override;

  void OnBnClickedRegister();
  // Its owner goes: no hand-over any more, and a registration under way is given up.
  void Detach();
  void ShowInfo(const std::string& key);
  bool Busy() const { return m_busy; }
  wxString InfoText() const;
  const std::string& LastBalloonKey() const { return m_lastBalloon; }

  static constexpr int kEmailId = 1101, kPassId = 1121, kRepeatId = 1149, kLicenceId = 1152,
                       kLinkId = 1063, kInfoId = 1153, kRegisterId = 1135;

 protected:
  bool OnInitDialog() override;
  void ApplyLanguageTexts() override;
  void OnEnterKey() override { OnBnClickedRegister(); }
  void OnBnClickedClose() override;

 private:
  void ShowBalloon(wxWindow* edit, const std::string& key);
  void OnRegisterResult(int status, const std::string& email, const std::string& password);

  Handover m_onRegistered;
  std::function<void()> m_onClosed;
  wxTextCtrl* m_email = nullptr;
  wxTextCtrl* m_password = nullptr;
  wxTextCtrl* m_repeat = nullptr;
  CColorButton* m_licence = nullptr;
  CColorButton* m_register = nullptr;
  CLinkButtonCtrl* m_link = nullptr;
  CDiyStatic* m_labels[3] = {};
  CDiyStatic* m_info = nullptr;
  std::string m_infoKey = "REGACCOUNT_INFO_EMPTY";
  std::string m_lastBalloon;
  bool m_busy = false;  // main thread only
  CBackgroundTasks m_tasks;  // the registration's post
};
