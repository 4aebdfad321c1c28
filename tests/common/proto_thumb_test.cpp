// Thumbnail messages byte for byte, written from their layouts.
#include <gtest/gtest.h>

#include <vector>

#include "common/proto_thumb.h"

TEST(ProtoThumb, RequestLayout) {
  std::vector<uint8_t> body(kThumbRequestSize, 0xEE);
  body[0] = 0x00; body[1] = 0xA0;  // width 160
  body[2] = 0x00; body[3] = 0x78;  // height 120
  const char path[] = "$DEFAULT_PIC$/a.jpg";
  std::copy(path, path + sizeof path, body.begin() + 4);  // with its zero byte
  ThumbRequest r;
  ASSERT_TRUE(DecodeThumbRequest(body.data(), body.size(), r));
  EXPECT_EQ(r.width, 160);
  EXPECT_EQ(r.height, 120);
  EXPECT_EQ(r.path, "$DEFAULT_PIC$/a.jpg");

  EXPECT_FALSE(DecodeThumbRequest(body.data(), kThumbRequestSize - 1, r)) << "short body";
  std::fill(body.begin() + 4, body.begin() + 260, 'x');
  EXPECT_FALSE(DecodeThumbRequest(body.data(), body.size(), r)) << "path without a zero byte";

  uint8_t encoded[kThumbRequestSize];
  EncodeThumbRequest(ThumbRequest{1, 2, "p"}, encoded);
  const std::vector<uint8_t> head(encoded, encoded + 7);
  EXPECT_EQ(head, (std::vector<uint8_t>{0, 1, 0, 2, 'p', 0, 0}));
}

TEST(ProtoThumb, ChunkHeaderAndEndLayouts) {
  uint8_t chunk[kThumbChunkHeaderSize];
  EncodeThumbChunkHeader(ThumbChunkHeader{16 + 500, 0x01020304, 2500, 2000}, chunk);
  const std::vector<uint8_t> expectChunk = {0x02, 0x04, 0x30, 0x01, 0x01, 0x02, 0x03, 0x04,
                                            0x00, 0x00, 0x09, 0xC4, 0x00, 0x00, 0x07, 0xD0};
  EXPECT_EQ(std::vector<uint8_t>(chunk, chunk + sizeof chunk), expectChunk);
  const ThumbChunkHeader h = DecodeThumbChunkHeader(chunk);
  EXPECT_EQ(h.len, 516);
  EXPECT_EQ(h.requestId, 0x01020304u);
  EXPECT_EQ(h.total, 2500u);
  EXPECT_EQ(h.offset, 2000u);

  uint8_t end[kThumbEndSize];
  EncodeThumbEnd(ThumbEnd{0xA1B2C3D4, kThumbEndFailed}, end);
  const std::vector<uint8_t> expectEnd = {0x00, 0x0C, 0x30, 0x02, 0xA1, 0xB2,
                                          0xC3, 0xD4, 0x00, 0x01, 0x00, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(end, end + sizeof end), expectEnd);
  EXPECT_EQ(DecodeThumbEnd(end).requestId, 0xA1B2C3D4u);
  EXPECT_EQ(DecodeThumbEnd(end).status, kThumbEndFailed);
}
