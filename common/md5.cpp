#include "common/md5.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace {

constexpr size_t kStreamPiece = 1024;

// Per-round shift amounts and sine-derived constants of RFC 1321.
constexpr uint32_t kShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

inline uint32_t RotateLeft(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

void EncodeLittleEndian(unsigned char* out, const uint32_t* in, size_t length) {
  for (size_t i = 0, j = 0; j < length; ++i, j += 4) {
    out[j] = static_cast<unsigned char>(in[i] & 0xff);
    out[j + 1] = static_cast<unsigned char>((in[i] >> 8) & 0xff);
    out[j + 2] = static_cast<unsigned char>((in[i] >> 16) & 0xff);
    out[j + 3] = static_cast<unsigned char>((in[i] >> 24) & 0xff);
  }
}

}  // namespace

CMd5Hash::CMd5Hash() { Init(); }

CMd5Hash::CMd5Hash(const std::string& filePath) {
  Init();
  // O_NONBLOCK keeps a FIFO from stalling the open; regular files ignore it.
  UniqueFd file(open(filePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return;
  struct stat st;
  // Only regular files have a fingerprint; anything else hashes as no input.
  if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;

  Md5Range ranges[2];
  const int count = QuickMd5Ranges(static_cast<uint64_t>(st.st_size), ranges);
  unsigned char piece[8192];
  for (int r = 0; r < count; ++r) {
    uint64_t offset = ranges[r].offset;
    uint64_t left = ranges[r].length;
    while (left > 0) {
      const size_t want = left < sizeof(piece) ? static_cast<size_t>(left) : sizeof(piece);
      const ssize_t n = pread(file.get(), piece, want, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the file shrank meanwhile: hash what is there
      Update(piece, static_cast<size_t>(n));
      offset += static_cast<uint64_t>(n);
      left -= static_cast<uint64_t>(n);
    }
  }
}

void CMd5Hash::Init() {
  m_finalized = false;
  m_state[0] = 0x67452301;
  m_state[1] = 0xefcdab89;
  m_state[2] = 0x98badcfe;
  m_state[3] = 0x10325476;
  m_count[0] = m_count[1] = 0;
  std::memset(m_buffer, 0, sizeof(m_buffer));
  std::memset(m_digest, 0, sizeof(m_digest));
}

void CMd5Hash::Update(const unsigned char* data, size_t length) {
  if (m_finalized || length == 0 || !data) return;
  size_t index = (m_count[0] >> 3) & 0x3f;

  const uint64_t bits = static_cast<uint64_t>(length) << 3;
  const uint32_t low = static_cast<uint32_t>(bits);
  m_count[0] += low;
  if (m_count[0] < low) ++m_count[1];
  m_count[1] += static_cast<uint32_t>(static_cast<uint64_t>(length) >> 29);

  const size_t partLen = 64 - index;
  size_t i = 0;
  if (length >= partLen) {
    std::memcpy(&m_buffer[index], data, partLen);
    Transform(m_buffer);
    for (i = partLen; i + 63 < length; i += 64) Transform(&data[i]);
    index = 0;
  }
  std::memcpy(&m_buffer[index], &data[i], length - i);
}

void CMd5Hash::UpdateFromStream(std::istream& in) {
  if (!in.good()) return;
  char piece[kStreamPiece];
  while (in) {
    in.read(piece, sizeof(piece));
    const std::streamsize got = in.gcount();
    if (got <= 0) break;
    Update(reinterpret_cast<const unsigned char*>(piece), static_cast<size_t>(got));
  }
}

void CMd5Hash::Finalize() {
  if (m_finalized) return;
  unsigned char bits[8];
  EncodeLittleEndian(bits, m_count, 8);

  static const unsigned char kPadding[64] = {0x80};
  const size_t index = (m_count[0] >> 3) & 0x3f;
  const size_t padLen = index < 56 ? 56 - index : 120 - index;
  Update(kPadding, padLen);
  Update(bits, 8);

  EncodeLittleEndian(m_digest, m_state, 16);
  std::memset(m_buffer, 0, sizeof(m_buffer));
  m_finalized = true;
}

std::string CMd5Hash::HexDigest() {
  Finalize();
  return BytesToHex(m_digest, sizeof(m_digest));
}

const unsigned char* CMd5Hash::RawDigest() {
  Finalize();
  return m_digest;
}

std::string CMd5Hash::BytesToHex(const unsigned char* bytes, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 0x0f]);
  }
  return out;
}

void CMd5Hash::Decode(uint32_t* out, const unsigned char* in, size_t length) {
  for (size_t i = 0, j = 0; j < length; ++i, j += 4) {
    out[i] = static_cast<uint32_t>(in[j]) | (static_cast<uint32_t>(in[j + 1]) << 8) |
             (static_cast<uint32_t>(in[j + 2]) << 16) | (static_cast<uint32_t>(in[j + 3]) << 24);
  }
}

void CMd5Hash::Transform(const unsigned char block[64]) {
  uint32_t x[16];
  Decode(x, block, 64);
  uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];

  for (uint32_t i = 0; i < 64; ++i) {
    uint32_t f;
    uint32_t g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (b & d) | (c & ~d);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const uint32_t next = b + RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }

  m_state[0] += a;
  m_state[1] += b;
  m_state[2] += c;
  m_state[3] += d;
  std::memset(x, 0, sizeof(x));
}

int QuickMd5Ranges(uint64_t fileSize, Md5Range out[2]) {
  if (fileSize <= kQuickMd5WholeLimit) {
    out[0] = {0, fileSize};
    return 1;
  }
  out[0] = {0, kQuickMd5Part};
  out[1] = {fileSize - kQuickMd5Part, kQuickMd5Part};
  return 2;
}
