#include "service/deferred_reply.h"

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/thread.h>

#include <map>
#include <mutex>
#include <utility>

#include "common/command_server.h"
#include "common/log.h"
#include "service/peer_send.h"

namespace {

struct Pending {
  PeerRoute route;
  event_base* base = nullptr;  // the loop of route.conn
  bool live = true;            // false once the connection closed
  bool finished = false;
  WireBytes reply;
  std::function<void()> delivered;
};

// Guards the map. A base is alive while an entry of one of its connections is live: its
// connections close (and reach OnConnectionClosed under this lock) before it is freed.
std::mutex g_mutex;
std::map<uint64_t, Pending> g_pending;
uint64_t g_nextToken = 1;

void Send(const PeerRoute& route, const WireBytes& reply) {
  if (reply.empty()) return;
  // UDT: one message, never dropped, not in order.
  if (SendToPeer(route, reply.data(), reply.size(), false) != 0)
    QV_LOG(kModCommLib, kLogError, "send deferred reply error.");
}

// On the connection's loop thread.
void WriteOnLoop(evutil_socket_t /*fd*/, short /*what*/, void* arg) {
  const uint64_t token = reinterpret_cast<uintptr_t>(arg);
  Pending p;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_pending.find(token);
    if (it == g_pending.end()) return;
    p = std::move(it->second);
    g_pending.erase(it);
  }
  // The connection can only close on this thread, so it is still there if it was live.
  if (!p.live) return;
  Send(p.route, p.reply);
  if (p.delivered) p.delivered();
  if (p.route.direct) OS_ReleaseConnection(p.route.conn);
}

}  // namespace

void DeferredReply_Install() {
  static std::once_flag threads;
  std::call_once(threads, [] { evthread_use_pthreads(); });
}

uint64_t DeferredReply_Begin(const PeerRoute& route) {
  if (!route.conn && route.udtSock == -1) return 0;
  uint64_t token = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    token = g_nextToken++;
    Pending& p = g_pending[token];
    p.route = route;
    p.base = route.conn ? bufferevent_get_base(route.conn) : nullptr;
  }
  // Handlers run on the connection's loop thread: holding it here is safe.
  if (route.conn && route.direct) OS_HoldConnection(route.conn);
  return token;
}

uint64_t DeferredReply_BeginFor(bufferevent* conn, int udtSock, char direct) {
  return DeferredReply_Begin(RouteOf(nullptr, 0, conn, udtSock, direct));
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
    const timeval now{0, 0};
    if (event_base_once(p.base, -1, EV_TIMEOUT, WriteOnLoop,
                        reinterpret_cast<void*>(static_cast<uintptr_t>(token)), &now) != 0) {
      QV_LOG(kModCommLib, kLogError, "post deferred reply error.");
      g_pending.erase(it);
    }
    return;
  }
  Pending mine = std::move(p);
  g_pending.erase(it);
  lock.unlock();
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
    // A reply already posted finds its entry gone; one still being worked out is dropped
    // when it finishes.
    if (it->second.finished) {
      it = g_pending.erase(it);
    } else {
      it->second.live = false;
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
