// Golden bytes of the local API and device-request layouts, written from the layouts.
#include "common/proto_local_api.h"

#include <gtest/gtest.h>

#include <string>

namespace {

WireBytes Hex(const std::string& hex) {
  WireBytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (hex[i] == ' ') {
      --i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

WireBytes Text(const std::string& s, size_t width) {
  WireBytes out(width, 0);
  std::copy(s.begin(), s.end(), out.begin());
  return out;
}

WireBytes Cat(std::initializer_list<WireBytes> parts) {
  WireBytes out;
  for (const WireBytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(ProtoDevice, FixedReplies) {
  EXPECT_EQ(EncodeDeviceHeartBeatReply(0x01020304), Hex("000C 8888 01020304 0000 0007"));
  EXPECT_EQ(EncodeDeviceLoginReply(1), Hex("000C 0008 00000000 0001 0000"));
  EXPECT_EQ(EncodeDeviceLoginReply(0), Hex("000C 0008 00000000 0000 0000"));
}

TEST(ProtoDevice, LoginPushCopiesBoundedAndZeroesThePassword) {
  WireBytes request = Cat({Text("me@x.org", 32), Text("secret", 32), Text("Phone of Ann", 64),
                           Text("HomeNet", 64), WireBytes(100, 0x5A)});  // 292 bytes
  const WireBytes push = EncodeDeviceLoginPush(0xA1B2C3D4, request.data(), request.size());
  ASSERT_EQ(push.size(), kLoginPushSize);
  EXPECT_EQ(WireBytes(push.begin(), push.begin() + 8), Hex("0108 500D A1B2C3D4"));
  EXPECT_EQ(WireBytes(push.begin() + 8, push.begin() + 40), Text("me@x.org", 32));
  EXPECT_EQ(WireBytes(push.begin() + 40, push.begin() + 72), WireBytes(32, 0));
  EXPECT_EQ(WireBytes(push.begin() + 72, push.begin() + 136), Text("Phone of Ann", 64));
  EXPECT_EQ(WireBytes(push.begin() + 136, push.begin() + 200), Text("HomeNet", 64));
  EXPECT_EQ(WireBytes(push.begin() + 200, push.end()), WireBytes(64, 0x5A)) << "cut at 256";

  const WireBytes shortPush = EncodeDeviceLoginPush(7, request.data(), 10);
  EXPECT_EQ(WireBytes(shortPush.begin() + 8, shortPush.begin() + 18),
            WireBytes(request.begin(), request.begin() + 10));
  EXPECT_EQ(WireBytes(shortPush.begin() + 18, shortPush.end()), WireBytes(246, 0));
}

TEST(ProtoDevice, LoginAnswer) {
  const struct {
    std::string hex;
    bool ok;
    uint32_t result;
  } cases[] = {
      {"000C 500D 00000009 00000000", true, 0},
      {"000C 500D 12345678 00000001", true, 1},
      {"000C 500D 00000000 00010000", true, 0x10000},
      {"000D 500D 00000000 00000000", false, 0},
      {"000C 500E 00000000 00000000", false, 0},
      {"000C 500D 0000", false, 0},
  };
  for (const auto& c : cases) {
    const WireBytes b = Hex(c.hex);
    uint32_t r = 77;
    EXPECT_EQ(DecodeDeviceLoginAnswer(b.data(), b.size(), r), c.ok) << c.hex;
    if (c.ok) {
      EXPECT_EQ(r, c.result) << c.hex;
    }
  }
}

TEST(ProtoLocalApi, SmallReplies) {
  EXPECT_EQ(EncodeU32Reply(0x5001, 5, 0x101F), Hex("000C 5001 00000005 0000101F"));
  EXPECT_EQ(EncodeU32Reply(0x5011, 0, static_cast<uint32_t>(-1)), Hex("000C 5011 00000000 FFFFFFFF"));
  EXPECT_EQ(EncodeU16PairReply(0x500A, 2, 1, 0), Hex("000C 500A 00000002 0001 0000"));
  EXPECT_EQ(EncodeAutoTidingReply(3, '1'), Hex("0009 5013 00000003 31"));
  EXPECT_EQ(EncodeLocalReply(0x5006, 1, {}), Hex("0008 5006 00000001"));
  EXPECT_EQ(EncodeTextFieldReply(0x5012, 0, "AA-BB", 32),
            Cat({Hex("0028 5012 00000000"), Text("AA-BB", 32)}));
  EXPECT_EQ(EncodeAccountReply(0x5000, 9, "a@b.c", "pw"),
            Cat({Hex("0048 5000 00000009"), Text("a@b.c", 32), Text("pw", 32)}));
  // A text that fills its field is cut to leave the terminator.
  const WireBytes full = EncodeTextFieldReply(0x5010, 0, std::string(40, 'p'), 32);
  EXPECT_EQ(WireBytes(full.begin() + 8, full.end()), Text(std::string(31, 'p'), 32));
}

TEST(ProtoLocalApi, VersionRecord) {
  VerAndTypeInfo info;
  info.identity = "id-1";
  info.hostName = "pc";
  EXPECT_EQ(EncodeVerAndTypeReply(4, info),
            Cat({Hex("008C 1013 00000004 0002 0007"), Text("id-1", 64), Text("pc", 64)}));
}

TEST(ProtoLocalApi, DefShareBothWays) {
  const std::vector<std::string> six = {"/d", "/d/Pictures", "/d/Music", "/d/Videos", "/d/Docs",
                                        "/d/Pictures/Instant"};
  const WireBytes reply = EncodeDefShareReply(1, six);
  WireBytes body;
  for (const std::string& f : six) {
    const WireBytes field = Text(f, 260);
    body.insert(body.end(), field.begin(), field.end());
  }
  EXPECT_EQ(reply, Cat({Hex("0620 5004 00000001"), body}));

  std::vector<std::string> back;
  ASSERT_TRUE(DecodeDefShareInfo(wire::Reader(body.data(), body.size()), back));
  EXPECT_EQ(back, six);
  EXPECT_FALSE(DecodeDefShareInfo(wire::Reader(body.data(), body.size() - 1), back));
  WireBytes unterminated(1560, 'x');
  ASSERT_TRUE(DecodeDefShareInfo(wire::Reader(unterminated.data(), unterminated.size()), back));
  EXPECT_EQ(back[5], std::string(260, 'x')) << "a field without a zero is read to its width";
}

TEST(ProtoLocalApi, TransLogRecord) {
  TransLogWire rec;
  rec.type = 1;
  rec.size = 0x01020304;
  rec.time = "2026-12-10 12:00:00";
  rec.file = "/s/a.txt";
  uint8_t out[kTransLogRecordSize];
  EncodeTransLogRecord(rec, out);
  EXPECT_EQ(WireBytes(out, out + kTransLogRecordSize),
            Cat({Hex("0001 0000 01020304"), Text("2026-12-10 12:00:00", 30), Text("/s/a.txt", 260),
                 WireBytes(2, 0)}));
}

TEST(ProtoLocalApi, LinesStopAtTheLastWholeLineThatFits) {
  EXPECT_EQ(JoinLinesWithin({}, 100), "");
  EXPECT_EQ(JoinLinesWithin({"/a", "/b"}, 100), "/a\r\n/b\r\n");
  EXPECT_EQ(JoinLinesWithin({"/a", "/bb", "/c"}, 9), "/a\r\n/bb\r\n");
  EXPECT_EQ(JoinLinesWithin({"/a", "/bb", "/c"}, 8), "/a\r\n") << "never half a line";
}

}  // namespace
