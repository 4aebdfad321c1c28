#include "common/proto_local_api.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kIdentitySize = 64;
constexpr size_t kTimeFieldSize = 30;
constexpr size_t kFileFieldSize = 260;

WireBytes WithHeader(uint16_t opcode, uint32_t param, size_t bodySize) {
  WireBytes out(kCommandHeaderSize + bodySize, 0);
  CommandHeader h;
  h.len = static_cast<uint16_t>(out.size());
  h.opcode = opcode;
  h.param = param;
  EncodeCommandHeader(h, out.data());
  return out;
}

}  // namespace

WireBytes EncodeDeviceHeartBeatReply(uint32_t param) {
  WireBytes out = WithHeader(kOpDeviceHeartBeat, param, 4);
  wire::PutU16(out.data() + 8, 0);
  wire::PutU16(out.data() + 10, 7);
  return out;
}

WireBytes EncodeDeviceLoginReply(uint16_t result) {
  WireBytes out = WithHeader(kOpDeviceLogin, 0, 4);
  wire::PutU16(out.data() + 8, result);
  return out;
}

WireBytes EncodeDeviceLoginPush(uint32_t requestId, const uint8_t* body, size_t bodyLen) {
  WireBytes out = WithHeader(kOpLoginQuestion, requestId, kLoginPushBodySize);
  if (body) std::memcpy(out.data() + 8, body, std::min(bodyLen, kLoginPushBodySize));
  std::memset(out.data() + 8 + kAccountTextSize, 0, kAccountTextSize);
  return out;
}

bool DecodeDeviceLoginAnswer(const uint8_t* data, size_t len, uint32_t& result) {
  if (!data || len < kLoginAnswerSize) return false;
  const CommandHeader h = DecodeCommandHeader(data);
  if (h.len != kLoginAnswerSize || h.opcode != kOpLoginQuestion) return false;
  result = wire::GetU32(data + 8);
  return true;
}

WireBytes EncodeLocalReply(uint16_t opcode, uint32_t param, const WireBytes& body) {
  WireBytes out = WithHeader(opcode, param, body.size());
  std::copy(body.begin(), body.end(), out.begin() + kCommandHeaderSize);
  return out;
}

WireBytes EncodeU32Reply(uint16_t opcode, uint32_t param, uint32_t value) {
  WireBytes out = WithHeader(opcode, param, 4);
  wire::PutU32(out.data() + 8, value);
  return out;
}

WireBytes EncodeU16PairReply(uint16_t opcode, uint32_t param, uint16_t first, uint16_t second) {
  WireBytes out = WithHeader(opcode, param, 4);
  wire::PutU16(out.data() + 8, first);
  wire::PutU16(out.data() + 10, second);
  return out;
}

WireBytes EncodeTextFieldReply(uint16_t opcode, uint32_t param, const std::string& text,
                               size_t width) {
  WireBytes out = WithHeader(opcode, param, width);
  wire::PutFixedText(out.data() + 8, width, text);
  return out;
}

WireBytes EncodeAccountReply(uint16_t opcode, uint32_t param, const std::string& email,
                             const std::string& password) {
  WireBytes out = WithHeader(opcode, param, 2 * kAccountTextSize);
  wire::PutFixedText(out.data() + 8, kAccountTextSize, email);
  wire::PutFixedText(out.data() + 8 + kAccountTextSize, kAccountTextSize, password);
  return out;
}

bool DecodeAccountInfo(const wire::Reader& body, std::string& email, std::string& password) {
  return body.Text(0, kAccountTextSize, email) &&
         body.Text(kAccountTextSize, kAccountTextSize, password);
}

WireBytes EncodeVerAndTypeReply(uint32_t param, const VerAndTypeInfo& info) {
  WireBytes out = WithHeader(kOpGetVerAndType, param, kVerAndTypeSize);
  uint8_t* p = out.data() + 8;
  wire::PutU16(p, info.sysType);
  wire::PutU16(p + 2, info.protocol);
  wire::PutFixedText(p + 4, kIdentitySize, info.identity);
  wire::PutFixedText(p + 4 + kIdentitySize, kIdentitySize, info.hostName);
  return out;
}

WireBytes EncodeDefShareReply(uint32_t param, const std::vector<std::string>& six) {
  WireBytes out = WithHeader(kOpGetDefShare, param, kDefShareSize);
  for (size_t i = 0; i < 6 && i < six.size(); ++i)
    wire::PutFixedText(out.data() + 8 + i * kDefShareFieldSize, kDefShareFieldSize, six[i]);
  return out;
}

bool DecodeDefShareInfo(const wire::Reader& body, std::vector<std::string>& six) {
  if (!body.Has(0, kDefShareSize)) return false;
  six.assign(6, std::string());
  for (size_t i = 0; i < 6; ++i) body.Text(i * kDefShareFieldSize, kDefShareFieldSize, six[i]);
  return true;
}

void EncodeTransLogRecord(const TransLogWire& rec, uint8_t* out) {
  std::memset(out, 0, kTransLogRecordSize);
  wire::PutU16(out, rec.type);
  wire::PutU16(out + 2, rec.status);
  wire::PutU32(out + 4, rec.size);
  wire::PutFixedText(out + 8, kTimeFieldSize, rec.time);
  wire::PutFixedText(out + 38, kFileFieldSize, rec.file);
}

WireBytes EncodeAutoTidingReply(uint32_t param, char status) {
  WireBytes out = WithHeader(kOpGetAutoTiding, param, 1);
  out[8] = static_cast<uint8_t>(status);
  return out;
}

std::string JoinLinesWithin(const std::vector<std::string>& lines, size_t room) {
  std::string out;
  for (const std::string& line : lines) {
    if (out.size() + line.size() + 2 > room) break;
    out += line;
    out += "\r\n";
  }
  return out;
}
