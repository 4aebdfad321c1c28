#pragma once
// Replies that a pool task works out (a question to the desktop program, an exchange with the
// central server, a folder listing) while the transport goes on serving others. A libevent
// connection belongs to its loop's thread and may be freed there at any moment, so a task off
// the loop never touches it: it hands bytes here, and the loop writes them, only while the
// connection lives. The asking connection is held meanwhile, so its later requests wait and its
// replies keep their order. A connection that closes first gets nothing. A UDT socket is
// written from the finishing thread (UDT sockets are ids the library checks, never reused).
#include <cstddef>
#include <cstdint>
#include <functional>

#include "common/proto_local_api.h"

struct bufferevent;
struct PeerRoute;

// Makes libevent's bases thread-aware (once; before the command server makes its base).
void DeferredReply_Install();

// Registers a reply to come; 0 when the route cannot take one (no connection and no socket).
// On the connection's loop thread.
uint64_t DeferredReply_Begin(const PeerRoute& route);
// The same for a request of a handler's arguments that carries no relay requester.
uint64_t DeferredReply_BeginFor(bufferevent* conn, int udtSock, char direct);
// From any thread, before Finish: bytes (already framed for the route) written on the loop in
// the order given, ahead of the stream and the reply. False when the connection is gone, the
// token unknown or finished, or more than kDeferredQueueMax bytes already wait.
constexpr size_t kDeferredQueueMax = 256 * 1024;
bool DeferredReply_Send(uint64_t token, WireBytes framed);
// A long answer made one message at a time on the loop: called there while the connection's
// output is below kDeferredHighWater (again when it drained to kDeferredLowWater), until it
// returns false. Each message is sent as SendToPeer would (a relay route frames it). From any
// thread, before Finish; the stream goes with the entry when the connection closes.
using DeferredStream = std::function<bool(WireBytes& next)>;
constexpr size_t kDeferredLowWater = 64 * 1024;
constexpr size_t kDeferredHighWater = 256 * 1024;
void DeferredReply_Stream(uint64_t token, DeferredStream stream);
// Once per token, from any thread: sends `reply` (nothing when empty) after the stream ended
// and runs `delivered` where the reply is written, only while the connection still lives.
void DeferredReply_Finish(uint64_t token, WireBytes reply, std::function<void()> delivered = {});
// The connection ended: what waits for it is dropped.
void DeferredReply_OnConnectionClosed(bufferevent* conn);
// Whether the token's reply is still awaited by an open connection (or a UDT socket).
bool DeferredReply_Live(uint64_t token);
int DeferredReply_Pending();  // tests
// Tests: the largest output a stream left waiting on its connection after a refill.
size_t DeferredReply_PeakStreamOutput();
void DeferredReply_ResetPeakStreamOutput();
