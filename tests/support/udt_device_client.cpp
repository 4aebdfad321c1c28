#include "tests/support/udt_device_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "common/proto_p2p.h"

namespace {

bool Address(const std::string& host, uint16_t port, sockaddr_in& out) {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  return inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

}  // namespace

UdtDeviceClient::UdtDeviceClient() { UDT::startup(); }

uint16_t UdtDeviceClient::Bind(const std::string& localIp) {
  Close();
  sockaddr_in local{};
  if (!Address(localIp, 0, local)) return 0;
  m_udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (m_udp < 0 || bind(m_udp, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return 0;
  socklen_t len = sizeof local;
  getsockname(m_udp, reinterpret_cast<sockaddr*>(&local), &len);
  return ntohs(local.sin_port);
}

bool UdtDeviceClient::Punch(const std::string& host, uint16_t p2pPort, std::chrono::milliseconds wait) {
  sockaddr_in pc{}, self{};
  socklen_t len = sizeof self;
  if (m_udp < 0 || !Address(host, p2pPort, pc) ||
      getsockname(m_udp, reinterpret_cast<sockaddr*>(&self), &len) != 0)
    return false;
  HolePunchBody punch;
  punch.addrA = ntohl(pc.sin_addr.s_addr);
  punch.portA = p2pPort;
  punch.addrB = ntohl(self.sin_addr.s_addr);
  punch.portB = ntohs(self.sin_port);
  uint8_t bytes[kHolePunchSize];
  EncodeHolePunch(punch, bytes);
  // Whatever an earlier attempt left queued (answers, a given-up handshake) would mislead the
  // rendezvous that follows.
  uint8_t stale[kP2PDatagramMax];
  while (recv(m_udp, stale, sizeof stale, MSG_DONTWAIT) >= 0) {
  }
  // Sent again every half second until the answer comes (a datagram may be lost).
  const auto end = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < end) {
    sendto(m_udp, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&pc), sizeof pc);
    const auto resend = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < std::min(resend, end)) {
      pollfd p{m_udp, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      uint8_t in[kP2PDatagramMax];
      const ssize_t n = recv(m_udp, in, sizeof in, MSG_DONTWAIT);
      if (n == static_cast<ssize_t>(kHoleAckSize) && DecodeP2PHeader(in).command == kP2PCmdHolePunch)
        return true;
    }
  }
  return false;
}

bool UdtDeviceClient::Rendezvous(const std::string& centralHost, uint16_t centralPort,
                                 const std::string& email, const std::string& pcPasswordText,
                                 std::string& pcHost, uint16_t& pcPort, std::chrono::milliseconds wait) {
  sockaddr_in server{};
  if (m_udp < 0 || !Address(centralHost, centralPort, server)) return false;
  RendezvousRequest req;
  req.email = email;
  req.password = pcPasswordText;
  uint8_t bytes[kRendezvousSize];
  EncodeRendezvousRequest(req, bytes);
  if (sendto(m_udp, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&server), sizeof server) !=
      static_cast<ssize_t>(sizeof bytes))
    return false;
  const auto end = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{m_udp, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    uint8_t in[kP2PDatagramMax];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(m_udp, in, sizeof in, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    if (n != static_cast<ssize_t>(kHoleAckSize) || from.sin_port != server.sin_port ||
        DecodeP2PHeader(in).command != kP2PCmdAck)
      continue;
    const HoleAckBody ack = DecodeHoleAckBody(in + kP2PHeaderSize);
    if (ack.addr1 == 0 || ack.port1 == 0) return false;  // refused
    in_addr a{};
    a.s_addr = htonl(ack.addr1);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    pcHost = text;
    pcPort = ack.port1;
    return true;
  }
  return false;
}

bool UdtDeviceClient::ConnectUdt(const std::string& host, uint16_t p2pPort,
                                 std::chrono::milliseconds wait) {
  sockaddr_in pc{};
  if (m_udp < 0 || !Address(host, p2pPort, pc)) return false;
  const UDTSOCKET u = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  const bool yes = true, no = false;
  UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &yes, sizeof yes);
  UDT::setsockopt(u, 0, UDT_RCVSYN, &no, sizeof no);
  if (UDT::bind2(u, m_udp) == UDT::ERROR) {
    UDT::close(u);
    return false;
  }
  m_udp = -1;  // UDT's now
  if (UDT::connect(u, reinterpret_cast<sockaddr*>(&pc), sizeof pc) == UDT::ERROR) {
    UDT::close(u);
    return false;
  }
  const auto end = std::chrono::steady_clock::now() + wait;
  while (UDT::getsockstate(u) == CONNECTING && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (UDT::getsockstate(u) != CONNECTED) {
    UDT::close(u);
    return false;
  }
  m_udt = u;
  return true;
}

bool UdtDeviceClient::Open(const std::string& host, uint16_t p2pPort, std::chrono::milliseconds wait) {
  return Bind() != 0 && Punch(host, p2pPort, wait) && ConnectUdt(host, p2pPort, wait);
}

void UdtDeviceClient::Close() {
  if (m_udt != UDT::INVALID_SOCK) UDT::close(m_udt);
  m_udt = UDT::INVALID_SOCK;
  if (m_udp >= 0) close(m_udp);
  m_udp = -1;
}

bool UdtDeviceClient::SendRaw(const uint8_t* data, size_t len) {
  if (m_udt == UDT::INVALID_SOCK || len == 0 || len > kUdtMaxMessage) return false;
  return UDT::sendmsg(m_udt, reinterpret_cast<const char*>(data), static_cast<int>(len), -1, true) ==
         static_cast<int>(len);
}

bool UdtDeviceClient::ReadMessage(DeviceMessage& out, std::chrono::milliseconds wait) {
  if (m_udt == UDT::INVALID_SOCK) return false;
  char buf[65536];
  const auto end = std::chrono::steady_clock::now() + wait;
  for (;;) {
    // Non-blocking: a UDT receive time-out would hold back messages already queued.
    const int n = UDT::recvmsg(m_udt, buf, sizeof buf);
    if (n > 0) {
      if (n < static_cast<int>(kCommandHeaderSize)) return false;
      out.header = DecodeCommandHeader(reinterpret_cast<const uint8_t*>(buf));
      if (out.header.len < kCommandHeaderSize || out.header.len > n) return false;
      out.body.assign(buf + kCommandHeaderSize, buf + out.header.len);
      return true;
    }
    if (n == UDT::ERROR && UDT::getlasterror().getErrorCode() != 6002) return false;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}
