// Datagrams on the peer-to-peer port (hole punches, acknowledgements, anything else), the
// CommandHeader check of UDT messages, and the rendezvous server's datagrams, all straight from
// the network.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/proto_p2p.h"
#include "service/roads/p2p_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> copy(data, data + size);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000001);
  from.sin_port = htons(40000);
  P2PHandleDatagram(copy.data(), copy.size(), from);
  CommandHeader h;
  UdtMessageHeader(copy.data(), copy.size(), h);
  // The central server's rendezvous reads heartbeats and requests of exactly their size.
  if (copy.size() == kHeartBeatSize) DecodeHeartBeatBody(copy.data() + kP2PHeaderSize);
  if (copy.size() == kRendezvousSize) DecodeRendezvousBody(copy.data() + kP2PHeaderSize);
  return 0;
}
