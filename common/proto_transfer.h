#pragma once
// File-transfer messages between a phone and the PC (big-endian; the CommandHeader parameter
// is the session id the phone chose, echoed in every answer): the folder listing, downloads
// and uploads. Structs are host order; decoders take the real length and refuse a message
// shorter than its layout.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/wire.h"

// Opcodes of the family (named apart from the handlers' own constants).
namespace xfer {
constexpr uint16_t kOpReqUpload = 0x0001;
constexpr uint16_t kOpUploadData = 0x0002;
constexpr uint16_t kOpUploadOver = 0x0003;
constexpr uint16_t kOpReqDownload = 0x0004;
constexpr uint16_t kOpAllowDownload = 0x0005;
constexpr uint16_t kOpRefuseDownload = 0x0011;
constexpr uint16_t kOpUploadAllowed = 0x1001;
constexpr uint16_t kOpPackage = 0x1002;
constexpr uint16_t kOpDownloadEnd = 0x1003;
constexpr uint16_t kOpDownloadInfo = 0x1004;
constexpr uint16_t kOpStopRelayDownload = 0x100E;
constexpr uint16_t kOpUploadError = 0x1011;
constexpr uint16_t kOpDownloadError = 0x1012;
constexpr uint16_t kOpShareList = 0x2002;
constexpr uint16_t kOpFileList = 0x2003;
}  // namespace xfer

constexpr size_t kFilePathRequestSize = 356;
constexpr size_t kFilePathOffset = 1;
constexpr size_t kFilePathWidth = 255;
constexpr size_t kFilePathOrderOffset = 256;  // '1': the listing's total is big-endian
constexpr size_t kFileListRefusalSize = 368;
constexpr size_t kDownloadInfoSize = 64;
constexpr size_t kTransErrorSize = 266;
constexpr size_t kDownloadEndSize = 12;
constexpr size_t kUploadRequestSize = 380;
constexpr size_t kUploadFingerprintOffset = 8;
constexpr size_t kUploadPathOffset = 25;
constexpr size_t kUploadPathWidth = 355;
constexpr size_t kStartOffsetSize = 4;  // body of 5: u32 start offset
constexpr size_t kStopReplySize = 9;
constexpr size_t kUploadAllowSize = 12;
constexpr size_t kPackageData = 1000;
constexpr size_t kFingerprintSize = 16;

using Bytes = std::vector<uint8_t>;

// Body of 0x2003 (listing) and of 4 (download request).
struct FilePathRequest {
  std::string path;  // UTF-8, at most 254 bytes
  bool totalBigEndian = true;  // byte 256 '1'
};
Bytes EncodeFilePathRequest(const FilePathRequest& r);
bool DecodeFilePathRequest(const uint8_t* body, size_t len, FilePathRequest& out);

// Whole messages the PC sends (header included).
Bytes EncodeShareList(uint32_t param, const std::vector<std::string>& folders);
bool DecodeShareList(const uint8_t* msg, size_t len, std::vector<std::string>& folders);

struct FileListEntry {
  std::string time;  // "%Y-%m-%d %H:%M:%S"
  int type = 0;      // 0 folder, 1 file
  uint64_t size = 0;
  std::string name;
};
struct FileListPackage {
  uint32_t param = 0;
  uint32_t count = 0;  // entries in this message
  uint32_t total = 0;  // entries of the whole listing
  bool totalBigEndian = true;
  std::string lines;   // "time\ttype\tsize\tname\r\n" per entry
};
std::string FileListLine(const FileListEntry& e);
Bytes EncodeFileListPackage(const FileListPackage& p);
bool DecodeFileListPackage(const uint8_t* msg, size_t len, FileListPackage& out);
bool ParseFileListLines(const std::string& lines, std::vector<FileListEntry>& out);
Bytes EncodeFileListRefusal(uint32_t param);

struct DownloadInfo {
  uint32_t param = 0;
  uint32_t size = 0;
  uint32_t packages = 0;  // size / 1000, rounded up
  uint8_t fingerprint[kFingerprintSize] = {};
};
Bytes EncodeDownloadInfo(const DownloadInfo& d);
bool DecodeDownloadInfo(const uint8_t* msg, size_t len, DownloadInfo& out);
uint32_t PackageCount(uint32_t size);

struct TransError {
  uint16_t opcode = xfer::kOpDownloadError;  // or kOpUploadError
  uint32_t param = 0;
  uint16_t code = 0;
};
Bytes EncodeTransError(const TransError& e);
bool DecodeTransError(const uint8_t* msg, size_t len, TransError& out);

struct Package {
  uint32_t param = 0;
  uint32_t number = 0;  // from 1
  Bytes data;           // at most 1000 bytes
};
Bytes EncodePackage(const Package& p);
bool DecodePackage(const uint8_t* msg, size_t len, Package& out);

struct DownloadEnd {
  uint32_t param = 0;
  char status = '0';  // '0' complete, '1' failed
};
Bytes EncodeDownloadEnd(const DownloadEnd& e);
bool DecodeDownloadEnd(const uint8_t* msg, size_t len, DownloadEnd& out);

// Answer to 0x100E: the request's opcode and parameter, then '0'.
Bytes EncodeStopReply(uint16_t opcode, uint32_t param);

Bytes EncodeStartOffset(uint32_t offset);  // body of 5
bool DecodeStartOffset(const uint8_t* body, size_t len, uint32_t& offset);

struct UploadRequest {
  uint32_t size = 0;
  uint8_t fingerprint[kFingerprintSize] = {};
  std::string path;  // UTF-8, at most 354 bytes
};
Bytes EncodeUploadRequest(const UploadRequest& r);  // body of 1
bool DecodeUploadRequest(const uint8_t* body, size_t len, UploadRequest& out);

Bytes EncodeUploadAllow(uint32_t param, uint32_t allowed);
bool DecodeUploadAllow(const uint8_t* msg, size_t len, uint32_t& param, uint32_t& allowed);

// Whole upload-data message (TransHeader, then the data) and the body of the end message.
Bytes EncodeUploadData(uint32_t param, const uint8_t* data, size_t n);
Bytes EncodeUploadOver(uint8_t status);
