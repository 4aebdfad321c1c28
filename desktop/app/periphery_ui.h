#pragma once
// Small pieces the update, registration, wizard, hotspot and about windows share: their
// template coordinates (dialog units of the classic 8-point dialog font) in pixels, language
// texts as wx strings, and handing a worker's result back to the main thread only while the
// window that asked still lives.
#include <wx/app.h>
#include <wx/gdicmn.h>
#include <wx/string.h>

#include <functional>
#include <memory>
#include <string>

#include "desktop/foundation/languages.h"

// Dialog units to pixels (x * 3 / 2, y * 13 / 8).
inline wxPoint DluPoint(int x, int y) { return wxPoint(x * 3 / 2, y * 13 / 8); }
inline wxSize DluSize(int cx, int cy) { return wxSize(cx * 3 / 2, cy * 13 / 8); }

inline wxString LangText(ILanguages* languages, const char* section, const std::string& key) {
  if (!languages) return wxString();
  return wxString(languages->GetText(section, key).c_str());
}

// A token the window owns; workers keep a weak copy and post only while it is alive.
using AliveToken = std::shared_ptr<int>;
inline void PostToMainThread(const std::weak_ptr<int>& alive, std::function<void()> fn) {
  if (!wxTheApp) return;
  wxTheApp->CallAfter([alive, fn] {
    if (alive.lock()) fn();
  });
}

// Opens an http(s) address in the user's browser; anything else is ignored.
void OpenWebAddress(const wxString& url);
