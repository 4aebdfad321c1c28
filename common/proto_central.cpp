#include "common/proto_central.h"

#include <algorithm>

#include "common/wire.h"

namespace {

constexpr size_t kAccountField = 32;
constexpr size_t kOsNameField = 32;
constexpr size_t kMacField = 32;
constexpr size_t kPowerOnMacField = 64;
constexpr size_t kPowerOnMacMax = 31;
constexpr size_t kComputerField = 64;
constexpr size_t kDriveField = 256;

}  // namespace

void EncodeRelayHeader(const RelayHeader& h, uint8_t* out) {
  wire::PutU16(out, h.len);
  wire::PutU16(out + 2, h.version);
  wire::PutU16(out + 4, h.command);
  wire::PutFixedText(out + 6, kIdentityFieldSize, h.identity);
}

RelayHeader DecodeRelayHeader(const uint8_t* in) {
  RelayHeader h;
  h.len = wire::GetU16(in);
  h.version = wire::GetU16(in + 2);
  h.command = wire::GetU16(in + 4);
  h.identity = wire::GetFixedText(in + 6, kIdentityFieldSize);
  return h;
}

void EncodeServerReplyHeader(const ServerReplyHeader& h, uint8_t* out) {
  wire::PutU16(out, h.len);
  wire::PutU16(out + 2, h.reserved1);
  wire::PutU16(out + 4, h.reserved2);
  wire::PutU16(out + 6, h.status);
}

ServerReplyHeader DecodeServerReplyHeader(const uint8_t* in) {
  ServerReplyHeader h;
  h.len = wire::GetU16(in);
  h.reserved1 = wire::GetU16(in + 2);
  h.reserved2 = wire::GetU16(in + 4);
  h.status = wire::GetU16(in + 6);
  return h;
}

std::vector<uint8_t> EncodeAccountText(const AccountText& a) {
  std::vector<uint8_t> b(kAccountInfoSize, 0);
  wire::PutFixedText(b.data(), kAccountField, a.email);
  wire::PutFixedText(b.data() + 32, kAccountField, a.password);
  return b;
}

bool DecodeAccountText(const uint8_t* body, size_t len, AccountText& out) {
  const wire::Reader r(body, len);
  return r.Has(0, kAccountInfoSize) && r.Text(0, kAccountField, out.email) &&
         r.Text(32, kAccountField, out.password);
}

std::vector<uint8_t> EncodeLogOnRequest(const LogOnRequest& q) {
  std::vector<uint8_t> b(kLogOnRequestSize, 0);
  wire::PutFixedText(b.data(), kAccountField, q.email);
  wire::PutFixedText(b.data() + 32, kAccountField, q.password);
  wire::PutU16(b.data() + 64, q.sysType);
  wire::PutFixedText(b.data() + 68, kOsNameField, q.osName);
  wire::PutFixedText(b.data() + 100, kMacField, q.mac);
  return b;
}

bool DecodeLogOnRequest(const uint8_t* body, size_t len, LogOnRequest& out) {
  const wire::Reader r(body, len);
  return r.Has(0, kLogOnRequestSize) && r.Text(0, kAccountField, out.email) &&
         r.Text(32, kAccountField, out.password) && r.U16(64, out.sysType) &&
         r.Text(68, kOsNameField, out.osName) && r.Text(100, kMacField, out.mac);
}

std::vector<uint8_t> EncodeSVInfo(const SVInfo& s) {
  std::vector<uint8_t> b(kSVInfoSize, 0);
  wire::PutU32(b.data() + 8, s.localIp);
  wire::PutU16(b.data() + 12, s.externalPort);
  wire::PutU16(b.data() + 16, s.commandPort);
  wire::PutU16(b.data() + 18, s.sysType);
  wire::PutFixedText(b.data() + 84, kComputerField, s.computerName);
  return b;
}

bool DecodeSVInfo(const uint8_t* body, size_t len, SVInfo& out) {
  const wire::Reader r(body, len);
  return r.Has(0, kSVInfoSize) && r.U32(8, out.localIp) && r.U16(12, out.externalPort) &&
         r.U16(16, out.commandPort) && r.U16(18, out.sysType) &&
         r.Text(84, kComputerField, out.computerName);
}

std::vector<uint8_t> EncodePowerOnInfo(const PowerOnInfo& p) {
  std::vector<uint8_t> b(kPowerOnInfoSize, 0);
  b[0] = uint8_t(p.sysType);
  b[1] = uint8_t(p.sysType >> 8);
  wire::PutFixedText(b.data() + 2, kAccountField, p.email);
  wire::PutFixedText(b.data() + 34, kPowerOnMacMax + 1, p.mac);
  wire::PutFixedText(b.data() + 98, kComputerField, p.computerName);
  return b;
}

bool DecodePowerOnInfo(const uint8_t* body, size_t len, PowerOnInfo& out) {
  const wire::Reader r(body, len);
  if (!r.Has(0, kPowerOnInfoSize)) return false;
  out.sysType = uint16_t(body[0] | (body[1] << 8));
  return r.Text(2, kAccountField, out.email) && r.Text(34, kPowerOnMacField, out.mac) &&
         r.Text(98, kComputerField, out.computerName);
}

std::vector<uint8_t> EncodeDiskInfoList(const std::vector<DiskInfo>& disks) {
  std::vector<uint8_t> b(disks.size() * kDiskInfoSize, 0);
  for (size_t i = 0; i < disks.size(); ++i) {
    uint8_t* p = b.data() + i * kDiskInfoSize;
    wire::PutU16(p, disks[i].sysType);
    wire::PutU32(p + 4, disks[i].freeMiB);
    wire::PutFixedText(p + 8, kMacField, disks[i].mac);
    wire::PutFixedText(p + 40, kDriveField, disks[i].drive);
  }
  return b;
}

bool DecodeDiskInfoList(const uint8_t* body, size_t len, std::vector<DiskInfo>& out) {
  out.clear();
  if (len == 0 || len % kDiskInfoSize != 0) return false;
  const wire::Reader r(body, len);
  for (size_t off = 0; off < len; off += kDiskInfoSize) {
    DiskInfo d;
    if (!r.U16(off, d.sysType) || !r.U32(off + 4, d.freeMiB) ||
        !r.Text(off + 8, kMacField, d.mac) || !r.Text(off + 40, kDriveField, d.drive))
      return false;
    out.push_back(d);
  }
  return true;
}

std::vector<uint8_t> EncodeIdentityReply(const std::string& identity) {
  std::vector<uint8_t> b(kIdentityReplySize, 0);
  wire::PutFixedText(b.data(), kIdentityReplySize, identity);
  return b;
}

std::string DecodeIdentityReply(const uint8_t* body, size_t len) {
  if (!body) return "";
  return wire::GetFixedText(body, len < kIdentityReplySize ? len : kIdentityReplySize);
}

std::vector<uint8_t> BuildServerRequest(uint16_t command, const std::string& identity,
                                        const std::vector<uint8_t>& body) {
  std::vector<uint8_t> msg(kRelayHeaderSize + body.size(), 0);
  RelayHeader h;
  h.len = uint16_t(msg.size());
  h.command = command;
  h.identity = identity;
  EncodeRelayHeader(h, msg.data());
  if (!body.empty()) std::copy(body.begin(), body.end(), msg.begin() + kRelayHeaderSize);
  return msg;
}

std::vector<uint8_t> BuildServerReply(uint16_t status, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> msg(kServerReplyHeaderSize + body.size(), 0);
  ServerReplyHeader h;
  h.len = uint16_t(msg.size());
  h.status = status;
  EncodeServerReplyHeader(h, msg.data());
  if (!body.empty()) std::copy(body.begin(), body.end(), msg.begin() + kServerReplyHeaderSize);
  return msg;
}
