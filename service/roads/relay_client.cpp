#include "service/roads/relay_client.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/dns.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <vector>

#include "common/command_server.h"
#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/periods.h"
#include "common/proto_relay.h"
#include "common/request_pipeline.h"
#include "common/settings.h"
#include "common/sockets.h"
#include "service/core/deferred_reply.h"
#include "service/transfers/download.h"
#include "service/core/relay_lock.h"
#include "service/transfers/relay_transfer.h"
#include "service/service_globals.h"

namespace {

// The real period, unless the test setting names a shorter one in milliseconds.
int ShortenedMs(const char* key, int defaultMs) {
  long v = 0;
  if (Service_TestSetting(key, v) && v > 0 && v < defaultMs) return static_cast<int>(v);
  return defaultMs;
}

constexpr int kWatchPeriodMs = 500;  // how soon a log-out or the exit closes the connection

std::string OwnIdentity() { return std::string(g_szUUID, strnlen(g_szUUID, sizeof g_szUUID)); }

std::vector<uint8_t> RegisterFrame() {
  return BuildRelayFrame(kCmdRelayRegister, OwnIdentity(), nullptr, 0);
}

// Owned by the loop of one connection; the callbacks reach it through their argument.
struct RelayConnState {
  event_base* base = nullptr;
  bufferevent* bev = nullptr;
  event* keepAlive = nullptr;
  event* watch = nullptr;
};

bool WriteLocked(bufferevent* bev, const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return false;
  std::lock_guard<std::mutex> lock(RelaySendMutex());
  return bufferevent_write(bev, bytes.data(), bytes.size()) == 0;
}

// Timers first, then the connection: a timer never fires on a freed connection.
void EndConnection(RelayConnState* s) {
  if (s->keepAlive) {
    event_free(s->keepAlive);
    s->keepAlive = nullptr;
  }
  if (s->watch) {
    event_free(s->watch);
    s->watch = nullptr;
  }
  if (s->bev) {
    // Replies still being worked out for relayed requests find the connection gone.
    DeferredReply_OnConnectionClosed(s->bev);
    std::lock_guard<std::mutex> lock(RelaySendMutex());
    bufferevent_free(s->bev);
    s->bev = nullptr;
  }
  event_base_loopexit(s->base, nullptr);
}

// A handler's reply goes back to its phone inside a relay data frame addressed to it.
class CRelayReplies : public IReplyChannel {
 public:
  CRelayReplies(RelayConnState* s, const std::string& requester)
      : m_state(s), m_requester(requester) {}
  void Send(const char* bytes, size_t len) override {
    const std::vector<uint8_t> out = BuildAddressedFrame(
        kCmdRelayData, OwnIdentity(), m_requester, reinterpret_cast<const uint8_t*>(bytes), len);
    if (out.empty()) {
      QV_LOG(kModCommLib, kLogError, "relay reply of %d bytes does not fit a frame; dropped.",
             static_cast<int>(len));
      return;
    }
    if (m_state->bev == nullptr || !WriteLocked(m_state->bev, out))
      QV_LOG(kModCommLib, kLogError, "Write return message error.");
  }

 private:
  RelayConnState* m_state;
  const std::string& m_requester;
};

void Serve(RelayConnState* s, const uint8_t* frame, size_t len) {
  RelayData data;
  if (wire::GetU16(frame + 4) != kCmdRelayData) return;  // nothing else is ours
  QV_LOG(kModCommLib, kLogDebug, "read info lens %d", static_cast<int>(len));
  if (!ParseRelayData(frame, len, data)) {
    QV_LOG(kModCommLib, kLogWarning, "relay frame of %zu bytes dropped: inner message does not fit.",
           len);
    return;
  }
  const uint16_t op = data.inner.opcode;
  if (op != kCmdRelayRegister && op != kCmdRelayData && !OS_IsRegistered(op)) {
    QV_LOG(kModCommLib, kLogDebug, "opcode error. %d", static_cast<int>(op));
    return;
  }
  PeerRequest request;
  request.trust.road = Road::kRelay;
  request.trust.peer = "relay";
  request.trust.requester = data.header.identity;
  request.header = data.inner;
  request.body = reinterpret_cast<const char*>(data.body.data());
  request.bodyLen = data.body.size();
  request.conn = s->bev;
  request.direct = 0;
  CRelayReplies replies(s, data.header.identity);
  Request_Run(request, replies);
}

void read_client_cb(bufferevent* bev, void* arg) {
  RelayConnState* s = static_cast<RelayConnState*>(arg);
  evbuffer* in = bufferevent_get_input(bev);
  while (s->bev) {
    const size_t have = evbuffer_get_length(in);
    uint8_t lenField[2];
    if (have < sizeof lenField) return;
    evbuffer_copyout(in, lenField, sizeof lenField);
    size_t chunk = 0;
    switch (ClassifyRelayInput(lenField, have, chunk)) {
      case RelayChunk::kNeedMore:
        return;  // the rest of the frame comes with a later read
      case RelayChunk::kBroken:
        QV_LOG(kModCommLib, kLogError, "relay stream broken: length %u.",
               static_cast<unsigned>(wire::GetU16(lenField)));
        EndConnection(s);
        return;
      case RelayChunk::kShortReply:
        evbuffer_drain(in, chunk);
        continue;
      case RelayChunk::kFrame: {
        std::vector<uint8_t> frame(chunk);
        evbuffer_remove(in, frame.data(), chunk);
        Serve(s, frame.data(), frame.size());
        continue;
      }
    }
  }
}

void write_client_cb(bufferevent*, void*) {}

void ev_client_cb(bufferevent*, short events, void* arg) {
  RelayConnState* s = static_cast<RelayConnState*>(arg);
  if (events & BEV_EVENT_CONNECTED) {
    if (WriteLocked(s->bev, RegisterFrame())) QV_LOG(kModCommLib, kLogDebug, "begain interline");
    else QV_LOG(kModCommLib, kLogError, "Write message error.");
    return;
  }
  if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR | BEV_EVENT_TIMEOUT)) {
    EndConnection(s);
    QV_LOG(kModCommLib, kLogDebug, "get an interline error, exits");
  }
}

void time_cb(evutil_socket_t, short, void* arg) {
  RelayConnState* s = static_cast<RelayConnState*>(arg);
  if (s->bev && !WriteLocked(s->bev, RegisterFrame()))
    QV_LOG(kModCommLib, kLogDebug, "send interline req in timer err");
}

// A heartbeat log-on that could not reach the server is no log-out: if the server is really
// gone, the connection fails by itself; if it was a passing fault, the relay keeps serving.
bool LoggedOff() {
  const int rc = g_nLogOnRtn.load();
  return rc != 0 && rc != kErrServerExchange;
}

void watch_cb(evutil_socket_t, short, void* arg) {
  RelayConnState* s = static_cast<RelayConnState*>(arg);
  if (g_ExitFlag.load() != 0 || LoggedOff()) {
    QV_LOG(kModCommLib, kLogDebug, "interline closed: %s.",
           g_ExitFlag.load() != 0 ? "service stops" : "logged off");
    EndConnection(s);
  }
}

timeval Tv(int ms) { return timeval{ms / 1000, (ms % 1000) * 1000}; }

}  // namespace

int OS_RunEventClient(const ServerAddress& server) {
  static const char* kFn = "OS_RunEventClient";
  (void)kFn;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    QV_LOG(kModCommLib, kLogDebug, "creat interline sock error");
    return -1;
  }
  SetNoDelay(fd);  // replies go out as they are written
  event_base* base = event_base_new();
  if (!base) {
    QV_LOG(kModCommLib, kLogError, "event_base_new error.");
    evutil_closesocket(fd);
    return -1;
  }
  evdns_base* dns = evdns_base_new(base, EVDNS_BASE_INITIALIZE_NAMESERVERS);
  if (!dns) {
    QV_LOG(kModCommLib, kLogError, "evdns_base_new error.");
    evutil_closesocket(fd);
    event_base_free(base);
    return -1;
  }
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
    QV_LOG(kModCommLib, kLogDebug, "set sock keep alive error");
  evutil_make_socket_nonblocking(fd);
  RelayConnState state;
  state.base = base;
  state.bev = bufferevent_socket_new(base, fd, BEV_OPT_CLOSE_ON_FREE);
  if (!state.bev) {
    QV_LOG(kModCommLib, kLogError, "bufferevent_socket_new error.");
    evutil_closesocket(fd);
  } else {
    bufferevent_setcb(state.bev, read_client_cb, write_client_cb, ev_client_cb, &state);
    if (bufferevent_enable(state.bev, EV_READ | EV_WRITE) != 0) {
      QV_LOG(kModCommLib, kLogError, "bufferevent_enable error.");
    } else if (bufferevent_socket_connect_hostname(state.bev, dns, AF_INET, server.host,
                                                   server.port) != 0) {
      QV_LOG(kModCommLib, kLogError, "bufferevent_socket_connect_hostname error.");
    } else {
      state.keepAlive = event_new(base, -1, EV_PERSIST, time_cb, &state);
      state.watch = event_new(base, -1, EV_PERSIST, watch_cb, &state);
      const timeval keep = Tv(ShortenedMs("relay_keepalive_ms", kRelayKeepAlivePeriodMs));
      const timeval watch = Tv(kWatchPeriodMs);
      if (state.keepAlive && state.watch && event_add(state.keepAlive, &keep) == 0 &&
          event_add(state.watch, &watch) == 0) {
        QV_LOG(kModCommLib, kLogDebug, "interline loop");
        COnEventThread mark;  // this pool task is the relay connection's loop
        event_base_dispatch(base);
        QV_LOG(kModCommLib, kLogDebug, "interline exits");
      }
    }
  }
  EndConnection(&state);
  evdns_base_free(dns, 0);
  event_base_free(base);
  return 0;
}

int StartRecvInterLine(void*) {
  std::string host;
  uint16_t port = 0;
  GetServerInfo(host, port);
  ServerAddress server;
  if (MakeServerAddress(host, port, server) != 0) {
    QV_LOG(kModCommLib, kLogWarning, "server host name longer than %d characters.",
           static_cast<int>(kServerHostMax));
    return 0;
  }
  RelaySendMutex();
  // Relayed download starts go to the cache road from now on.
  Download_SetRelayStarter(StartRelayDownload);
  // The relay starts as soon as a log-on succeeds (the first one may still be under way when
  // this task starts); the retry pause is only for a connection that failed while logged on.
  while (WaitUntilOrExit([] { return g_nLogOnRtn.load() == 0; }, g_ExitFlag)) {
    QV_LOG(kModCommLib, kLogDebug, "begain run interline.");
    OS_RunEventClient(server);
    QV_LOG(kModCommLib, kLogDebug, "end run interline.");
    if (LoggedOff()) continue;
    if (WaitOrExit(ShortenedMs("relay_retry_ms", kRelayRetryPeriodMs), g_ExitFlag)) break;
  }
  return 0;
}
