#include "desktop/app/about/about_dlg.h"

#include <wx/dcclient.h>

#include <functional>

#include "desktop/app/site/web_pages.h"
#include "desktop/app/support/dialog_ui.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_image.h"

namespace {

class CPicture : public wxWindow {
 public:
  CPicture(wxWindow* parent, int id, wxPoint pos, wxSize size, std::function<int()> png)
      : wxWindow(parent, id, pos, size), m_png(std::move(png)) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
      wxPaintDC dc(this);
      dc.DrawBitmap(ParentBackdrop(this), 0, 0);
      wxImage image;
      if (LoadPngResource(image, m_png())) dc.DrawBitmap(wxBitmap(image), 0, 0, true);
    });
  }

 private:
  std::function<int()> m_png;
};

}  // namespace

int AboutPictureFor(int language) { return language == 1 ? 374 : language == 2 ? 373 : 372; }

CAboutDlg::CAboutDlg(wxWindow* parent) : CDiyDialog(parent, 156, 371, "Quarlo") {
  m_dialogKind = 156;
  m_minimizeShown = 0;
  m_contentTop = m_captionBand + 113;
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) {
    if (IsModal()) EndModal(wxID_CANCEL);
    else Hide();
  });
}

int CAboutDlg::PictureShown() const { return AboutPictureFor(Languages() ? Languages()->GetLanguage() : 0); }

bool CAboutDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  new CPicture(this, 1040, wxPoint(180, 92), wxSize(86, 123), [this] { return PictureShown(); });
  new CPicture(this, 1148, wxPoint(124, 240), wxSize(51, 29), [] { return 375; });
  m_link = new CLinkButtonCtrl(this, 1064, wxPoint(184, 242), wxSize(230, 24));
  const wxFont linkFont = CreateLanguageFont("FONT_ABOUT_STATIC", true);
  if (linkFont.IsOk()) m_link->SetTextFont(linkFont);
  m_link->m_textColour = 0xFF0F92E5;
  m_link->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OpenInBrowser(m_url.ToStdString(wxConvUTF8)); });
  m_about = new CDiyStatic(this, 1067, wxEmptyString, wxPoint(10, 330), wxSize(427, 24));
  const wxFont aboutFont = CreateLanguageFont("FONT_ABOUT_STATIC1");
  if (aboutFont.IsOk()) m_about->SetTextFont(aboutFont);
  m_about->m_textColour = 0xFF878787;
  m_about->SetStringFormat(TextFormat{TextAlign::Center, TextAlign::Center, false});
  SetArtSize(447, 385);
  return true;
}

void CAboutDlg::ApplyLanguageTexts() {
  ILanguages* l = Languages();
  // The language file names the page by its path on the site.
  m_url = wxString::FromUTF8(WebPage(LangText(l, "URL", "URL_HOMEPAGE").ToStdString(wxConvUTF8)));
  m_link->SetLinkText(LangText(l, "UI", "ABOUT_STATIC_LINK2"));
  m_about->SetLabel(LangText(l, "UI", "ABOUT_STATIC_ABOUT2"));
  SetTitle(LangText(l, "UI", "DIALOG_TITLE"));
  Refresh();
}

void ShowAboutDlg(wxWindow* parent) {
  CAboutDlg dlg(parent);
  dlg.CentreOnScreen();
  dlg.ShowModal();
}
