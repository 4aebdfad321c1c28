#pragma once
// The TCP command server: one libevent loop on a pool thread; reads whole CommandHeader
// messages from each connection, dispatches them and writes the replies back.
#include <cstddef>
#include <vector>

struct bufferevent;

// Pool task started by OS_Init; returns when its loop ends.
int OS_RunEvent(void* unused);
// Ends the command server's loops (stop control).
void OS_StopEvent();
// Waits until a running command server has ended (its connections closed, its exit logged);
// false when it still runs at the deadline.
bool OS_WaitEventStopped(int timeoutMs);

// Hook the transfer layer installs: closes the open transfers of a dropped connection.
using ConnectionClosedHook = void (*)(bufferevent* conn);
void OS_SetConnectionClosedHook(ConnectionClosedHook hook);

// Write-drained hook for handlers that stream (downloads): called from the write callback
// when the output buffer fell to the low-water mark.
using ConnectionWritableHook = void (*)(bufferevent* conn);
void OS_SetConnectionWritableHook(ConnectionWritableHook hook);

// Limits that keep one peer from starving the others. The idle time counts from the last whole
// message (or the end of a streamed reply); a stalled send is closed after the same time.
constexpr int kDefaultIdleTimeoutSeconds = 300;
struct ConnectionLimits {
  int idleSeconds = kDefaultIdleTimeoutSeconds;  // 0: never
  size_t maxRemote = 256;    // all non-loopback peers (and other local users) together
  size_t maxPerAddress = 16; // one non-loopback address (other local users: 127.x's share)
  size_t maxLoopback = 64;   // this user's desktop program and local tools, kept apart
};
// Apply to connections accepted afterwards.
void OS_SetConnectionLimits(const ConnectionLimits& limits);
ConnectionLimits OS_GetConnectionLimits();
void OS_SetConnectionIdleTimeout(int seconds);
// The test setting QUARLO_TEST_SETTINGS ("idle_seconds=2,max_per_address=4,max_remote=8,
// max_loopback=4"): unknown keys are left to other readers. Without it the defaults hold.
void OS_ApplyTestSettings();

// A handler that keeps sending after it returned (a streamed download) holds its connection:
// later requests wait, unread, until it releases it, so replies stay in request order. Holds
// count: reading resumes when every hold was released. Event-thread only; connections of the
// command server only.
void OS_HoldConnection(bufferevent* conn);
void OS_ReleaseConnection(bufferevent* conn);

// For a handler that writes straight to a held connection's socket (a streamed download):
// whether the connection is the command server's, its send time-out in seconds (0: none), and
// a close that runs later from the loop, as a failed or stalled send would close it, so the
// caller's own state stays valid meanwhile.
bool OS_IsCommandConnection(bufferevent* conn);
int OS_ConnectionSendTimeout(bufferevent* conn);
void OS_FailConnectionLater(bufferevent* conn, bool timedOut);

// Tests: the connections each event loop of the running server holds (empty when none runs).
std::vector<size_t> OS_ConnectionsPerLoop();

// Event-thread only: the connection takes no more requests and closes once its output went out
// (a refused device log-in).
void OS_CloseWhenSent(bufferevent* conn);

// Marks the calling thread, for the object's life, as the one thread of an event loop (the
// command server's loops, the relay connection's): only such a thread writes to its
// connections. A task off the loop hands its bytes to the loop instead (deferred replies).
class COnEventThread {
 public:
  COnEventThread();
  ~COnEventThread();
  COnEventThread(const COnEventThread&) = delete;
  COnEventThread& operator=(const COnEventThread&) = delete;

 private:
  bool m_was;
};
bool OS_OnEventThread();

// Whether the connection's peer is a loopback address.
bool OS_IsLoopbackConnection(bufferevent* conn);
