#pragma once
// The TCP command server: one libevent loop on a pool thread; reads whole CommandHeader
// messages from each connection, dispatches them and writes the replies back.
struct bufferevent;

// Pool task started by OS_Init; returns when its loop ends.
int OS_RunEvent(void* unused);
// Ends the command server's loop (stop control).
void OS_StopEvent();

// Hook the transfer layer installs: closes the open transfers of a dropped connection.
using ConnectionClosedHook = void (*)(bufferevent* conn);
void OS_SetConnectionClosedHook(ConnectionClosedHook hook);

// Write-drained hook for handlers that stream (downloads): called from the write callback
// when the output buffer fell to the low-water mark.
using ConnectionWritableHook = void (*)(bufferevent* conn);
void OS_SetConnectionWritableHook(ConnectionWritableHook hook);

// A connection that neither receives nor drains output for this long is closed (0: never).
// Applies to connections accepted afterwards.
constexpr int kDefaultIdleTimeoutSeconds = 300;
void OS_SetConnectionIdleTimeout(int seconds);

// Whether the connection's peer is a loopback address.
bool OS_IsLoopbackConnection(bufferevent* conn);
