#pragma once
// MD5 (RFC 1321) of bytes and streams, and the quick file fingerprint: the MD5 of the whole
// file up to 51200 bytes, else of its first 25600 and last 25600 bytes.
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

constexpr uint64_t kQuickMd5WholeLimit = 51200;
constexpr uint64_t kQuickMd5Part = 25600;

class CMd5Hash {
 public:
  CMd5Hash();
  explicit CMd5Hash(const std::string& filePath);  // quick fingerprint of the file
  void Update(const unsigned char* data, size_t length);  // ignored once finalized
  void UpdateFromStream(std::istream& in);
  void Finalize();
  std::string HexDigest();               // 32 lower-case hex characters; finalizes once
  const unsigned char* RawDigest();      // 16 bytes; finalizes once
  static std::string BytesToHex(const unsigned char* bytes, size_t length);

 private:
  void Init();
  void Transform(const unsigned char block[64]);
  static void Decode(uint32_t* out, const unsigned char* in, size_t length);

  bool m_finalized = false;
  uint32_t m_state[4];
  uint32_t m_count[2];
  unsigned char m_buffer[64];
  unsigned char m_digest[16];
};

// Byte ranges the quick fingerprint reads from a file of the given size: {offset, length}
// pairs; one range for small files, two for large ones.
struct Md5Range { uint64_t offset; uint64_t length; };
int QuickMd5Ranges(uint64_t fileSize, Md5Range out[2]);  // the number of ranges
