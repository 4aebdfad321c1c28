#pragma once
// The about box: a picture of the interface language, the product mark, a link to the home
// page and the about text. Modal, no minimize button.
#include "desktop/foundation/diy_dialog.h"

class CDiyStatic;
class CLinkButtonCtrl;

// The language picture: 374 English, 373 traditional Chinese, 372 otherwise.
int AboutPictureFor(int language);

class CAboutDlg : public CDiyDialog {
 public:
  explicit CAboutDlg(wxWindow* parent);
  int PictureShown() const;
  wxString LinkUrl() const { return m_url; }

 protected:
  bool OnInitDialog() override;
  void ApplyLanguageTexts() override;
  void OnMinimize() override {}

 private:
  CDiyStatic* m_about = nullptr;
  CLinkButtonCtrl* m_link = nullptr;
  wxString m_url;
};

void ShowAboutDlg(wxWindow* parent);
