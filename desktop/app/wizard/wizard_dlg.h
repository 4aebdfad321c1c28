#pragma once
// The first-run wizard: step 1 the base of the data folder (the one the service has, or a
// folder of the user's own), step 2 further folders for the phones, step 3 a closing page.
// "SetupWizard" = 1 is stored as soon as it opens; Finish hands the base and the shares to
// the service and says when the data folder could not be moved.
#include <functional>
#include <string>
#include <vector>

#include "desktop/foundation/diy_dialog.h"

class CColorButton;
class CDiyStatic;
class CLinkButtonCtrl;
class CQVListCtrl;
class wxTextCtrl;
namespace desktop {
class IUIData;
}

class CWizardDlg : public CDiyDialog {
 public:
  // uiData may be null (nothing is applied). The chooser asks the user for a folder ("" when
  // cancelled); by default a folder dialog.
  using FolderChooser = std::function<std::string(const wxString& title)>;
  CWizardDlg(wxWindow* parent, desktop::IUIData* uiData);
  ~CWizardDlg() override;
  void SetFolderChooser(FolderChooser chooser) { m_chooseFolder = std::move(chooser); }

  void ShowStep(int step);
  int Step() const { return m_step; }
  void OnBnClickedNext();
  void OnBnClickedFront();
  // Step 2's list: the data folder's row first, then the folders the user added.
  void FillDefaultShareList();
  void OnBnClickedFinish();
  void OnBnClickedRadioDefault();
  void OnBnClickedRadioUser();
  void OnBnClickedBrowse();
  void OnBnClickedAdd();
  void OnBnClickedDelete();
  void OnNMClickList(int row);
  std::string BaseFolder() const { return m_base; }
  const std::vector<std::string>& Shares() const { return m_shares; }
  CQVListCtrl* List() const { return m_list; }
  int LastMoveResult() const { return m_moveResult; }
  // Shows messages through this (tests); by default the skinned message box.
  std::function<void(const std::string& key)> m_showMessage;

  static constexpr int kNextId = 1029, kFinishId = 1030, kFrontId = 1039, kBrowseId = 1028,
                       kAddId = 1034, kDeleteId = 1035, kRadioDefaultId = 1145, kRadioUserId = 1146,
                       kListId = 1033;

 protected:
  bool OnInitDialog() override;
  void ApplyLanguageTexts() override;
  void OnMinimize() override {}

 private:
  void Message(const std::string& key);
  void ApplySetup();
  void SetBase(const std::string& base);

  desktop::IUIData* m_uiData;
  FolderChooser m_chooseFolder;
  int m_step = 1;
  std::string m_base;         // the chosen base folder
  std::string m_defaultBase;  // the proposed one
  std::vector<std::string> m_shares;
  int m_moveResult = 1;
  CDiyStatic* m_title = nullptr;
  CDiyStatic* m_proposed = nullptr;
  CDiyStatic* m_closing = nullptr;
  wxTextCtrl* m_baseEdit = nullptr;
  CQVListCtrl* m_list = nullptr;
  CColorButton* m_radioDefault = nullptr;
  CColorButton* m_radioUser = nullptr;
  CColorButton* m_browse = nullptr;
  CColorButton* m_add = nullptr;
  CColorButton* m_delete = nullptr;
  CColorButton* m_front = nullptr;
  CColorButton* m_next = nullptr;
  CColorButton* m_finish = nullptr;
  CLinkButtonCtrl* m_link = nullptr;
};

// Opens the wizard when "SetupWizard" under the current user's SOFTWARE\Quarlo is 0 or
// absent (and the key exists); true when it ran.
bool RunSetupWizardIfNeeded(wxWindow* parent, desktop::IUIData* uiData);
