#include "desktop/app/update/update_dlg.h"

#include <wx/textctrl.h>

#include "desktop/app/site/html_dlg.h"
#include "desktop/app/site/site_http.h"
#include "desktop/app/update/update_info.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/sys_utils.h"
#include "platform/registry.h"

namespace {
constexpr long kNotesTimeoutMs = 5000;
constexpr size_t kMaxNotesBytes = 256 * 1024;
}  // namespace

CUpdateDlg::CUpdateDlg(wxWindow* parent) : CDiyDialog(parent, 270, 272, "Quarlo") {
  m_dialogKind = 270;
  m_minimizeShown = 0;
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndModal(wxID_OK); }, 1115);
}

CUpdateDlg::~CUpdateDlg() { m_tasks.Stop(); }

bool CUpdateDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  const wxFont font1 = CreateLanguageFont("FONT_UPDATE_STATIC");
  const wxFont font2 = CreateLanguageFont("FONT_UPDATE_STATIC1");
  const wxFont font3 = CreateLanguageFont("FONT_UPDATE_BUTTON");
  const int w = ArtSize().x;
  m_heading = new CDiyStatic(this, 1114, wxEmptyString, wxPoint(20, 52), wxSize(w - 40, 26));
  if (font1.IsOk()) m_heading->SetTextFont(font1);
  m_heading->m_textColour = 0xFF514F50;
  m_heading->SetStringFormat(TextFormat{TextAlign::Center, TextAlign::Center, false});
  m_static3 = new CDiyStatic(this, 1117, wxEmptyString, wxPoint(24, 82), wxSize(w - 48, 20));
  m_static4 = new CDiyStatic(this, 1118, wxEmptyString, wxPoint(24, 206), wxSize(w - 48, 20));
  for (CDiyStatic* s : {m_static3, m_static4}) {
    if (font2.IsOk()) s->SetTextFont(font2);
    s->m_textColour = 0xFF888888;
  }
  m_notes = new wxTextCtrl(this, 1101, wxEmptyString, wxPoint(24, 104), wxSize(w - 48, 98),
                           wxTE_MULTILINE | wxTE_READONLY | wxVSCROLL);
  m_notes->SetBackgroundColour(*wxWHITE);
  m_notes->SetForegroundColour(wxColour(0x50, 0x4F, 0x51));
  if (font1.IsOk()) m_notes->SetFont(font1);
  m_ok = new CColorButton(this, 1115, wxPoint((w - 90) / 2, 240), wxSize(90, 28));
  m_ok->m_textColour = 0xFF434343;
  if (font3.IsOk()) m_ok->SetTextFont(font3);
  m_ok->m_normalImage = 334;
  m_ok->m_hoverImage = 335;
  m_ok->m_pressedImage = 335;
  ILanguages* l = Languages();
  m_ok->SetText(LangText(l, "UI", "MSGBOX_BUTTON_OK"));
  m_heading->SetLabel(LangText(l, "UI", "UPDATE_STATIC1"));
  m_static3->SetLabel(LangText(l, "UI", "UPDATE_STATIC3"));
  m_static4->SetLabel(LangText(l, "UI", "UPDATE_STATIC4"));
  LoadReleaseNotes();
  return true;
}

void CUpdateDlg::ApplyLanguageTexts() { SetTitle(LangText(Languages(), "UI", "DIALOG_TITLE")); }

int CUpdateDlg::LoadReleaseNotes() {
  if (m_fetchStarted) return 0;
  m_fetchStarted = true;
  ILanguages* l = Languages();
  const std::string query = ReleaseNotesQuery(GetSystemDefaultLangId(), l ? l->GetLanguage() : 0);
  const std::string url = SiteUrl("/quarlo/update-pc.html" + query);
  const bool known = !query.empty();
  // The notes, or "" when there are none to show.
  m_tasks.Run<std::pair<bool, std::string>>(
      [url, known](const std::atomic<bool>& cancelled) {
        std::string text;
        if (!known) return std::make_pair(false, text);
        const HttpReply reply = HttpGet(url, kNotesTimeoutMs, kMaxNotesBytes, &cancelled);
        const bool ok = reply.result == HttpResult::Ok && reply.code == 200 && ParseReleaseNotes(reply.body, text);
        return std::make_pair(ok, text);
      },
      [this](std::pair<bool, std::string> notes) {
        if (!notes.first) {
          // Nothing to show: the dialog goes as soon as it came.
          if (IsModal()) EndModal(wxID_CANCEL);
          else Close();
          return;
        }
        m_notes->SetValue(wxString::FromUTF8(notes.second));
        m_notesShown = true;
      });
  return 1;
}

wxString CUpdateDlg::Notes() const { return m_notes ? m_notes->GetValue() : wxString(); }

CUpdateNoticeDlg::CUpdateNoticeDlg(wxWindow* parent, const std::wstring& version)
    : CDiyDialog(parent, 158, 234, "Quarlo"), m_version(version) {
  m_dialogKind = 158;
  m_contentTop = m_captionBand + 113;
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedUpdate(); }, kUpdateId);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedCancel(); }, kCancelId);
  // Escape and the window manager's close end the notice as the caption's close button does.
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { End(kNoticeCancel); });
}

bool CUpdateNoticeDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  const wxFont font1 = CreateLanguageFont("FONT_UPDATE_STATIC");
  const wxFont font2 = CreateLanguageFont("FONT_SETTING_BUTTON");
  const int w = ArtSize().x;
  const int top = m_captionBand + 113;
  m_text = new CDiyStatic(this, kTextId, wxEmptyString, wxPoint(20, top + 8), wxSize(w - 40, 24));
  if (font1.IsOk()) m_text->SetTextFont(font1);
  m_text->SetStringFormat(TextFormat{TextAlign::Center, TextAlign::Center, false});
  auto makeButton = [&](int id, int x) {
    auto* b = new CColorButton(this, id, wxPoint(x, top + 44), wxSize(90, 28));
    b->m_textColour = 0xFF000000;
    if (font2.IsOk()) b->SetTextFont(font2);
    b->m_normalImage = 219;
    b->m_hoverImage = 219;
    b->m_pressedImage = 220;
    return b;
  };
  m_update = makeButton(kUpdateId, w / 2 - 100);
  m_cancel = makeButton(kCancelId, w / 2 + 10);
  m_neverShow = new CColorButton(this, kNeverShowId, wxPoint(20, top + 80), wxSize(w - 40, 20));
  m_neverShow->m_style = CColorButton::kCheck;
  m_neverShow->m_textColour = 0xFF000000;
  if (font2.IsOk()) m_neverShow->SetTextFont(font2);
  CreateBanner();
  return true;
}

void CUpdateNoticeDlg::ApplyLanguageTexts() {
  ILanguages* l = Languages();
  m_text->SetLabel(LangText(l, "UI", "UPDATE_STATIC_UPDATENOTICE_HEAD") + wxString(m_version.c_str()) +
                   LangText(l, "UI", "UPDATE_STATIC_UPDATENOTICE_TAIL"));
  m_update->SetText(LangText(l, "UI", "UPDATE_BUTTON_UPDATE"));
  m_cancel->SetText(LangText(l, "UI", "UPDATE_BUTTON_CANCEL"));
  m_neverShow->SetText(LangText(l, "UI", "UPDATE_STATIC_NEVERSHOW"));
  SetTitle(LangText(l, "UI", "DIALOG_TITLE"));
  Refresh();
}

wxString CUpdateNoticeDlg::Announcement() const { return m_text ? m_text->GetLabel() : wxString(); }

void CUpdateNoticeDlg::SetNeverShow(bool on) {
  if (m_neverShow) m_neverShow->SetCheck(on);
}

void CUpdateNoticeDlg::OnLanguageChanged() {
  CDiyDialog::OnLanguageChanged();
  if (m_banner && Languages()) m_banner->SetLanguage(Languages()->GetLanguage());
  NavigateBanner();
}

void CUpdateNoticeDlg::CreateBanner() {
  if (m_banner) return;
  m_banner = new CHtmlDlg(this, wxPoint(0, m_captionBand), wxSize(ArtSize().x, 111));
  m_banner->SetLanguage(Languages() ? Languages()->GetLanguage() : 0);
  NavigateBanner();
}

void CUpdateNoticeDlg::NavigateBanner() {
  if (m_banner) m_banner->NavigateBanner();
}

void CUpdateNoticeDlg::End(int result) {
  if (IsModal()) EndModal(result);
  else Hide();
}

void CUpdateNoticeDlg::OnBnClickedClose() { End(kNoticeCancel); }  // stores nothing

void CUpdateNoticeDlg::OnBnClickedUpdate() {
  // The choice is stored when the key is there; without it the answer still counts.
  if (Reg_OpenKey(RegRoot::CurrentUser, kQuarloKey, true) == kRegOk)
    Reg_SetDword(RegRoot::CurrentUser, kQuarloKey, "UpdateNotice", m_neverShow->GetCheck() ? 1 : 0);
  End(kNoticeUpdate);
}

void CUpdateNoticeDlg::OnBnClickedCancel() {
  if (Reg_OpenKey(RegRoot::CurrentUser, kQuarloKey, true) == kRegOk)
    Reg_SetDword(RegRoot::CurrentUser, kQuarloKey, "UpdateNotice", m_neverShow->GetCheck() ? 1 : 0);
  End(kNoticeCancel);
}

bool RunUpdateNotice(const std::string& version) {
  CUpdateNoticeDlg dlg(nullptr, wxString::FromUTF8(version).ToStdWstring());
  dlg.CentreOnScreen();
  return dlg.ShowModal() == kNoticeUpdate;
}

void ShowUpdateDlgIfInstalled(wxWindow* parent) {
  std::string downloaded;
  Reg_GetString(RegRoot::CurrentUser, kQuarloKey, kUpdateVersionValue, downloaded);
  // The package may not have been installed (no administrator, declined): no notes then.
  if (downloaded != OwnVersion()) return;
  Reg_DeleteValue(RegRoot::CurrentUser, kQuarloKey, kUpdateVersionValue);
  CUpdateDlg dlg(parent);
  dlg.CentreOnScreen();
  dlg.ShowModal();
}
