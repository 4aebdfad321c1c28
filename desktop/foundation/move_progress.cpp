#include "desktop/foundation/move_progress.h"

#include <wx/app.h>
#include <wx/progdlg.h>

#include <atomic>
#include <memory>
#include <thread>

desktop::CUIData::Mover MakeProgressMover(wxWindow* parent, const wxString& title, const wxString& message) {
  return [parent, title, message](const desktop::CUIData::MoveJob& job) {
    struct State {
      std::atomic<bool> done{false};
      std::atomic<int> result{-1};
      std::atomic<uint64_t> doneBytes{0}, totalBytes{0};
    };
    auto state = std::make_shared<State>();
    std::thread worker([state, job] {
      state->result = job([state](uint64_t d, uint64_t t) {
        state->doneBytes = d;
        state->totalBytes = t;
      });
      state->done = true;
      wxWakeUpIdle();
    });
    {
      wxProgressDialog dialog(title, message, 1000, parent, wxPD_APP_MODAL | wxPD_AUTO_HIDE | wxPD_SMOOTH);
      while (!state->done) {
        const uint64_t total = state->totalBytes;
        const int value = total ? static_cast<int>(state->doneBytes * 1000 / total) : 0;
        dialog.Update(std::min(value, 999));
        wxMilliSleep(20);
        wxTheApp->Yield(true);
      }
    }
    worker.join();
    return static_cast<int>(state->result);
  };
}
