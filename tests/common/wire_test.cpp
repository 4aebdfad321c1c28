#include "common/wire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "tests/support/device_client.h"

namespace {

TEST(WireTest, CommandHeaderGoldenBytes) {
  CommandHeader h;
  h.len = 0x1234;
  h.opcode = 0x5006;
  h.param = 0x89ABCDEF;
  uint8_t out[kCommandHeaderSize];
  EncodeCommandHeader(h, out);
  const uint8_t golden[] = {0x12, 0x34, 0x50, 0x06, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), std::vector<uint8_t>(golden, golden + 8));

  const CommandHeader back = DecodeCommandHeader(golden);
  EXPECT_EQ(back.len, 0x1234);
  EXPECT_EQ(back.opcode, 0x5006);
  EXPECT_EQ(back.param, 0x89ABCDEFu);
}

TEST(WireTest, TransHeaderGoldenBytes) {
  TransHeader h;
  h.cmd.len = 1020;
  h.cmd.opcode = 0x1002;
  h.cmd.param = 7;
  h.v1 = 0x01020304;
  h.v2 = 0xFFFFFFFE;
  h.v3 = 1000;
  uint8_t out[kTransHeaderSize];
  EncodeTransHeader(h, out);
  const std::vector<uint8_t> golden = {0x03, 0xFC, 0x10, 0x02, 0x00, 0x00, 0x00, 0x07,
                                       0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFE,
                                       0x00, 0x00, 0x03, 0xE8};
  EXPECT_EQ(std::vector<uint8_t>(out, out + kTransHeaderSize), golden);

  const TransHeader back = DecodeTransHeader(golden.data());
  EXPECT_EQ(back.cmd.len, 1020);
  EXPECT_EQ(back.cmd.opcode, 0x1002);
  EXPECT_EQ(back.cmd.param, 7u);
  EXPECT_EQ(back.v1, 0x01020304u);
  EXPECT_EQ(back.v2, 0xFFFFFFFEu);
  EXPECT_EQ(back.v3, 1000u);
}

TEST(WireTest, TestMessageBuildersUseTheEncoders) {
  const Bytes msg = BuildMessage(0x2003, 0x01000002, {0xAA, 0xBB});
  EXPECT_EQ(msg, (Bytes{0x00, 0x0A, 0x20, 0x03, 0x01, 0x00, 0x00, 0x02, 0xAA, 0xBB}));

  const Bytes trans = BuildTransMessage(0x0002, 9, 1, 2, 3, {0x55});
  ASSERT_EQ(trans.size(), 21u);
  const TransHeader th = DecodeTransHeader(trans.data());
  EXPECT_EQ(th.cmd.len, 21);
  EXPECT_EQ(th.cmd.opcode, 0x0002);
  EXPECT_EQ(th.cmd.param, 9u);
  EXPECT_EQ(th.v1, 1u);
  EXPECT_EQ(th.v2, 2u);
  EXPECT_EQ(th.v3, 3u);
  EXPECT_EQ(trans[20], 0x55);

  DeviceMessage m;
  m.header = th.cmd;
  m.body.assign(trans.begin() + kCommandHeaderSize, trans.end());
  EXPECT_EQ(m.Trans().v3, 3u);
}

TEST(WireTest, FixedTextIsZeroFilledCutAndReadWithoutTerminator) {
  uint8_t field[8];
  std::memset(field, 0xEE, sizeof field);
  wire::PutFixedText(field, sizeof field, "abc");
  EXPECT_EQ(Bytes(field, field + 8), (Bytes{'a', 'b', 'c', 0, 0, 0, 0, 0}));
  EXPECT_EQ(wire::GetFixedText(field, sizeof field), "abc");

  wire::PutFixedText(field, sizeof field, "0123456789");
  EXPECT_EQ(field[7], 0);  // always room for the terminator
  EXPECT_EQ(wire::GetFixedText(field, sizeof field), "0123456");

  const uint8_t full[4] = {'w', 'x', 'y', 'z'};  // no zero byte: the field counts as full
  EXPECT_EQ(wire::GetFixedText(full, sizeof full), "wxyz");
}

TEST(WireTest, ReaderRefusesEveryOutOfBoundsRead) {
  const uint8_t data[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 'h'};
  wire::Reader r(data, sizeof data);
  uint32_t v32 = 0;
  uint16_t v16 = 0;
  uint8_t v8 = 0;
  std::string text;
  EXPECT_TRUE(r.U32(2, v32));
  EXPECT_EQ(v32, 0x03040568u);
  EXPECT_FALSE(r.U32(3, v32));
  EXPECT_TRUE(r.U16(4, v16));
  EXPECT_FALSE(r.U16(5, v16));
  EXPECT_TRUE(r.U8(5, v8));
  EXPECT_FALSE(r.U8(6, v8));
  EXPECT_TRUE(r.Text(5, 1, text));
  EXPECT_EQ(text, "h");
  EXPECT_FALSE(r.Text(0, 7, text));
  // Offsets and widths that would wrap around are refused, not added.
  EXPECT_FALSE(r.Has(std::numeric_limits<size_t>::max(), 2));
  EXPECT_FALSE(r.Has(2, std::numeric_limits<size_t>::max()));
  EXPECT_TRUE(r.Has(6, 0));

  wire::Reader none(nullptr, 100);  // a missing body has no bytes, whatever its length says
  EXPECT_EQ(none.Size(), 0u);
  EXPECT_FALSE(none.U8(0, v8));
}

}  // namespace
