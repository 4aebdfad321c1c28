// The windows around the main window: update checker and its dialogs, registration, the
// first-run wizard, the hotspot dialog, the about box and the banner. None yet: the main
// window goes on without them.
#include "desktop/app/app_seams.h"

void InstallPeriphery(AppSeams&) {}
