#pragma once
// Downloads over the command connection and UDT: opcode 4 opens, 5 starts sending from an
// offset, 0x11 refuses, 0x100E asks a relay download to stop. Over TCP the packages are sent
// from the connection's write callback, refilled at a low-water mark, so memory stays bounded
// and other clients are served meanwhile.
#include "common/opcode_registry.h"

constexpr uint16_t kOpReqDownLoadFile = 0x0004;
constexpr uint16_t kOpAllowDownLoadFile = 0x0005;
constexpr uint16_t kOpRefuseDownLoadFile = 0x0011;
constexpr uint16_t kOpStopDownLoad = 0x100E;
constexpr uint16_t kOpDownloadPackage = 0x1002;
constexpr uint16_t kOpDownloadOver = 0x1003;
constexpr uint16_t kOpDownloadInfo = 0x1004;
constexpr uint16_t kOpDownloadRefused = 0x1012;
constexpr uint16_t kErrDownNotShared = 0x1016;
constexpr uint16_t kErrDownNoFile = 0x1017;
constexpr uint16_t kErrDownSize = 0x1018;
constexpr size_t kDownloadPackageData = 1000;

int ReqDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                    char** reply, int* replyLen, int* udtSock, char* direct);
int AllowDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                      char** reply, int* replyLen, int* udtSock, char* direct);
int RefuseDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                       char** reply, int* replyLen, int* udtSock, char* direct);
int StopDownLoad(const char* body, const CommandHeader* header, bufferevent* conn,
                 char** reply, int* replyLen, int* udtSock, char* direct);

// A 12-byte DownloadOverMsg ('0' complete, '1' failed) into the reply out-pointers.
void WriteInterDownLoadOverMsg(char status, uint32_t sessionId, char** reply, int* replyLen);

// Called by the transfer layer when a command connection drops: ends its streaming download
// (logged as failed).
void Download_OnConnectionClosed(bufferevent* conn);
// Called from the command server's write callback when the output buffer drained.
void Download_OnConnectionWritable(bufferevent* conn);
