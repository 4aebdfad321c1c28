#pragma once
// Peers of the real QuarloCentral on other loopback addresses (127.0.0.2 and up): a TCP
// connection or one single exchange from a given source address, and a UDP socket bound to one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "common/proto_central.h"
#include "tests/support/device_client.h"

// A connection to 127.0.0.1:port from source (port chosen by the system).
inline bool ConnectFrom(DeviceClient& client, const std::string& source, uint16_t port) {
  return client.ConnectFrom(source, "127.0.0.1", port);
}

// The ServerReplyHeader and body of one answer on a PC connection.
inline bool ReadServerAnswer(DeviceClient& c, ServerReplyHeader& h, Bytes* body = nullptr,
                             std::chrono::milliseconds wait = DeviceClient::kDefaultWait) {
  uint8_t raw[8];
  if (!c.ReadExact(raw, sizeof raw, wait)) return false;
  h = DecodeServerReplyHeader(raw);
  if (h.len < 8) return false;
  Bytes rest(h.len - 8);
  if (!rest.empty() && !c.ReadExact(rest.data(), rest.size())) return false;
  if (body) *body = rest;
  return true;
}

// One single exchange from source; the status, or -1.
inline int ExchangeFrom(const std::string& source, uint16_t port, uint16_t command,
                        const std::string& identity, const Bytes& body, Bytes* replyBody = nullptr) {
  DeviceClient c;
  if (!ConnectFrom(c, source, port) || !c.SendRaw(BuildServerRequest(command, identity, body)))
    return -1;
  ServerReplyHeader h;
  if (!ReadServerAnswer(c, h, replyBody)) return -1;
  return h.status;
}

// A UDP socket bound to source, any port; -1 on failure.
inline int UdpFrom(const std::string& source) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}
