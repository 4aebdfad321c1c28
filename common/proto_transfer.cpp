#include "common/proto_transfer.h"

#include <cstdlib>
#include <cstring>

using namespace xfer;

namespace {


Bytes WithHeader(uint16_t opcode, uint32_t param, size_t size) {
  Bytes b(size, 0);
  EncodeCommandHeader(CommandHeader{static_cast<uint16_t>(size), opcode, param}, b.data());
  return b;
}

// The message's own total must fit the bytes given and its opcode must be the one wanted.
bool Framed(const uint8_t* msg, size_t len, uint16_t opcode, size_t minimum, CommandHeader& h) {
  if (!msg || len < minimum || len < kCommandHeaderSize) return false;
  h = DecodeCommandHeader(msg);
  return h.opcode == opcode && h.len >= minimum && h.len <= len;
}

}  // namespace

Bytes EncodeFilePathRequest(const FilePathRequest& r) {
  Bytes b(kFilePathRequestSize, 0);
  wire::PutFixedText(b.data() + kFilePathOffset, kFilePathWidth, r.path);
  b[kFilePathOrderOffset] = r.totalBigEndian ? '1' : '0';
  return b;
}

bool DecodeFilePathRequest(const uint8_t* body, size_t len, FilePathRequest& out) {
  const wire::Reader in(body, len);
  if (!in.Has(0, kFilePathRequestSize)) return false;
  in.Text(kFilePathOffset, kFilePathWidth, out.path);
  out.totalBigEndian = body[kFilePathOrderOffset] == '1';
  return true;
}

Bytes EncodeShareList(uint32_t param, const std::vector<std::string>& folders) {
  std::string text;
  for (const std::string& f : folders) text += f + "\r\n";
  Bytes b = WithHeader(kOpShareList, param, kTransHeaderSize + text.size());
  wire::PutU16(b.data() + 8, static_cast<uint16_t>(folders.size()));
  std::memcpy(b.data() + kTransHeaderSize, text.data(), text.size());
  return b;
}

bool DecodeShareList(const uint8_t* msg, size_t len, std::vector<std::string>& folders) {
  CommandHeader h;
  if (!Framed(msg, len, kOpShareList, kTransHeaderSize, h)) return false;
  const uint16_t count = wire::GetU16(msg + 8);
  const std::string text(reinterpret_cast<const char*>(msg) + kTransHeaderSize, h.len - kTransHeaderSize);
  folders.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) return false;
    folders.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return folders.size() == count;
}

std::string FileListLine(const FileListEntry& e) {
  return e.time + "\t" + std::to_string(e.type) + "\t" + std::to_string(e.size) + "\t" + e.name + "\r\n";
}

Bytes EncodeFileListPackage(const FileListPackage& p) {
  Bytes b = WithHeader(kOpFileList, p.param, kTransHeaderSize + p.lines.size());
  wire::PutU32(b.data() + 8, p.count);
  if (p.totalBigEndian) wire::PutU32(b.data() + 12, p.total);
  else wire::PutU32LE(b.data() + 12, p.total);
  b[16] = '1';
  std::memcpy(b.data() + kTransHeaderSize, p.lines.data(), p.lines.size());
  return b;
}

bool DecodeFileListPackage(const uint8_t* msg, size_t len, FileListPackage& out) {
  CommandHeader h;
  if (!Framed(msg, len, kOpFileList, kTransHeaderSize, h)) return false;
  out.param = h.param;
  out.count = wire::GetU32(msg + 8);
  out.total = out.totalBigEndian ? wire::GetU32(msg + 12) : wire::GetU32LE(msg + 12);
  out.lines.assign(reinterpret_cast<const char*>(msg) + kTransHeaderSize, h.len - kTransHeaderSize);
  return true;
}

bool ParseFileListLines(const std::string& lines, std::vector<FileListEntry>& out) {
  size_t pos = 0;
  while (pos < lines.size()) {
    const size_t end = lines.find("\r\n", pos);
    if (end == std::string::npos) return false;
    const std::string line = lines.substr(pos, end - pos);
    pos = end + 2;
    std::vector<std::string> f;
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
      const size_t tab = line.find('\t', start);
      if (tab == std::string::npos) return false;
      f.push_back(line.substr(start, tab - start));
      start = tab + 1;
    }
    FileListEntry e;
    e.time = f[0];
    e.type = std::atoi(f[1].c_str());
    e.size = std::strtoull(f[2].c_str(), nullptr, 10);
    e.name = line.substr(start);
    out.push_back(e);
  }
  return true;
}

Bytes EncodeFileListRefusal(uint32_t param) { return WithHeader(kOpFileList, param, kFileListRefusalSize); }

uint32_t PackageCount(uint32_t size) {
  return size / kPackageData + (size % kPackageData ? 1 : 0);
}

Bytes EncodeDownloadInfo(const DownloadInfo& d) {
  Bytes b = WithHeader(kOpDownloadInfo, d.param, kDownloadInfoSize);
  wire::PutU32(b.data() + 8, d.size);
  wire::PutU32(b.data() + 12, d.packages);
  std::memcpy(b.data() + 16, d.fingerprint, kFingerprintSize);
  return b;
}

bool DecodeDownloadInfo(const uint8_t* msg, size_t len, DownloadInfo& out) {
  CommandHeader h;
  if (!Framed(msg, len, kOpDownloadInfo, kDownloadInfoSize, h)) return false;
  out.param = h.param;
  out.size = wire::GetU32(msg + 8);
  out.packages = wire::GetU32(msg + 12);
  std::memcpy(out.fingerprint, msg + 16, kFingerprintSize);
  return true;
}

Bytes EncodeTransError(const TransError& e) {
  Bytes b = WithHeader(e.opcode, e.param, kTransErrorSize);
  wire::PutU16(b.data() + 8, e.code);
  b[10] = '0';
  return b;
}

bool DecodeTransError(const uint8_t* msg, size_t len, TransError& out) {
  if (!msg || len < kCommandHeaderSize) return false;
  const uint16_t opcode = DecodeCommandHeader(msg).opcode;
  if (opcode != kOpDownloadError && opcode != kOpUploadError) return false;
  CommandHeader h;
  if (!Framed(msg, len, opcode, kTransErrorSize, h)) return false;
  out.opcode = opcode;
  out.param = h.param;
  out.code = wire::GetU16(msg + 8);
  return true;
}

Bytes EncodePackage(const Package& p) {
  Bytes b(kTransHeaderSize + p.data.size(), 0);
  TransHeader h;
  h.cmd = CommandHeader{static_cast<uint16_t>(b.size()), kOpPackage, p.param};
  h.v1 = p.number;
  EncodeTransHeader(h, b.data());
  if (!p.data.empty()) std::memcpy(b.data() + kTransHeaderSize, p.data.data(), p.data.size());
  return b;
}

bool DecodePackage(const uint8_t* msg, size_t len, Package& out) {
  CommandHeader h;
  if (!Framed(msg, len, kOpPackage, kTransHeaderSize, h)) return false;
  if (h.len - kTransHeaderSize > kPackageData) return false;
  out.param = h.param;
  out.number = wire::GetU32(msg + 8);
  out.data.assign(msg + kTransHeaderSize, msg + h.len);
  return true;
}

Bytes EncodeDownloadEnd(const DownloadEnd& e) {
  Bytes b = WithHeader(kOpDownloadEnd, e.param, kDownloadEndSize);
  b[8] = static_cast<uint8_t>(e.status);
  return b;
}

bool DecodeDownloadEnd(const uint8_t* msg, size_t len, DownloadEnd& out) {
  CommandHeader h;
  if (!Framed(msg, len, kOpDownloadEnd, kDownloadEndSize, h)) return false;
  out.param = h.param;
  out.status = static_cast<char>(msg[8]);
  return true;
}

Bytes EncodeStopReply(uint16_t opcode, uint32_t param) {
  Bytes b = WithHeader(opcode, param, kStopReplySize);
  b[8] = '0';
  return b;
}

Bytes EncodeStartOffset(uint32_t offset) {
  Bytes b(4);
  wire::PutU32(b.data(), offset);
  return b;
}

bool DecodeStartOffset(const uint8_t* body, size_t len, uint32_t& offset) {
  return wire::Reader(body, len).U32(0, offset);
}

Bytes EncodeUploadRequest(const UploadRequest& r) {
  Bytes b(kUploadRequestSize, 0);
  wire::PutU32(b.data(), r.size);
  std::memcpy(b.data() + kUploadFingerprintOffset, r.fingerprint, kFingerprintSize);
  wire::PutFixedText(b.data() + kUploadPathOffset, kUploadPathWidth, r.path);
  return b;
}

bool DecodeUploadRequest(const uint8_t* body, size_t len, UploadRequest& out) {
  const wire::Reader in(body, len);
  if (!in.Has(0, kUploadRequestSize)) return false;
  in.U32(0, out.size);
  in.Bytes(kUploadFingerprintOffset, kFingerprintSize, out.fingerprint);
  in.Text(kUploadPathOffset, kUploadPathWidth, out.path);
  return true;
}

Bytes EncodeUploadAllow(uint32_t param, uint32_t allowed) {
  Bytes b = WithHeader(kOpUploadAllowed, param, kUploadAllowSize);
  wire::PutU32(b.data() + 8, allowed);
  return b;
}

bool DecodeUploadAllow(const uint8_t* msg, size_t len, uint32_t& param, uint32_t& allowed) {
  CommandHeader h;
  if (!Framed(msg, len, kOpUploadAllowed, kUploadAllowSize, h)) return false;
  param = h.param;
  allowed = wire::GetU32(msg + 8);
  return true;
}

Bytes EncodeUploadData(uint32_t param, const uint8_t* data, size_t n) {
  Bytes b(kTransHeaderSize + n, 0);
  TransHeader h;
  h.cmd = CommandHeader{static_cast<uint16_t>(b.size()), kOpUploadData, param};
  EncodeTransHeader(h, b.data());
  if (n) std::memcpy(b.data() + kTransHeaderSize, data, n);
  return b;
}

Bytes EncodeUploadOver(uint8_t status) { return Bytes{status}; }
