#pragma once
// How file-transfer handlers read their arguments, whatever transport delivered the request.
// Through the relay a handler's body is the 64-byte requester identity, the inner 8-byte
// header and then the request, so the request starts at byte 72 and the body holds 64 bytes
// more than the inner header's length says.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/wire.h"
#include "platform/unique_fd.h"  // the handlers' descriptors

struct bufferevent;

constexpr size_t kRelayBodyOffset = 72;

inline int UdtOf(const int* udtSock) { return udtSock ? *udtSock : -1; }
inline char DirectOf(const char* direct) { return direct ? *direct : 1; }
// A request that came inside a relay data frame (not over UDT).
inline bool ViaRelay(int udt, char direct) { return direct == 0 && udt == -1; }

// Bytes of the body a handler may read.
size_t HandlerBodyLength(const CommandHeader* header, bool viaRelay);

// A text field of the body up to its first zero byte, read only within the len bytes that
// arrived ("" when it starts past them).
std::string FieldWithin(const char* body, size_t len, size_t offset, size_t width);

// A fixed path field of a request; false when the field is cut off or holds no zero byte (a
// longer path must not be cut to a different one).
bool ReadPathField(const wire::Reader& in, size_t offset, size_t width, std::string& out);

// A path from a peer as a local path: converted from the wire's text, "\\" made "/", a
// leading $DEFAULT...$ token expanded; "" when the token's folder is not set.
std::string ResolvePeerPath(const std::string& wirePath);

// How the path field of a transfer request was read.
enum class RequestPath {
  kRead,          // `path` holds the local path
  kNoEnd,         // the field is cut off or holds no zero byte
  kDefaultEmpty,  // a $DEFAULT...$ token whose folder is not set
};
// The path field (offset, width) of a transfer request read and mapped to a local path, the
// one way for every request that names a file. A refusal is logged once against the peer,
// naming the request (`what`: "Upload", "Download").
RequestPath ReadRequestPath(const wire::Reader& in, size_t offset, size_t width, const char* what,
                            bufferevent* conn, int udtSock, std::string& path);
// The same without a log line, for a probe whose refusal the full request reports later.
RequestPath MapRequestPath(const wire::Reader& in, size_t offset, size_t width, std::string& path);

// The folder part of a path ("/" for a file in the root, "" without a "/").
std::string ParentOf(const std::string& path);

// Who sent a request, for rate-limited refusal lines: the connection's address, the UDT socket,
// or the relay.
std::string PeerKeyOf(bufferevent* conn, int udtSock);

// The request a pool thread works for a connection. The pool requests set it around the work;
// the pieces below them (routes, refusal lines) read it here, so they need not call up.
struct PostedWork {
  bufferevent* conn = nullptr;
  uint64_t outbox = 0;  // its deferred reply
  std::string peerKey;  // taken on the connection's thread
};
void PostedWork_SetCurrent(const PostedWork* work);  // the calling thread's; null when done
// The calling thread's posted request when it is one of conn; null otherwise.
const PostedWork* PostedWork_Of(bufferevent* conn);

// Copies a reply into a new buffer for the transport; false when it cannot be allocated.
bool PutReply(const uint8_t* bytes, size_t n, char** reply, int* replyLen);

// The quick fingerprint of an open file of the given size, read through its descriptor (the
// file that was checked is the file that is hashed). False on a read error.
bool QuickFingerprintOf(int fd, uint64_t size, unsigned char out[16]);
// The same from the page cache alone, for a thread that must not wait for the disk: false
// (EAGAIN) when any of it would have to be read from the disk.
bool QuickFingerprintCached(int fd, uint64_t size, unsigned char out[16]);
