#pragma once
// Opcode handlers and their registry. The registry is filled during start-up before the
// command server accepts connections, and only read afterwards, so it needs no lock. Requests
// reach the handlers through the request pipeline (request_pipeline.h).
#include <cstdint>

#include "common/peer_trust.h"
#include "common/wire.h"

struct bufferevent;

constexpr int kErrRegister = 275;
constexpr int kErrNotRegistered = 280;
constexpr int kErrHandlerException = 16;
constexpr int kErrNoBody = 274;
constexpr int kErrPeerRefused = 281;  // the caller may not use this opcode (nothing is sent)

// body: bytes after the header (null when none); header in host order; connection of the
// command server or relay (or null); reply out (allocated with new (std::nothrow) char[]);
// reply length out (0 = no reply); UDT socket (-1 for none); direct flag (1 direct, 0 relay).
using OpcodeHandler = int (*)(const char* body, const CommandHeader* header, bufferevent* conn,
                              char** reply, int* replyLen, int* udtSock, char* direct);

// Where a handler runs: a placer returns true when it took the request to run elsewhere (a
// pool task that then replies itself), false to have it handled here. Null: always here.
struct PeerRequest;
using RequestPlacer = bool (*)(OpcodeHandler work, const PeerRequest& request);

int OS_RegFunction(OpcodeHandler handler, uint16_t opcode, RequestPlacer placer = nullptr);
bool OS_IsRegistered(uint16_t opcode);
// The handler and placer of an opcode; false when it is not registered.
bool OS_FindHandler(uint16_t opcode, OpcodeHandler& handler, RequestPlacer& placer);
void OS_ClearRegistry();  // tests only

// The opcodes that only the desktop program on this machine may use (a loopback command
// connection of the service's own user or root).
bool IsLocalOnlyOpcode(uint16_t opcode);
