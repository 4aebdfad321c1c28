#pragma once
// Requests whose work touches the disk or the settings database (opening and hashing a file,
// folders and temporary files, the free-space query, folder listings, settings read or
// written) are worked on a pool task when they come in on an event thread, so a slow disk or a
// database commit never holds up the other connections of that thread. The reply is finished on
// the connection's own loop through the deferred replies, which hold the connection meanwhile:
// its later requests wait and its replies keep their order.
#include <string>

#include "common/opcode_registry.h"
#include "common/request_pipeline.h"

struct bufferevent;

// Hands the request to a pool task that runs `work` with the same arguments; false when it
// is to be worked here (a UDT task, no connection, no pool, or no free worker).
bool PoolRequest_Post(OpcodeHandler work, const char* body, const CommandHeader* header,
                      bufferevent* conn, int* udtSock, char* direct);

// The placer of a handler whose work may block (OS_RegFunction(handler, opcode,
// PoolRequest_Place)): worked on a pool task when it came on a command connection (held
// meanwhile, so its replies keep their order), else here. The relay connection carries the
// requests of many phones and is not held: worked on a pool task a burst of them would be
// answered out of order.
bool PoolRequest_Place(OpcodeHandler work, const PeerRequest& request);

// The peer's key and the deferred reply of the request a pool thread works on: PostedWork_Of
// (request_args.h).
// On the thread working a posted request of conn: whether that connection has closed, so an
// entry made for it now would outlive it. False on any other thread.
bool PoolRequest_ConnectionGone(bufferevent* conn);

// Tests: called on the pool task before each posted request is worked (null: none).
void PoolRequest_SetBeforeWorkHook(void (*hook)());
