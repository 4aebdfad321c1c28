#pragma once
// Layouts of the desktop program's local API (the Show_ opcodes and the version record) and
// of the device requests about the PC itself (heartbeat, power-off, log-in and the log-in
// question pushed to the desktop program). Big-endian numbers; fixed text fields zero-filled.
// Every encoder writes the full CommandHeader; every decoder checks lengths first.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/local_api_ops.h"
#include "common/wire.h"

using WireBytes = std::vector<uint8_t>;

// ---- device requests ----
constexpr uint16_t kOpDeviceLogin = 0x0008;
constexpr uint16_t kOpShutDownSystem = 0x0009;
constexpr uint16_t kOpDeviceHeartBeat = 0x8888;
constexpr uint16_t kOpLoginQuestion = 0x500D;

constexpr size_t kDeviceReplySize = 12;
constexpr size_t kLoginPushSize = 264;
constexpr size_t kLoginPushBodySize = 256;
constexpr size_t kLoginAnswerSize = 12;
constexpr size_t kAccountTextSize = 32;  // e-mail and password fields of an AccountInfo

// {12, 0x8888, param}, u16 0, u16 7.
WireBytes EncodeDeviceHeartBeatReply(uint32_t param);
// {12, 0x0008, 0}, u16 result, u16 0.
WireBytes EncodeDeviceLoginReply(uint16_t result);
// {264, 0x500D, id} + the first 256 bytes of the device's request (zero-filled when shorter),
// with its password field (bytes 32..63) zeroed: the desktop shows only the sender texts.
WireBytes EncodeDeviceLoginPush(uint32_t requestId, const uint8_t* body, size_t bodyLen);
// The desktop's answer: true for {12, 0x500D, any id} with its u32 result at 8.
bool DecodeDeviceLoginAnswer(const uint8_t* data, size_t len, uint32_t& result);

// ---- local API ----
constexpr size_t kMaxMessage = 0xFFFF;    // the u16 total length

// Header {8 + body size, opcode, param} + body. The caller keeps the body within kMaxMessage.
WireBytes EncodeLocalReply(uint16_t opcode, uint32_t param, const WireBytes& body);
WireBytes EncodeU32Reply(uint16_t opcode, uint32_t param, uint32_t value);
WireBytes EncodeU16PairReply(uint16_t opcode, uint32_t param, uint16_t first, uint16_t second);
// One fixed text field of `width` bytes after the header.
WireBytes EncodeTextFieldReply(uint16_t opcode, uint32_t param, const std::string& text,
                               size_t width);
// AccountInfo: e-mail[32], password[32].
WireBytes EncodeAccountReply(uint16_t opcode, uint32_t param, const std::string& email,
                             const std::string& password);
bool DecodeAccountInfo(const wire::Reader& body, std::string& email, std::string& password);

struct VerAndTypeInfo {
  uint16_t sysType = 2;
  uint16_t protocol = 7;
  std::string identity;  // at most 63 bytes
  std::string hostName;  // at most 63 bytes
};
WireBytes EncodeVerAndTypeReply(uint32_t param, const VerAndTypeInfo& info);

// Six folders in the order default, picture, music, video, document, instant.
WireBytes EncodeDefShareReply(uint32_t param, const std::vector<std::string>& six);
// False when the body is shorter than 1560 bytes; each field is read within its 260 bytes.
bool DecodeDefShareInfo(const wire::Reader& body, std::vector<std::string>& six);

struct TransLogWire {
  uint16_t type = 0;
  uint16_t status = 0;
  uint32_t size = 0;
  std::string time;  // cut to 29 bytes
  std::string file;  // cut to 259 bytes
};
void EncodeTransLogRecord(const TransLogWire& rec, uint8_t* out);  // 300 bytes

// Header {9, 0x5013, param} + one character.
WireBytes EncodeAutoTidingReply(uint32_t param, char status);

// Joins "line\r\n" pieces, stopping before the first that would pass `room` bytes in all.
std::string JoinLinesWithin(const std::vector<std::string>& lines, size_t room);
