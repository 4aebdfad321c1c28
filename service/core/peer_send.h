#pragma once
// The one way handlers send their own messages to a peer: the command-server connection, the
// UDT socket, or (for a request that came through the relay) a relay reply frame whose prefix
// carries the PC's identity and the requester's. Transports never branch on opcodes; handlers
// never branch on transports.
//
// Only a connection's own loop thread writes to it. A pool task working a request of a
// connection gets a route whose outbox is that request's deferred reply: its sends are handed
// to the loop, which writes them while the connection lives and drops them once it closed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/proto_local_api.h"  // WireBytes
#include "common/proto_relay.h"

struct bufferevent;

// RelayHeader + char[64] requester identity: 134.
constexpr size_t kRelayReplyPrefixSize = kRelayHeaderSize + kIdentityFieldSize;

struct PeerRoute {
  bufferevent* conn = nullptr;  // command server or relay connection
  int udtSock = -1;             // -1 for none
  bool direct = true;           // false: the request came inside a relay data frame
  std::string requester;        // relay only: the first 64 bytes of the request body
  uint64_t outbox = 0;          // non-zero off the loop: sends go through this deferred reply
};

// Builds the route of a request from a handler's arguments (body may be null). On a pool task
// working a posted request of conn, the route's outbox is that request's deferred reply.
PeerRoute RouteOf(const char* body, size_t bodyLen, bufferevent* conn, int udtSock, char direct);

// Sends one message: as one UDT message (time-to-live -1, inOrder as given), written to the
// connection, or framed as a relay reply. With an outbox the bytes go to the loop instead. 0 on
// success, -1 when it could not be sent or queued (also for a relay frame whose total would not
// fit its u16 length, an outbox whose connection closed or that is full, and a write to a
// connection attempted from a pool task that is not its loop).
int SendToPeer(const PeerRoute& route, const uint8_t* data, size_t len, bool inOrder = true);

// The 134-byte relay reply prefix for a message of payloadLen bytes: RelayHeader {134 + len,
// 7, 0x1009, g_szUUID} + the requester identity, both zero-padded to 64. False when the total
// exceeds 65535.
bool EncodeRelayReplyPrefix(const std::string& requester, size_t payloadLen, uint8_t* out);

// Where the bytes of a route with an outbox go: the deferred replies register themselves (they
// sit above this file and send through it). False: not queued.
using OutboxSink = bool (*)(uint64_t token, WireBytes framed);
void PeerSend_SetOutboxSink(OutboxSink sink);

// Bytes waiting in the connection's output buffer (0 for UDT, none, or off the loop).
size_t PendingOutput(const PeerRoute& route);
