#include "service/core/request_args.h"

#include <arpa/inet.h>
#include <event2/bufferevent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/log.h"
#include "common/md5.h"
#include "common/request_pipeline.h"
#include "common/share_paths.h"
#include "service/service_globals.h"

size_t HandlerBodyLength(const CommandHeader* header, bool viaRelay) {
  return header ? Request_BodyNeeded(*header, viaRelay) : 0;
}

std::string FieldWithin(const char* body, size_t len, size_t offset, size_t width) {
  if (!body || offset >= len) return std::string();
  const size_t avail = std::min(width, len - offset);
  return std::string(body + offset, strnlen(body + offset, avail));
}

bool ReadPathField(const wire::Reader& in, size_t offset, size_t width, std::string& out) {
  if (!in.Has(offset, width)) return false;
  if (!std::memchr(in.At(offset), 0, width)) return false;
  return in.Text(offset, width, out);
}

std::string ResolvePeerPath(const std::string& wirePath) {
  return ExpandDefaultPath(NormalizePeerPath(WireToLocal(wirePath)));
}

RequestPath MapRequestPath(const wire::Reader& in, size_t offset, size_t width, std::string& path) {
  path.clear();
  std::string wirePath;
  if (!ReadPathField(in, offset, width, wirePath)) return RequestPath::kNoEnd;
  path = ResolvePeerPath(wirePath);
  return path.empty() ? RequestPath::kDefaultEmpty : RequestPath::kRead;
}

RequestPath ReadRequestPath(const wire::Reader& in, size_t offset, size_t width, const char* what,
                            bufferevent* conn, int udtSock, std::string& path) {
  const RequestPath read = MapRequestPath(in, offset, width, path);
  if (read == RequestPath::kNoEnd) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udtSock), kModIntranet, kLogError,
                   "%s path without end refused.", what);
  } else if (read == RequestPath::kDefaultEmpty) {
    QV_LOG(kModIntranet, kLogDebug, "%s.", "def share dir is empty.");
  }
  return read;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

namespace {
thread_local const PostedWork* t_posted = nullptr;
}  // namespace

void PostedWork_SetCurrent(const PostedWork* work) { t_posted = work; }

const PostedWork* PostedWork_Of(bufferevent* conn) {
  return t_posted && conn && t_posted->conn == conn ? t_posted : nullptr;
}

std::string PeerKeyOf(bufferevent* conn, int udtSock) {
  if (udtSock != -1) return "udt " + std::to_string(udtSock);
  if (!conn) return "relay";
  if (const PostedWork* posted = PostedWork_Of(conn)) return posted->peerKey;
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (getpeername(bufferevent_getfd(conn), reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    return "unknown";
  }
  char text[INET6_ADDRSTRLEN] = {0};
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
  } else if (peer.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr, text, sizeof text);
  }
  return text;
}

bool PutReply(const uint8_t* bytes, size_t n, char** reply, int* replyLen) {
  char* out = new (std::nothrow) char[n];
  if (!out) return false;
  std::memcpy(out, bytes, n);
  *reply = out;
  *replyLen = static_cast<int>(n);
  return true;
}

namespace {

// cachedOnly: each read takes only what the page cache holds (RWF_NOWAIT); a read that would
// wait for the disk fails with EAGAIN.
bool Fingerprint(int fd, uint64_t size, unsigned char out[16], bool cachedOnly) {
  Md5Range ranges[2];
  const int count = QuickMd5Ranges(size, ranges);
  CMd5Hash md5;
  unsigned char buffer[16 * 1024];
  for (int i = 0; i < count; ++i) {
    uint64_t at = ranges[i].offset;
    uint64_t left = ranges[i].length;
    while (left > 0) {
      const size_t want = left < sizeof buffer ? static_cast<size_t>(left) : sizeof buffer;
      iovec iov{buffer, want};
      const ssize_t r = preadv2(fd, &iov, 1, static_cast<off_t>(at), cachedOnly ? RWF_NOWAIT : 0);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && cachedOnly && (errno == EOPNOTSUPP || errno == EINVAL)) errno = EAGAIN;
      if (r < 0) return false;
      if (r == 0) break;  // the file shrank meanwhile: hash what is there
      if (cachedOnly && static_cast<size_t>(r) < want) {
        errno = EAGAIN;  // the rest is not cached, or the file shrank: the plain read tells
        return false;
      }
      md5.Update(buffer, static_cast<size_t>(r));
      at += static_cast<uint64_t>(r);
      left -= static_cast<uint64_t>(r);
    }
  }
  std::memcpy(out, md5.RawDigest(), 16);
  return true;
}

}  // namespace

bool QuickFingerprintOf(int fd, uint64_t size, unsigned char out[16]) {
  return Fingerprint(fd, size, out, false);
}

bool QuickFingerprintCached(int fd, uint64_t size, unsigned char out[16]) {
  return Fingerprint(fd, size, out, true);
}
