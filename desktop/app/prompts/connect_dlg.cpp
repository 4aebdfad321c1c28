#include "desktop/app/prompts/connect_dlg.h"

#include "desktop/app/prompts/mobile_login_queue.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_image.h"

namespace desktop {

namespace {

constexpr int kTemplate = 252;
constexpr int kBackground = 253;
const wxSize kSize(353, 251);

}  // namespace

CConnectDlg::CConnectDlg(wxWindow* parent, const MobileLoginRequest& request)
    : CDiyDialog(parent, kTemplate, kBackground, "Quarlo"), m_request(request), m_limit(this) {
  m_minimizeShown = 0;
  SetWindowStyleFlag(GetWindowStyleFlag() | wxSTAY_ON_TOP);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Decide(true, wxID_OK); }, 1);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Decide(false, wxID_CANCEL); }, 2);
  // Escape, the skinned close button and the window manager's close all end here.
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { Decide(false, wxID_CANCEL); });
  Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Decide(false, wxID_CANCEL); });
}

CConnectDlg::~CConnectDlg() { m_limit.Stop(); }

void CConnectDlg::SetTimeLimit(int seconds) {
  m_limit.StartOnce(std::max(1, seconds) * 1000);
}

void CConnectDlg::Decide(bool accept, int code) {
  m_limit.Stop();
  if (!m_answered) {
    m_answered = true;
    const MobileLoginAnswer answer{m_request.requestId, static_cast<uint8_t>(accept ? 1 : 0)};
    if (m_callback) m_callback->OnMobileLoginAnswer(&answer);
  }
  if (IsModal()) EndModal(code);
  else Hide();
}

void CConnectDlg::Dismiss() {
  m_limit.Stop();
  m_answered = true;
  if (IsModal()) EndModal(wxID_CANCEL);
  else Hide();
}

bool CConnectDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  SetArtSize(kSize);
  ILanguages* l = Languages();
  const wxFont title = MakeLanguageFont(l, "FONT_CONNECT_TITLE", false);
  const wxFont info = MakeLanguageFont(l, "FONT_CONNECT_INFO", false);
  const wxFont other = MakeLanguageFont(l, "FONT_CONNECT_OTHER", false);
  const wxFont button = MakeLanguageFont(l, "FONT_CONNECT_BUTTON", false);
  auto makeStatic = [this](int id, const wxRect& r, const wxFont& font, uint32_t colour, TextFormat format) {
    auto* s = new CDiyStatic(this, id, wxString(), r.GetPosition(), r.GetSize());
    if (font.IsOk()) s->SetTextFont(font);
    s->m_textColour = colour;
    s->SetStringFormat(format);
    return s;
  };
  // The template's places, in pixels of the 353 x 251 window.
  m_title = makeStatic(kTitleId, wxRect(65, 49, 227, 26), title, 0xFF0F92E5,
                       TextFormat{TextAlign::Center, TextAlign::Center, false});
  m_sender = makeStatic(kSenderId, wxRect(62, 86, 263, 24), info, 0xFF0F92E5,
                        TextFormat{TextAlign::Near, TextAlign::Near, false});
  m_network = makeStatic(kNetworkId, wxRect(62, 116, 269, 24), info, 0xFF0F92E5,
                         TextFormat{TextAlign::Near, TextAlign::Near, false});
  m_other = makeStatic(kOtherId, wxRect(23, 148, 311, 29), other, 0xFF555555,
                       TextFormat{TextAlign::Center, TextAlign::Center, false});
  auto makeButton = [&](int id, const wxPoint& at) {
    auto* b = new CColorButton(this, id, at, wxSize(92, 28));
    b->m_normalImage = b->m_hoverImage = b->m_disabledImage = 384;
    b->m_pressedImage = 385;
    b->m_textColour = 0xFF000000;
    if (button.IsOk()) b->SetTextFont(button);
    return b;
  };
  m_ok = makeButton(1, wxPoint(50, 196));
  m_cancel = makeButton(2, wxPoint(213, 196));
  ApplyLanguageTexts();
  return true;
}

void CConnectDlg::ApplyLanguageTexts() {
  ILanguages* l = Languages();
  auto text = [l](const char* key) { return l ? wxString(l->GetText("UI", key)) : wxString(); };
  SetTitle(text("DIALOG_TITLE"));
  if (!m_title) return;  // before the controls exist
  m_title->SetLabel(text("CONNECT_STATIC_TITLE"));
  // The phone's own texts are shown as plain text, never as markup or mnemonics.
  m_sender->SetLabel(text("CONNECT_STATIC_SENDER") + wxString(PromptText(m_request.sender, sizeof m_request.sender)));
  m_network->SetLabel(text("CONNECT_STATIC_NET") + wxString(PromptText(m_request.network, sizeof m_request.network)));
  m_other->SetLabel(text("CONNECT_STATIC_OTHER"));
  m_ok->SetText(text("CONNECT_BUTTON_OK"));
  m_cancel->SetText(text("CONNECT_BUTTON_CANCEL"));
  Refresh();
}

wxString CConnectDlg::TextOf(int id) const {
  if (id == 1) return m_ok ? m_ok->GetText() : wxString();
  if (id == 2) return m_cancel ? m_cancel->GetText() : wxString();
  const wxWindow* w = FindWindow(id);
  return w ? w->GetLabel() : wxString();
}

}  // namespace desktop
