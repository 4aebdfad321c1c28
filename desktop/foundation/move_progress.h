#pragma once
// Moving the data folder with a progress dialog: the copy runs on a worker thread, which only
// posts its progress; the dialog lives on the main thread, which keeps handling events.
#include <wx/window.h>

#include "desktop/foundation/ui_data.h"

// A mover for CUIData::SetMover. title and message are shown in the dialog.
desktop::CUIData::Mover MakeProgressMover(wxWindow* parent, const wxString& title, const wxString& message);
