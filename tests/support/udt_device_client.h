#pragma once
// A phone stand-in over UDT: from a UDP socket of its own it punches the PC's peer-to-peer
// port, waits for the PC's answer, then makes a rendezvous UDT connection over the same socket
// and speaks CommandHeader messages, one per UDT message. The same methods as DeviceClient, so
// code that drives a phone takes either.
#include <udt/udt.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "tests/support/device_client.h"

constexpr size_t kUdtMaxMessage = 2048;  // the PC reads messages into this much

class UdtDeviceClient {
 public:
  static constexpr std::chrono::milliseconds kDefaultWait{10000};

  UdtDeviceClient();
  ~UdtDeviceClient() { Close(); }
  UdtDeviceClient(const UdtDeviceClient&) = delete;
  UdtDeviceClient& operator=(const UdtDeviceClient&) = delete;

  // Binds the UDP socket (127.0.0.1 or the given address, free port); 0 on failure.
  uint16_t Bind(const std::string& localIp = "127.0.0.1");
  int UdpFd() const { return m_udp; }
  // Sends a peer's hole punch (source 0) to the PC and waits for its 20-byte answer.
  bool Punch(const std::string& host, uint16_t p2pPort, std::chrono::milliseconds wait = kDefaultWait);
  // Rendezvous over the bound socket, which UDT owns from here on.
  bool ConnectUdt(const std::string& host, uint16_t p2pPort,
                  std::chrono::milliseconds wait = kDefaultWait);
  // Asks the central server's rendezvous (UDP) to be introduced to a PC of the account; the
  // PC's address as the server saw it comes back. False when refused or unanswered.
  bool Rendezvous(const std::string& centralHost, uint16_t centralPort, const std::string& email,
                  const std::string& pcPasswordText, std::string& pcHost, uint16_t& pcPort,
                  std::chrono::milliseconds wait = kDefaultWait);
  // Bind + Punch + ConnectUdt.
  bool Open(const std::string& host, uint16_t p2pPort, std::chrono::milliseconds wait = kDefaultWait);
  bool Connected() const { return m_udt != UDT::INVALID_SOCK; }
  UDTSOCKET Socket() const { return m_udt; }  // non-blocking receives
  void Close();

  bool SendRaw(const uint8_t* data, size_t len);  // one UDT message
  bool SendRaw(const Bytes& bytes) { return SendRaw(bytes.data(), bytes.size()); }
  bool Send(uint16_t opcode, uint32_t param, const Bytes& body = {}) {
    return SendRaw(BuildMessage(opcode, param, body));
  }
  // One message; false on time-out, a broken connection or a message shorter than its header.
  bool ReadMessage(DeviceMessage& out, std::chrono::milliseconds wait = kDefaultWait);

 private:
  int m_udp = -1;
  UDTSOCKET m_udt = UDT::INVALID_SOCK;
};
