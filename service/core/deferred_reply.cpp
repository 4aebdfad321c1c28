#include "service/core/deferred_reply.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/thread.h>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "common/command_server.h"
#include "common/log.h"
#include "service/core/peer_send.h"
#include "service/core/relay_lock.h"

namespace {

struct Pending {
  PeerRoute route;             // no outbox: written by the loop itself
  event_base* base = nullptr;  // the loop of route.conn
  bool live = true;            // false once the connection closed
  bool finished = false;
  bool flushPosted = false;    // a flush waits to run on the loop
  std::deque<WireBytes> queued;  // framed bytes handed over before the reply
  size_t queuedBytes = 0;
  DeferredStream stream;
  evbuffer_cb_entry* watch = nullptr;  // on the connection's output while the stream waits
  WireBytes reply;
  std::function<void()> delivered;
};

// Guards the map. A base is alive while an entry of one of its connections is live: its
// connections close (and reach OnConnectionClosed under this lock) before it is freed. Once an
// entry of a connection is finished, only its loop's thread touches its stream and watch.
// Lock order: taken under g_MutexTransMap (Trans_Add), never before it; of our locks only the
// log's is taken under it.
std::mutex g_mutex;
std::map<uint64_t, Pending> g_pending;
uint64_t g_nextToken = 1;
std::atomic<size_t> g_peakStreamOutput{0};

void Send(const PeerRoute& route, const WireBytes& reply) {
  if (reply.empty()) return;
  // UDT: one message, never dropped, not in order.
  if (SendToPeer(route, reply.data(), reply.size(), false) != 0)
    QV_LOG(kModCommLib, kLogError, "send deferred reply error.");
}

// Bytes SendToPeer framed already. On the connection's loop thread.
void WriteFramed(const PeerRoute& route, const WireBytes& bytes) {
  int rc = 0;
  if (route.direct) {
    rc = bufferevent_write(route.conn, bytes.data(), bytes.size());
  } else {
    std::lock_guard<std::mutex> lock(RelaySendMutex());
    rc = bufferevent_write(route.conn, bytes.data(), bytes.size());
  }
  if (rc != 0) QV_LOG(kModCommLib, kLogError, "send deferred reply error.");
}

void FlushOnLoop(evutil_socket_t fd, short what, void* arg);

void* TokenArg(uint64_t token) { return reinterpret_cast<void*>(static_cast<uintptr_t>(token)); }

// Under g_mutex, the entry live: its flush runs on the connection's loop.
bool PostFlushLocked(uint64_t token, Pending& p) {
  if (p.flushPosted) return true;
  const timeval now{0, 0};
  if (event_base_once(p.base, -1, EV_TIMEOUT, FlushOnLoop, TokenArg(token), &now) != 0) {
    QV_LOG(kModCommLib, kLogError, "post deferred reply error.");
    return false;
  }
  p.flushPosted = true;
  return true;
}

// The output of a waiting stream drained: its next messages are made on a flush of their own,
// not inside libevent's write.
void OnDrained(evbuffer* out, const evbuffer_cb_info* info, void* arg) {
  if (info->n_deleted == 0 || evbuffer_get_length(out) > kDeferredLowWater) return;
  const uint64_t token = reinterpret_cast<uintptr_t>(arg);
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_pending.find(token);
  if (it == g_pending.end() || !it->second.watch) return;
  evbuffer_remove_cb_entry(out, it->second.watch);
  it->second.watch = nullptr;
  PostFlushLocked(token, it->second);
}

// On the connection's loop thread: what was handed over, then the stream as far as the output
// takes it, then the reply.
void FlushOnLoop(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  const uint64_t token = reinterpret_cast<uintptr_t>(arg);
  std::deque<WireBytes> queued;
  PeerRoute route;
  Pending* p = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_pending.find(token);
    if (it == g_pending.end()) return;
    it->second.flushPosted = false;
    // The connection can only close on this thread, so it is still there if it was live.
    if (!it->second.live) {
      g_pending.erase(it);
      return;
    }
    queued.swap(it->second.queued);
    it->second.queuedBytes = 0;
    route = it->second.route;
    if (it->second.finished) p = &it->second;
  }
  for (const WireBytes& bytes : queued) WriteFramed(route, bytes);
  if (!p) return;  // the task still works; it posts again

  evbuffer* out = bufferevent_get_output(route.conn);
  while (p->stream && evbuffer_get_length(out) < kDeferredHighWater) {
    WireBytes next;
    if (!p->stream(next)) {
      p->stream = nullptr;
      break;
    }
    Send(route, next);
  }
  const size_t left = evbuffer_get_length(out);
  size_t seen = g_peakStreamOutput.load();
  while (left > seen && !g_peakStreamOutput.compare_exchange_weak(seen, left)) {
  }
  if (p->stream) {
    // A peer that does not read leaves the rest unmade; its send time-out closes it.
    if (!p->watch) {
      std::lock_guard<std::mutex> lock(g_mutex);
      p->watch = evbuffer_add_cb(out, OnDrained, TokenArg(token));
    }
    if (p->watch) return;
    QV_LOG(kModCommLib, kLogError, "post deferred reply error.");
    p->stream = nullptr;  // the rest cannot be waited for; the reply still ends it
  }
  Pending mine;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_pending.find(token);
    if (it == g_pending.end()) return;
    mine = std::move(it->second);
    g_pending.erase(it);
  }
  Send(mine.route, mine.reply);
  if (mine.delivered) mine.delivered();
  if (mine.route.direct) OS_ReleaseConnection(mine.route.conn);
}

}  // namespace

void DeferredReply_Install() {
  static std::once_flag threads;
  std::call_once(threads, [] { evthread_use_pthreads(); });
}

uint64_t DeferredReply_Begin(const PeerRoute& route) {
  if (!route.conn && route.udtSock == -1) return 0;
  // An outbox exists only once a token does: from then on the senders hand its bytes here.
  PeerSend_SetOutboxSink(&DeferredReply_Send);
  uint64_t token = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    token = g_nextToken++;
    Pending& p = g_pending[token];
    p.route = route;
    p.route.outbox = 0;
    p.base = route.conn ? bufferevent_get_base(route.conn) : nullptr;
  }
  // Handlers run on the connection's loop thread: holding it here is safe.
  if (route.conn && route.direct) OS_HoldConnection(route.conn);
  return token;
}

uint64_t DeferredReply_BeginFor(bufferevent* conn, int udtSock, char direct) {
  return DeferredReply_Begin(RouteOf(nullptr, 0, conn, udtSock, direct));
}

bool DeferredReply_Send(uint64_t token, WireBytes framed) {
  if (framed.empty()) return true;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_pending.find(token);
  if (it == g_pending.end()) return false;
  Pending& p = it->second;
  if (!p.live || p.finished || !p.route.conn) return false;
  if (p.queuedBytes + framed.size() > kDeferredQueueMax) {
    QV_LOG(kModCommLib, kLogError, "deferred reply queue full; message dropped.");
    return false;
  }
  p.queuedBytes += framed.size();
  p.queued.push_back(std::move(framed));
  if (PostFlushLocked(token, p)) return true;
  p.queuedBytes -= p.queued.back().size();
  p.queued.pop_back();
  return false;
}

void DeferredReply_Stream(uint64_t token, DeferredStream stream) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_pending.find(token);
  if (it == g_pending.end() || it->second.finished || !it->second.live) return;
  it->second.stream = std::move(stream);
}

void DeferredReply_Finish(uint64_t token, WireBytes reply, std::function<void()> delivered) {
  std::unique_lock<std::mutex> lock(g_mutex);
  auto it = g_pending.find(token);
  if (it == g_pending.end() || it->second.finished) return;
  Pending& p = it->second;
  if (!p.live) {
    g_pending.erase(it);
    return;
  }
  p.finished = true;
  p.reply = std::move(reply);
  p.delivered = std::move(delivered);
  if (p.route.conn) {
    if (!PostFlushLocked(token, p)) g_pending.erase(it);
    return;
  }
  Pending mine = std::move(p);
  g_pending.erase(it);
  lock.unlock();
  // UDT: the stream is sent from here as it is made; the socket's own buffer bounds it.
  WireBytes next;
  while (mine.stream && mine.stream(next)) Send(mine.route, next);
  Send(mine.route, mine.reply);
  if (mine.delivered) mine.delivered();
}

void DeferredReply_OnConnectionClosed(bufferevent* conn) {
  if (!conn) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  for (auto it = g_pending.begin(); it != g_pending.end();) {
    if (it->second.route.conn != conn) {
      ++it;
      continue;
    }
    // A flush already posted finds its entry gone; a reply still being worked out is dropped
    // when it finishes. Its bytes and stream go now.
    if (it->second.finished) {
      it = g_pending.erase(it);
    } else {
      it->second.live = false;
      it->second.queued.clear();
      it->second.queuedBytes = 0;
      it->second.stream = nullptr;
      ++it;
    }
  }
}

bool DeferredReply_Live(uint64_t token) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_pending.find(token);
  return it != g_pending.end() && it->second.live;
}

int DeferredReply_Pending() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int>(g_pending.size());
}

size_t DeferredReply_PeakStreamOutput() { return g_peakStreamOutput.load(); }
void DeferredReply_ResetPeakStreamOutput() { g_peakStreamOutput.store(0); }
