// Quarlo, the desktop program: the application object runs the main window for its whole life.
#include <cstdio>
#include <cstring>

#include <wx/app.h>

#include "desktop/app/quarlo_app.h"

wxIMPLEMENT_APP_NO_MAIN(CQuarloApp);

namespace {

constexpr char kUsage[] =
    "Usage: Quarlo\n"
    "The desktop program of Quarlo: logs this PC on with your account, shows its state in\n"
    "the tray, and opens the settings. It starts the service QuarloClient when needed.\n"
    "Only one runs per user; a second start says so and ends.\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::fprintf(stderr, "Quarlo: unknown argument %s\n%s", argv[i], kUsage);
    return 2;
  }
  return wxEntry(argc, argv);
}
