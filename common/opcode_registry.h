#pragma once
// Opcode handlers and their registry. The registry is filled during start-up before the
// command server accepts connections, and only read afterwards, so it needs no lock.
#include <cstdint>

#include "common/wire.h"

struct bufferevent;

constexpr int kErrRegister = 275;
constexpr int kErrNotRegistered = 280;
constexpr int kErrHandlerException = 16;
constexpr int kErrNoBody = 274;

// body: bytes after the header (null when none); header in host order; connection of the
// command server or relay (or null); reply out (allocated with new (std::nothrow) char[]);
// reply length out (0 = no reply); UDT socket (-1 for none); direct flag (1 direct, 0 relay).
using OpcodeHandler = int (*)(const char* body, const CommandHeader* header, bufferevent* conn,
                              char** reply, int* replyLen, int* udtSock, char* direct);

int OS_RegFunction(OpcodeHandler handler, uint16_t opcode);
bool OS_IsRegistered(uint16_t opcode);
// *reply must be null and *replyLen 0 on entry. A throwing handler leaves no reply: what it
// stored is freed and the length is 0.
int Dispatch(const CommandHeader* header, const char* body, bufferevent* conn, char** reply,
             int* replyLen, int udtSock, int direct);
void OS_ClearRegistry();  // tests only

// The opcodes that only the desktop program on this machine may use (loopback peers only).
bool IsLocalOnlyOpcode(uint16_t opcode);
