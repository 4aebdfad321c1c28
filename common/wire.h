#pragma once
// Every wire layout of the service, encoded and decoded with explicit sizes; multi-byte fields
// are big-endian unless a message says otherwise. No packed structs, no casts of buffers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace wire {

inline void PutU16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void PutU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
inline void PutU32LE(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline uint16_t GetU16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t GetU32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint32_t GetU32LE(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Copies text into a fixed field, zero-filled, cut to width - 1 bytes.
void PutFixedText(uint8_t* p, size_t width, const std::string& text);
// A fixed text field; without a zero byte it counts as full.
std::string GetFixedText(const uint8_t* p, size_t width);

// Bounds-checked reader over a body of known length.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_p(data), m_size(data ? size : 0) {}
  size_t Size() const { return m_size; }
  bool Has(size_t offset, size_t width) const { return offset <= m_size && width <= m_size - offset; }
  bool U8(size_t off, uint8_t& v) const { if (!Has(off, 1)) return false; v = m_p[off]; return true; }
  bool U16(size_t off, uint16_t& v) const { if (!Has(off, 2)) return false; v = GetU16(m_p + off); return true; }
  bool U32(size_t off, uint32_t& v) const { if (!Has(off, 4)) return false; v = GetU32(m_p + off); return true; }
  bool Text(size_t off, size_t width, std::string& v) const {
    if (!Has(off, width)) return false;
    v = GetFixedText(m_p + off, width);
    return true;
  }
  bool Bytes(size_t off, size_t width, uint8_t* out) const {
    if (!Has(off, width)) return false;
    std::memcpy(out, m_p + off, width);
    return true;
  }
  const uint8_t* At(size_t off) const { return m_p + off; }

 private:
  const uint8_t* m_p;
  size_t m_size;
};

}  // namespace wire

// The 8-byte frame of every command message: {u16 total length incl. header, u16 opcode,
// u32 parameter}. In code it is always host order.
struct CommandHeader {
  uint16_t len = 0;
  uint16_t opcode = 0;
  uint32_t param = 0;
};
constexpr size_t kCommandHeaderSize = 8;
void EncodeCommandHeader(const CommandHeader& h, uint8_t* out);
CommandHeader DecodeCommandHeader(const uint8_t* in);

// 20-byte header of file-transfer messages: CommandHeader + three u32.
struct TransHeader {
  CommandHeader cmd;
  uint32_t v1 = 0, v2 = 0, v3 = 0;
};
constexpr size_t kTransHeaderSize = 20;
void EncodeTransHeader(const TransHeader& h, uint8_t* out);
TransHeader DecodeTransHeader(const uint8_t* in);
