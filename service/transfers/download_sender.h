#pragma once
// Sends a started download's packages: numbered 0x1002 packages of at most 1000 bytes, then
// the 12-byte end message. Over a command connection a large file streams from the write
// callback, refilled at a low-water mark from one buffer of its own, so memory stays bounded
// and the loop's other connections are served meanwhile; a small one goes out at once; over
// UDT each package is one message, sent on the peer's own receive task.
#include <cstddef>
#include <cstdint>
#include <string>

#include "service/core/peer_send.h"
#include "service/core/request_args.h"

struct bufferevent;

constexpr uint16_t kOpDownloadPackage = 0x1002;
constexpr uint16_t kOpDownloadOver = 0x1003;
constexpr size_t kDownloadPackageData = 1000;

// Pacing of a TCP download: refilled when the output falls below the low-water mark, up to the
// high-water mark, in batches of 64 packages read with one call.
constexpr size_t kDownloadLowWater = 64 * 1024;
constexpr size_t kDownloadHighWater = 256 * 1024;
constexpr size_t kDownloadBatchPackages = 64;
constexpr size_t kDownloadBatchBytes = kDownloadBatchPackages * kDownloadPackageData;

// A 12-byte DownloadOverMsg ('0' complete, '1' failed), big-endian.
void EncodeDownloadOver(char status, uint32_t sessionId, uint8_t out[12]);
// A 12-byte DownloadOverMsg ('0' complete, '1' failed) into the reply out-pointers.
void WriteInterDownLoadOverMsg(char status, uint32_t sessionId, char** reply, int* replyLen);
// The same, returning `result` for the handler to return.
int ReplyDownloadOver(char status, uint32_t sessionId, char** reply, int* replyLen, int result);

// Each sender takes the checked, open file of a download of `size` bytes from `offset`; path
// names it in the log and the transfer log. The end message comes back as the reply, except
// for a stream, whose end the write callback sends.
int SendDownloadOverUdt(const PeerRoute& route, uint32_t sessionId, int fd, uint64_t offset,
                        uint64_t size, const std::string& path, char** reply, int* replyLen);
// Less than one batch on a command connection's own loop: read straight into its output.
int SendSmallDownloadNow(const PeerRoute& route, uint32_t sessionId, UniqueFd& fd,
                         uint64_t offset, uint64_t size, const std::string& path, char** reply,
                         int* replyLen);
// Streams from the connection's write callback; the connection's later requests wait for the
// end message. Takes fd.
int StartStreamingDownload(const PeerRoute& route, uint32_t sessionId, UniqueFd& fd,
                           uint64_t offset, uint64_t size, const std::string& path, char** reply,
                           int* replyLen);
// A stream runs on this command connection.
bool DownloadRunsOn(bufferevent* conn);

// Called by the transfer layer when a command connection drops: ends its streaming download
// (logged as failed).
void Download_OnConnectionClosed(bufferevent* conn);
// Called from the command server's write callback when the output buffer drained.
void Download_OnConnectionWritable(bufferevent* conn);
// Installs Download_OnConnectionWritable as the command server's writable hook.
void Download_InstallHooks();

// Test hooks: the largest output backlog seen right after a refill, the running TCP jobs, and
// a file system whose pages never show as cached (a small file's request then goes to the pool
// too).
size_t Download_PeakPending();
void Download_ResetPeakPending();
void Download_PagesNeverCached(bool never);
bool Download_PagesNeverCachedSet();
size_t Download_RunningJobs();
