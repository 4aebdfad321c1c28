#pragma once
// A Wi-Fi hotspot stands in for the WLAN hosted network: NetworkManager brings it up through
// `nmcli` (found in PATH, run by argv). The passphrase reaches nmcli only through a 0600
// passwd-file and is never stored in the profile ("not saved"), so it lives for one
// activation, like a non-persistent hosted-network key. Without NetworkManager, or without a
// Wi-Fi adapter, every call fails cleanly with a message that says so.
#include <string>

enum class HotspotStatus {
  Ok = 0,
  NoNetworkManager,  // nmcli is missing or NetworkManager does not run
  NoWifiAdapter,     // no managed Wi-Fi device, or none that can act as an access point
  Failed,            // NetworkManager refused or did not answer in time
};

// The name of the connection profile the hotspot uses; only profiles of this name are ours.
extern const char* const kHotspotProfileName;

// Creates our profile for the SSID (WPA2-PSK, shared IPv4) on the first usable Wi-Fi device
// and activates it with the passphrase. Stale profiles of ours are removed first. On success
// profileUuid names the profile to stop later and device the interface it runs on. On failure
// nothing of ours is left behind and error says why.
HotspotStatus Plat_HotspotStart(const std::string& ssid, const std::string& passphrase,
                                std::string& profileUuid, std::string& device,
                                std::string& error);

// Takes the hotspot down and removes its profile: the one of profileUuid, or every profile of
// ours when it is empty. Nothing to stop is success.
HotspotStatus Plat_HotspotStop(const std::string& profileUuid, std::string& error);

// What NetworkManager says now: whether a hotspot can run, on which device, whether that
// device is busy with another network, and which profile of ours is active.
struct HotspotQuery {
  HotspotStatus status = HotspotStatus::Failed;  // Ok: NetworkManager runs and has a usable device
  std::string device;
  bool deviceBusy = false;   // the device carries a connection that is not ours
  std::string activeUuid;    // an active profile of ours, "" when none
  std::string error;
};
HotspotQuery Plat_HotspotQuery();
