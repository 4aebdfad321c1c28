#pragma once
// Frames and bodies spoken with the central server: the 70-byte RelayHeader that opens every
// request, the 8-byte ServerReplyHeader of every answer, and the bodies of the single
// exchanges. Structs are host order; the encoders write big-endian (one field, the power-on
// system type, is little-endian on the wire). Decoders take the real body length and refuse a
// body shorter than its layout.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t kRelayVersion = 7;
constexpr size_t kRelayHeaderSize = 70;
constexpr size_t kServerReplyHeaderSize = 8;
constexpr size_t kIdentityFieldSize = 64;  // at most 63 characters and a zero
constexpr size_t kAccountInfoSize = 64;
constexpr size_t kLogOnRequestSize = 132;
constexpr size_t kSVInfoSize = 212;
constexpr size_t kPowerOnInfoSize = 162;
constexpr size_t kDiskInfoSize = 296;
constexpr size_t kIdentityReplySize = 64;

// Commands of the single exchanges (one connection, one request, one answer).
constexpr uint16_t kCmdLogOn = 0x1001;
constexpr uint16_t kCmdLogOut = 0x1002;
constexpr uint16_t kCmdHeartBeat = 0x1003;
constexpr uint16_t kCmdServerInfo = 0x1004;
constexpr uint16_t kCmdIdentity = 0x1006;
constexpr uint16_t kCmdPowerOn = 0x100F;
constexpr uint16_t kCmdDiskInfo = 0x1011;

// Statuses the central server answers with; 0 is success.
constexpr uint16_t kStatusOk = 0;
constexpr uint16_t kStatusUnknownAccount = 0x1000;
constexpr uint16_t kStatusWrongPassword = 0x1001;
constexpr uint16_t kStatusNotLoggedOn = 0x1002;   // the identity is bound to no account
constexpr uint16_t kStatusBadRequest = 0x1010;    // body shorter than the command needs
constexpr uint16_t kStatusUnknownCommand = 0x1011;
constexpr uint16_t kStatusServerError = 0x1012;   // the server could not store or read
constexpr uint16_t kStatusTooMany = 0x1013;       // too many new identities from one address
constexpr uint16_t kStatusOtherAccount = 0x1016;  // the identity belongs to another account
constexpr uint16_t kStatusWaitToRetry = 0x1017;   // too many failed checks: not checked, wait

struct RelayHeader {
  uint16_t len = kRelayHeaderSize;  // total, header included
  uint16_t version = kRelayVersion;
  uint16_t command = 0;
  std::string identity;  // at most 63 characters
};
void EncodeRelayHeader(const RelayHeader& h, uint8_t* out);  // kRelayHeaderSize bytes
RelayHeader DecodeRelayHeader(const uint8_t* in);

struct ServerReplyHeader {
  uint16_t len = kServerReplyHeaderSize;
  uint16_t reserved1 = 0;
  uint16_t reserved2 = 0;
  uint16_t status = 0;
};
void EncodeServerReplyHeader(const ServerReplyHeader& h, uint8_t* out);  // 8 bytes
ServerReplyHeader DecodeServerReplyHeader(const uint8_t* in);

struct AccountText {  // the 64-byte account of log-out: two zero-terminated 32-byte texts
  std::string email;
  std::string password;
};
std::vector<uint8_t> EncodeAccountText(const AccountText& a);
bool DecodeAccountText(const uint8_t* body, size_t len, AccountText& out);

struct LogOnRequest {
  std::string email;
  std::string password;  // the stored MD5-crypt text
  uint16_t sysType = 2;
  std::string osName;
  std::string mac;
};
std::vector<uint8_t> EncodeLogOnRequest(const LogOnRequest& r);
bool DecodeLogOnRequest(const uint8_t* body, size_t len, LogOnRequest& out);

struct SVInfo {
  uint32_t localIp = 0;  // a.b.c.d as the number (a << 24 | ...): sent as the bytes a, b, c, d
  uint16_t externalPort = 0;
  uint16_t commandPort = 0;
  uint16_t sysType = 2;
  std::string computerName;  // at most 63 bytes
};
std::vector<uint8_t> EncodeSVInfo(const SVInfo& s);
bool DecodeSVInfo(const uint8_t* body, size_t len, SVInfo& out);

struct PowerOnInfo {
  uint16_t sysType = 2;  // little-endian on the wire
  std::string email;
  std::string mac;  // at most 31 characters in its 64-byte field
  std::string computerName;
};
std::vector<uint8_t> EncodePowerOnInfo(const PowerOnInfo& p);
bool DecodePowerOnInfo(const uint8_t* body, size_t len, PowerOnInfo& out);

struct DiskInfo {
  uint16_t sysType = 2;
  uint32_t freeMiB = 0;
  std::string mac;
  std::string drive;  // at most 255 bytes
};
// n records one after another; decoding refuses a length that is not a whole number of them.
std::vector<uint8_t> EncodeDiskInfoList(const std::vector<DiskInfo>& disks);
bool DecodeDiskInfoList(const uint8_t* body, size_t len, std::vector<DiskInfo>& out);

// Answer to the identity request: the identity in a 64-byte zero-terminated field. A shorter
// body is read as far as it goes.
std::vector<uint8_t> EncodeIdentityReply(const std::string& identity);
std::string DecodeIdentityReply(const uint8_t* body, size_t len);

// A whole request (header with its total set, then the body) and a whole answer.
std::vector<uint8_t> BuildServerRequest(uint16_t command, const std::string& identity,
                                        const std::vector<uint8_t>& body);
std::vector<uint8_t> BuildServerReply(uint16_t status, const std::vector<uint8_t>& body);
