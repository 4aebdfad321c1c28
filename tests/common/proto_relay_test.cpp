// The relay road's layouts, each against bytes written from the layout itself, and how the
// readers take a stream apart.
#include <gtest/gtest.h>

#include <vector>

#include "common/proto_relay.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Field(const std::string& text, size_t width) {
  Bytes b(width, 0);
  std::copy(text.begin(), text.end(), b.begin());
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(ProtoRelay, GoldenBytes) {
  const Bytes reply = {0, 12, 0x10, 0x03, 0, 0, 0, 9, '0', 0, 0, 0};
  EXPECT_EQ(BuildAddressedFrame(kCmdCacheDeliver, "pc", "phone", reply.data(), reply.size()),
            Cat({{0, 146, 0, 7, 0x10, 0x0B}, Field("pc", 64), Field("phone", 64), reply}));
  EXPECT_EQ(BuildRelayFrame(kCmdRelayRegister, "pc", nullptr, 0),
            Cat({{0, 70, 0, 7, 0x10, 0x08}, Field("pc", 64)}));
  EXPECT_EQ(BuildShortReply(kCmdRelayRegister, 0x1014), (Bytes{0, 8, 0, 7, 0x10, 0x08, 0x10, 0x14}));
  EXPECT_EQ(BuildPhoneStatus(kCmdLeaveForPc, 0x1030),
            Cat({{0, 72, 0, 7, 0x10, 0x0A}, Bytes(64, 0), {0x10, 0x30}}));
  PcEntry e;
  e.identity = "id";
  e.computerName = "box";
  e.localIp = 0x0A000002;
  e.seenIp = 0x7F000001;
  e.commandPort = 15002;
  e.externalPort = 40000;
  e.online = true;
  const Bytes list = EncodePcList({e});
  EXPECT_EQ(list, Cat({{0, 1}, Field("id", 64), Field("box", 64), {10, 0, 0, 2, 127, 0, 0, 1},
                       {0x3A, 0x9A, 0x9C, 0x40, 1, 0, 0, 0}}));
  std::vector<PcEntry> back;
  ASSERT_TRUE(DecodePcList(list.data(), list.size(), back));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].computerName, "box");
  EXPECT_TRUE(back[0].online);
  EXPECT_FALSE(DecodePcList(list.data(), list.size() - 1, back));
  // A frame whose total would not fit its u16 is never built (nor wrapped).
  const Bytes big(65535 - 134 + 1, 1);
  EXPECT_TRUE(BuildAddressedFrame(kCmdRelayData, "pc", "ph", big.data(), big.size()).empty());
  EXPECT_EQ(BuildAddressedFrame(kCmdRelayData, "pc", "ph", big.data(), big.size() - 1).size(), 65535u);
}

TEST(ProtoRelay, TheRelayClientTakesInputByItsLengthField) {
  struct Case {
    Bytes input;
    RelayChunk want;
    size_t len;
  } cases[] = {
      {{0}, RelayChunk::kNeedMore, 0},
      {{0, 7, 1, 2, 3, 4, 5}, RelayChunk::kBroken, 0},
      {{0, 8, 0, 7, 0x10, 0x09, 0, 0}, RelayChunk::kShortReply, 8},
      {Cat({{0, 69}, Bytes(67, 0)}), RelayChunk::kShortReply, 69},
      {Cat({{0, 69}, Bytes(60, 0)}), RelayChunk::kNeedMore, 69},
      {Cat({{0, 70}, Bytes(68, 0)}), RelayChunk::kFrame, 70},
      {Cat({{0, 142}, Bytes(100, 0)}), RelayChunk::kNeedMore, 142},
  };
  for (const Case& c : cases) {
    size_t len = 0;
    EXPECT_EQ(ClassifyRelayInput(c.input.data(), c.input.size(), len), c.want) << c.input.size();
    EXPECT_EQ(len, c.len);
  }
  size_t len = 0;
  const Bytes shortOne = {0, 20, 0, 0};
  EXPECT_EQ(ClassifyInboundFrame(shortOne.data(), shortOne.size(), len), RelayChunk::kBroken);
}

TEST(ProtoRelay, RelayDataNeedsItsInnerMessageInsideTheBody) {
  auto frame = [](uint16_t innerLen, size_t bodyLen) {
    Bytes body(bodyLen, 0xAB);
    body[64] = uint8_t(innerLen >> 8);
    body[65] = uint8_t(innerLen);
    return BuildRelayFrame(kCmdRelayData, "requester", body.data(), body.size());
  };
  struct Case {
    uint16_t inner;
    size_t body;
    bool ok;
  } cases[] = {{8, 72, true}, {7, 72, false}, {9, 72, false}, {20, 84, true}, {8, 71, false}};
  for (const Case& c : cases) {
    const Bytes f = frame(c.inner, c.body);
    RelayData d;
    EXPECT_EQ(ParseRelayData(f.data(), f.size(), d), c.ok) << c.inner << " in " << c.body;
    if (c.ok) {
      // The identity field is the requester's, zero-terminated, whatever it held.
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.body.data())), "requester");
      EXPECT_EQ(d.body[63], 0);
    }
  }
  const Bytes fetched = {0, 9, 0, 3, 0, 0, 0, 5, 0};
  CommandHeader inner;
  EXPECT_TRUE(ParseFetchedMessage(fetched.data(), fetched.size(), inner));
  EXPECT_FALSE(ParseFetchedMessage(fetched.data(), fetched.size() - 1, inner));
  const Bytes local = {0, 8, 0x50, 0x01, 0, 0, 0, 0};
  EXPECT_FALSE(ParseFetchedMessage(local.data(), local.size(), inner));
}

}  // namespace
