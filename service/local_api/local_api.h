#pragma once
// The desktop program's local API: the Show_ operations (answered only to loopback peers by
// the command server), the version record and the auto-sorting switch (open to phones too).
// Each handler reads its request from the start of the body, bounded by the received length,
// and leaves its reply (header with the request's opcode and parameter) for the transport.
#include <cstdint>
#include <string>
#include <vector>

#include "common/opcode_registry.h"

#define QV_LOCAL_HANDLER(name)                                                          \
  int name(const char* body, const CommandHeader* header, bufferevent* conn, char** reply, \
           int* replyLen, int* udtSock, char* direct)

// Account and status.
QV_LOCAL_HANDLER(Show_GetLogOnInfo);
QV_LOCAL_HANDLER(Show_LogOnStatues);
QV_LOCAL_HANDLER(Show_GetIsTraning);
QV_LOCAL_HANDLER(Show_GetIsMobileLinked);
QV_LOCAL_HANDLER(Show_GetSysType);
QV_LOCAL_HANDLER(Show_GetPwd);
QV_LOCAL_HANDLER(Show_SetPwd);
QV_LOCAL_HANDLER(Show_GetMac);
QV_LOCAL_HANDLER(GetVerAndType);
// The account's log-on and log-out: the central-server exchanges run on a pool task and the
// reply follows when the log-on itself is done; server info and power-on come after it.
QV_LOCAL_HANDLER(Show_LogOn);
QV_LOCAL_HANDLER(Show_LogOut);

// Folders, shares, transfer log, auto-sorting switch.
QV_LOCAL_HANDLER(Show_GetDefShare);
QV_LOCAL_HANDLER(Show_SetDefShare);
QV_LOCAL_HANDLER(Show_GetShare);
QV_LOCAL_HANDLER(Show_SetShare);
QV_LOCAL_HANDLER(Show_GetPath);
QV_LOCAL_HANDLER(Show_GetTransLog);
QV_LOCAL_HANDLER(Show_ClearLog);
QV_LOCAL_HANDLER(Show_AutoTiding);  // 0x5013 reads, 0x5014 sets

#undef QV_LOCAL_HANDLER

// The drive roots the desktop program browses from (appended in order).
void GetLogicalDriveList(std::vector<std::string>& out);

// Whether a device heartbeat at `last` ("%Y-%m-%d %H:%M:%S", local) means a phone is linked at
// `now`: within 60 seconds either way. Empty: never linked.
bool IsMobileLinkedAt(const std::string& last, const std::string& now);

// Leaves a reply for the transport: 0, or kErrAllocate (logged) when it cannot be allocated.
int LocalApiReply(const std::vector<uint8_t>& bytes, char** reply, int* replyLen);
