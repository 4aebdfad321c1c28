#pragma once
// What the hotspot dialog shows and does, apart from its window: the state as NetworkManager
// reports it, the per-installation passphrase, and the hotspot this program started (the only
// one it ever stops on its own). The layer is an interface so the dialog's states can be
// driven without NetworkManager.
#include <string>

#include "platform/hotspot.h"

constexpr char kHotspotSsid[] = "quarlo";
constexpr int kApPictureOk = 331;
constexpr int kApPictureNotPossible = 266;

class IHotspotLayer {
 public:
  virtual ~IHotspotLayer() = default;
  virtual HotspotQuery Query() = 0;
  virtual HotspotStatus Start(const std::string& ssid, const std::string& passphrase,
                              std::string& uuid, std::string& error) = 0;
  virtual HotspotStatus Stop(const std::string& uuid, std::string& error) = 0;
};
// NetworkManager through the platform layer.
IHotspotLayer& SystemHotspotLayer();

enum class ApMoment { Opened, AfterStart, AfterStop };
struct ApView {
  int picture = kApPictureNotPossible;
  std::string statusKey;  // section "UI"
  bool stopShown = false;  // else the start button shows
  bool startEnabled = false;
};
ApView ApViewFor(const HotspotQuery& query, ApMoment moment);

// The passphrase of this installation: made at random on first use (12 characters of letters
// and digits), kept in the per-user settings file ("HotspotKey", the file readable by its
// owner only).
std::string HotspotPassphrase();
std::string MakeHotspotPassphrase();

// The profile this program started ("" when none); at exit only that one is stopped.
void SetStartedHotspot(const std::string& uuid);
std::string StartedHotspot();
void StopStartedHotspot(IHotspotLayer& layer);
