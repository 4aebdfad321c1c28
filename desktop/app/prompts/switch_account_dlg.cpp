#include "desktop/app/prompts/switch_account_dlg.h"

#include <wx/dcbuffer.h>

#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_image.h"

namespace {

// The question's icon, drawn at its own size over the dialog's background.
class CSwitchIcon : public CSkinControl {
 public:
  CSwitchIcon(wxWindow* parent, int id, const wxPoint& pos, const wxSize& size)
      : CSkinControl(parent, id, pos, size) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
      wxAutoBufferedPaintDC dc(this);
      const wxBitmap backdrop = ParentBackdrop(this);
      if (backdrop.IsOk()) dc.DrawBitmap(backdrop, 0, 0);
      wxImage icon;
      if (LoadPngResource(icon, 266)) dc.DrawBitmap(wxBitmap(icon, 32), 0, 0, true);
    });
  }
};

}  // namespace

CSwitchAccountDlg::CSwitchAccountDlg(wxWindow* parent)
    : CDiyDialog(parent, 264, 263, "Quarlo") {
  m_minimizeShown = 0;
  SetName("SwitchAccountDlg");
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndModal(wxID_OK); }, kOkButton);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndModal(wxID_CANCEL); }, kCancelButton);
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) {
    if (IsModal()) EndModal(wxID_CANCEL);
    else Hide();
  });
}

bool CSwitchAccountDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  SetArtSize(355, 197);
  ILanguages* lang = Languages();
  auto text = [lang](const char* section, const char* key) {
    return lang ? wxString(lang->GetText(section, key).c_str()) : wxString();
  };
  const wxFont buttonFont = CreateLanguageFont("FONT_MESSAGEBOX_BUTTON");
  const wxFont questionFont = CreateLanguageFont("FONT_SWITCH_STATIC");
  auto makeButton = [&](int id, const char* key, int x) {
    auto* b = new CColorButton(this, id, wxPoint(x, 160), wxSize(75, 25));
    b->m_textColour = 0xFF434343;
    b->m_normalImage = b->m_hoverImage = b->m_disabledImage = 334;
    b->m_pressedImage = 335;
    if (buttonFont.IsOk()) b->SetTextFont(buttonFont);
    b->SetText(text("UI", key));
    return b;
  };
  makeButton(kOkButton, "MSGBOX_BUTTON_OK", 170);
  makeButton(kCancelButton, "MSGBOX_BUTTON_CANCEL", 263);
  new CSwitchIcon(this, kIcon, wxPoint(70, 80), wxSize(32, 32));
  auto* question = new CDiyStatic(this, kQuestion, text("MESSAGEBOX", "MSGBOX_LOGIOUTUSER"),
                                  wxPoint(110, 80), wxSize(230, 40));
  question->m_textColour = 0xFF000000;
  // A long question wraps in its box rather than being cut.
  question->SetStringFormat(TextFormat{TextAlign::Near, TextAlign::Center, true});
  if (questionFont.IsOk()) question->SetTextFont(questionFont);
  SetTitle(text("UI", "DIALOG_TITLE"));
  m_textsApplied = true;
  return true;
}
