#pragma once
// Peers of the real QuarloCentral on other loopback addresses (127.0.0.2 and up): a TCP
// connection or one single exchange from a given source address, and a UDP socket bound to one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>

#include "common/proto_central.h"
#include "common/proto_p2p.h"
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

// What a PC does with the central server's punch (a non-zero source) on its peer-to-peer
// socket: sends it back with source 0, the two addresses swapped and the last 12 bytes as
// received (the server takes a heartbeat's address only once that comes back). Handles what
// waits on fd now; other datagrams are dropped.
inline void AnswerServerPunches(int fd) {
  uint8_t in[64];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n;
  while ((n = recvfrom(fd, in, sizeof in, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len)) >= 0) {
    len = sizeof from;
    if (n != static_cast<ssize_t>(kHolePunchSize)) continue;
    HolePunchBody b = DecodeHolePunchBody(in + kP2PHeaderSize);
    if (b.source == 0) continue;
    b.source = 0;
    std::swap(b.addrA, b.addrB);
    std::swap(b.portA, b.portB);
    uint8_t out[kHolePunchSize];
    EncodeHolePunch(b, out);
    sendto(fd, out, sizeof out, 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  }
}

// How many connections wait in the accept queue of the loopback listener on `port` (for a
// listening socket the kernel shows that queue as its receive queue); -1 when not found.
inline int WaitingToBeAccepted(uint16_t port) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  char local[32];
  std::snprintf(local, sizeof local, "%08X:%04X", 0u, port);
  char loopback[32];
  std::snprintf(loopback, sizeof loopback, "0100007F:%04X", port);
  while (std::getline(tcp, line)) {
    char addr[64], rem[64], st[8];
    unsigned tx = 0, rx = 0;
    if (std::sscanf(line.c_str(), "%*d: %63s %63s %7s %x:%x", addr, rem, st, &tx, &rx) == 5 &&
        (std::string(addr) == local || std::string(addr) == loopback) && std::string(st) == "0A")
      return static_cast<int>(rx);
  }
  return -1;
}
