#pragma once
// Replies that a pool task works out (a question to the desktop program, an exchange with the
// central server) while the transport goes on serving others. A libevent connection belongs to
// its loop's thread, so the reply is written there; the asking connection is held meanwhile, so
// its later requests wait and its replies keep their order. A connection that closes first gets
// nothing. A UDT socket is written from the finishing thread.
#include <cstdint>
#include <functional>

#include "common/proto_local_api.h"

struct bufferevent;
struct PeerRoute;

// Makes libevent's bases thread-aware (once; before the command server makes its base).
void DeferredReply_Install();

// Registers a reply to come; 0 when the route cannot take one (no connection and no socket).
uint64_t DeferredReply_Begin(const PeerRoute& route);
// The same for a request of a handler's arguments that carries no relay requester.
uint64_t DeferredReply_BeginFor(bufferevent* conn, int udtSock, char direct);
// Once per token, from any thread: sends `reply` (nothing when empty) and runs `delivered`
// where the reply is written, only while the connection still lives.
void DeferredReply_Finish(uint64_t token, WireBytes reply, std::function<void()> delivered = {});
// The connection ended: what waits for it is dropped.
void DeferredReply_OnConnectionClosed(bufferevent* conn);
// Whether the token's reply is still awaited by an open connection (or a UDT socket).
bool DeferredReply_Live(uint64_t token);
int DeferredReply_Pending();  // tests
