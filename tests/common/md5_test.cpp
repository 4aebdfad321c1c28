#include "common/md5.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr const char* kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

std::string Md5Of(const std::string& bytes) {
  CMd5Hash h;
  h.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return h.HexDigest();
}

// Bytes that differ at every position, so a misplaced range changes the digest.
std::string Pattern(size_t size, unsigned seed = 1) {
  std::string out(size, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<char>(x >> 16);
  }
  return out;
}

class Md5FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv_md5_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::permissions(m_dir, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(m_dir);
  }

  std::string WriteFile(const std::string& name, const std::string& content) {
    const std::string path = m_dir + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return path;
  }

  std::string m_dir;
};

// The system's md5sum over a command line; "" when it cannot be run.
std::string Md5sumProgram(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "";
  char line[128] = {0};
  const bool got = std::fgets(line, sizeof(line), p) != nullptr;
  pclose(p);
  if (!got) return "";
  return std::string(line).substr(0, 32);
}

TEST(Md5, Rfc1321TestSuite) {
  struct Case {
    const char* input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) EXPECT_EQ(Md5Of(c.input), c.digest) << '"' << c.input << '"';
}

TEST(Md5, PiecewiseUpdatesEqualOneUpdate) {
  // Lengths around the 56-byte padding edge and the 64-byte block edge.
  for (size_t size : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 1000u}) {
    const std::string data = Pattern(size, static_cast<unsigned>(size));
    const std::string whole = Md5Of(data);
    for (size_t split = 0; split <= size; ++split) {
      CMd5Hash h;
      const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
      h.Update(bytes, split);
      h.Update(bytes + split, size - split);
      ASSERT_EQ(h.HexDigest(), whole) << "size " << size << " split " << split;
    }
  }
}

TEST(Md5, StreamInputAndFinalizingOnce) {
  const std::string data = Pattern(5000);
  std::istringstream in(data);
  CMd5Hash fromStream;
  fromStream.UpdateFromStream(in);
  const std::string first = fromStream.HexDigest();
  EXPECT_EQ(first, Md5Of(data));
  EXPECT_EQ(fromStream.HexDigest(), first);  // no second padding
  EXPECT_EQ(CMd5Hash::BytesToHex(fromStream.RawDigest(), 16), first);
  fromStream.Finalize();
  const unsigned char more[] = "more";
  fromStream.Update(more, 4);  // a finished digest does not change
  EXPECT_EQ(fromStream.HexDigest(), first);

  std::istringstream bad(data);
  bad.setstate(std::ios::failbit);
  CMd5Hash fromBad;
  fromBad.UpdateFromStream(bad);
  EXPECT_EQ(fromBad.HexDigest(), kEmptyMd5);

  const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(CMd5Hash::BytesToHex(bytes, 4), "000fa0ff");
}

TEST(QuickMd5Ranges, WholeUpToTheLimitElseHeadAndTail) {
  struct Case {
    uint64_t size;
    int count;
    Md5Range first;
    Md5Range second;
  };
  const Case cases[] = {
      {0, 1, {0, 0}, {0, 0}},
      {10240, 1, {0, 10240}, {0, 0}},
      {51200, 1, {0, 51200}, {0, 0}},
      {51201, 2, {0, 25600}, {25601, 25600}},
      {6ULL << 30, 2, {0, 25600}, {(6ULL << 30) - 25600, 25600}},
  };
  for (const Case& c : cases) {
    Md5Range r[2] = {};
    ASSERT_EQ(QuickMd5Ranges(c.size, r), c.count) << c.size;
    EXPECT_EQ(r[0].offset, c.first.offset) << c.size;
    EXPECT_EQ(r[0].length, c.first.length) << c.size;
    if (c.count == 2) {
      EXPECT_EQ(r[1].offset, c.second.offset) << c.size;
      EXPECT_EQ(r[1].length, c.second.length) << c.size;
    }
  }
}

TEST_F(Md5FileTest, FileAtTheLimitIsHashedWhole) {
  const std::string data = Pattern(51200);
  const std::string path = WriteFile("limit.bin", data);
  EXPECT_EQ(CMd5Hash(path).HexDigest(), Md5Of(data));
  EXPECT_EQ(CMd5Hash(path).HexDigest(), Md5sumProgram("md5sum '" + path + "'"));
}

TEST_F(Md5FileTest, FileAboveTheLimitSkipsTheMiddle) {
  std::string data = Pattern(51201);
  const std::string path = WriteFile("above.bin", data);
  const std::string expected = Md5Of(data.substr(0, 25600) + data.substr(51201 - 25600));
  const std::string got = CMd5Hash(path).HexDigest();
  EXPECT_EQ(got, expected);

  const std::string joined = m_dir + "/joined.bin";
  EXPECT_EQ(got, Md5sumProgram("head -c 25600 '" + path + "' > '" + joined + "' && tail -c 25600 '" +
                               path + "' >> '" + joined + "' && md5sum '" + joined + "'"));

  // The one byte left out may change without changing the fingerprint.
  data[25600] = static_cast<char>(data[25600] ^ 0x55);
  EXPECT_EQ(CMd5Hash(WriteFile("above.bin", data)).HexDigest(), got);
}

TEST_F(Md5FileTest, EmptyMissingAndNonRegularGiveTheEmptyDigest) {
  EXPECT_EQ(CMd5Hash(WriteFile("empty.bin", "")).HexDigest(), kEmptyMd5);
  EXPECT_EQ(CMd5Hash(m_dir + "/no_such_file").HexDigest(), kEmptyMd5);
  EXPECT_EQ(CMd5Hash(m_dir).HexDigest(), kEmptyMd5);
  const std::string fifo = m_dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(CMd5Hash(fifo).HexDigest(), kEmptyMd5);  // must not block on the open
}

TEST_F(Md5FileTest, ReadOnlyFileIsHashed) {
  const std::string data = Pattern(10 * 1024, 7);
  const std::string path = WriteFile("readonly.bin", data);
  ASSERT_EQ(chmod(path.c_str(), 0400), 0);
  CMd5Hash h(path);
  EXPECT_EQ(h.HexDigest(), Md5Of(data));
  EXPECT_EQ(h.HexDigest(), Md5Of(data));
}

TEST_F(Md5FileTest, FileBeyondFourGibibytes) {
  const uint64_t size = (5ULL << 30) + 12345;  // sparse: only the written ends take space
  const std::string head = Pattern(25600, 3);
  const std::string tail = Pattern(25600, 4);
  const std::string path = m_dir + "/huge.bin";
  {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(size - tail.size())),
              static_cast<ssize_t>(tail.size()));
    close(fd);
  }
  EXPECT_EQ(CMd5Hash(path).HexDigest(), Md5Of(head + tail));
}

}  // namespace
