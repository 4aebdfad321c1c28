#pragma once
// The one way a request from any road (command connection, UDT, relay frame, the relay cache)
// reaches its handler: parse, admit, place, handle, reply. A road only reads its frames into a
// PeerRequest and says how a reply goes back on it, so every rule here holds on every road.
#include <cstddef>
#include <cstdint>

#include "common/opcode_registry.h"
#include "common/peer_trust.h"
#include "common/wire.h"

struct bufferevent;

// A request as a road hands it over. The bytes belong to the road and live until Request_Run
// returns (a placer that keeps the request copies them).
struct PeerRequest {
  CallerTrust trust;           // the road, the peer, the relay requester
  CommandHeader header{};      // host order; through the relay the inner message's header
  const char* body = nullptr;  // bytes after the header, null when none; through the relay
                               // the 64-byte requester, the inner header and the request
  size_t bodyLen = 0;          // bytes of body that arrived
  bufferevent* conn = nullptr; // command or relay connection, null for none
  int udtSock = -1;            // -1 for none
  char direct = 1;             // 0: it came inside a relay data frame
};

// How a road sends a handler's reply, already framed by the handler for a direct peer.
class IReplyChannel {
 public:
  virtual ~IReplyChannel() = default;
  virtual void Send(const char* bytes, size_t len) = 0;
};

// A channel for requests whose reply goes nowhere (the relay cache's fetched messages).
class CDropReplies : public IReplyChannel {
 public:
  void Send(const char*, size_t) override {}
};

// The body bytes a handler may read for this header: through the relay the requester and the
// whole inner message (64 + total), else the total less the header.
size_t Request_BodyNeeded(const CommandHeader& header, bool viaRelay);

// Parse: a total below the header, or a body shorter than its header says, is refused.
bool Request_Parse(const PeerRequest& request);

// The rule of admission, for every road: the local API only to a same-user loopback command
// connection; on a command or UDT connection nothing after a refused device log-in, and for a
// peer outside the PC's subnets only the log-in, the device heartbeat and the identity request
// until a log-in was accepted on that connection (conn, or udtSock for UDT); through the relay
// nothing more for a phone the desktop program refused.
bool PeerAdmitted(const CallerTrust& trust, uint16_t opcode, const void* conn, int udtSock);

// Handle: runs the handler with the request's arguments. A throwing handler leaves no reply:
// what it stored is freed and the length is 0. *reply must be null and *replyLen 0 on entry.
int Dispatch(OpcodeHandler handler, const PeerRequest& request, char** reply, int* replyLen);

// Admit, find the handler, place and handle. A refused request runs no handler and returns
// kErrPeerRefused; an unknown opcode returns kErrNotRegistered; a request its placer took
// returns 0 with no reply here (the task it went to replies itself).
int Dispatch(const PeerRequest& request, char** reply, int* replyLen);

// The whole way: parse (kErrNoBody when refused), Dispatch, and the reply, if any, through the
// road's channel. Returns what Dispatch returned.
int Request_Run(const PeerRequest& request, IReplyChannel& channel);
