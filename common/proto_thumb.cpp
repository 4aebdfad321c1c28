#include "common/proto_thumb.h"

#include <cstring>

#include "common/wire.h"

bool DecodeThumbRequest(const uint8_t* body, size_t len, ThumbRequest& out) {
  const wire::Reader in(body, len);
  if (!in.Has(0, kThumbRequestSize)) return false;
  in.U16(0, out.width);
  in.U16(2, out.height);
  const uint8_t* field = in.At(kThumbPathOffset);
  const size_t n = strnlen(reinterpret_cast<const char*>(field), kThumbPathWidth);
  if (n == kThumbPathWidth) return false;  // cut short it would name another file
  out.path.assign(reinterpret_cast<const char*>(field), n);
  return true;
}

void EncodeThumbRequest(const ThumbRequest& req, uint8_t out[kThumbRequestSize]) {
  std::memset(out, 0, kThumbRequestSize);
  wire::PutU16(out, req.width);
  wire::PutU16(out + 2, req.height);
  wire::PutFixedText(out + kThumbPathOffset, kThumbPathWidth, req.path);
}

void EncodeThumbChunkHeader(const ThumbChunkHeader& h, uint8_t out[kThumbChunkHeaderSize]) {
  wire::PutU16(out, h.len);
  wire::PutU16(out + 2, kOpThumbnail);
  wire::PutU32(out + 4, h.requestId);
  wire::PutU32(out + 8, h.total);
  wire::PutU32(out + 12, h.offset);
}

ThumbChunkHeader DecodeThumbChunkHeader(const uint8_t in[kThumbChunkHeaderSize]) {
  ThumbChunkHeader h;
  h.len = wire::GetU16(in);
  h.requestId = wire::GetU32(in + 4);
  h.total = wire::GetU32(in + 8);
  h.offset = wire::GetU32(in + 12);
  return h;
}

void EncodeThumbEnd(const ThumbEnd& e, uint8_t out[kThumbEndSize]) {
  wire::PutU16(out, kThumbEndSize);
  wire::PutU16(out + 2, kOpThumbnailEnd);
  wire::PutU32(out + 4, e.requestId);
  wire::PutU16(out + 8, e.status);
  wire::PutU16(out + 10, 0);
}

ThumbEnd DecodeThumbEnd(const uint8_t in[kThumbEndSize]) {
  ThumbEnd e;
  e.requestId = wire::GetU32(in + 4);
  e.status = wire::GetU16(in + 8);
  return e;
}
