#include "common/wire.h"

namespace wire {

void PutFixedText(uint8_t* p, size_t width, const std::string& text) {
  if (width == 0) return;
  std::memset(p, 0, width);
  const size_t n = text.size() < width - 1 ? text.size() : width - 1;
  std::memcpy(p, text.data(), n);
}

std::string GetFixedText(const uint8_t* p, size_t width) {
  const char* s = reinterpret_cast<const char*>(p);
  return std::string(s, strnlen(s, width));
}

}  // namespace wire

void EncodeCommandHeader(const CommandHeader& h, uint8_t* out) {
  wire::PutU16(out, h.len);
  wire::PutU16(out + 2, h.opcode);
  wire::PutU32(out + 4, h.param);
}

CommandHeader DecodeCommandHeader(const uint8_t* in) {
  CommandHeader h;
  h.len = wire::GetU16(in);
  h.opcode = wire::GetU16(in + 2);
  h.param = wire::GetU32(in + 4);
  return h;
}

void EncodeTransHeader(const TransHeader& h, uint8_t* out) {
  EncodeCommandHeader(h.cmd, out);
  wire::PutU32(out + kCommandHeaderSize, h.v1);
  wire::PutU32(out + kCommandHeaderSize + 4, h.v2);
  wire::PutU32(out + kCommandHeaderSize + 8, h.v3);
}

TransHeader DecodeTransHeader(const uint8_t* in) {
  TransHeader h;
  h.cmd = DecodeCommandHeader(in);
  h.v1 = wire::GetU32(in + kCommandHeaderSize);
  h.v2 = wire::GetU32(in + kCommandHeaderSize + 4);
  h.v3 = wire::GetU32(in + kCommandHeaderSize + 8);
  return h;
}
