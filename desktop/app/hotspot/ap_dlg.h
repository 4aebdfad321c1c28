#pragma once
// The hotspot dialog: starts and stops a Wi-Fi hotspot for the phones with this installation's
// own passphrase, shown in the dialog. The state comes from NetworkManager each time; starting
// and stopping run on the dialog's background tasks, the dialog only shows "please wait"
// meanwhile.
#include <functional>
#include <string>

#include "desktop/app/hotspot/hotspot_control.h"
#include "desktop/app/support/background_task.h"
#include "desktop/app/support/dialog_ui.h"
#include "desktop/foundation/diy_dialog.h"

class CColorButton;
class CDiyStatic;

class CApDlg : public CDiyDialog {
 public:
  // layer: by default NetworkManager.
  explicit CApDlg(wxWindow* parent, IHotspotLayer* layer = nullptr);
  ~CApDlg() override;

  void UpdateApState();  // asks the layer on a worker, then shows
  void OnBnClickedStart();
  void OnBnClickedStop();
  void LayoutStatus();
  bool Working() const { return m_working; }
  const ApView& View() const { return m_view; }
  wxString StatusText() const;
  wxString KeyText() const;

  static constexpr int kStartId = 1126, kStopId = 1127, kStatusId = 1123, kTitleId = 1136,
                       kPictureId = 1128, kKeyId = 1124;

 protected:
  bool OnInitDialog() override;
  void ApplyLanguageTexts() override;
  void OnMinimize() override {}

 private:
  void Run(ApMoment moment, std::function<void()> action);
  void ShowView(const ApView& view);

  IHotspotLayer* m_layer;
  CColorButton* m_start = nullptr;
  CColorButton* m_stop = nullptr;
  CDiyStatic* m_status = nullptr;
  CDiyStatic* m_title = nullptr;
  CDiyStatic* m_key = nullptr;
  wxWindow* m_picture = nullptr;
  ApView m_view;
  std::string m_passphrase;
  bool m_working = false;
  CBackgroundTasks m_tasks;  // the layer's queries, starts and stops
};
