#include "service/core/peer_send.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <udt/udt.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <vector>

#include "common/command_server.h"
#include "common/log.h"
#include "common/thread_pool.h"
#include "common/wire.h"
#include "service/core/request_args.h"
#include "service/core/relay_lock.h"
#include "service/service_globals.h"

namespace {
constexpr size_t kMaxFrame = 0xFFFF;
constexpr int kUdtForever = -1;  // time-to-live: the message is never dropped

// A pool task that is not an event loop may hold a connection's pointer as a key, never write
// to it: the connection may be freed by its loop at any moment.
bool OffTheLoop() { return ThreadPool_OnWorker() && !OS_OnEventThread(); }

std::atomic<OutboxSink> g_outboxSink{nullptr};

bool ToOutbox(uint64_t token, WireBytes framed) {
  const OutboxSink sink = g_outboxSink.load(std::memory_order_acquire);
  return sink != nullptr && sink(token, std::move(framed));
}
}  // namespace

PeerRoute RouteOf(const char* body, size_t bodyLen, bufferevent* conn, int udtSock, char direct) {
  PeerRoute route;
  route.conn = conn;
  route.udtSock = udtSock;
  route.direct = direct != 0;
  const PostedWork* posted = PostedWork_Of(conn);
  route.outbox = posted ? posted->outbox : 0;
  if (!route.direct && body && bodyLen >= kIdentityFieldSize) {
    route.requester =
        wire::GetFixedText(reinterpret_cast<const uint8_t*>(body), kIdentityFieldSize);
  }
  return route;
}

bool EncodeRelayReplyPrefix(const std::string& requester, size_t payloadLen, uint8_t* out) {
  if (payloadLen > kMaxFrame - kRelayReplyPrefixSize) return false;
  const std::string own(g_szUUID, strnlen(g_szUUID, sizeof g_szUUID));
  RelayHeader header;
  header.len = static_cast<uint16_t>(kRelayReplyPrefixSize + payloadLen);
  header.command = kCmdRelayData;
  header.identity = own;
  EncodeRelayHeader(header, out);
  wire::PutFixedText(out + kRelayHeaderSize, kIdentityFieldSize, requester);
  return true;
}

int SendToPeer(const PeerRoute& route, const uint8_t* data, size_t len, bool inOrder) {
  if (!data || len == 0) return -1;

  if (route.udtSock != -1) {
    if (len > static_cast<size_t>(INT_MAX)) return -1;
    int sent = UDT::sendmsg(route.udtSock, reinterpret_cast<const char*>(data),
                            static_cast<int>(len), kUdtForever, inOrder);
    return sent == static_cast<int>(len) ? 0 : -1;
  }

  if (!route.conn) return -1;
  if (route.outbox == 0 && OffTheLoop()) {
    QV_LOG(kModCommLib, kLogError, "send to a connection off its loop refused.");
    return -1;
  }
  if (route.direct) {
    if (route.outbox != 0) return ToOutbox(route.outbox, WireBytes(data, data + len)) ? 0 : -1;
    return bufferevent_write(route.conn, data, len) == 0 ? 0 : -1;
  }

  // One write per frame, so a frame never interleaves with another writer's.
  std::vector<uint8_t> frame(kRelayReplyPrefixSize + len);
  if (!EncodeRelayReplyPrefix(route.requester, len, frame.data())) return -1;
  std::memcpy(frame.data() + kRelayReplyPrefixSize, data, len);
  if (route.outbox != 0) return ToOutbox(route.outbox, std::move(frame)) ? 0 : -1;
  std::lock_guard<std::mutex> lock(RelaySendMutex());
  return bufferevent_write(route.conn, frame.data(), frame.size()) == 0 ? 0 : -1;
}

void PeerSend_SetOutboxSink(OutboxSink sink) { g_outboxSink.store(sink, std::memory_order_release); }

std::mutex& RelaySendMutex() {
  static std::mutex* m = new std::mutex;  // immortal: handlers may hold it at exit
  return *m;
}

size_t PendingOutput(const PeerRoute& route) {
  if (route.udtSock != -1 || !route.conn || route.outbox != 0 || OffTheLoop()) return 0;
  return evbuffer_get_length(bufferevent_get_output(route.conn));
}
