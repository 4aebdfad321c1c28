#pragma once
// Opcode handlers and their registry. The registry is filled during start-up before the
// command server accepts connections, and only read afterwards, so it needs no lock.
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

int OS_RegFunction(OpcodeHandler handler, uint16_t opcode);
bool OS_IsRegistered(uint16_t opcode);
// *reply must be null and *replyLen 0 on entry. A throwing handler leaves no reply: what it
// stored is freed and the length is 0. The caller's trust decides first (PeerAdmitted); a
// refused request runs no handler and returns kErrPeerRefused.
int Dispatch(const CallerTrust& trust, const CommandHeader* header, const char* body,
             bufferevent* conn, char** reply, int* replyLen, int udtSock, int direct);
// The rule itself: the local API only to a same-user loopback command connection; on a command
// or UDT connection nothing after a refused device log-in, and for a peer outside the PC's
// subnets only the log-in, the device heartbeat and the identity request until a log-in was
// accepted on that connection (conn, or udtSock for UDT).
bool PeerAdmitted(const CallerTrust& trust, uint16_t opcode, const void* conn, int udtSock);
void OS_ClearRegistry();  // tests only

// The opcodes that only the desktop program on this machine may use (a loopback command
// connection of the service's own user or root).
bool IsLocalOnlyOpcode(uint16_t opcode);
