#pragma once
// The log-in dialog: e-mail and password of the service account, the remember-password box,
// the register and forgot-password links. Modeless, created hidden by the main window and
// kept for the program's life; Enter logs in and never closes it, closing only hides it.
// What was typed is checked here and handed on as a LoginRecord (login_record.h).
#include <string>

#include "desktop/app/account/login_record.h"
#include "desktop/foundation/diy_dialog.h"

class wxTextCtrl;
class CColorButton;
class CDiyStatic;
class CLinkButtonCtrl;

// 1 when text holds none of ' ; " = ` * % $ ^ & < > { } [ ], else 0.
int CheckForbiddenChars(const std::string& text);
// A typed password the service can take: printable ASCII, 6 to 16 characters, none forbidden.
bool IsAcceptablePassword(const std::string& text);
// A short note pointing at the edit (the balloon of the text field).
void ShowEditBalloonTip(int icon, wxWindow* edit, const std::wstring& text);

constexpr int kAccountEdit = 1004;
constexpr int kPasswordEdit = 1005;
constexpr int kForgotLink = 1007;
constexpr int kRememberBox = 1008;
constexpr int kLoginButton = 1091;
constexpr int kRegisterLink = 1135;

class CLoginDlg : public CDiyDialog {
 public:
  CLoginDlg();
  ~CLoginDlg() override;

  void SetCallback(ICLoginDlgCallback* callback) { m_callback = callback; }
  // Shows the record in the fields. passwordIsHash: its password is the service's stored
  // hash (sent as is), not typed text.
  void SetLoginRecord(const LoginRecord* record, bool passwordIsHash);
  void ClearPassword();
  void OnEnSetfocusAccount();
  void OnEnKillfocusAccount();
  void OnEnSetfocusPassword();
  void OnEnKillfocusPassword();
  void OnEnChangeAccount();
  // The log-in action (button, Enter, a registered account).
  void OnBnClickedLogin();
  void OnBnClickedRegister();
  // From the registration dialog: log in with the account just made.
  void OnAccountRegistered(const LoginRecord* record);

  const LoginRecord& RememberedRecord() const { return m_remembered; }
  bool PasswordIsHash() const { return m_passwordIsHash; }
  const std::string& AccountText() const { return m_accountText; }
  wxTextCtrl* AccountEdit() const { return m_accountEdit; }
  wxTextCtrl* PasswordEdit() const { return m_passwordEdit; }
  CColorButton* RememberBox() const { return m_remember; }
  // The last note shown by a check (tests read it).
  const std::wstring& LastNote() const { return m_lastNote; }

 protected:
  bool OnInitDialog() override;
  void ApplyLanguageTexts() override;
  void OnEnterKey() override { OnBnClickedLogin(); }

 private:
  std::wstring Text(const char* section, const char* key) const;
  void Note(wxWindow* edit, const std::wstring& text);
  void PullFields();  // the fields into the members (once the controls exist)
  void PushFields();  // the members into the fields
  void Masked(bool masked);

  ICLoginDlgCallback* m_callback = nullptr;
  wxDialog* m_registerDlg = nullptr;
  LoginRecord m_pendingRecord{};  // a newly registered account on its way to the log-in
  wxTextCtrl* m_accountEdit = nullptr;
  wxTextCtrl* m_passwordEdit = nullptr;
  CColorButton* m_remember = nullptr;
  CColorButton* m_login = nullptr;
  CLinkButtonCtrl* m_register = nullptr;
  CLinkButtonCtrl* m_forgot = nullptr;
  CDiyStatic* m_status = nullptr;
  CDiyStatic* m_accountLabel = nullptr;
  CDiyStatic* m_passwordLabel = nullptr;
  std::string m_accountText, m_passwordText;  // UTF-8
  bool m_rememberOn = true;
  LoginRecord m_remembered{};
  bool m_rememberedIsHash = false;
  bool m_passwordIsHash = false;  // the password field holds the stored hash
  bool m_settingText = false;     // the fields are being filled, not typed in
  std::wstring m_lastNote;
};
