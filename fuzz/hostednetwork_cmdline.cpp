// The hotspot tool's command line: whatever the text, the parser either refuses it or returns
// a name and passphrase a hotspot can use that are exactly the pieces of the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/hostednetwork/hostednetwork.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  HostedNetworkRequest r;
  const bool ok = ParseHostedNetworkCommandLine(line, r);
  if (ok != r.error.empty()) std::abort();
  if (!ok) {
    if (r.mode != kHostedNetworkNone || !r.networkName.empty() || !r.passphrase.empty())
      std::abort();
    return 0;
  }
  if (r.mode == kHostedNetworkStop) {
    if (line.compare(0, 5, "/stop") != 0 || !r.networkName.empty()) std::abort();
    return 0;
  }
  if (r.mode != kHostedNetworkStart) std::abort();
  if (r.networkName.empty() || r.networkName.size() > kMaxNetworkNameBytes) std::abort();
  if (r.passphrase.size() < kMinPassphraseChars || r.passphrase.size() > kMaxPassphraseChars)
    std::abort();
  for (unsigned char c : r.passphrase)
    if (c < 0x20 || c > 0x7e) std::abort();
  const std::string plain = "/start " + r.networkName + " " + r.passphrase;
  const std::string quoted = "/start \"" + r.networkName + "\" " + r.passphrase;
  if (line != plain && line != quoted) std::abort();
  return 0;
}
