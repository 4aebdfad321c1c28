#pragma once
// Relay downloads and uploads through the central server's cache, on connections of their own
// to the server: a download pushes its packages one at a time (the next only after the server
// accepted the last) and ends with an end message; the upload task fetches the upload data and
// upload ends that phones left for this PC, while uploads are open.
#include <cstdint>
#include <string>

constexpr int kCacheFullWaitMs = 100;
constexpr int kCacheGiveUpMs = 30000;
constexpr int kReconnectWaitMs = 2000;
constexpr int kUploadPollPeriodMs = 5000;
constexpr int kUploadBackoffMaxMs = 10000;
// After an empty fetch the next one follows soon: a phone that leaves its data a little slower
// than the PC fetches it keeps the cache nearly empty, and a long first pause would stall the
// upload each time (the pauses double up to the maximum, so an idle upload costs few fetches).
constexpr int kUploadBackoffFirstMs = 2;

struct InterDownloadJob {
  uint32_t sessionId = 0;
  uint32_t offset = 0;
  char requester[64] = {};
};

// A socket connected to the server with 5-second send and receive time-outs; -1 on failure.
int ConnectToSV(const char* host, uint16_t port);
int DownLoadFile_Cash(void* job);  // pool task; frees the job
// Sends the cache end message ('0' or '1') on *sock, reads the server's answer, and always
// closes *sock (set to -1).
void WriteInterDownLoadOverMsg(const std::string& requester, int* sock, char status,
                               uint32_t sessionId);
int InterLineUpLoadFile(void* arg);  // pool task for the life of the service

// The starter AllowDownLoadFile calls for a relayed start: hands DownLoadFile_Cash to the pool.
// When it cannot (no free worker, no memory) it returns non-zero and the failed end '1' goes to
// the phone through the server's cache all the same, from a thread of its own.
int StartRelayDownload(uint32_t sessionId, uint32_t offset, const std::string& requester);
