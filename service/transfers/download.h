#pragma once
// Downloads over the command connection and UDT: opcode 4 opens, 5 starts sending from an
// offset, 0x11 refuses, 0x100E asks a relay download to stop. Over TCP the packages are sent
// from the connection's write callback, refilled at a low-water mark, so memory stays bounded
// and other clients are served meanwhile.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/opcode_registry.h"
#include "service/transfers/download_sender.h"  // the end message, the connection hooks

constexpr uint16_t kOpReqDownLoadFile = 0x0004;
constexpr uint16_t kOpAllowDownLoadFile = 0x0005;
constexpr uint16_t kOpRefuseDownLoadFile = 0x0011;
constexpr uint16_t kOpStopDownLoad = 0x100E;
constexpr uint16_t kOpDownloadInfo = 0x1004;
constexpr uint16_t kOpDownloadRefused = 0x1012;
constexpr uint16_t kErrDownNotShared = 0x1016;
constexpr uint16_t kErrDownNoFile = 0x1017;
constexpr uint16_t kErrDownSize = 0x1018;
constexpr uint16_t kErrTransOther = 0xFFFF;  // session id held elsewhere, bad request, no space
constexpr size_t kTransErrorReplySize = 266;

int ReqDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                    char** reply, int* replyLen, int* udtSock, char* direct);
int AllowDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                      char** reply, int* replyLen, int* udtSock, char* direct);
int RefuseDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                       char** reply, int* replyLen, int* udtSock, char* direct);
int StopDownLoad(const char* body, const CommandHeader* header, bufferevent* conn,
                 char** reply, int* replyLen, int* udtSock, char* direct);

// A 266-byte TransErrorReply (opcode 0x1012 for downloads, 0x1011 for uploads) into the reply
// out-pointers; false when it cannot be allocated.
bool WriteTransErrorReply(uint16_t opcode, uint32_t sessionId, uint16_t code, char** reply,
                          int* replyLen);
// The 64-byte DownloadInfoReply, big-endian; fingerprint is the raw 16-byte quick MD5.
void EncodeDownloadInfo(uint32_t sessionId, uint32_t size, const unsigned char fingerprint[16],
                        uint8_t out[64]);
uint32_t DownloadPackageCount(uint32_t size);  // size / 1000, plus 1 for a remainder

// Relay downloads run as a pool task of the relay transfer code, which installs its starter;
// the result is the pool's, and a starter that fails sends the phone its failed end itself.
// Without one a relay start is answered with the end message '1'.
using RelayDownloadStarter = int (*)(uint32_t sessionId, uint32_t offset,
                                     const std::string& requester);
void Download_SetRelayStarter(RelayDownloadStarter starter);
// A relay download announces itself while it sends, so that a stop for its id is queued for it
// (and only then); it polls for that stop on its own thread, which consumes it.
void Download_RelayBegin(uint32_t sessionId);
void Download_RelayEnd(uint32_t sessionId);
bool Download_RelayStopRequested(uint32_t sessionId);
