#include "desktop/foundation/move_progress.h"

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/progdlg.h>
#include <wx/timer.h>

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
      // The main thread keeps handling events in a loop of its own until the worker is done;
      // a timer looks at the progress, nothing sleeps.
      wxGUIEventLoop loop;
      wxTimer timer;
      timer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (state->done) {
          loop.Exit();
          return;
        }
        const uint64_t total = state->totalBytes;
        const int value = total ? static_cast<int>(state->doneBytes * 1000 / total) : 0;
        dialog.Update(std::min(value, 999));
      });
      timer.Start(30);
      if (!state->done) loop.Run();
      timer.Stop();
    }
    worker.join();
    return static_cast<int>(state->result);
  };
}
