#pragma once
// Folder browsing for devices: 0x2002 lists the shared folders, 0x2003 lists one folder in
// messages of at most four entries, sent by the handler itself.
#include "common/opcode_registry.h"

constexpr uint16_t kOpGetShareInfo = 0x2002;
constexpr uint16_t kOpGetAllSubFile = 0x2003;

int GetShareInfo(const char* body, const CommandHeader* header, bufferevent* conn,
                 char** reply, int* replyLen, int* udtSock, char* direct);
int GetAllSubFile(const char* body, const CommandHeader* header, bufferevent* conn,
                  char** reply, int* replyLen, int* udtSock, char* direct);
