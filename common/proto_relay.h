#pragma once
// Frames of the relay road through the central server: the PC's relay connection (register,
// relay data, relay replies, short server answers), the cache connections (0x100B packages and
// end messages, 0x100C fetches) and the phone side (sign-in, PC list, requests, upload data
// left for a PC). Layouts: docs/central-protocol.md. Decoders check every length against the bytes
// that arrived.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/proto_central.h"
#include "common/wire.h"

constexpr uint16_t kCmdRelayRegister = 0x1008;  // PC: register / keep-alive; phone: keep-alive
constexpr uint16_t kCmdRelayData = 0x1009;      // requests to a PC and its replies
constexpr uint16_t kCmdLeaveForPc = 0x100A;     // phone: upload data or end left for a PC
constexpr uint16_t kCmdCacheDeliver = 0x100B;   // PC: a download package or end for a phone
constexpr uint16_t kCmdCacheFetch = 0x100C;     // PC: the next message a phone left for it
constexpr uint16_t kCmdPhoneSignIn = 0x1020;    // phone: e-mail and password text
constexpr uint16_t kCmdPhoneListPcs = 0x1021;   // phone: the PCs of its account

constexpr uint16_t kStatusCacheFull = 0x1014;    // wait and send again
constexpr uint16_t kStatusNothingWaits = 0x1015;  // fetch: no message for this PC
constexpr uint16_t kStatusNoSuchPc = 0x1030;     // not online, or not of the phone's account
constexpr uint16_t kStatusNoSuchPhone = 0x1031;  // the requester is gone or of another account
constexpr uint16_t kStatusNotSignedIn = 0x1032;

constexpr size_t kRelayReplyPrefix = 134;  // RelayHeader + char[64] requester
constexpr size_t kRelayDataMinBody = kIdentityFieldSize + kCommandHeaderSize;  // 72
constexpr size_t kPcEntrySize = 64 + 64 + 4 + 4 + 2 + 2 + 1 + 3;  // 144

// How the front of a relay connection's buffered input is to be taken. Its u16 length field
// decides: below 8 the stream is broken; 8 to 69 a short server answer of that many bytes; 70
// and more a frame of that many bytes. kNeedMore until all of it arrived.
enum class RelayChunk { kNeedMore, kShortReply, kFrame, kBroken };
RelayChunk ClassifyRelayInput(const uint8_t* data, size_t have, size_t& chunkLen);

// The server's side of the same question: every frame from a PC or a phone is a whole
// RelayHeader frame; a total below 70 breaks the stream (there are no short answers that way).
RelayChunk ClassifyInboundFrame(const uint8_t* data, size_t have, size_t& frameLen);

// The inner device message after a 64-byte identity field: 8 <= its total <= the bytes after
// the field, or == them when exact.
bool InnerMessageFits(const uint8_t* body, size_t len, bool exact, CommandHeader& inner);

// A relay data frame as the PC receives it: the requester (the header's identity), and the
// body (64-byte field, inner CommandHeader, request). False unless the body holds at least 72
// bytes and 8 <= inner total <= body - 64.
struct RelayData {
  RelayHeader header;
  CommandHeader inner;  // host order
  std::vector<uint8_t> body;  // first 64 bytes replaced by the requester, zero-terminated
};
bool ParseRelayData(const uint8_t* frame, size_t len, RelayData& out);

// A message fetched from the cache (after the ServerReplyHeader): only upload data (2) and
// upload ends (3), and only whole (inner total == the bytes received).
bool ParseFetchedMessage(const uint8_t* rest, size_t n, CommandHeader& inner);

// A RelayHeader {70 + payload, 7, command, identity} followed by the payload; empty when the
// total would not fit the u16 length (never wrapped).
std::vector<uint8_t> BuildRelayFrame(uint16_t command, const std::string& identity,
                                     const uint8_t* payload, size_t len);
// The same with a 64-byte identity field (requester or target) before the payload.
std::vector<uint8_t> BuildAddressedFrame(uint16_t command, const std::string& identity,
                                         const std::string& addressee, const uint8_t* payload,
                                         size_t len);
// A short server answer {8, 7, command, status}: what the relay client skips.
std::vector<uint8_t> BuildShortReply(uint16_t command, uint16_t status);

// An answer of the server to a phone's own frame: RelayHeader {72, 7, command, ""} + u16
// status.
std::vector<uint8_t> BuildPhoneStatus(uint16_t command, uint16_t status);

// One PC of the phone's account as the PC list reports it.
struct PcEntry {
  std::string identity;
  std::string computerName;
  uint32_t localIp = 0;   // as the PC reported it, a.b.c.d as the number a << 24 | ...
  uint32_t seenIp = 0;    // the address the server saw
  uint16_t commandPort = 0;
  uint16_t externalPort = 0;
  bool online = false;    // its relay connection is up
};
std::vector<uint8_t> EncodePcList(const std::vector<PcEntry>& pcs);  // u16 count + entries
bool DecodePcList(const uint8_t* body, size_t len, std::vector<PcEntry>& out);
