#include "common/command_server.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <event2/util.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/address_limits.h"
#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/peer_trust.h"
#include "common/request_pipeline.h"
#include "common/test_settings.h"
#include "common/wire.h"
#include "platform/unique_fd.h"

namespace {

thread_local bool t_onEventThread = false;

constexpr uint16_t kOpRelayPassA = 0x1008;  // relay commands let through to Dispatch (280)
constexpr uint16_t kOpRelayPassB = 0x1009;
constexpr size_t kWriteLowWater = 64 * 1024;     // writable hook fires when drained to this
// A peer that does not read its replies stops being served above this: its next request
// (a listing, say) is neither built nor queued until the output drained to the low-water mark.
constexpr size_t kOutputHighWater = 256 * 1024;

std::atomic<ConnectionClosedHook> g_closedHook{nullptr};
std::atomic<ConnectionWritableHook> g_writableHook{nullptr};
std::mutex g_limitsMutex;
ConnectionLimits g_limits;  // under g_limitsMutex

// Connections are spread over several event loops, one thread each, so that sending uses every
// core; a connection lives on one loop for its whole life, which keeps its requests and replies
// in order and its callbacks on one thread.
constexpr unsigned kMaxEventLoops = 8;

struct CommandServer;
struct EventLoop;

// Stop requests reach the loops through their pipes: writing to them is safe from any thread
// and needs no locking inside libevent. A request made before the loops run is kept for them.
std::mutex g_stopMutex;
CommandServer* g_running = nullptr;  // under g_stopMutex
bool g_stopRequested = false;
int g_serversRunning = 0;  // OS_RunEvent calls not yet returned; under g_stopMutex
std::condition_variable g_serverEnded;

struct CommandConnState {
  CommandServer* server = nullptr;
  EventLoop* loop = nullptr;
  bufferevent* bev = nullptr;
  bool haveHeader = false;  // false: reading the header, true: reading the body
  CommandHeader header;
  bool loopbackPeer = false;  // counted in the loopback slots (this user's own programs)
  CallerTrust trust;        // trust.peer points into peer
  bool closeWhenSent = false;  // a refused device log-in: closed once its reply went out
  bool readPaused = false;  // the peer does not read its replies
  int held = 0;             // handlers that still stream (or work out) a reply
  int idleSeconds = 0;
  event* idleTimer = nullptr;
  event* drainEvent = nullptr;
  std::string peer;
};

// An accepted socket on its way from the listener's loop to the loop that will own it.
struct PendingConn {
  evutil_socket_t fd = -1;
  bool loopback = false;
  bool sameUser = false;
  bool ownSubnet = false;
  // The loopback slots are kept for this user's own programs: another local user's connections
  // count as their address's, like a remote peer's, so they cannot starve the desktop program.
  bool keptSlot = false;
  std::string peer;
  ConnectionLimits limits;
};

struct EventLoop {
  CommandServer* server = nullptr;
  event_base* base = nullptr;
  std::set<CommandConnState*> conns;  // this loop's thread only
  std::atomic<size_t> assigned{0};    // connections handed to it and not yet closed
  UniqueFd wakeRead;                  // a byte: new connections queued, or stop
  UniqueFd wakeWrite;
  event* wakeEvent = nullptr;
  std::mutex queueMutex;
  std::deque<PendingConn> queue;  // under queueMutex
  ~EventLoop() {
    if (wakeEvent) event_free(wakeEvent);
    if (base) event_base_free(base);  // the pipe closes after the event that watches it
  }
  void Wake() {
    const char byte = 1;
    (void)!write(wakeWrite.get(), &byte, 1);  // a full pipe is a wake-up already pending
  }
};

struct CommandServer {
  evconnlistener* listener = nullptr;
  event* resumeTimer = nullptr;
  // loops[0] runs the listener on the server's own thread and, when the others run, no
  // connection: a download streaming on a loop never keeps a new phone waiting to be accepted.
  std::vector<std::unique_ptr<EventLoop>> loops;
  size_t nextLoop = 0;                            // the listener's thread only
  bool capLogged = false;                         // the listener's thread only
  std::atomic<bool> stopping{false};
  // Counted by the listener, released by whichever loop closes the connection.
  std::mutex countMutex;
  CAddressLimits<std::string> remote;  // open connections of each remote address, and in all
  size_t loopback = 0;
};

bool IsLoopbackAddress(const sockaddr* sa) {
  if (sa == nullptr) return false;
  if (sa->sa_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(sa);
    return (ntohl(sin->sin_addr.s_addr) >> 24) == 127;
  }
  if (sa->sa_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(sa);
    if (IN6_IS_ADDR_LOOPBACK(&sin6->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr) && sin6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

std::string AddressText(const sockaddr* sa) {
  char text[INET6_ADDRSTRLEN] = {0};
  if (sa != nullptr && sa->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
  } else if (sa != nullptr && sa->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
  } else {
    return "unknown";
  }
  return text;
}

void ReleaseCount(CommandServer& server, bool loopback, const std::string& peer) {
  std::lock_guard<std::mutex> lock(server.countMutex);
  if (loopback) {
    --server.loopback;
  } else {
    server.remote.Release(peer);
  }
}

// Every way a connection ends comes through here: the transfer layer hears of it while the
// connection still exists, then the socket is closed.
void CloseConnection(CommandConnState* st) {
  if (ConnectionClosedHook hook = g_closedHook.load()) hook(st->bev);
  PeerLogin_Forget(st->bev, -1);
  st->loop->conns.erase(st);
  --st->loop->assigned;
  ReleaseCount(*st->server, st->loopbackPeer, st->peer);
  if (st->idleTimer) event_free(st->idleTimer);
  if (st->drainEvent) event_free(st->drainEvent);
  bufferevent_free(st->bev);
  delete st;
}

// Reading stops while a reply still streams or the peer does not read: requests then wait in
// the socket, not in our memory.
void UpdateReading(CommandConnState* st) {
  if (st->held > 0 || st->readPaused) {
    bufferevent_disable(st->bev, EV_READ);
  } else {
    bufferevent_enable(st->bev, EV_READ);
  }
}

void RestartIdleTimer(CommandConnState* st) {
  if (st->idleTimer == nullptr || st->idleSeconds <= 0) return;
  const timeval tv{st->idleSeconds, 0};
  evtimer_add(st->idleTimer, &tv);
}

CommandConnState* StateOf(bufferevent* bev);

// A handler's reply goes out on its connection as it is.
class CConnectionReplies : public IReplyChannel {
 public:
  explicit CConnectionReplies(bufferevent* bev) : m_bev(bev) {}
  void Send(const char* bytes, size_t len) override {
    if (bufferevent_write(m_bev, bytes, len) != 0) {
      QV_LOG(kModCommLib, kLogError, "Write return message error.");
    }
  }

 private:
  bufferevent* m_bev;
};

// Reads and dispatches every whole message buffered on the connection. False when the
// connection was closed (st is gone).
bool DrainInput(CommandConnState* st) {
  bufferevent* bev = st->bev;
  evbuffer* in = bufferevent_get_input(bev);
  for (;;) {
    if (st->closeWhenSent) {
      if (evbuffer_get_length(bufferevent_get_output(bev)) == 0) {
        CloseConnection(st);
        return false;
      }
      return true;  // the write callback closes it once the reply went out
    }
    if (st->readPaused || st->held > 0) return true;
    if (!st->haveHeader) {
      if (evbuffer_get_length(in) < kCommandHeaderSize) return true;
      uint8_t raw[kCommandHeaderSize];
      evbuffer_remove(in, raw, sizeof raw);
      st->header = DecodeCommandHeader(raw);
      if (st->header.len < kCommandHeaderSize) {
        QV_LOG_REFUSAL(st->peer, kModCommLib, kLogError,
                       "Message length %u from %s is below the header; closing.",
               static_cast<unsigned>(st->header.len), st->peer.c_str());
        CloseConnection(st);
        return false;
      }
      const uint16_t op = st->header.opcode;
      if (op != kOpRelayPassA && op != kOpRelayPassB && !OS_IsRegistered(op)) {
        QV_LOG_REFUSAL(st->peer, kModCommLib, kLogError,
                       "Opcode 0x%04X from %s not registered; closing.",
               static_cast<unsigned>(op), st->peer.c_str());
        CloseConnection(st);
        return false;
      }
      st->haveHeader = true;
    }

    const size_t bodyLen = st->header.len - kCommandHeaderSize;
    if (evbuffer_get_length(in) < bodyLen) return true;  // rest of the body not here yet
    std::unique_ptr<char[]> body;
    if (bodyLen > 0) {
      // One spare zero byte: a handler that reads a text field to its end stops there.
      body.reset(new (std::nothrow) char[bodyLen + 1]);
      if (!body) {
        QV_LOG(kModCommLib, kLogError, "Allocate memory error.");
        CloseConnection(st);
        return false;
      }
      evbuffer_remove(in, body.get(), bodyLen);
      body[bodyLen] = 0;
    }
    const CommandHeader header = st->header;
    st->haveHeader = false;
    RestartIdleTimer(st);  // idle counts from the last whole message, not the last byte

    PeerRequest request;
    request.trust = st->trust;
    request.header = header;
    request.body = body.get();
    request.bodyLen = bodyLen;
    request.conn = bev;
    CConnectionReplies replies(bev);
    Request_Run(request, replies);
    if (evbuffer_get_length(bufferevent_get_output(bev)) > kOutputHighWater) {
      // The peer is not reading its replies: stop taking requests until it does.
      st->readPaused = true;
      UpdateReading(st);
    }
  }
}

void read_cb(bufferevent* /*bev*/, void* ctx) { DrainInput(static_cast<CommandConnState*>(ctx)); }

void write_cb(bufferevent* bev, void* ctx) {
  auto* st = static_cast<CommandConnState*>(ctx);
  if (ConnectionWritableHook hook = g_writableHook.load()) hook(bev);
  if (st->closeWhenSent && evbuffer_get_length(bufferevent_get_output(bev)) == 0) {
    CloseConnection(st);
    return;
  }
  if (st->readPaused && evbuffer_get_length(bufferevent_get_output(bev)) <= kWriteLowWater) {
    st->readPaused = false;
    UpdateReading(st);
    DrainInput(st);  // requests that arrived while paused are already buffered
  }
}

// Runs from the loop after a release, so a handler that releases from inside a callback never
// sees its connection dispatch (or close) under its feet.
void drain_cb(evutil_socket_t /*fd*/, short /*what*/, void* ctx) {
  DrainInput(static_cast<CommandConnState*>(ctx));
}

void idle_cb(evutil_socket_t /*fd*/, short /*what*/, void* ctx) {
  auto* st = static_cast<CommandConnState*>(ctx);
  if (st->held > 0 || evbuffer_get_length(bufferevent_get_output(st->bev)) > 0) {
    // Still sending to it: not idle. A peer that stopped reading is caught by the write
    // time-out of the connection.
    RestartIdleTimer(st);
    return;
  }
  QV_LOG(kModCommLib, kLogDebug, "Connection from %s idle; closing.", st->peer.c_str());
  CloseConnection(st);
}

void event_cb(bufferevent* /*bev*/, short events, void* ctx) {
  auto* st = static_cast<CommandConnState*>(ctx);
  if ((events & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) == 0) return;
  if (events & BEV_EVENT_TIMEOUT) {
    QV_LOG(kModCommLib, kLogDebug, "Connection from %s stopped reading; closing.",
           st->peer.c_str());
  }
  CloseConnection(st);
}

CommandConnState* StateOf(bufferevent* bev) {
  if (bev == nullptr) return nullptr;
  bufferevent_data_cb readCb = nullptr;
  void* arg = nullptr;
  bufferevent_getcb(bev, &readCb, nullptr, nullptr, &arg);
  return readCb == read_cb ? static_cast<CommandConnState*>(arg) : nullptr;
}

// Takes a slot for the new connection when its caps allow; the name of the cap it would break
// otherwise.
const char* TakeSlot(CommandServer& server, bool loopback, const std::string& address,
                     const ConnectionLimits& limits) {
  std::lock_guard<std::mutex> lock(server.countMutex);
  if (loopback) {
    if (server.loopback >= limits.maxLoopback) return "loopback";
    ++server.loopback;
    return nullptr;
  }
  server.remote.SetCaps(limits.maxPerAddress, limits.maxRemote);
  switch (server.remote.Take(address)) {
    case AddressRoom::kTaken: return nullptr;
    case AddressRoom::kAllFull: return "remote";
    case AddressRoom::kAddressFull: return "address";
  }
  return nullptr;
}

// On the owning loop's thread: the connection's buffered socket and state.
void SetUpConnection(EventLoop& loop, const PendingConn& pending) {
  CommandServer* server = loop.server;
  bufferevent* bev = bufferevent_socket_new(loop.base, pending.fd, BEV_OPT_CLOSE_ON_FREE);
  if (bev == nullptr) {
    QV_LOG(kModCommLib, kLogError, "Couldn't open socket event.");
    evutil_closesocket(pending.fd);
    --loop.assigned;
    ReleaseCount(*server, pending.keptSlot, pending.peer);
    return;
  }
  auto* st = new (std::nothrow) CommandConnState;
  if (st == nullptr) {
    QV_LOG(kModCommLib, kLogError, "Allocate memory error.");
    bufferevent_free(bev);
    --loop.assigned;
    ReleaseCount(*server, pending.keptSlot, pending.peer);
    return;
  }
  st->server = server;
  st->loop = &loop;
  st->bev = bev;
  st->loopbackPeer = pending.keptSlot;
  st->peer = pending.peer;
  st->trust.road = Road::kCommand;
  st->trust.sameUser = pending.sameUser;
  st->trust.ownSubnet = pending.ownSubnet;
  st->trust.peer = st->peer.c_str();
  st->idleSeconds = pending.limits.idleSeconds;
  st->idleTimer = evtimer_new(loop.base, idle_cb, st);
  st->drainEvent = event_new(loop.base, -1, 0, drain_cb, st);
  loop.conns.insert(st);
  if (st->idleTimer == nullptr || st->drainEvent == nullptr) {
    QV_LOG(kModCommLib, kLogError, "Couldn't open socket event.");
    CloseConnection(st);
    return;
  }

  // Replies are small and answer a request each: they go out at once, not when the peer's
  // delayed acknowledgement of the previous one arrives.
  const int one = 1;
  setsockopt(pending.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  bufferevent_setwatermark(bev, EV_READ, 0, 0);
  bufferevent_setwatermark(bev, EV_WRITE, kWriteLowWater, 0);
  // Larger single writes than libevent's 16 KiB default: downloads fill the buffer in 64 KiB
  // batches, and fewer send calls keep them close to a raw copy.
  bufferevent_set_max_single_write(bev, 256 * 1024);
  if (pending.limits.idleSeconds > 0) {
    // Only the send side: a stalled send is a peer that stopped reading. The idle timer
    // covers the receive side.
    const timeval tv{pending.limits.idleSeconds, 0};
    bufferevent_set_timeouts(bev, nullptr, &tv);
  }
  RestartIdleTimer(st);
  bufferevent_setcb(bev, read_cb, write_cb, event_cb, st);
  bufferevent_enable(bev, EV_READ | EV_WRITE);
}

void wake_cb(evutil_socket_t fd, short /*what*/, void* ctx) {
  auto* loop = static_cast<EventLoop*>(ctx);
  char drain[64];
  while (read(fd, drain, sizeof drain) > 0) {
  }
  if (loop->server->stopping.load()) {
    event_base_loopbreak(loop->base);
    return;
  }
  std::deque<PendingConn> pending;
  {
    std::lock_guard<std::mutex> lock(loop->queueMutex);
    pending.swap(loop->queue);
  }
  for (const PendingConn& p : pending) SetUpConnection(*loop, p);
}

void accept_conn_cb(evconnlistener* /*listener*/, evutil_socket_t fd, sockaddr* address,
                    int /*length*/, void* ctx) {
  auto* server = static_cast<CommandServer*>(ctx);
  PendingConn pending;
  pending.fd = fd;
  pending.limits = OS_GetConnectionLimits();
  pending.loopback = IsLoopbackAddress(address);
  pending.peer = AddressText(address);
  if (pending.loopback) {
    // Any local user may connect to loopback: only the service's own user (or root) is the
    // desktop program.
    pending.sameUser = LoopbackPeerIsSameUser(fd);
    pending.ownSubnet = true;
    pending.keptSlot = pending.sameUser;
  } else if (address != nullptr && address->sa_family == AF_INET) {
    pending.ownSubnet =
        IsOwnSubnetAddress(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
  }
  if (const char* cap = TakeSlot(*server, pending.keptSlot, pending.peer, pending.limits)) {
    if (!server->capLogged) {
      QV_LOG(kModCommLib, kLogWarning, "Too many connections (%s cap, from %s); refusing new ones.",
             cap, pending.peer.c_str());
      server->capLogged = true;
    }
    evutil_closesocket(fd);
    return;
  }
  server->capLogged = false;

  // To the loop with the fewest connections (a phone asking for a small file does not queue
  // behind another's large download), round robin among equals. Only without other loops does
  // the listener's own loop take connections, and it sets them up at once.
  const size_t first = server->loops.size() > 1 ? 1 : 0;
  const size_t count = server->loops.size() - first;
  const size_t start = first + server->nextLoop++ % count;
  EventLoop* chosen = server->loops[start].get();
  for (size_t i = 1; i < count; ++i) {
    EventLoop* candidate = server->loops[first + (start - first + i) % count].get();
    if (candidate->assigned.load() < chosen->assigned.load()) chosen = candidate;
  }
  ++chosen->assigned;
  EventLoop& loop = *chosen;
  if (&loop == server->loops[0].get()) {
    SetUpConnection(loop, pending);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(loop.queueMutex);
    loop.queue.push_back(std::move(pending));
  }
  loop.Wake();
}

void resume_listener_cb(evutil_socket_t /*fd*/, short /*what*/, void* ctx) {
  evconnlistener_enable(static_cast<CommandServer*>(ctx)->listener);
}

void accept_error_cb(evconnlistener* listener, void* ctx) {
  auto* server = static_cast<CommandServer*>(ctx);
  const int err = EVUTIL_SOCKET_ERROR();
  if (err == EMFILE || err == ENFILE) {
    // Out of descriptors for now: pause accepting instead of spinning or giving up.
    QV_LOG(kModCommLib, kLogError, "Accept error %d (%s); listener paused for one second.", err,
           evutil_socket_error_to_string(err));
    evconnlistener_disable(listener);
    const timeval oneSecond{1, 0};
    evtimer_add(server->resumeTimer, &oneSecond);
    return;
  }
  QV_LOG(kModCommLib, kLogError, "Got an error %d (%s) on the listener.Shutting down.", err,
         evutil_socket_error_to_string(err));
  event_base_loopexit(evconnlistener_get_base(listener), nullptr);
}

// A loop with its wake-up pipe; null when libevent or the system refuses one.
std::unique_ptr<EventLoop> MakeLoop(CommandServer& server) {
  auto loop = std::make_unique<EventLoop>();
  loop->server = &server;
  loop->base = event_base_new();
  int fds[2];
  if (!loop->base || pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
  loop->wakeRead.reset(fds[0]);
  loop->wakeWrite.reset(fds[1]);
  loop->wakeEvent = event_new(loop->base, loop->wakeRead.get(), EV_READ | EV_PERSIST, wake_cb, loop.get());
  if (!loop->wakeEvent || event_add(loop->wakeEvent, nullptr) != 0) return nullptr;
  return loop;
}

// Closes what a loop still owns, on its own thread, once it no longer runs.
void CloseLoop(EventLoop& loop) {
  while (!loop.conns.empty()) CloseConnection(*loop.conns.begin());
  std::lock_guard<std::mutex> lock(loop.queueMutex);
  for (const PendingConn& p : loop.queue) {
    evutil_closesocket(p.fd);
    --loop.assigned;
    ReleaseCount(*loop.server, p.keptSlot, p.peer);
  }
  loop.queue.clear();
}

void RunLoop(EventLoop& loop) {
  COnEventThread mark;
  event_base_dispatch(loop.base);
  CloseLoop(loop);
}

}  // namespace

namespace {

// Counts a run of the command server from its start to its very end.
struct RunningMark {
  RunningMark() {
    std::lock_guard<std::mutex> lock(g_stopMutex);
    ++g_serversRunning;
  }
  ~RunningMark() {
    std::lock_guard<std::mutex> lock(g_stopMutex);
    --g_serversRunning;
    g_serverEnded.notify_all();
  }
};

}  // namespace

int OS_RunEvent(void* /*unused*/) {
  static std::once_flag routed;
  std::call_once(routed, Log_RouteLibevent);
  RunningMark running;

  CommandServer server;
  const unsigned cores = std::thread::hardware_concurrency();
  // One loop per core for the connections, plus the listener's.
  const unsigned wanted = std::min(kMaxEventLoops, std::max(1u, cores)) + 1;
  for (unsigned i = 0; i < wanted; ++i) {
    std::unique_ptr<EventLoop> loop = MakeLoop(server);
    if (!loop) break;
    server.loops.push_back(std::move(loop));
  }
  if (server.loops.empty()) {
    QV_LOG(kModCommLib, kLogError, "Couldn't open event base.");
    return -1;
  }
  event_base* base = server.loops[0]->base;

  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_ANY);
  sin.sin_port = htons(g_LocalPort.load());
  std::unique_ptr<evconnlistener, decltype(&evconnlistener_free)> listener(
      evconnlistener_new_bind(base, accept_conn_cb, &server,
                              LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_EXEC,
                              -1, reinterpret_cast<sockaddr*>(&sin), sizeof sin),
      evconnlistener_free);
  if (!listener) {
    QV_LOG(kModCommLib, kLogError, "Couldn't create listener.");
    g_CommandPortState = -1;
    return -1;
  }
  server.listener = listener.get();
  std::unique_ptr<event, decltype(&event_free)> resumeTimer(
      evtimer_new(base, resume_listener_cb, &server), event_free);
  if (!resumeTimer) {
    QV_LOG(kModCommLib, kLogError, "Couldn't open event base.");
    return -1;
  }
  server.resumeTimer = resumeTimer.get();


  if (g_LocalPort.load() == 0) {
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (getsockname(evconnlistener_get_fd(listener.get()), reinterpret_cast<sockaddr*>(&bound),
                    &len) == 0) {
      g_LocalPort.store(ntohs(bound.sin_port));
    }
  }
  QV_LOG(kModCommLib, kLogDebug, "Bind port %d.", static_cast<int>(g_LocalPort.load()));
  g_CommandPortState = 1;

  evconnlistener_set_error_cb(listener.get(), accept_error_cb);
  std::vector<std::thread> others;
  bool stopNow = false;
  {
    // The loop list is fixed before a stop request can walk it.
    std::lock_guard<std::mutex> lock(g_stopMutex);
    stopNow = g_stopRequested;
    if (!stopNow) {
      for (size_t i = 1; i < server.loops.size(); ++i) {
        EventLoop* loop = server.loops[i].get();
        try {
          others.emplace_back([loop] { RunLoop(*loop); });
        } catch (const std::system_error&) {
          break;  // fewer loops; the listener hands connections only to running ones
        }
      }
      server.loops.resize(others.size() + 1);
      g_running = &server;
    }
  }
  if (!stopNow) {
    COnEventThread mark;
    event_base_dispatch(base);
  }

  {
    // The stop request, if any, was for this run; the other loops end too.
    std::lock_guard<std::mutex> lock(g_stopMutex);
    if (g_running == &server) g_running = nullptr;
    g_stopRequested = false;
  }
  server.stopping = true;
  for (size_t i = 1; i < server.loops.size(); ++i) server.loops[i]->Wake();
  for (std::thread& t : others) t.join();
  listener.reset();  // no more accepts onto loops that ended
  CloseLoop(*server.loops[0]);
  QV_LOG(kModCommLib, kLogInfo, "%s.", "exit local server");
  return 0;
}

bool OS_WaitEventStopped(int timeoutMs) {
  std::unique_lock<std::mutex> lock(g_stopMutex);
  return g_serverEnded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [] { return g_serversRunning == 0; });
}

void OS_StopEvent() {
  std::lock_guard<std::mutex> lock(g_stopMutex);
  g_stopRequested = true;
  if (g_running) {
    g_running->stopping = true;
    for (auto& loop : g_running->loops) loop->Wake();
  }
}

void OS_SetConnectionClosedHook(ConnectionClosedHook hook) { g_closedHook.store(hook); }
void OS_SetConnectionWritableHook(ConnectionWritableHook hook) { g_writableHook.store(hook); }
void OS_SetConnectionLimits(const ConnectionLimits& limits) {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  g_limits = limits;
  if (g_limits.idleSeconds < 0) g_limits.idleSeconds = 0;
}

ConnectionLimits OS_GetConnectionLimits() {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  return g_limits;
}

void OS_SetConnectionIdleTimeout(int seconds) {
  std::lock_guard<std::mutex> lock(g_limitsMutex);
  g_limits.idleSeconds = seconds < 0 ? 0 : seconds;
}

void OS_ApplyTestSettings() {
  ConnectionLimits limits = OS_GetConnectionLimits();
  long v = 0;
  if (Service_TestSetting("idle_seconds", v)) limits.idleSeconds = static_cast<int>(v);
  if (Service_TestSetting("max_remote", v)) limits.maxRemote = static_cast<size_t>(v);
  if (Service_TestSetting("max_per_address", v)) limits.maxPerAddress = static_cast<size_t>(v);
  if (Service_TestSetting("max_loopback", v)) limits.maxLoopback = static_cast<size_t>(v);
  OS_SetConnectionLimits(limits);
}

void OS_HoldConnection(bufferevent* conn) {
  CommandConnState* st = StateOf(conn);
  if (st == nullptr) return;
  ++st->held;
  UpdateReading(st);
}

void OS_ReleaseConnection(bufferevent* conn) {
  CommandConnState* st = StateOf(conn);
  if (st == nullptr || st->held == 0) return;
  if (--st->held > 0) return;  // another reply of it still waits
  RestartIdleTimer(st);
  UpdateReading(st);
  event_active(st->drainEvent, 0, 0);  // requests that waited are already buffered
}

std::vector<size_t> OS_ConnectionsPerLoop() {
  std::lock_guard<std::mutex> lock(g_stopMutex);
  std::vector<size_t> counts;
  if (g_running != nullptr) {
    const size_t first = g_running->loops.size() > 1 ? 1 : 0;  // the listener's takes none then
    for (size_t i = first; i < g_running->loops.size(); ++i) {
      counts.push_back(g_running->loops[i]->assigned.load());
    }
  }
  return counts;
}

bool OS_IsCommandConnection(bufferevent* conn) { return StateOf(conn) != nullptr; }

int OS_ConnectionSendTimeout(bufferevent* conn) {
  const CommandConnState* st = StateOf(conn);
  return st == nullptr ? 0 : st->idleSeconds;
}

void OS_FailConnectionLater(bufferevent* conn, bool timedOut) {
  if (StateOf(conn) == nullptr) return;
  const short why = BEV_EVENT_WRITING | (timedOut ? BEV_EVENT_TIMEOUT : BEV_EVENT_ERROR);
  bufferevent_trigger_event(conn, why, BEV_TRIG_DEFER_CALLBACKS);
}

void OS_CloseWhenSent(bufferevent* conn) {
  CommandConnState* st = StateOf(conn);
  if (st == nullptr) return;
  st->closeWhenSent = true;
  bufferevent_disable(conn, EV_READ);
  event_active(st->drainEvent, 0, 0);  // closes at once when nothing waits to be sent
}

COnEventThread::COnEventThread() : m_was(t_onEventThread) { t_onEventThread = true; }
COnEventThread::~COnEventThread() { t_onEventThread = m_was; }
bool OS_OnEventThread() { return t_onEventThread; }

bool OS_IsLoopbackConnection(bufferevent* conn) {
  if (conn == nullptr) return false;
  const evutil_socket_t fd = bufferevent_getfd(conn);
  if (fd < 0) return false;
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
  return IsLoopbackAddress(reinterpret_cast<const sockaddr*>(&peer));
}
