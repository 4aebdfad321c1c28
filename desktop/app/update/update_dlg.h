#pragma once
// The two dialogs of the update flow: the release notes of the version just installed
// (CUpdateDlg; fetched on a worker, the dialog closes by itself when they cannot be had) and
// the notice that a newer version is there (CUpdateNoticeDlg: update, later, and a box to
// update without asking from now on; a banner of the site on top).
#include <string>

#include "desktop/app/support/background_task.h"
#include "desktop/app/support/dialog_ui.h"
#include "desktop/foundation/diy_dialog.h"

class wxTextCtrl;
class CColorButton;
class CDiyStatic;
class CHtmlDlg;

class CUpdateDlg : public CDiyDialog {
 public:
  explicit CUpdateDlg(wxWindow* parent);
  ~CUpdateDlg() override;
  // Starts the fetch of the notes; 1 when it was started.
  int LoadReleaseNotes();
  wxString Notes() const;
  bool NotesShown() const { return m_notesShown; }

 protected:
  bool OnInitDialog() override;
  void ApplyLanguageTexts() override;
  void OnMinimize() override {}

 private:
  wxTextCtrl* m_notes = nullptr;
  CColorButton* m_ok = nullptr;
  CDiyStatic* m_heading = nullptr;
  CDiyStatic* m_static3 = nullptr;
  CDiyStatic* m_static4 = nullptr;
  bool m_notesShown = false;
  bool m_fetchStarted = false;
  CBackgroundTasks m_tasks;  // the notes' fetch
};

// The notice's results: update (1) or not (2).
constexpr int kNoticeUpdate = 1;
constexpr int kNoticeCancel = 2;

class CUpdateNoticeDlg : public CDiyDialog {
 public:
  CUpdateNoticeDlg(wxWindow* parent, const std::wstring& version);
  void OnBnClickedUpdate();
  void OnBnClickedCancel();
  CHtmlDlg* Banner() const { return m_banner; }
  wxString Announcement() const;
  void SetNeverShow(bool on);

  static constexpr int kUpdateId = 1046, kCancelId = 1047, kNeverShowId = 1043, kTextId = 1045;

 protected:
  bool OnInitDialog() override;
  void ApplyLanguageTexts() override;
  void OnLanguageChanged() override;
  // Return means Update (a focused button is pressed as anywhere); Escape, like the caption's
  // close button, cancels and stores nothing.
  void OnEnterKey() override { OnBnClickedUpdate(); }
  void OnBnClickedClose() override;

 private:
  void End(int result);
  void CreateBanner();
  void NavigateBanner();

  std::wstring m_version;
  CColorButton* m_update = nullptr;
  CColorButton* m_cancel = nullptr;
  CColorButton* m_neverShow = nullptr;
  CDiyStatic* m_text = nullptr;
  CHtmlDlg* m_banner = nullptr;
};

// The notice as the update checker runs it on the main thread: true for "update".
bool RunUpdateNotice(const std::string& version);
// At start-up, after "UpdateFinish" was found 1: the notes, when the running program is the
// version that was downloaded.
void ShowUpdateDlgIfInstalled(wxWindow* parent);
