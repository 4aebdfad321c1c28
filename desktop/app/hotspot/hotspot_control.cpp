#include "desktop/app/hotspot/hotspot_control.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>

#include "desktop/foundation/profile_file.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/ui_config.h"

namespace {

constexpr char kPassphraseKey[] = "HotspotKey";
constexpr size_t kPassphraseChars = 12;
// No 0/O, 1/l/I: the user may have to type it on a phone.
constexpr char kAlphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";

class CSystemHotspotLayer : public IHotspotLayer {
 public:
  HotspotQuery Query() override { return Plat_HotspotQuery(); }
  HotspotStatus Start(const std::string& ssid, const std::string& passphrase, std::string& uuid,
                      std::string& error) override {
    std::string device;
    return Plat_HotspotStart(ssid, passphrase, uuid, device, error);
  }
  HotspotStatus Stop(const std::string& uuid, std::string& error) override {
    // An empty uuid would stop every profile of ours: never do that by accident.
    if (uuid.empty()) return HotspotStatus::Ok;
    return Plat_HotspotStop(uuid, error);
  }
};

std::mutex g_startedLock;
std::string g_started;  // guarded by g_startedLock

bool PassphraseUsable(const std::string& p) {
  if (p.size() < 8 || p.size() > 63) return false;
  for (char c : p)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

std::string SettingsPath() {
  return GetAppDataDir() + "/" + UiConfig::SettingsFileName();
}

}  // namespace

IHotspotLayer& SystemHotspotLayer() {
  static CSystemHotspotLayer layer;
  return layer;
}

ApView ApViewFor(const HotspotQuery& query, ApMoment moment) {
  ApView v;
  if (!query.activeUuid.empty()) {
    v.picture = kApPictureOk;
    v.statusKey = "AP_STARTED";
    v.stopShown = true;
    return v;
  }
  if (moment == ApMoment::AfterStart) {
    // The start did not bring a hotspot up; the user may try again.
    v.statusKey = "AP_DEVICE_UNAVAILABLE";
    v.startEnabled = query.status == HotspotStatus::Ok;
    return v;
  }
  switch (query.status) {
    case HotspotStatus::Ok:
      if (moment == ApMoment::AfterStop && query.deviceBusy) {
        v.statusKey = "AP_NOWIFI";
        return v;
      }
      v.picture = kApPictureOk;
      v.statusKey = "AP_OK";
      v.startEnabled = true;
      return v;
    case HotspotStatus::NoNetworkManager:
      v.statusKey = "AP_OS";
      return v;
    case HotspotStatus::NoWifiAdapter:
    case HotspotStatus::Failed:
      v.statusKey = "AP_NOWLAN";
      return v;
  }
  return v;
}

std::string MakeHotspotPassphrase() {
  std::string out;
  constexpr size_t kLetters = sizeof(kAlphabet) - 1;
  while (out.size() < kPassphraseChars) {
    unsigned char bytes[32];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) continue;
    for (unsigned char b : bytes) {
      // Rejection keeps every letter equally likely.
      if (b >= 256 - (256 % kLetters)) continue;
      out += kAlphabet[b % kLetters];
      if (out.size() == kPassphraseChars) break;
    }
  }
  return out;
}

std::string HotspotPassphrase() {
  const std::string path = SettingsPath();
  std::string pass = ProfileGetString(path, "qv_config", kPassphraseKey, "");
  if (PassphraseUsable(pass)) return pass;
  pass = MakeHotspotPassphrase();
  std::error_code ec;
  std::filesystem::create_directories(GetAppDataDir(), ec);
  if (ProfileWriteString(path, "qv_config", kPassphraseKey, pass)) chmod(path.c_str(), 0600);
  return pass;
}

void SetStartedHotspot(const std::string& uuid) {
  std::lock_guard<std::mutex> guard(g_startedLock);
  g_started = uuid;
}

std::string StartedHotspot() {
  std::lock_guard<std::mutex> guard(g_startedLock);
  return g_started;
}

void StopStartedHotspot(IHotspotLayer& layer) {
  const std::string uuid = StartedHotspot();
  if (uuid.empty()) return;
  std::string error;
  if (layer.Stop(uuid, error) == HotspotStatus::Ok) SetStartedHotspot("");
}
