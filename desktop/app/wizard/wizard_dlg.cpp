#include "desktop/app/wizard/wizard_dlg.h"

#include <wx/dcclient.h>
#include <wx/dirdlg.h>
#include <wx/statbmp.h>
#include <wx/textctrl.h>

#include <algorithm>

#include "desktop/app/support/dialog_ui.h"
#include "desktop/app/update/update_checker.h"
#include "desktop/app/site/web_pages.h"
#include "desktop/app/wizard/wizard_logic.h"
#include "desktop/foundation/diy_message_box.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_image.h"
#include "desktop/foundation/skin_list.h"
#include "desktop/foundation/ui_data.h"
#include "platform/registry.h"

namespace {

// The language picture on the left: 359 simplified Chinese (and any other id), 361 English,
// 360 traditional Chinese.
int WizardPictureFor(int language) { return language == 1 ? 361 : language == 2 ? 360 : 359; }

// The picture's area ends left of the steps' texts and lists (x 225 and 230).
class CLanguagePicture : public wxWindow {
 public:
  CLanguagePicture(wxWindow* parent, ILanguages* languages)
      : wxWindow(parent, 1142, wxPoint(8, 60), wxSize(214, 300)), m_languages(languages) {
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
      wxPaintDC dc(this);
      const double scale = SkinScale(this);
      wxImage image;
      if (!LoadPngResource(image, WizardPictureFor(m_languages ? m_languages->GetLanguage() : 0), scale))
        return;
      // A picture wider or taller than the area is shrunk to it, keeping its proportions, rather
      // than cut at the area's edge.
      const wxSize area = GetClientSize() * scale;
      const double fit = std::min({1.0, static_cast<double>(area.x) / image.GetWidth(),
                                   static_cast<double>(area.y) / image.GetHeight()});
      if (fit < 1)
        image.Rescale(std::max(1, static_cast<int>(image.GetWidth() * fit)),
                      std::max(1, static_cast<int>(image.GetHeight() * fit)), wxIMAGE_QUALITY_HIGH);
      dc.DrawBitmap(wxBitmap(image, 32, scale), 0, 0, true);
    });
  }

 private:
  ILanguages* m_languages;
};

}  // namespace

CWizardDlg::CWizardDlg(wxWindow* parent, desktop::IUIData* uiData)
    : CDiyDialog(parent, 155, 358, "Quarlo"), m_uiData(uiData) {
  m_dialogKind = 155;
  m_minimizeShown = 0;
  m_logoShown = 0;
  m_cornerSize = 25;
  if (m_uiData) m_uiData->AddRef();
  m_chooseFolder = [this](const wxString& title) {
    wxDirDialog dlg(this, title, wxString::FromUTF8(m_base), wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
    return dlg.ShowModal() == wxID_OK ? dlg.GetPath().ToStdString(wxConvUTF8) : std::string();
  };
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedNext(); }, kNextId);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedFront(); }, kFrontId);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedFinish(); }, kFinishId);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedBrowse(); }, kBrowseId);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedAdd(); }, kAddId);
  Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedDelete(); }, kDeleteId);
  Bind(wxEVT_RADIOBUTTON, [this](wxCommandEvent&) { OnBnClickedRadioDefault(); }, kRadioDefaultId);
  Bind(wxEVT_RADIOBUTTON, [this](wxCommandEvent&) { OnBnClickedRadioUser(); }, kRadioUserId);
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) {
    if (IsModal()) EndModal(wxID_CANCEL);
    else Hide();
  });
}

CWizardDlg::~CWizardDlg() {
  if (m_uiData) m_uiData->Release();
}

void CWizardDlg::Message(const std::string& key) {
  if (m_showMessage) {
    m_showMessage(key);
    return;
  }
  DiyMessageBox(Languages(), Languages()->GetText("MESSAGEBOX", key),
                Languages()->GetText("UI", "DIALOG_TITLE"), kMessageBoxOk, this);
}

void CWizardDlg::SetBase(const std::string& base) {
  m_base = base;
  if (m_baseEdit) m_baseEdit->ChangeValue(wxString::FromUTF8(base));
}

bool CWizardDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  ILanguages* l = Languages();
  const wxFont staticFont = CreateLanguageFont("FONT_WIZARD_STATIC");
  const wxFont static1Font = CreateLanguageFont("FONT_WIZARD_STATIC1");
  const wxFont buttonFont = CreateLanguageFont("FONT_WIZARD_BUTTON");
  new CLanguagePicture(this, l);

  m_title = new CDiyStatic(this, 1036, wxEmptyString, wxPoint(225, 82), wxSize(467, 47));
  if (staticFont.IsOk()) m_title->SetTextFont(staticFont);
  m_title->m_textColour = 0xFF434343;
  m_title->SetStringFormat(TextFormat{TextAlign::Near, TextAlign::Center, true});

  // Step 1: the proposal, the two choices, the base folder.
  std::string current;
  if (m_uiData) m_uiData->GetDefShare(current);
  m_defaultBase = ProposeBaseFolder(current);
  m_proposed = new CDiyStatic(this, 1143, wxEmptyString, wxPoint(230, 150), wxSize(460, 44));
  if (static1Font.IsOk()) m_proposed->SetTextFont(static1Font);
  m_proposed->m_textColour = 0xFF434343;
  m_proposed->SetStringFormat(TextFormat{TextAlign::Near, TextAlign::Center, true});
  m_proposed->SetLabel(LangText(l, "UI", "WIZARD_STATIC_FLODER1") +
                       wxString::FromUTF8(WizardDataFolder(m_defaultBase)) +
                       LangText(l, "UI", "WIZARD_STATIC_FLODER2"));
  auto makeRadio = [&](int id, int y, const char* key) {
    auto* r = new CColorButton(this, id, wxPoint(230, y), wxSize(300, 22));
    r->m_style = CColorButton::kRadio;
    r->m_textColour = 0xFF434343;
    if (static1Font.IsOk()) r->SetTextFont(static1Font);
    r->SetText(LangText(l, "UI", key));
    return r;
  };
  m_radioDefault = makeRadio(kRadioDefaultId, 205, "WIZARD_RADIO_DEF");
  m_radioUser = makeRadio(kRadioUserId, 235, "WIZARD_RADIO_USER");
  m_radioDefault->SetCheck(true);
  m_baseEdit = new wxTextCtrl(this, 1025, wxEmptyString, wxPoint(255, 266), wxSize(330, 26), wxTE_READONLY);
  if (static1Font.IsOk()) m_baseEdit->SetFont(static1Font);
  m_browse = new CColorButton(this, kBrowseId, wxPoint(595, 267), wxSize(70, 24));
  m_browse->m_normalImage = m_browse->m_hoverImage = m_browse->m_disabledImage = 362;
  m_browse->m_pressedImage = 363;
  m_browse->m_textColour = 0xFF000000;
  if (buttonFont.IsOk()) m_browse->SetTextFont(buttonFont);
  m_browse->SetText("...");
  m_browse->Enable(false);
  SetBase(m_defaultBase);

  // Step 2: the folder list.
  m_list = new CQVListCtrl(this, kListId, wxPoint(230, 112), wxSize(454, 250));
  m_list->InsertColumn(0, LangText(l, "UI", "WIZARD_LISTBOX_FOLDER"), ColumnFormat::Left, 130);
  m_list->InsertColumn(1, LangText(l, "UI", "WIZARD_LISTBOX_PATH"), ColumnFormat::Left, 322);
  m_list->SetColumnEllipsis(1, EllipsisAt::Middle);
  m_list->SetRowHeight(25);
  CQVHeaderCtrl* header = m_list->Header();
  header->m_headerHeight = 28;
  header->m_leftBorder = 0xFFD7D7D7;
  header->m_separator = 0xFFB8B8B8;
  header->m_topLine = 0xFFD7D7D7;
  header->m_bottomLine = 0xFFD7D7D7;
  header->m_textColour = 0xFF434343;
  header->m_frameLines = 0xFFAFAFAF;
  header->m_resizeMode = 1;
  if (staticFont.IsOk()) header->SetHeaderFont(staticFont);
  m_list->m_borderColour = 0xFFAFAFAF;
  m_list->Body()->Bind(wxEVT_LISTBOX, [this](wxCommandEvent& e) { OnNMClickList(e.GetSelection()); });
  auto makeButton = [&](int id, wxPoint pos, wxSize size, int normal, int pressed, uint32_t colour) {
    auto* b = new CColorButton(this, id, pos, size);
    b->m_normalImage = b->m_hoverImage = b->m_disabledImage = normal;
    b->m_pressedImage = pressed;
    b->m_textColour = colour;
    if (buttonFont.IsOk()) b->SetTextFont(buttonFont);
    return b;
  };
  m_add = makeButton(kAddId, wxPoint(230, 370), wxSize(80, 26), 364, 365, 0xFF434343);
  m_delete = makeButton(kDeleteId, wxPoint(320, 370), wxSize(80, 26), 364, 365, 0xFF434343);
  m_delete->Enable(false);
  m_front = makeButton(kFrontId, wxPoint(480, 410), wxSize(96, 30), 366, 367, 0xFFFFFFFF);
  m_next = makeButton(kNextId, wxPoint(590, 410), wxSize(96, 30), 366, 367, 0xFFFFFFFF);
  m_finish = makeButton(kFinishId, wxPoint(590, 410), wxSize(96, 30), 366, 367, 0xFFFFFFFF);

  // Step 3: the closing text and the link to the phone app.
  m_closing = new CDiyStatic(this, 1076, wxEmptyString, wxPoint(231, 130), wxSize(450, 60));
  if (staticFont.IsOk()) m_closing->SetTextFont(staticFont);
  m_closing->m_textColour = 0xFF434343;
  m_closing->SetStringFormat(TextFormat{TextAlign::Near, TextAlign::Near, true});
  m_link = new CLinkButtonCtrl(this, 1064, wxPoint(231, 200), wxSize(300, 24));
  const wxFont linkFont = CreateLanguageFont("FONT_WIZARD_LINK1", true);
  if (linkFont.IsOk()) m_link->SetTextFont(linkFont);
  m_link->m_textColour = 0xFF0040FF;
  m_link->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    OpenInBrowser(WebPage(LangText(Languages(), "URL", "URL_MFCLINK2").ToStdString(wxConvUTF8)));
  });

  // Stored at once: the wizard comes once, finished or not.
  if (Reg_OpenKey(RegRoot::CurrentUser, kQuarloKey, true) == kRegOk)
    Reg_SetDword(RegRoot::CurrentUser, kQuarloKey, "SetupWizard", 1);
  ShowStep(1);
  return true;
}

void CWizardDlg::ApplyLanguageTexts() {
  ILanguages* l = Languages();
  m_add->SetText(LangText(l, "UI", "WIZARD_BUTTON_ADD"));
  m_delete->SetText(LangText(l, "UI", "WIZARD_BUTTON_DELETE"));
  m_next->SetText(LangText(l, "UI", "WIZARD_BUTTON_NEXT"));
  m_front->SetText(LangText(l, "UI", "WIZARD_BUTTON_FRONT"));
  m_finish->SetText(LangText(l, "UI", "WIZARD_BUTTON_FINISH"));
  m_closing->SetLabel(LangText(l, "UI", "WIZARD_STATIC2"));
  m_link->SetLinkText(LangText(l, "UI", "WIZARD_MFCLINK2"));
  SetTitle(LangText(l, "UI", "DIALOG_TITLE"));
  Refresh();
}

void CWizardDlg::ShowStep(int step) {
  m_step = step;
  const bool s1 = step == 1, s2 = step == 2, s3 = step == 3;
  for (wxWindow* w : std::initializer_list<wxWindow*>{m_radioDefault, m_radioUser, m_proposed, m_baseEdit, m_browse})
    w->Show(s1);
  for (wxWindow* w : std::initializer_list<wxWindow*>{m_list, m_add, m_delete}) w->Show(s2);
  m_front->Show(!s1);
  m_next->Show(!s3);
  m_finish->Show(s3);
  m_closing->Show(s3);
  m_link->Show(s3);
  static const char* const kTitles[] = {"WIZARD_STATIC_TITLESTEP1", "WIZARD_STATIC_TITLESTEP2",
                                        "WIZARD_STATIC_TITLESTEP3"};
  m_title->SetLabel(LangText(Languages(), "UI", kTitles[(step >= 1 && step <= 3 ? step : 1) - 1]));
  if (s1) m_title->SetSize(225, 82, 467, 47);
  else m_title->SetSize(230, 76, 369, 27);
  m_backgroundImage = s1 ? 358 : 357;
  InvalidateBackdrop();
  Refresh();
}

void CWizardDlg::OnBnClickedNext() {
  if (m_step == 1) {
    // The base must take the data folder before the wizard goes on.
    if (CheckBaseFolder(m_base) != kBaseOk) {
      Message("MSGBOX_WIZARD_BADFOLDER");
      return;
    }
  }
  ShowStep(m_step + 1);
  if (m_step == 2) {
    FillDefaultShareList();
  }
}

void CWizardDlg::FillDefaultShareList() {
  ::FillDefaultShareList(*m_list, m_base, m_shares);
  m_delete->Enable(false);
}

void CWizardDlg::OnBnClickedFront() {
  if (m_step > 1) ShowStep(m_step - 1);
}

void CWizardDlg::OnBnClickedRadioDefault() {
  m_radioDefault->SetCheck(true);
  m_browse->Enable(false);
  std::string current;
  if (m_uiData) m_uiData->GetDefShare(current);
  m_defaultBase = ProposeBaseFolder(current);
  SetBase(m_defaultBase);
}

void CWizardDlg::OnBnClickedRadioUser() {
  m_radioUser->SetCheck(true);
  m_browse->Enable(true);
}

void CWizardDlg::OnBnClickedBrowse() {
  const std::string chosen = m_chooseFolder(LangText(Languages(), "OTHER", "OTHER_SELECT_DEFAULTFLODER"));
  if (chosen.empty()) return;
  if (CheckBaseFolder(chosen) != kBaseOk) {
    Message("MSGBOX_WIZARD_BADFOLDER");
    return;
  }
  SetBase(chosen);
}

void CWizardDlg::OnBnClickedAdd() {
  const std::string chosen = m_chooseFolder(LangText(Languages(), "OTHER", "OTHER_SELECTFLODER"));
  if (chosen.empty()) return;
  const int r = AddShareToList(chosen, -1, *m_list);
  if (r == -1) Message("MSGBOX_SHARESAMEFOLDER");
  else if (r == 1) m_shares.push_back(chosen);
}

void CWizardDlg::OnBnClickedDelete() {
  const int row = m_list->GetSelection();
  if (row < 0) return;
  const std::string path = m_list->RowText(row, 1);
  if (!WizardRowDeletable(path, m_base)) return;
  m_list->DeleteItem(row);
  for (auto it = m_shares.begin(); it != m_shares.end(); ++it) {
    if (*it == path) {
      m_shares.erase(it);
      break;
    }
  }
  m_delete->Enable(false);
}

void CWizardDlg::OnNMClickList(int row) {
  const bool deletable = row >= 0 && WizardRowDeletable(m_list->RowText(row, 1), m_base);
  if (m_delete->IsEnabled() != deletable) m_delete->Enable(deletable);
}

void CWizardDlg::OnBnClickedFinish() {
  if (!m_radioUser->GetCheck()) SetBase(m_defaultBase);
  ApplySetup();
  if (IsModal()) EndModal(wxID_OK);
  else Hide();
}

void CWizardDlg::ApplySetup() {
  if (!m_uiData) return;
  if (!m_base.empty() && CheckBaseFolder(m_base) == kBaseOk) {
    std::string current;
    m_uiData->GetDefShare(current);
    if (WizardDataFolder(m_base) != current) {
      m_moveResult = m_uiData->SetDefShare(m_base);
      const std::string key = MoveResultKey(m_moveResult);
      if (!key.empty()) Message(key);
    }
  }
  m_uiData->GetShare();  // the service's list first, so the new ones are added to it
  m_uiData->SetShare(&m_shares, nullptr);
}

bool RunSetupWizardIfNeeded(wxWindow* parent, desktop::IUIData* uiData) {
  if (Reg_OpenKey(RegRoot::CurrentUser, kQuarloKey, false) != kRegOk) return false;
  uint32_t done = 0;
  Reg_GetDword(RegRoot::CurrentUser, kQuarloKey, "SetupWizard", done);
  if (done != 0) return false;
  CWizardDlg wizard(parent, uiData);
  wizard.CentreOnScreen();
  wizard.ShowModal();
  return true;
}
