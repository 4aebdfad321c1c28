#include "desktop/app/account/register_account_dlg.h"

#include <wx/richtooltip.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "desktop/app/account/register_account.h"
#include "desktop/app/site/web_pages.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_image.h"

namespace {

constexpr int kEditMaxChars = 31;

std::string Utf8Of(const wxTextCtrl* edit) { return edit->GetValue().ToStdString(wxConvUTF8); }

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace



CRegisterAccountDlg::CRegisterAccountDlg(wxWindow* parent, Handover onRegistered,
                                         std::function<void()> onClosed)
    : CDiyDialog(parent, 101, 387, "Quarlo"),
      m_onRegistered(std::move(onRegistered)),
      m_onClosed(std::move(onClosed)) {
  m_dialogKind = 101;
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { OnBnClickedClose(); });
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedRegister(); }, kRegisterId);
  Bind(wxEVT_SHOW, [this](wxShowEvent& e) {
    if (e.IsShown() && m_email) m_email->SetFocus();
    e.Skip();
  });
}

CRegisterAccountDlg::~CRegisterAccountDlg() { m_tasks.Stop(); }

void CRegisterAccountDlg::Detach() {
  m_tasks.Stop();
  m_onRegistered = nullptr;
  m_onClosed = nullptr;
}

bool CRegisterAccountDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  const wxFont labelFont = CreateLanguageFont("FONT_REGACCOUNT_STATIC");
  const wxFont buttonFont = CreateLanguageFont("FONT_REGACCOUNT_LOGINBTN");
  const wxFont editFont = CreateLanguageFont("FONT_REGACCOUNT_EDIT");
  // Each field's frame is one of the skin's pictures behind it (the dialog's decorations, one a
  // field): the entry draws none of its own and sits inside its picture's frame.
  const std::vector<Decoration> frames = DecorationsFor(m_dialogKind, m_decorationFlag != 0);
  auto makeEdit = [&](int id, size_t field, wxPoint pos, wxSize size, bool password) {
    wxImage frame;
    if (field < frames.size() && LoadPngResource(frame, frames[field].png)) {
      pos.y = frames[field].y + (frame.GetHeight() - 24) / 2;
      size.x = std::min(size.x, frames[field].x + frame.GetWidth() - 3 - pos.x);
    }
    auto* e = new wxTextCtrl(this, id, wxEmptyString, pos, wxSize(size.x, 24),
                             wxBORDER_NONE | (password ? wxTE_PASSWORD : 0));
    e->SetMaxLength(kEditMaxChars);
    if (editFont.IsOk()) e->SetFont(editFont);
    e->SetBackgroundColour(*wxWHITE);
    e->SetForegroundColour(*wxBLACK);
    return e;
  };
  m_email = makeEdit(kEmailId, 0, DluPoint(126, 35), DluSize(164, 12), false);
  m_password = makeEdit(kPassId, 1, DluPoint(126, 66), DluSize(165, 12), true);
  m_repeat = makeEdit(kRepeatId, 2, DluPoint(126, 96), DluSize(166, 12), true);

  const int labelIds[3] = {1150, 1075, 1151};
  const wxPoint labelPos[3] = {DluPoint(36, 37), DluPoint(36, 65), DluPoint(37, 98)};
  const wxSize labelSize[3] = {DluSize(81, 14), DluSize(81, 16), DluSize(79, 14)};
  for (int i = 0; i < 3; ++i) {
    m_labels[i] = new CDiyStatic(this, labelIds[i], wxEmptyString, labelPos[i], labelSize[i]);
    if (labelFont.IsOk()) m_labels[i]->SetTextFont(labelFont);
    m_labels[i]->m_textColour = 0xFF323232;
    m_labels[i]->SetStringFormat(TextFormat{TextAlign::Far, TextAlign::Far, false});
  }
  // Between the licence line and the button.
  m_info = new CDiyStatic(this, kInfoId, wxEmptyString, wxPoint(102, 225), wxSize(426, 21));
  if (labelFont.IsOk()) m_info->SetTextFont(labelFont);
  m_info->m_textColour = 0xFFE31B1B;

  m_licence = new CColorButton(this, kLicenceId, DluPoint(64, 124), wxSize(18, 18));
  m_licence->m_style = CColorButton::kCheck;
  m_licence->m_textColour = 0xFF787878;
  m_licence->SetCheck(true);
  m_link = new CLinkButtonCtrl(this, kLinkId, DluPoint(79, 122), DluSize(269, 16));
  const wxFont linkFont = CreateLanguageFont("FONT_REGACCOUNT_LICENSE");
  if (linkFont.IsOk()) m_link->SetTextFont(linkFont);
  m_link->m_textColour = 0xFF011DAE;
  m_link->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    OpenInBrowser(WebPage(LangText(Languages(), "URL", "URL_LICENSE").ToStdString(wxConvUTF8)));
  });

  m_register = new CColorButton(this, kRegisterId, DluPoint(126, 152), wxSize(167, 36));
  m_register->m_style = CColorButton::kPush;
  m_register->m_textColour = 0xFF434343;
  if (buttonFont.IsOk()) m_register->SetTextFont(buttonFont);
  m_register->m_normalImage = 381;
  m_register->m_hoverImage = 381;
  m_register->m_pressedImage = 382;
  return true;
}

void CRegisterAccountDlg::ApplyLanguageTexts() {
  ILanguages* l = Languages();
  if (!l) return;
  if (!l->HasTexts()) {
    l->Reload();
    m_textsApplied = false;
  }
  m_labels[0]->SetLabel(LangText(l, "UI", "REGACCOUNT_STATIC_EMAIL"));
  m_labels[1]->SetLabel(LangText(l, "UI", "REGACCOUNT_STATIC_PASS1"));
  m_labels[2]->SetLabel(LangText(l, "UI", "REGACCOUNT_STATIC_PASS2"));
  m_info->SetLabel(LangText(l, "UI", m_infoKey));
  m_register->SetText(LangText(l, "UI", "REGACCOUNT_BUTTON_REGISTERANDLOGIN"));
  m_link->SetLinkText(LangText(l, "UI", "REGACCOUNT_LINK_LICENSE"));
  SetTitle(LangText(l, "UI", "DIALOG_TITLE"));
  Refresh();
}

void CRegisterAccountDlg::ShowInfo(const std::string& key) {
  m_infoKey = key;
  m_info->SetLabel(LangText(Languages(), "UI", key));
  Refresh();
}

wxString CRegisterAccountDlg::InfoText() const { return m_info ? m_info->GetLabel() : wxString(); }

void CRegisterAccountDlg::ShowBalloon(wxWindow* edit, const std::string& key) {
  m_lastBalloon = key;
  wxRichToolTip tip(wxEmptyString, LangText(Languages(), "UI", key));
  tip.SetIcon(wxICON_NONE);
  tip.ShowFor(edit);
}

void CRegisterAccountDlg::OnBnClickedRegister() {
  if (m_busy || !m_email) return;  // one registration at a time
  m_busy = true;
  m_lastBalloon.clear();
  const std::string email = Utf8Of(m_email);
  const std::string password = Utf8Of(m_password);
  const RegisterCheck check =
      CheckRegisterInput(email, password, Utf8Of(m_repeat), m_licence->GetCheck());
  switch (check.field) {
    case kFieldEmail: ShowBalloon(m_email, check.key); break;
    case kFieldPassword: ShowBalloon(m_password, check.key); break;
    case kFieldRepeat: ShowBalloon(m_repeat, check.key); break;
    case kFieldLicence: ShowInfo(check.key); break;
    case kFieldNone: break;
  }
  if (check.field != kFieldNone) {
    m_busy = false;
    return;
  }
  std::string hash;
  if (HashRegisterPassword(password.c_str(), hash) != 0) {
    ShowInfo("REGACCOUNT_INFO_INVALIDPASS");  // not printable ASCII, or no crypt library
    m_busy = false;
    return;
  }
  ShowInfo("REGACCOUNT_INFO_REGISTERING");
  m_tasks.Run<int>(
      [email, hash](const std::atomic<bool>& cancelled) { return RegisterAccountHashed(email, hash, &cancelled); },
      [this, email, password](int status) { OnRegisterResult(status, email, password); });
}

void CRegisterAccountDlg::OnRegisterResult(int status, const std::string& email,
                                           const std::string& password) {
  ShowInfo(RegisterResultKey(status));
  m_busy = false;
  if (status != kRegCreated) return;  // the fields keep what was typed
  LoginRecord record{};
  std::strncpy(record.account, LowerAscii(email).c_str(), sizeof record.account - 1);
  std::strncpy(record.password, password.c_str(), sizeof record.password - 1);
  record.remember = 1;
  m_email->Clear();
  m_password->Clear();
  m_repeat->Clear();
  Hide();
  if (m_onRegistered) m_onRegistered(record);
}

void CRegisterAccountDlg::OnBnClickedClose() {
  if (m_busy) {
    Iconize(true);  // a registration runs: keep the dialog, out of the way
    return;
  }
  m_email->Clear();
  m_password->Clear();
  m_repeat->Clear();
  ShowInfo("REGACCOUNT_INFO_EMPTY");
  Hide();
  if (m_onClosed) m_onClosed();
}
