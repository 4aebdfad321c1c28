#include "desktop/app/hotspot/ap_dlg.h"

#include <wx/dcclient.h>

#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_image.h"

namespace {

class CStatusPicture : public wxWindow {
 public:
  CStatusPicture(wxWindow* parent, const int* png)
      : wxWindow(parent, CApDlg::kPictureId, wxPoint(24, 140), wxSize(24, 24)), m_png(png) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    // The pictures keep their own size.
    wxImage own;
    if (LoadPngResource(own, kApPictureOk)) SetSize(own.GetWidth(), own.GetHeight());
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
      wxPaintDC dc(this);
      dc.DrawBitmap(ParentBackdrop(this), 0, 0);
      wxImage image;
      if (LoadPngResource(image, *m_png)) dc.DrawBitmap(wxBitmap(image), 0, 0, true);
    });
  }

 private:
  const int* m_png;
};

}  // namespace

CApDlg::CApDlg(wxWindow* parent, IHotspotLayer* layer)
    : CDiyDialog(parent, 293, 295, "Quarlo"), m_layer(layer ? layer : &SystemHotspotLayer()) {
  m_dialogKind = 293;
  m_minimizeShown = 0;
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedStart(); }, kStartId);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedStop(); }, kStopId);
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { Hide(); });
  Bind(wxEVT_SHOW, [this](wxShowEvent& e) {
    if (e.IsShown() && m_status) UpdateApState();
    e.Skip();
  });
}

CApDlg::~CApDlg() {
  // A start or stop that runs is NetworkManager's business now; wait for it to end.
  m_tasks.Stop();
}

bool CApDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  const wxFont buttonFont = CreateLanguageFont("FONT_AP_BUTTON");
  const wxFont statusFont = CreateLanguageFont("FONT_AP_STARIC");
  const wxFont titleFont = CreateLanguageFont("FONT_AP_TITLE");
  const int w = ArtSize().x;
  m_title = new CDiyStatic(this, kTitleId, wxEmptyString, wxPoint(16, 48), wxSize(w - 32, 26));
  if (titleFont.IsOk()) m_title->SetTextFont(titleFont);
  m_title->m_textColour = 0xFF323232;
  m_title->SetStringFormat(TextFormat{TextAlign::Center, TextAlign::Center, false});
  m_key = new CDiyStatic(this, kKeyId, wxEmptyString, wxPoint(16, 76), wxSize(w - 32, 36));
  if (statusFont.IsOk()) m_key->SetTextFont(statusFont);
  m_key->m_textColour = 0xFF323232;
  m_key->SetStringFormat(TextFormat{TextAlign::Center, TextAlign::Center, true});
  auto makeButton = [&](int id) {
    auto* b = new CColorButton(this, id, wxPoint((w - 88) / 2, 112), wxSize(88, 28));
    b->m_textColour = 0xFF434343;
    if (buttonFont.IsOk()) b->SetTextFont(buttonFont);
    b->m_normalImage = b->m_hoverImage = b->m_disabledImage = 332;
    b->m_pressedImage = 333;
    return b;
  };
  m_start = makeButton(kStartId);
  m_stop = makeButton(kStopId);
  m_stop->Hide();
  m_status = new CDiyStatic(this, kStatusId, wxEmptyString, wxPoint(52, 150), wxSize(w - 60, 24));
  if (statusFont.IsOk()) m_status->SetTextFont(statusFont);
  m_status->m_textColour = 0xFF000000;
  m_status->SetStringFormat(TextFormat{TextAlign::Near, TextAlign::Near, true});
  m_picture = new CStatusPicture(this, &m_view.picture);
  m_passphrase = HotspotPassphrase();
  m_start->Enable(false);
  UpdateApState();
  return true;
}

void CApDlg::ApplyLanguageTexts() {
  ILanguages* l = Languages();
  m_start->SetText(LangText(l, "UI", "AP_BUTTON_START"));
  m_stop->SetText(LangText(l, "UI", "AP_BUTTON_STOP"));
  m_title->SetLabel(LangText(l, "UI", "AP_STATIC_TITLE"));
  m_key->SetLabel(LangText(l, "UI", "AP_STATIC_NETWORK") + " " + kHotspotSsid + "\n" +
                  LangText(l, "UI", "AP_STATIC_PASSPHRASE") + " " + wxString::FromUTF8(m_passphrase));
  m_status->SetLabel(LangText(l, "UI", m_working ? "AP_WORKING" : m_view.statusKey));
  SetTitle(LangText(l, "UI", "DIALOG_TITLE"));
  LayoutStatus();
  Refresh();
}

wxString CApDlg::StatusText() const { return m_status ? m_status->GetLabel() : wxString(); }
wxString CApDlg::KeyText() const { return m_key ? m_key->GetLabel() : wxString(); }

void CApDlg::ShowView(const ApView& view) {
  m_view = view;
  m_working = false;
  m_stop->Show(view.stopShown);
  m_stop->Enable(true);
  m_start->Show(!view.stopShown);
  m_start->Enable(view.startEnabled);
  m_status->SetLabel(LangText(Languages(), "UI", view.statusKey));
  LayoutStatus();
  Refresh();
}

void CApDlg::Run(ApMoment moment, std::function<void()> action) {
  if (m_working) return;
  m_working = true;
  m_start->Enable(false);
  m_stop->Enable(false);
  m_status->SetLabel(LangText(Languages(), "UI", "AP_WORKING"));
  LayoutStatus();
  Refresh();
  IHotspotLayer* layer = m_layer;
  m_tasks.Run<ApView>(
      [layer, moment, action](const std::atomic<bool>&) {
        if (action) action();
        return ApViewFor(layer->Query(), moment);
      },
      [this](ApView view) { ShowView(view); });
}

void CApDlg::UpdateApState() { Run(ApMoment::Opened, nullptr); }

void CApDlg::OnBnClickedStart() {
  IHotspotLayer* layer = m_layer;
  const std::string pass = m_passphrase;
  Run(ApMoment::AfterStart, [layer, pass] {
    std::string uuid, error;
    if (layer->Start(kHotspotSsid, pass, uuid, error) == HotspotStatus::Ok) SetStartedHotspot(uuid);
  });
}

void CApDlg::OnBnClickedStop() {
  IHotspotLayer* layer = m_layer;
  Run(ApMoment::AfterStop, [layer] {
    // Ours when we started it; else the profile of ours that NetworkManager has up (the
    // user asked to stop what the dialog shows).
    std::string uuid = StartedHotspot();
    if (uuid.empty()) uuid = layer->Query().activeUuid;
    std::string error;
    if (!uuid.empty() && layer->Stop(uuid, error) == HotspotStatus::Ok && uuid == StartedHotspot())
      SetStartedHotspot("");
  });
}

void CApDlg::LayoutStatus() {
  if (!m_status || !m_picture) return;
  const int W = ArtSize().x, H = ArtSize().y;
  const wxSize text = m_status->GetTextSize();
  const int w = text.x, h = std::max(1, text.y);
  const int A = W - 54;
  // The picture's own size (24 x 24 in the classic skin) decides where the text starts.
  const int pw = m_picture->GetSize().x, ph = m_picture->GetSize().y;
  if (w > A) {
    const int lines = (w + A - 1) / A;
    m_picture->Move(15, H - 45 - (lines - 1) * h);
    m_status->SetSize(19 + pw, (ph - h) / 2 + H - 45 - (lines - 1) * h, A, lines * h + 1);
  } else {
    const int x0 = (W - w - 54) / 2;
    m_picture->Move(x0 + 15, H - 44);
    m_status->SetSize(x0 + 15 + pw, (ph - h) / 2 + H - 44, w + 4, h + 4);
  }
  m_picture->Show();
  m_status->Show();
  m_picture->Refresh();
}
