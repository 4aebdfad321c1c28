#include "desktop/app/account/login_dlg.h"

#include <gtk/gtk.h>
#include <wx/richtooltip.h>
#include <wx/textctrl.h>

#include <cctype>
#include <cstring>

#include "desktop/app/account/register_account_dlg.h"
#include "desktop/app/site/web_pages.h"
#include "desktop/foundation/diy_message_box.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_image.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/ui_config.h"

namespace {

constexpr char kForbidden[] = "'|;|\"|=|`|*|%|$|^|&|<|>|{|}|[|]|";
constexpr wchar_t kMaskChar = 0x25CF;

void CopyField(char (&out)[32], const std::string& text) {
  std::memset(out, 0, sizeof out);
  std::memcpy(out, text.data(), std::min(text.size(), sizeof out - 1));
}

std::string Utf8(const wxString& text) { return std::string(text.ToUTF8()); }

}  // namespace

int CheckForbiddenChars(const std::string& text) {
  const std::string list = kForbidden;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find('|', start);
    if (end == std::string::npos) end = list.size();
    const std::string piece = list.substr(start, end - start);
    if (!piece.empty() && text.find(piece) != std::string::npos) return 0;
    start = end + 1;
  }
  return 1;
}

bool IsAcceptablePassword(const std::string& text) {
  if (text.size() < 6 || text.size() > 16) return false;
  for (unsigned char c : text)
    if (c < 0x20 || c > 0x7E) return false;
  return CheckForbiddenChars(text) == 1;
}

void ShowEditBalloonTip(int, wxWindow* edit, const std::wstring& text) {
  if (!edit || !edit->IsShownOnScreen()) return;
  wxRichToolTip tip(wxString(), wxString(text.c_str()));
  tip.SetIcon(wxICON_NONE);
  tip.SetTimeout(5000);
  tip.ShowFor(edit);
}

CLoginDlg::CLoginDlg() : CDiyDialog(nullptr, 102, 232, "Quarlo") {
  m_dialogKind = 102;
  m_minimizeShown = 0;
  SetName("LoginDlg");
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { Hide(); });
}

CLoginDlg::~CLoginDlg() {
  std::memset(&m_remembered, 0, sizeof m_remembered);
  if (m_registerDlg) {
    static_cast<CRegisterAccountDlg*>(m_registerDlg)->Detach();
    m_registerDlg->Destroy();
  }
}

std::wstring CLoginDlg::Text(const char* section, const char* key) const {
  return Languages() ? Languages()->GetText(section, key) : std::wstring();
}

bool CLoginDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  const wxFont editFont = CreateLanguageFont("FONT_UI_LOGIN_EDIT");
  const wxFont labelFont = CreateLanguageFont("FONT_LOGIN_STATIC");
  const wxFont smallFont = CreateLanguageFont("FONT_LOGIN_STATIC1");
  const wxFont buttonFont = CreateLanguageFont("FONT_LOGIN_LOGIN");

  m_accountLabel = new CDiyStatic(this, 1087, "", wxPoint(10, 61), wxSize(95, 24));
  m_passwordLabel = new CDiyStatic(this, 1088, "", wxPoint(10, 104), wxSize(95, 24));
  for (CDiyStatic* label : {m_accountLabel, m_passwordLabel}) {
    if (labelFont.IsOk()) label->SetTextFont(labelFont);
    label->m_textColour = 0xFF323232;
    label->SetStringFormat(TextFormat{TextAlign::Far, TextAlign::Center, false});
  }
  // Plain GTK entries: they take focus, show their hint and speak to screen readers.
  m_accountEdit = new wxTextCtrl(this, kAccountEdit, "", wxPoint(114, 66), wxSize(241, 22),
                                 wxBORDER_NONE | wxTE_PROCESS_ENTER);
  m_passwordEdit = new wxTextCtrl(this, kPasswordEdit, "", wxPoint(114, 109), wxSize(241, 22),
                                  wxBORDER_NONE | wxTE_PROCESS_ENTER);
  for (wxTextCtrl* edit : {m_accountEdit, m_passwordEdit}) {
    if (editFont.IsOk()) edit->SetFont(editFont);
    edit->SetMaxLength(31);
    edit->SetBackgroundColour(*wxWHITE);
    // Enter in a field is the log-in action, as everywhere else in the dialog.
    edit->Bind(wxEVT_TEXT_ENTER, [this](wxCommandEvent&) { OnBnClickedLogin(); });
  }
  gtk_entry_set_invisible_char(GTK_ENTRY(m_passwordEdit->m_widget), kMaskChar);
  m_accountEdit->Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) { OnEnSetfocusAccount(); e.Skip(); });
  m_accountEdit->Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) { OnEnKillfocusAccount(); e.Skip(); });
  m_passwordEdit->Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) { OnEnSetfocusPassword(); e.Skip(); });
  m_passwordEdit->Bind(wxEVT_KILL_FOCUS, [this](wxFocusEvent& e) { OnEnKillfocusPassword(); e.Skip(); });
  m_accountEdit->Bind(wxEVT_TEXT, [this](wxCommandEvent&) { if (!m_settingText) OnEnChangeAccount(); });
  m_passwordEdit->Bind(wxEVT_TEXT, [this](wxCommandEvent&) {
    // Anything typed into the field replaces the stored hash.
    if (!m_settingText) m_passwordIsHash = false;
  });

  m_remember = new CColorButton(this, kRememberBox, wxPoint(107, 142), wxSize(150, 21));
  m_remember->m_style = CColorButton::kCheck;
  m_remember->m_textColour = 0xFF787878;
  if (smallFont.IsOk()) m_remember->SetTextFont(smallFont);

  m_forgot = new CLinkButtonCtrl(this, kForgotLink, wxPoint(262, 142), wxSize(140, 21));
  m_forgot->m_textColour = 0xFF0C5BAD;
  const wxFont forgotFont = CreateLanguageFont("FONT_LOGIN_FORGETPW", true);
  if (forgotFont.IsOk()) m_forgot->SetTextFont(forgotFont);

  m_status = new CDiyStatic(this, 1095, "", wxPoint(156, 199), wxSize(46, 19));
  m_status->m_textColour = 0xFF999999;
  if (smallFont.IsOk()) m_status->SetTextFont(smallFont);
  m_status->Hide();

  m_login = new CColorButton(this, kLoginButton, wxPoint(273, 182), wxSize(91, 28));
  m_login->m_textColour = 0xFF343434;
  m_login->m_normalImage = m_login->m_hoverImage = m_login->m_disabledImage = 379;
  m_login->m_pressedImage = 380;
  if (buttonFont.IsOk()) m_login->SetTextFont(buttonFont);

  m_register = new CLinkButtonCtrl(this, kRegisterLink, wxPoint(40, 185), wxSize(180, 24));
  m_register->m_textColour = 0xFF000000;
  if (buttonFont.IsOk()) m_register->SetTextFont(buttonFont);

  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedLogin(); }, kLoginButton);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedRegister(); }, kRegisterLink);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    OpenInBrowser(WebPage(Utf8(wxString(Text("URL", "URL_FORGETPW").c_str()))));
  }, kForgotLink);

  if (!m_registerDlg) {
    // The record stays with this dialog until its log-in action has taken it.
    m_registerDlg = new CRegisterAccountDlg(
        nullptr,
        [this](const LoginRecord& record) {
          m_pendingRecord = record;
          Show();
          OnAccountRegistered(&m_pendingRecord);
        },
        [this] { Show(); });
    m_registerDlg->Hide();
  }
  PushFields();
  OnEnKillfocusPassword();
  OnEnKillfocusAccount();
  return true;
}

void CLoginDlg::ApplyLanguageTexts() {
  if (!Languages()) return;
  if (!Languages()->HasTexts()) {
    Languages()->Reload();
    m_textsApplied = false;
    return;
  }
  auto w = [this](const char* section, const char* key) { return wxString(Text(section, key).c_str()); };
  m_accountLabel->SetLabel(w("UI", "LOGIN_STATIC_ACCOUNT"));
  m_passwordLabel->SetLabel(w("UI", "LOGIN_STATIC_PASSWORD"));
  m_forgot->SetToolTip(w("TOOLTIP", "TOOTIP_FORGETPW"));
  m_forgot->SetLinkText(w("UI", "LOGIN_LINK_FORGETPW"));
  m_status->SetLabel(w("UI", "LOGIN_STATIC_LOGINING"));
  m_login->SetText(w("UI", "LOGIN_BUTTON_LOGIN"));
  m_register->SetLinkText(w("UI", "LOGIN_LINK_REGISTER"));
  m_remember->SetText(w("UI", "LOGIN_CHECKBOX_REMEMBERPW"));
  SetTitle(w("UI", "DIALOG_TITLE"));
  m_accountEdit->SetHint(w("UI", "LOGIN_EDIT_ACCOUNT"));
  m_passwordEdit->SetHint(w("UI", "LOGIN_EDIT_PASSWORD"));
  // Screen readers name each field by its label.
  atk_object_set_name(gtk_widget_get_accessible(m_accountEdit->m_widget), w("UI", "LOGIN_STATIC_ACCOUNT").utf8_str());
  atk_object_set_name(gtk_widget_get_accessible(m_passwordEdit->m_widget), w("UI", "LOGIN_STATIC_PASSWORD").utf8_str());
  m_textsApplied = true;
}

void CLoginDlg::Masked(bool masked) {
  gtk_entry_set_visibility(GTK_ENTRY(m_passwordEdit->m_widget), masked ? FALSE : TRUE);
}

// The hints are the entries' own placeholders: GTK shows them while a field is empty, so the
// focus handlers only keep the password field masked whenever it holds text.
void CLoginDlg::OnEnSetfocusAccount() {}
void CLoginDlg::OnEnKillfocusAccount() {
  if (m_accountEdit && Languages()) m_accountEdit->SetHint(wxString(Text("UI", "LOGIN_EDIT_ACCOUNT").c_str()));
}
void CLoginDlg::OnEnSetfocusPassword() {
  if (m_passwordEdit) Masked(true);
}
void CLoginDlg::OnEnKillfocusPassword() {
  if (!m_passwordEdit) return;
  if (Languages()) m_passwordEdit->SetHint(wxString(Text("UI", "LOGIN_EDIT_PASSWORD").c_str()));
  Masked(true);
}

void CLoginDlg::PullFields() {
  if (!m_accountEdit) return;
  m_accountText = Utf8(m_accountEdit->GetValue());
  m_passwordText = Utf8(m_passwordEdit->GetValue());
  m_rememberOn = m_remember->GetCheck();
}

void CLoginDlg::PushFields() {
  if (!m_accountEdit) return;
  m_settingText = true;
  if (Utf8(m_accountEdit->GetValue()) != m_accountText) m_accountEdit->ChangeValue(wxString::FromUTF8(m_accountText));
  if (Utf8(m_passwordEdit->GetValue()) != m_passwordText) m_passwordEdit->ChangeValue(wxString::FromUTF8(m_passwordText));
  m_remember->SetCheck(m_rememberOn);
  m_settingText = false;
  Masked(true);
}

void CLoginDlg::SetLoginRecord(const LoginRecord* record, bool passwordIsHash) {
  if (!record) return;
  m_accountText.assign(record->account, strnlen(record->account, sizeof record->account));
  m_passwordText.assign(record->password, strnlen(record->password, sizeof record->password));
  m_rememberOn = record->remember == 1;
  m_remembered = *record;
  m_rememberedIsHash = passwordIsHash;
  m_passwordIsHash = passwordIsHash && !m_passwordText.empty();
  PushFields();
}

void CLoginDlg::ClearPassword() {
  m_passwordText.clear();
  m_passwordIsHash = false;
  m_rememberOn = true;
  std::memset(&m_remembered, 0, sizeof m_remembered);
  m_rememberedIsHash = false;
  PushFields();
}

void CLoginDlg::OnEnChangeAccount() {
  PullFields();
  if (!m_passwordText.empty()) {
    m_passwordText.clear();
    m_passwordIsHash = false;
  } else if (m_accountText == m_remembered.account) {
    if (m_remembered.remember != 1) return;
    m_passwordText.assign(m_remembered.password, strnlen(m_remembered.password, sizeof m_remembered.password));
    m_passwordIsHash = m_rememberedIsHash && !m_passwordText.empty();
    m_rememberOn = true;
  } else {
    m_passwordText.clear();
    m_passwordIsHash = false;
  }
  PushFields();
}

void CLoginDlg::Note(wxWindow* edit, const std::wstring& text) {
  m_lastNote = text;
  ShowEditBalloonTip(0, edit, text);
}

void CLoginDlg::OnBnClickedLogin() {
  PullFields();
  const std::wstring title = Text("UI", "DIALOG_TITLE");
  const std::string accountHint = Utf8(wxString(Text("UI", "LOGIN_EDIT_ACCOUNT").c_str()));
  const std::string passwordHint = Utf8(wxString(Text("UI", "LOGIN_EDIT_PASSWORD").c_str()));
  if (m_accountText.empty() || m_accountText == accountHint) {
    m_lastNote = Text("MESSAGEBOX", "MSGBOX_NOACCOUNT");
    DiyMessageBox(Languages(), m_lastNote, title, kMessageBoxOk, this);
    return;
  }
  if (m_passwordText.empty() || (!m_passwordIsHash && m_passwordText == passwordHint)) {
    m_lastNote = Text("MESSAGEBOX", "MSGBOX_NOPASSWORD");
    DiyMessageBox(Languages(), m_lastNote, title, kMessageBoxOk, this);
    return;
  }
  // Accounts are kept in lower case (ASCII: an e-mail address the service takes is ASCII).
  std::string account = m_accountText;
  for (char& c : account) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (account.size() > 31 || !IsValidEmail(account.c_str())) {
    Note(m_accountEdit, Text("UI", "REGACCOUNT_INFO_INVALIDEMAIL"));
    return;
  }
  if (!m_passwordIsHash && !IsAcceptablePassword(m_passwordText)) {
    Note(m_passwordEdit, Text("UI", "REGACCOUNT_INFO_INVALIDPASS"));
    return;
  }
  m_accountText = account;
  PushFields();
  LoginRecord record{};
  record.remember = m_rememberOn ? 1 : 0;
  CopyField(record.account, account);
  CopyField(record.password, m_passwordText);
  const bool wasHash = m_passwordIsHash;
  Hide();
  if (m_callback) {
    if (wasHash) m_callback->OnLoginHashed(&record);
    else m_callback->OnLogin(&record, 1);
  }
  // The callback has put the hash where the typed text was; without one the text goes.
  if (!wasHash && !m_callback) std::memset(record.password, 0, sizeof record.password);
  m_remembered = record;
  m_rememberedIsHash = record.password[0] != 0;
  std::memset(&record, 0, sizeof record);
  UiConfig::GetInstance()->WriteRemPass(m_rememberOn ? "true" : "false", true);
}

void CLoginDlg::OnBnClickedRegister() {
  // The registration dialog when there is one; else the site's page.
  if (!m_registerDlg) {
    OpenInBrowser(WebPage("/register.html"));
    return;
  }
  Hide();
  m_registerDlg->CentreOnScreen();
  m_registerDlg->Show();
  m_registerDlg->Raise();
}

void CLoginDlg::OnAccountRegistered(const LoginRecord* record) {
  if (!record) return;
  // A new account's password is typed text until it is hashed on the way out.
  SetLoginRecord(record, false);
  OnBnClickedLogin();
}
