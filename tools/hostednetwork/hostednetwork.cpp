#include "tools/hostednetwork/hostednetwork.h"

#include <cstdio>

#include "platform/hotspot.h"

namespace {

const char kStart[] = "/start";
const char kStop[] = "/stop";
constexpr size_t kStartLen = sizeof(kStart) - 1;
constexpr size_t kStopLen = sizeof(kStop) - 1;

bool Refuse(HostedNetworkRequest& request, const std::string& why) {
  request = HostedNetworkRequest();
  request.error = why;
  return false;
}

bool StartsWithWord(const std::string& text, const char* word, size_t len) {
  return text.compare(0, len, word) == 0 && (text.size() == len || text[len] == ' ');
}

int ExitFor(HotspotStatus st) {
  switch (st) {
    case HotspotStatus::Ok:
      return kExitOk;
    case HotspotStatus::NoNetworkManager:
    case HotspotStatus::NoWifiAdapter:
      return kExitNotPossible;
    case HotspotStatus::Failed:
      break;
  }
  return kExitFailed;
}

}  // namespace

const char kHostedNetworkUsage[] =
    "usage: qv_hostednetwork /start NAME PASSPHRASE\n"
    "       qv_hostednetwork /start '\"NAME WITH BLANKS\"' PASSPHRASE\n"
    "       qv_hostednetwork /stop\n"
    "/start brings up a Wi-Fi hotspot through NetworkManager and keeps it up until this\n"
    "program is stopped; /stop takes it down from another shell. The passphrase has 8 to 63\n"
    "printable ASCII characters. Exit status: 0 done, 1 NetworkManager failed, 2 bad command\n"
    "line, 3 no NetworkManager or no Wi-Fi adapter that can be an access point.\n";

bool ParseHostedNetworkCommandLine(const std::string& commandLine, HostedNetworkRequest& request) {
  request = HostedNetworkRequest();
  if (StartsWithWord(commandLine, kStart, kStartLen)) {
    if (commandLine.size() <= kStartLen + 1)
      return Refuse(request, "/start needs a network name and a passphrase");
    const std::string body = commandLine.substr(kStartLen + 1);
    std::string name;
    std::string pass;
    if (body[0] == '"') {
      // The name ends at the first quote that a blank follows, so it may hold blanks.
      size_t close = std::string::npos;
      for (size_t i = 1; i + 1 < body.size(); ++i) {
        if (body[i] == '"' && body[i + 1] == ' ') {
          close = i;
          break;
        }
      }
      if (close == std::string::npos)
        return Refuse(request,
                      "the quoted network name needs a closing quote, a blank and the passphrase");
      name = body.substr(1, close - 1);
      pass = body.substr(close + 2);
    } else {
      const size_t blank = body.find(' ');
      if (blank == std::string::npos)
        return Refuse(request, "a blank and the passphrase must follow the network name");
      name = body.substr(0, blank);
      pass = body.substr(blank + 1);
    }
    if (name.empty()) return Refuse(request, "the network name is empty");
    if (name.size() > kMaxNetworkNameBytes)
      return Refuse(request, "the network name is longer than " +
                                 std::to_string(kMaxNetworkNameBytes) + " bytes");
    for (unsigned char c : name)
      if (c < 0x20 || c == 0x7f)
        return Refuse(request, "the network name contains a control character");
    if (pass.size() < kMinPassphraseChars || pass.size() > kMaxPassphraseChars)
      return Refuse(request, "the passphrase must have " + std::to_string(kMinPassphraseChars) +
                                 " to " + std::to_string(kMaxPassphraseChars) + " characters");
    for (unsigned char c : pass)
      if (c < 0x20 || c > 0x7e)
        return Refuse(request, "the passphrase may contain printable ASCII characters only");
    request.mode = kHostedNetworkStart;
    request.networkName = name;
    request.passphrase = pass;
    return true;
  }
  if (StartsWithWord(commandLine, kStop, kStopLen)) {
    request.mode = kHostedNetworkStop;
    return true;
  }
  return Refuse(request, "unknown command");
}

std::string HostedNetworkCommandLine(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

int ConfigureHostedNetwork(const std::string& passphrase, const std::string& networkName,
                           HostedNetworkHandle& handle, std::string& error) {
  handle = HostedNetworkHandle();
  return ExitFor(Plat_HotspotStart(networkName, passphrase, handle.profile, handle.device, error));
}

int RunHostedNetworkCommand(HostedNetworkHandle& handle, const std::string& commandLine) {
  handle = HostedNetworkHandle();
  HostedNetworkRequest request;
  if (!ParseHostedNetworkCommandLine(commandLine, request)) {
    std::fprintf(stderr, "qv_hostednetwork: %s\n%s", request.error.c_str(), kHostedNetworkUsage);
    return kExitUsage;
  }
  std::string error;
  if (request.mode == kHostedNetworkStop) {
    const int rc = ExitFor(Plat_HotspotStop(std::string(), error));
    if (rc != kExitOk) {
      std::fprintf(stderr, "qv_hostednetwork: %s\n", error.c_str());
    } else {
      std::printf("The hotspot is down.\n");
    }
    return rc;
  }
  const int rc = ConfigureHostedNetwork(request.passphrase, request.networkName, handle, error);
  if (rc != kExitOk) {
    std::fprintf(stderr, "qv_hostednetwork: %s\n", error.c_str());
    return rc;
  }
  std::printf("The hotspot \"%s\" is up on %s; it stays up until this program is stopped.\n",
              request.networkName.c_str(), handle.device.c_str());
  std::fflush(stdout);
  return kExitOk;
}

int StopHostedNetwork(const HostedNetworkHandle& handle) {
  if (handle.profile.empty()) return kExitOk;
  std::string error;
  const int rc = ExitFor(Plat_HotspotStop(handle.profile, error));
  if (rc != kExitOk) {
    std::fprintf(stderr, "qv_hostednetwork: %s\n", error.c_str());
  } else {
    std::printf("The hotspot is down.\n");
  }
  return rc;
}
