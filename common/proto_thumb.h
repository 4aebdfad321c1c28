#pragma once
// Thumbnail messages (big-endian): the 360-byte request body of opcode 0x3001, the 16-byte
// header of each thumbnail chunk (opcode 0x3001, at most 1000 data bytes follow) and the
// 12-byte end message (opcode 0x3002).
#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint16_t kOpThumbnail = 0x3001;
constexpr uint16_t kOpThumbnailEnd = 0x3002;
constexpr size_t kThumbRequestSize = 360;
constexpr size_t kThumbPathOffset = 4;
constexpr size_t kThumbPathWidth = 256;
constexpr size_t kThumbChunkHeaderSize = 16;
constexpr size_t kThumbChunkData = 1000;
constexpr size_t kThumbEndSize = 12;
constexpr uint16_t kThumbEndSent = 0;
constexpr uint16_t kThumbEndFailed = 1;

struct ThumbRequest {  // host order
  uint16_t width = 0;
  uint16_t height = 0;
  std::string path;  // as sent (UTF-8)
};

// False when the body is shorter than the request or its path field has no zero byte.
bool DecodeThumbRequest(const uint8_t* body, size_t len, ThumbRequest& out);
void EncodeThumbRequest(const ThumbRequest& req, uint8_t out[kThumbRequestSize]);  // tests, clients

struct ThumbChunkHeader {
  uint16_t len = 0;  // 16 + data bytes
  uint32_t requestId = 0;
  uint32_t total = 0;
  uint32_t offset = 0;
};
void EncodeThumbChunkHeader(const ThumbChunkHeader& h, uint8_t out[kThumbChunkHeaderSize]);
ThumbChunkHeader DecodeThumbChunkHeader(const uint8_t in[kThumbChunkHeaderSize]);

struct ThumbEnd {
  uint32_t requestId = 0;
  uint16_t status = kThumbEndSent;
};
void EncodeThumbEnd(const ThumbEnd& e, uint8_t out[kThumbEndSize]);
ThumbEnd DecodeThumbEnd(const uint8_t in[kThumbEndSize]);
