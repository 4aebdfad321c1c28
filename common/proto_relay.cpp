#include "common/proto_relay.h"

#include <cstring>

namespace {
constexpr size_t kMaxFrame = 0xFFFF;
constexpr size_t kShortReplyMin = 8;
}  // namespace

RelayChunk ClassifyRelayInput(const uint8_t* data, size_t have, size_t& chunkLen) {
  chunkLen = 0;
  if (have < 2) return RelayChunk::kNeedMore;
  const size_t total = wire::GetU16(data);
  if (total < kShortReplyMin) return RelayChunk::kBroken;
  chunkLen = total;
  if (have < total) return RelayChunk::kNeedMore;
  return total < kRelayHeaderSize ? RelayChunk::kShortReply : RelayChunk::kFrame;
}

RelayChunk ClassifyInboundFrame(const uint8_t* data, size_t have, size_t& frameLen) {
  frameLen = 0;
  if (have < 2) return RelayChunk::kNeedMore;
  const size_t total = wire::GetU16(data);
  if (total < kRelayHeaderSize) return RelayChunk::kBroken;
  frameLen = total;
  return have < total ? RelayChunk::kNeedMore : RelayChunk::kFrame;
}

bool InnerMessageFits(const uint8_t* body, size_t len, bool exact, CommandHeader& inner) {
  if (!body || len < kRelayDataMinBody) return false;
  inner = DecodeCommandHeader(body + kIdentityFieldSize);
  const size_t room = len - kIdentityFieldSize;
  if (inner.len < kCommandHeaderSize || inner.len > room) return false;
  return !exact || inner.len == room;
}

bool ParseRelayData(const uint8_t* frame, size_t len, RelayData& out) {
  if (!frame || len < kRelayHeaderSize + kRelayDataMinBody) return false;
  out.header = DecodeRelayHeader(frame);
  if (out.header.len != len) return false;
  if (!InnerMessageFits(frame + kRelayHeaderSize, len - kRelayHeaderSize, false, out.inner))
    return false;
  out.body.assign(frame + kRelayHeaderSize, frame + len);
  // The requester is who the server says sent it, whatever the field held.
  wire::PutFixedText(out.body.data(), kIdentityFieldSize, out.header.identity);
  return true;
}

bool ParseFetchedMessage(const uint8_t* rest, size_t n, CommandHeader& inner) {
  if (!rest || n < kCommandHeaderSize) return false;
  inner = DecodeCommandHeader(rest);
  return (inner.opcode == 2 || inner.opcode == 3) && inner.len == n;
}

std::vector<uint8_t> BuildRelayFrame(uint16_t command, const std::string& identity,
                                     const uint8_t* payload, size_t len) {
  if (len > kMaxFrame - kRelayHeaderSize) return {};
  std::vector<uint8_t> out(kRelayHeaderSize + len, 0);
  EncodeRelayHeader({static_cast<uint16_t>(out.size()), kRelayVersion, command, identity},
                    out.data());
  if (len) std::memcpy(out.data() + kRelayHeaderSize, payload, len);
  return out;
}

std::vector<uint8_t> BuildAddressedFrame(uint16_t command, const std::string& identity,
                                         const std::string& addressee, const uint8_t* payload,
                                         size_t len) {
  if (len > kMaxFrame - kRelayReplyPrefix) return {};
  std::vector<uint8_t> out(kRelayReplyPrefix + len, 0);
  EncodeRelayHeader({static_cast<uint16_t>(out.size()), kRelayVersion, command, identity},
                    out.data());
  wire::PutFixedText(out.data() + kRelayHeaderSize, kIdentityFieldSize, addressee);
  if (len) std::memcpy(out.data() + kRelayReplyPrefix, payload, len);
  return out;
}

std::vector<uint8_t> BuildShortReply(uint16_t command, uint16_t status) {
  std::vector<uint8_t> out(kServerReplyHeaderSize);
  EncodeServerReplyHeader({kServerReplyHeaderSize, kRelayVersion, command, status}, out.data());
  return out;
}

std::vector<uint8_t> BuildPhoneStatus(uint16_t command, uint16_t status) {
  uint8_t s[2];
  wire::PutU16(s, status);
  return BuildRelayFrame(command, "", s, sizeof s);
}

std::vector<uint8_t> EncodePcList(const std::vector<PcEntry>& pcs) {
  std::vector<uint8_t> out(2 + pcs.size() * kPcEntrySize, 0);
  wire::PutU16(out.data(), static_cast<uint16_t>(pcs.size()));
  uint8_t* p = out.data() + 2;
  for (const PcEntry& e : pcs) {
    wire::PutFixedText(p, 64, e.identity);
    wire::PutFixedText(p + 64, 64, e.computerName);
    wire::PutU32(p + 128, e.localIp);
    wire::PutU32(p + 132, e.seenIp);
    wire::PutU16(p + 136, e.commandPort);
    wire::PutU16(p + 138, e.externalPort);
    p[140] = e.online ? 1 : 0;
    p += kPcEntrySize;
  }
  return out;
}

bool DecodePcList(const uint8_t* body, size_t len, std::vector<PcEntry>& out) {
  const wire::Reader r(body, len);
  uint16_t count = 0;
  if (!r.U16(0, count) || len - 2 != size_t(count) * kPcEntrySize) return false;
  out.clear();
  for (size_t i = 0; i < count; ++i) {
    const size_t o = 2 + i * kPcEntrySize;
    PcEntry e;
    uint8_t online = 0;
    r.Text(o, 64, e.identity);
    r.Text(o + 64, 64, e.computerName);
    r.U32(o + 128, e.localIp);
    r.U32(o + 132, e.seenIp);
    r.U16(o + 136, e.commandPort);
    r.U16(o + 138, e.externalPort);
    r.U8(o + 140, online);
    e.online = online != 0;
    out.push_back(e);
  }
  return true;
}
