#pragma once
// Small pieces the update, registration, wizard, hotspot and about windows share: their
// template coordinates (dialog units of the classic 8-point dialog font) in pixels, and
// language texts as wx strings.
#include <wx/gdicmn.h>
#include <wx/string.h>

#include <string>

#include "desktop/foundation/languages.h"

// Dialog units to pixels (x * 3 / 2, y * 13 / 8).
inline wxPoint DluPoint(int x, int y) { return wxPoint(x * 3 / 2, y * 13 / 8); }
inline wxSize DluSize(int cx, int cy) { return wxSize(cx * 3 / 2, cy * 13 / 8); }

inline wxString LangText(ILanguages* languages, const char* section, const std::string& key) {
  if (!languages) return wxString();
  return wxString(languages->GetText(section, key).c_str());
}
