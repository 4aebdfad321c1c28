#include "common/proto_p2p.h"

#include <cstring>

namespace {

void PutIp(uint8_t* p, uint32_t ip) { wire::PutU32(p, ip); }

void PutUtf8Text(uint8_t* p, size_t width, const std::string& text) {
  wire::PutFixedText(p, width, CutUtf8(text, width - 1));
}

}  // namespace

void EncodeP2PHeader(const P2PHeader& h, uint8_t* out) {
  wire::PutU16(out, h.len);
  wire::PutU16(out + 2, h.version);
  wire::PutU16(out + 4, h.command);
}

P2PHeader DecodeP2PHeader(const uint8_t* in) {
  P2PHeader h;
  h.len = wire::GetU16(in);
  h.version = wire::GetU16(in + 2);
  h.command = wire::GetU16(in + 4);
  return h;
}

void EncodeHolePunch(const HolePunchBody& b, uint8_t out[kHolePunchSize]) {
  EncodeP2PHeader({static_cast<uint16_t>(kHolePunchSize), kP2PVersion, kP2PCmdHolePunch}, out);
  uint8_t* p = out + kP2PHeaderSize;
  wire::PutU16(p, b.source);
  PutIp(p + 2, b.addrA);
  wire::PutU16(p + 6, b.portA);
  PutIp(p + 8, b.addrB);
  wire::PutU16(p + 12, b.portB);
  wire::PutU32(p + 14, b.extra);
  for (int i = 0; i < 4; ++i) wire::PutU16(p + 18 + 2 * i, b.extraWords[i]);
}

HolePunchBody DecodeHolePunchBody(const uint8_t in[kHolePunchBodySize]) {
  HolePunchBody b;
  b.source = wire::GetU16(in);
  b.addrA = wire::GetU32(in + 2);
  b.portA = wire::GetU16(in + 6);
  b.addrB = wire::GetU32(in + 8);
  b.portB = wire::GetU16(in + 12);
  b.extra = wire::GetU32(in + 14);
  for (int i = 0; i < 4; ++i) b.extraWords[i] = wire::GetU16(in + 18 + 2 * i);
  return b;
}

void EncodeHoleAck(uint16_t command, const HoleAckBody& b, uint8_t out[kHoleAckSize]) {
  EncodeP2PHeader({static_cast<uint16_t>(kHoleAckSize), kP2PVersion, command}, out);
  uint8_t* p = out + kP2PHeaderSize;
  wire::PutU16(p, b.source);
  PutIp(p + 2, b.addr1);
  wire::PutU16(p + 6, b.port1);
  PutIp(p + 8, b.addr2);
  wire::PutU16(p + 12, b.port2);
}

HoleAckBody DecodeHoleAckBody(const uint8_t in[kHoleAckBodySize]) {
  HoleAckBody b;
  b.source = wire::GetU16(in);
  b.addr1 = wire::GetU32(in + 2);
  b.port1 = wire::GetU16(in + 6);
  b.addr2 = wire::GetU32(in + 8);
  b.port2 = wire::GetU16(in + 12);
  return b;
}

void EncodeHeartBeat(const std::string& name, const uint8_t mac[6], const std::string& email,
                     uint8_t out[kHeartBeatSize]) {
  std::memset(out, 0, kHeartBeatSize);
  EncodeP2PHeader({static_cast<uint16_t>(kHeartBeatSize), kP2PVersion, kP2PCmdHeartBeat}, out);
  uint8_t* body = out + kP2PHeaderSize;
  PutUtf8Text(body + 16, 32, name);
  std::memcpy(body + 48, mac, 6);
  PutUtf8Text(body + 80, 32, email);
}

HeartBeatInfo DecodeHeartBeatBody(const uint8_t* body) {
  HeartBeatInfo info;
  info.name = wire::GetFixedText(body + 16, 32);
  std::memcpy(info.mac, body + 48, 6);
  info.email = wire::GetFixedText(body + 80, 32);
  return info;
}

void EncodeRendezvousRequest(const RendezvousRequest& r, uint8_t out[kRendezvousSize]) {
  std::memset(out, 0, kRendezvousSize);
  EncodeP2PHeader({static_cast<uint16_t>(kRendezvousSize), kP2PVersion, kP2PCmdRendezvous}, out);
  uint8_t* body = out + kP2PHeaderSize;
  PutUtf8Text(body, 32, r.email);
  PutUtf8Text(body + 32, 32, r.password);
  std::memcpy(body + 64, r.mac, 6);
}

RendezvousRequest DecodeRendezvousBody(const uint8_t* body) {
  RendezvousRequest r;
  r.email = wire::GetFixedText(body, 32);
  r.password = wire::GetFixedText(body + 32, 32);
  std::memcpy(r.mac, body + 64, 6);
  return r;
}

void StrToLower(std::string& text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

void ParseMacAddr(const std::string& text, uint8_t out[6]) {
  std::memset(out, 0, 6);
  std::string lower = text;
  StrToLower(lower);
  int digits = 0;
  for (char c : lower) {
    if (digits >= 12) break;
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else continue;
    out[digits / 2] = static_cast<uint8_t>(out[digits / 2] | (digits % 2 == 0 ? v << 4 : v));
    ++digits;
  }
}

std::string CutUtf8(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t n = maxBytes;
  // Step back over continuation bytes to the start of the character that would be cut.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

bool UdtMessageHeader(const uint8_t* msg, size_t received, CommandHeader& out) {
  if (!msg || received < kCommandHeaderSize) return false;
  out = DecodeCommandHeader(msg);
  return out.len >= kCommandHeaderSize && out.len <= received && out.len <= kUdtMessageMax;
}

void EncodeDiscoveryReply(const DiscoveryReply& r, uint8_t out[kDiscoveryReplySize]) {
  std::memset(out, 0, kDiscoveryReplySize);
  out[0] = 'q';
  out[1] = 'v';
  wire::PutU16(out + 2, kP2PVersion);
  wire::PutU16(out + 4, r.sysType);
  PutUtf8Text(out + 6, 32, r.email);
  // 38..69: the password field, left zero.
  PutIp(out + kDiscoveryAddrOffset, r.adapterIp);
  wire::PutU16(out + 74, r.commandPort);
  PutUtf8Text(out + 78, 64, r.name);
  PutUtf8Text(out + 142, 64, r.identity);
}

bool IsDiscoveryRequest(const uint8_t* data, size_t len) {
  if (!data || len < kDiscoveryRequestMin) return false;
  if (data[0] != 'q' || data[1] != 'v') return false;
  const uint16_t type = wire::GetU16(data + 4);
  return type == 4 || type == 5;
}
