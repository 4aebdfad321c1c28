// Transfer messages: golden bytes written from the layouts, and decoders that refuse what is
// shorter than its layout or framed as another message.
#include <gtest/gtest.h>

#include <cstring>

#include "common/proto_transfer.h"

namespace {

void Put(Bytes& b, size_t off, const char* text) { std::memcpy(b.data() + off, text, std::strlen(text)); }
void Head(Bytes& b, uint16_t opcode, uint32_t param) {
  b[0] = uint8_t(b.size() >> 8); b[1] = uint8_t(b.size());
  b[2] = uint8_t(opcode >> 8); b[3] = uint8_t(opcode);
  b[4] = uint8_t(param >> 24); b[5] = uint8_t(param >> 16); b[6] = uint8_t(param >> 8); b[7] = uint8_t(param);
}

TEST(ProtoTransfer, GoldenBytes) {
  Bytes want(356, 0);
  Put(want, 1, "$DEFAULT_PIC$/a.jpg");
  want[256] = '1';
  EXPECT_EQ(EncodeFilePathRequest({"$DEFAULT_PIC$/a.jpg", true}), want);

  want.assign(20 + 8, 0);
  Head(want, 0x2002, 0x01020304);
  want[9] = 2;
  Put(want, 20, "/a\r\n/b\r\n");
  EXPECT_EQ(EncodeShareList(0x01020304, {"/a", "/b"}), want);

  const std::string line = FileListLine({"2013-05-04 10:11:12", 1, 42, "x.jpg"});
  EXPECT_EQ(line, "2013-05-04 10:11:12\t1\t42\tx.jpg\r\n");
  want.assign(20 + line.size(), 0);
  Head(want, 0x2003, 9);
  want[11] = 1;
  want[12] = 7;  // little-endian total when the request asked so
  want[16] = '1';
  Put(want, 20, line.c_str());
  EXPECT_EQ(EncodeFileListPackage({9, 1, 7, false, line}), want);

  DownloadInfo info;
  info.param = 5;
  info.size = 2500;
  info.packages = PackageCount(2500);
  for (int i = 0; i < 16; ++i) info.fingerprint[i] = uint8_t(0xA0 + i);
  want.assign(64, 0);
  Head(want, 0x1004, 5);
  want[10] = 0x09; want[11] = 0xC4;  // 2500
  want[15] = 3;
  for (int i = 0; i < 16; ++i) want[16 + i] = uint8_t(0xA0 + i);
  EXPECT_EQ(EncodeDownloadInfo(info), want);

  want.assign(266, 0);
  Head(want, 0x1012, 5);
  want[8] = 0x10; want[9] = 0x16;
  want[10] = '0';
  EXPECT_EQ(EncodeTransError({0x1012, 5, 0x1016}), want);

  want.assign(20 + 3, 0);
  Head(want, 0x1002, 5);
  want[11] = 2;
  want[20] = 'a'; want[21] = 'b'; want[22] = 'c';
  EXPECT_EQ(EncodePackage({5, 2, {'a', 'b', 'c'}}), want);

  want.assign(12, 0);
  Head(want, 0x1003, 5);
  want[8] = '1';
  EXPECT_EQ(EncodeDownloadEnd({5, '1'}), want);

  UploadRequest up;
  up.size = 0x01020304;
  for (int i = 0; i < 16; ++i) up.fingerprint[i] = uint8_t(i + 1);
  up.path = "/share/x";
  want.assign(380, 0);
  want[0] = 1; want[1] = 2; want[2] = 3; want[3] = 4;
  for (int i = 0; i < 16; ++i) want[8 + i] = uint8_t(i + 1);
  Put(want, 25, "/share/x");
  EXPECT_EQ(EncodeUploadRequest(up), want);

  want.assign(12, 0);
  Head(want, 0x1001, 5);
  want[11] = 100;
  EXPECT_EQ(EncodeUploadAllow(5, 100), want);

  want.assign(20 + 2, 0);
  Head(want, 0x0002, 5);
  want[20] = 'h'; want[21] = 'i';
  const uint8_t hi[2] = {'h', 'i'};
  EXPECT_EQ(EncodeUploadData(5, hi, 2), want);
  EXPECT_EQ(EncodeStartOffset(0x0A0B0C0D), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_EQ(EncodeFileListRefusal(5).size(), 368u);
}

TEST(ProtoTransfer, DecodersRoundTripAndRefuseBadFrames) {
  std::vector<std::string> folders;
  const Bytes shares = EncodeShareList(1, {"/a", "/b c"});
  ASSERT_TRUE(DecodeShareList(shares.data(), shares.size(), folders));
  EXPECT_EQ(folders, (std::vector<std::string>{"/a", "/b c"}));
  EXPECT_FALSE(DecodeShareList(shares.data(), shares.size() - 1, folders)) << "total beyond the bytes";

  FileListPackage p;
  const Bytes list = EncodeFileListPackage({3, 2, 2, true, FileListLine({"t", 0, 0, "d"}) + FileListLine({"t", 1, 5, "a\tb"})});
  ASSERT_TRUE(DecodeFileListPackage(list.data(), list.size(), p));
  std::vector<FileListEntry> entries;
  ASSERT_TRUE(ParseFileListLines(p.lines, entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].name, "a\tb") << "the name is the rest of the line";
  EXPECT_EQ(entries[1].size, 5u);
  EXPECT_FALSE(ParseFileListLines("t\t1\r\n", entries));

  DownloadInfo info;
  const Bytes infoBytes = EncodeDownloadInfo({7, 1000, 1, {}});
  EXPECT_TRUE(DecodeDownloadInfo(infoBytes.data(), infoBytes.size(), info));
  EXPECT_FALSE(DecodeDownloadInfo(infoBytes.data(), 63, info));
  TransError error;
  EXPECT_FALSE(DecodeTransError(infoBytes.data(), infoBytes.size(), error)) << "another opcode";
  const Bytes upErr = EncodeTransError({0x1011, 7, 4117});
  ASSERT_TRUE(DecodeTransError(upErr.data(), upErr.size(), error));
  EXPECT_EQ(error.code, 4117);

  Package pkg;
  Bytes big = EncodePackage({1, 1, Bytes(1001, 0)});
  EXPECT_FALSE(DecodePackage(big.data(), big.size(), pkg)) << "more than 1000 data bytes";
  big = EncodePackage({1, 1, Bytes(1000, 0)});
  EXPECT_TRUE(DecodePackage(big.data(), big.size(), pkg));

  UploadRequest up;
  const Bytes upBytes = EncodeUploadRequest({9, {}, std::string(400, 'p')});
  ASSERT_TRUE(DecodeUploadRequest(upBytes.data(), upBytes.size(), up));
  EXPECT_EQ(up.path.size(), 354u) << "cut to its field";
  EXPECT_FALSE(DecodeUploadRequest(upBytes.data(), 379, up));
  FilePathRequest fp;
  EXPECT_FALSE(DecodeFilePathRequest(upBytes.data(), 355, fp));
  uint32_t offset = 0;
  EXPECT_FALSE(DecodeStartOffset(upBytes.data(), 3, offset));
}

}  // namespace
