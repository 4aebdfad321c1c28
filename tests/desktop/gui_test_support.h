#pragma once
// Driving real windows under Xvfb: the desktop user is played by xdotool, screenshots are taken
// with ImageMagick's import, both as separate processes. Commands run on a helper thread while
// the main thread runs a window's modal loop; the helper thread never touches a widget.
#include <wx/app.h>
#include <wx/colour.h>
#include <wx/image.h>
#include <wx/utils.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/run_command.h"

inline std::string Tool(const std::vector<std::string>& argv, int timeoutMs = 20000) {
  const RunResult r = Plat_RunCapture(argv, timeoutMs);
  return r.exitStatus == 0 ? r.output : "";
}

// The X window id of the first window with this exact title, waiting for it to be mapped.
inline std::string WindowId(const std::string& title) {
  std::string out = Tool({"xdotool", "search", "--sync", "--onlyvisible", "--name", "^" + title + "$"});
  const size_t nl = out.find('\n');
  return nl == std::string::npos ? out : out.substr(0, nl);
}

// A window is mapped before it has painted, and on a busy machine the paint can come much
// later: the shot is taken again until two in a row are the same picture of more than one
// colour (the window as drawn, not its empty backing), or the time is up.
inline bool Screenshot(const std::string& windowId, const std::string& path) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string last;
  for (;;) {
    if (Plat_RunCapture({"import", "-window", windowId, path}, 20000).exitStatus != 0) return false;
    const std::string picture = Tool({"identify", "-format", "%k %#", path});
    if (!picture.empty() && picture.rfind("1 ", 0) != 0 && picture == last) return true;
    if (std::chrono::steady_clock::now() >= end) return true;  // the last shot stands
    last = picture;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

inline std::string ScreenshotDir() { return std::string(QUARLO_BUILD_DIR) + "/screenshots"; }

// Runs the main loop's pending work until pred holds or the time is up.
template <typename Pred>
bool PumpUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    wxTheApp->Yield(true);
    if (pred()) return true;
    wxMilliSleep(10);
  }
  return false;
}

inline wxColour PixelAt(const wxImage& image, int x, int y) {
  return wxColour(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
}

inline bool Near(const wxColour& a, const wxColour& b, int tolerance = 12) {
  return std::abs(a.Red() - b.Red()) <= tolerance && std::abs(a.Green() - b.Green()) <= tolerance &&
         std::abs(a.Blue() - b.Blue()) <= tolerance;
}
