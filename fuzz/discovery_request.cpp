// LAN discovery requests as they arrive on port 61617 (up to 513 bytes are read).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>

#include "common/proto_p2p.h"
#include "service/roads/lan_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t buffer[kDiscoveryRequestMax] = {};
  const size_t n = size < sizeof buffer ? size : sizeof buffer;
  if (n) std::memcpy(buffer, data, n);
  if (ParseBroadcastData(buffer, n) != 0) return 0;
  // An accepted request goes on to the adapter choice with a sender taken from the input.
  const std::map<std::string, AdapterAddress> adapters = {{"192.168.1.5", {0x0501A8C0u, 0x00FFFFFFu}}};
  uint32_t sender = 0;
  std::memcpy(&sender, buffer + 2, 4);
  ReplyAdaptersFor(adapters, sender);
  return 0;
}
