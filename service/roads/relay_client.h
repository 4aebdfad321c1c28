#pragma once
// The relay client: while the account is logged on, one TCP connection to the central server
// (the interline) carries phones' requests to this PC and its replies back. It registers the
// device identity on connect and every 10 seconds, takes each request out of its relay frame,
// dispatches it as a relayed request (direct flag 0) and frames the reply to the requester.
// Partial frames are kept across reads; a frame is taken by its length field (see
// ClassifyRelayInput). The connection is closed when the log-on result leaves 0 and at exit.
#include <cstdint>

#include "common/server_client.h"

constexpr int kRelayKeepAlivePeriodMs = 10000;
constexpr int kRelayRetryPeriodMs = 30000;

int StartRecvInterLine(void* arg);  // the pool task started at service start
// One connection and its event loop; returns when the connection has ended.
int OS_RunEventClient(const ServerAddress& server);
