#pragma once
// The question asked before the logged-on account is logged out for another one: an icon,
// the question and two buttons. Modal; wxID_OK (Enter, OK) or wxID_CANCEL (Escape, Cancel,
// close). It shows the language current when it opens.
#include "desktop/foundation/diy_dialog.h"

class CColorButton;
class CDiyStatic;

class CSwitchAccountDlg : public CDiyDialog {
 public:
  explicit CSwitchAccountDlg(wxWindow* parent = nullptr);
  static constexpr int kOkButton = 1112;
  static constexpr int kCancelButton = 1113;
  static constexpr int kIcon = 1110;
  static constexpr int kQuestion = 1111;

 protected:
  bool OnInitDialog() override;
  void ApplyLanguageTexts() override {}  // set once at the start
  void OnEnterKey() override { EndModal(wxID_OK); }
  void OnMinimize() override {}
};
