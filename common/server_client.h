#pragma once
// The blocking request client of the central server: one new TCP connection per exchange,
// a RelayHeader and body out, a ServerReplyHeader and body back, then close. Callers run on
// pool tasks (never an event thread): a call may wait up to the time-out twice.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/proto_central.h"

constexpr int kServerTimeoutMs = 5000;
constexpr size_t kServerHostMax = 31;

struct ServerAddress {
  uint16_t port = 0;  // host order
  char host[kServerHostMax + 1] = {};
};

// Fills the address; -1 (and an empty host) for a host longer than 31 characters, which is
// refused rather than cut to another name.
int MakeServerAddress(const std::string& host, uint16_t port, ServerAddress& out);

// 0 when the exchange completed, else -1 (no connection, time-out, close before the whole
// answer, an answer total below 8). On success `reply` is in host order and `body` holds
// the reply's total - 8 bytes (empty for a bare header); on failure both are cleared. The
// request's total is set here from the body; the caller's header is not changed.
int SendServerRequest(const RelayHeader& header, const ServerAddress& server,
                      const uint8_t* body, size_t bodyLen, ServerReplyHeader& reply,
                      std::vector<uint8_t>& replyBody);

// Exactly 8 bytes into host order; 0 or -1.
int RecvServerReplyHead(int* sock, ServerReplyHeader& out);
