// Peer-to-peer and discovery layouts against bytes written from the layouts themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/proto_p2p.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const uint8_t* p, size_t n) { return Bytes(p, p + n); }

TEST(ProtoP2P, HolePunchGoldenBytesAndRoundTrip) {
  HolePunchBody b;
  b.source = 1;
  b.addrA = 0x01020304;  // 1.2.3.4
  b.portA = 5000;
  b.addrB = 0x0A000002;  // 10.0.0.2
  b.portB = 6000;
  b.extra = 0xA1B2C3D4;
  b.extraWords[0] = 0x1112;
  b.extraWords[3] = 0x4142;
  uint8_t out[kHolePunchSize];
  EncodeHolePunch(b, out);
  const Bytes want = {0, 32, 0, 7, 0, 3,                          // header
                      0, 1, 1, 2, 3, 4, 0x13, 0x88,               // source, A, port A
                      10, 0, 0, 2, 0x17, 0x70,                    // B, port B
                      0xA1, 0xB2, 0xC3, 0xD4,                     // passed on
                      0x11, 0x12, 0, 0, 0, 0, 0x41, 0x42};
  EXPECT_EQ(Of(out, sizeof out), want);
  const HolePunchBody back = DecodeHolePunchBody(out + kP2PHeaderSize);
  EXPECT_EQ(back.addrA, b.addrA);
  EXPECT_EQ(back.portB, b.portB);
  EXPECT_EQ(back.extra, b.extra);
  EXPECT_EQ(back.extraWords[3], 0x4142);
}

TEST(ProtoP2P, AckGoldenBytes) {
  uint8_t out[kHoleAckSize];
  EncodeHoleAck(kP2PCmdHolePunch, {0, 0x0A000002, 6000, 0x01020304, 5000}, out);
  const Bytes want = {0, 20, 0, 7, 0, 3, 0, 0, 10, 0, 0, 2, 0x17, 0x70, 1, 2, 3, 4, 0x13, 0x88};
  EXPECT_EQ(Of(out, sizeof out), want);
  const HoleAckBody back = DecodeHoleAckBody(out + kP2PHeaderSize);
  EXPECT_EQ(back.addr2, 0x01020304u);
  EXPECT_EQ(back.port2, 5000);
}

TEST(ProtoP2P, HeartBeatLayout) {
  const uint8_t mac[6] = {0x02, 0xAB, 0, 0, 0x10, 0xFF};
  uint8_t out[kHeartBeatSize];
  EncodeHeartBeat("pc-name", mac, "owner@example.org", out);
  EXPECT_EQ(Of(out, 6), (Bytes{0, 150, 0, 7, 0, 5}));
  const uint8_t* body = out + 6;
  EXPECT_EQ(Of(body, 16), Bytes(16, 0));
  EXPECT_STREQ(reinterpret_cast<const char*>(body + 16), "pc-name");
  EXPECT_EQ(Of(body + 48, 6), Of(mac, 6));
  EXPECT_EQ(Of(body + 54, 26), Bytes(26, 0));
  EXPECT_STREQ(reinterpret_cast<const char*>(body + 80), "owner@example.org");
  EXPECT_EQ(Of(body + 112, 32), Bytes(32, 0));
  const HeartBeatInfo info = DecodeHeartBeatBody(body);
  EXPECT_EQ(info.email, "owner@example.org");
  EXPECT_EQ(info.name, "pc-name");
}

TEST(ProtoP2P, DiscoveryReplyLayoutKeepsPasswordFieldZero) {
  DiscoveryReply r;
  r.email = "owner@example.org";
  r.adapterIp = 0xC0A80105;  // 192.168.1.5
  r.commandPort = 15002;
  r.name = "desk";
  r.identity = "id-1";
  uint8_t out[kDiscoveryReplySize];
  EncodeDiscoveryReply(r, out);
  EXPECT_EQ(Of(out, 6), (Bytes{'q', 'v', 0, 7, 0, 2}));
  EXPECT_STREQ(reinterpret_cast<const char*>(out + 6), "owner@example.org");
  EXPECT_EQ(Of(out + 38, 32), Bytes(32, 0));
  EXPECT_EQ(Of(out + 70, 8), (Bytes{192, 168, 1, 5, 0x3A, 0x9A, 0, 0}));
  EXPECT_STREQ(reinterpret_cast<const char*>(out + 78), "desk");
  EXPECT_STREQ(reinterpret_cast<const char*>(out + 142), "id-1");
}

TEST(ProtoP2P, RendezvousRequestRoundTrip) {
  RendezvousRequest r;
  r.email = "a@b.c";
  r.password = "hash";
  r.mac[5] = 7;
  uint8_t out[kRendezvousSize];
  EncodeRendezvousRequest(r, out);
  EXPECT_EQ(Of(out, 6), (Bytes{0, 102, 0, 7, 0, 6}));
  const RendezvousRequest back = DecodeRendezvousBody(out + 6);
  EXPECT_EQ(back.email, "a@b.c");
  EXPECT_EQ(back.password, "hash");
  EXPECT_EQ(back.mac[5], 7);
}

TEST(ProtoP2P, ParseMacAddrTable) {
  struct Case { const char* text; Bytes want; } cases[] = {
      {"00-1A-2B-3C-4D-5E", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
      {"aa:bb:cc:dd:ee:ff", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
      {"0102030405060708", {1, 2, 3, 4, 5, 6}},  // stops after 12 digits
      {"x1y2-zz3", {0x12, 0x30, 0, 0, 0, 0}},    // other characters skipped
      {"", {0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    uint8_t out[6];
    std::memset(out, 0x55, sizeof out);
    ParseMacAddr(c.text, out);
    EXPECT_EQ(Of(out, 6), c.want) << c.text;
  }
}

TEST(ProtoP2P, CutUtf8NeverSplitsACharacter) {
  const std::string euro = "\xE2\x82\xAC";  // three bytes
  struct Case { std::string text; size_t max; std::string want; } cases[] = {
      {"abc", 31, "abc"},
      {"ab" + euro, 4, "ab"},
      {"ab" + euro, 5, "ab" + euro},
      {std::string(30, 'x') + euro, 31, std::string(30, 'x')},
      {"\xC3\xA9", 1, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(CutUtf8(c.text, c.max), c.want) << c.max;
  DiscoveryReply r;
  r.name = std::string(62, 'n') + euro;
  uint8_t out[kDiscoveryReplySize];
  EncodeDiscoveryReply(r, out);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out + 78)), std::string(62, 'n'));
}

TEST(ProtoP2P, UdtMessageHeaderChecksTotalAgainstReceived) {
  struct Case { uint16_t total; size_t received; bool ok; } cases[] = {
      {8, 8, true}, {100, 1000, true}, {1000, 1000, true},
      {3000, 1000, false},  // claims more than arrived
      {7, 1000, false},     // below its own size
      {2048, 2048, true}, {2049, 4096, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> msg(c.received < 8 ? 8 : c.received, 0);
    EncodeCommandHeader({c.total, 0x100, 9}, msg.data());
    CommandHeader h;
    EXPECT_EQ(UdtMessageHeader(msg.data(), c.received, h), c.ok) << c.total << "/" << c.received;
  }
  CommandHeader h;
  const uint8_t shortMsg[7] = {0, 7, 0, 1, 0, 0, 0};
  EXPECT_FALSE(UdtMessageHeader(shortMsg, sizeof shortMsg, h));
}

TEST(ProtoP2P, DiscoveryRequestTable) {
  auto req = [](char a, char b, uint16_t type, size_t len) {
    Bytes r(len < 6 ? 6 : len, 0);
    r[0] = static_cast<uint8_t>(a);
    r[1] = static_cast<uint8_t>(b);
    wire::PutU16(r.data() + 4, type);
    r.resize(len);
    return r;
  };
  struct Case { Bytes data; bool ok; } cases[] = {
      {req('q', 'v', 4, 206), true}, {req('q', 'v', 5, 6), true},
      {req('q', 'v', 2, 206), false}, {req('Q', 'v', 4, 206), false},
      {req('q', 'v', 4, 5), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsDiscoveryRequest(c.data.data(), c.data.size()), c.ok);
  EXPECT_FALSE(IsDiscoveryRequest(nullptr, 0));
}

}  // namespace
