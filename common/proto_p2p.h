#pragma once
// Peer-to-peer and LAN-discovery datagrams (big-endian): the 6-byte P2PHeader, the 150-byte
// heartbeat to the peer-to-peer server, the 26-byte hole-punch body and the 14-byte
// acknowledgement body, the phone's rendezvous request to that server, and the 206-byte LAN
// discovery reply. IPv4 addresses are held as host-order numbers (1.2.3.4 is 0x01020304) and
// go on the wire as their four bytes in network order; ports are host order here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/wire.h"

constexpr uint16_t kP2PVersion = 7;
constexpr uint16_t kP2PCmdHolePunch = 3;
constexpr uint16_t kP2PCmdAck = 4;
constexpr uint16_t kP2PCmdHeartBeat = 5;
constexpr uint16_t kP2PCmdRendezvous = 6;  // phone -> peer-to-peer server
constexpr size_t kP2PHeaderSize = 6;
constexpr size_t kHeartBeatSize = 150;
constexpr size_t kHolePunchBodySize = 26;
constexpr size_t kHolePunchSize = kP2PHeaderSize + kHolePunchBodySize;  // 32
constexpr size_t kHoleAckBodySize = 14;
constexpr size_t kHoleAckSize = kP2PHeaderSize + kHoleAckBodySize;      // 20
constexpr size_t kRendezvousBodySize = 96;
constexpr size_t kRendezvousSize = kP2PHeaderSize + kRendezvousBodySize;  // 102
constexpr size_t kP2PDatagramMax = 2048;
constexpr size_t kUdtMessageMax = 2048;

struct P2PHeader {
  uint16_t len = 0;
  uint16_t version = 0;
  uint16_t command = 0;
};
void EncodeP2PHeader(const P2PHeader& h, uint8_t* out);
P2PHeader DecodeP2PHeader(const uint8_t* in);

struct HolePunchBody {
  uint16_t source = 0;  // non-zero: sent by the peer-to-peer server
  uint32_t addrA = 0;
  uint16_t portA = 0;
  uint32_t addrB = 0;
  uint16_t portB = 0;
  uint32_t extra = 0;             // passed on unchanged
  uint16_t extraWords[4] = {};    // passed on unchanged
};
void EncodeHolePunch(const HolePunchBody& b, uint8_t out[kHolePunchSize]);  // with its header
HolePunchBody DecodeHolePunchBody(const uint8_t in[kHolePunchBodySize]);

struct HoleAckBody {
  uint16_t source = 0;  // 0 from a peer
  uint32_t addr1 = 0;
  uint16_t port1 = 0;
  uint32_t addr2 = 0;
  uint16_t port2 = 0;
};
// With its header; command 4 for an acknowledgement, 3 for the answer to a peer's punch.
void EncodeHoleAck(uint16_t command, const HoleAckBody& b, uint8_t out[kHoleAckSize]);
HoleAckBody DecodeHoleAckBody(const uint8_t in[kHoleAckBodySize]);

// Name (at most 31 bytes, never a split UTF-8 character), 6 MAC bytes, e-mail (at most 31).
void EncodeHeartBeat(const std::string& name, const uint8_t mac[6], const std::string& email,
                     uint8_t out[kHeartBeatSize]);
struct HeartBeatInfo {
  std::string name, email;
  uint8_t mac[6] = {};
};
HeartBeatInfo DecodeHeartBeatBody(const uint8_t* body);  // the 144 bytes after the header

struct RendezvousRequest {
  std::string email;     // the account
  std::string password;  // as a PC of the account stores it
  uint8_t mac[6] = {};   // the PC wanted; all zero: the account's most recent PC
};
void EncodeRendezvousRequest(const RendezvousRequest& r, uint8_t out[kRendezvousSize]);
RendezvousRequest DecodeRendezvousBody(const uint8_t* body);  // the 96 bytes after the header

// "a1-B2:c3..." -> bytes: lower-cased, hexadecimal digits taken in pairs, other characters
// skipped, at most 12 digits; bytes not reached stay 0.
void ParseMacAddr(const std::string& text, uint8_t out[6]);
void StrToLower(std::string& text);  // ASCII only

// The longest prefix of at most maxBytes bytes that does not end inside a UTF-8 character.
std::string CutUtf8(const std::string& text, size_t maxBytes);

// A UDT message's CommandHeader, accepted only when 8 <= its total <= the bytes received
// (and so at most the 2048-byte message buffer).
bool UdtMessageHeader(const uint8_t* msg, size_t received, CommandHeader& out);

// LAN discovery.
constexpr uint16_t kDiscoveryPort = 61617;
constexpr size_t kDiscoveryReplySize = 206;
constexpr size_t kDiscoveryRequestMin = 6;
constexpr size_t kDiscoveryRequestMax = 513;
constexpr size_t kDiscoveryAddrOffset = 70;

struct DiscoveryReply {
  uint16_t sysType = 2;
  std::string email;     // at most 31 bytes
  uint32_t adapterIp = 0;
  uint16_t commandPort = 0;
  std::string name;      // at most 63 bytes, UTF-8 safe
  std::string identity;  // at most 63 bytes
};
// The password field stays zero: the reply is broadcast to the whole network.
void EncodeDiscoveryReply(const DiscoveryReply& r, uint8_t out[kDiscoveryReplySize]);
// A request is "qv" at 0 and a device type (u16 at 4) of 4 or 5. Short input is refused.
bool IsDiscoveryRequest(const uint8_t* data, size_t len);
