#pragma once
// Thumbnail requests (opcode 0x3001): the picture, a JPEG, BMP or PBM/PGM/PPM file inside a
// share, is scaled in a pool task, never on the transport's thread; the result goes back in
// chunks of at most 1000 bytes followed by the end message, on the road the request came by.
// While a TCP request is being answered its connection reads nothing more, so replies keep
// the order of the requests.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/opcode_registry.h"

constexpr int kThumbParseExists = 0;
constexpr int kThumbParseMissing = 1;
constexpr int kThumbParseNotShared = 2;  // answered like a missing file, logged as a refusal
constexpr int kMaxThumbJobs = 4;  // pictures being scaled at once; more wait their turn
constexpr int kMaxThumbJobsPerPeer = 2;  // of those, one address (or relay requester) holds
constexpr int kMaxThumbWaitingPerPeer = 8;  // requests of one peer waiting; more are refused
constexpr size_t kMaxThumbWaiting = 64;     // of all peers together

int ReqDownloadThumbNial(const char* body, const CommandHeader* header, bufferevent* conn,
                         char** reply, int* replyLen, int* udtSock, char* direct);

// Reads and resolves the request: 0 with the local path of a file inside a share, 1 when the
// body is short, 2 when the path lies outside the shares, 4123 when a $DEFAULT...$ folder is
// not set.
int Parse_ThumbTransStatusHead(const uint8_t* request, size_t len, uint16_t& width,
                               uint16_t& height, std::string& path);

// The thumbnail of the open picture at width x height; false when it is not a picture we can
// read or scaling failed. `path` names the source in the thumbnail's markers; stillWanted,
// asked during the work, ends it early when false (the asker is gone).
bool ThunmbNailIt(int fd, const std::string& path, int height, int width,
                  std::vector<uint8_t>& out, std::function<bool()> stillWanted = {});

// The messages of one answer: chunks of the thumbnail in order, then the end message with
// status 0 (or only the end message with status 1 when there is no thumbnail).
std::vector<std::vector<uint8_t>> ThumbReplyMessages(uint32_t requestId,
                                                     const std::vector<uint8_t>* thumbnail);

// The end message (status 0 sent completely, 1 failed) on the request's road, once; the
// send's result.
struct PeerRoute;
int SendThumbEnd(const PeerRoute& route, uint16_t status, uint32_t requestId);

// Jobs in flight (tests).
int Thumb_JobsInFlight();
