// Central-server frames: golden bytes written from the layouts (offsets and byte order), and
// decoders that refuse bodies shorter than their layout.
#include <gtest/gtest.h>

#include <cstring>

#include "common/proto_central.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put(Bytes& b, size_t off, const char* text) { std::memcpy(b.data() + off, text, std::strlen(text)); }

TEST(ProtoCentral, RelayHeaderAndReplyHeaderGoldenBytes) {
  RelayHeader h;
  h.len = 0x0102;
  h.command = 0x1001;
  h.identity = "id-7";
  Bytes got(kRelayHeaderSize);
  EncodeRelayHeader(h, got.data());
  Bytes want(70, 0);
  want[0] = 0x01; want[1] = 0x02;  // total
  want[2] = 0x00; want[3] = 0x07;  // version 7
  want[4] = 0x10; want[5] = 0x01;  // command
  Put(want, 6, "id-7");
  EXPECT_EQ(got, want);
  const RelayHeader back = DecodeRelayHeader(want.data());
  EXPECT_EQ(back.len, 0x0102);
  EXPECT_EQ(back.version, 7);
  EXPECT_EQ(back.identity, "id-7");

  // A 64-byte identity without a zero counts as full and is read within its field.
  Bytes full(70, 'x');
  EXPECT_EQ(DecodeRelayHeader(full.data()).identity, std::string(64, 'x'));

  const Bytes reply = BuildServerReply(0x1001, {0xAA});
  EXPECT_EQ(reply, (Bytes{0x00, 0x09, 0, 0, 0, 0, 0x10, 0x01, 0xAA}));
  const ServerReplyHeader r = DecodeServerReplyHeader(reply.data());
  EXPECT_EQ(r.len, 9);
  EXPECT_EQ(r.status, 0x1001);
}

TEST(ProtoCentral, BodyGoldenBytes) {
  LogOnRequest logon;
  logon.email = "a@b.c";
  logon.password = "dlpa9KqwRD2syjTBL7nze1";
  logon.sysType = 2;
  logon.osName = "Debian";
  logon.mac = "00-11-22-33-44-55";
  Bytes want(132, 0);
  Put(want, 0, "a@b.c");
  Put(want, 32, "dlpa9KqwRD2syjTBL7nze1");
  want[64] = 0; want[65] = 2;
  Put(want, 68, "Debian");
  Put(want, 100, "00-11-22-33-44-55");
  EXPECT_EQ(EncodeLogOnRequest(logon), want);

  SVInfo sv;
  sv.localIp = 0xC0A80064;  // 192.168.0.100
  sv.externalPort = 61716;
  sv.commandPort = 15002;
  sv.sysType = 2;
  sv.computerName = "desk";
  want.assign(212, 0);
  want[8] = 192; want[9] = 168; want[10] = 0; want[11] = 100;
  want[12] = 0xF1; want[13] = 0x14;  // 61716
  want[16] = 0x3A; want[17] = 0x9A;  // 15002
  want[19] = 2;
  Put(want, 84, "desk");
  EXPECT_EQ(EncodeSVInfo(sv), want);

  PowerOnInfo on;
  on.sysType = 2;
  on.email = "a@b.c";
  on.mac = "00-11-22-33-44-55";
  on.computerName = "desk";
  want.assign(162, 0);
  want[0] = 2; want[1] = 0;  // the one little-endian field
  Put(want, 2, "a@b.c");
  Put(want, 34, "00-11-22-33-44-55");
  Put(want, 98, "desk");
  EXPECT_EQ(EncodePowerOnInfo(on), want);

  DiskInfo d1{2, 0x01020304, "00-11-22-33-44-55", "/"};
  DiskInfo d2{2, 7, "00-11-22-33-44-55", "/dev/shm"};
  want.assign(2 * 296, 0);
  want[1] = 2;
  want[4] = 1; want[5] = 2; want[6] = 3; want[7] = 4;
  Put(want, 8, "00-11-22-33-44-55");
  Put(want, 40, "/");
  want[296 + 1] = 2;
  want[296 + 7] = 7;
  Put(want, 296 + 8, "00-11-22-33-44-55");
  Put(want, 296 + 40, "/dev/shm");
  EXPECT_EQ(EncodeDiskInfoList({d1, d2}), want);

  want.assign(64, 0);
  Put(want, 0, "a@b.c");
  Put(want, 32, "secret");
  EXPECT_EQ(EncodeAccountText({"a@b.c", "secret"}), want);

  want.assign(64, 0);
  Put(want, 0, "abc");
  EXPECT_EQ(EncodeIdentityReply("abc"), want);

  const Bytes msg = BuildServerRequest(kCmdDiskInfo, "id", EncodeDiskInfoList({d1, d2}));
  EXPECT_EQ(msg.size(), 70u + 2 * 296);
  EXPECT_EQ(msg[0], (70 + 592) >> 8);
  EXPECT_EQ(msg[1], (70 + 592) & 0xFF);
}

TEST(ProtoCentral, DecodersRoundTripAndRefuseShortBodies) {
  const Bytes logon = EncodeLogOnRequest({"a@b.c", "pw", 2, "os", "mac"});
  LogOnRequest l;
  ASSERT_TRUE(DecodeLogOnRequest(logon.data(), logon.size(), l));
  EXPECT_EQ(l.email, "a@b.c");
  EXPECT_EQ(l.mac, "mac");
  SVInfo sv;
  const Bytes svb = EncodeSVInfo({0x7F000001, 1, 2, 2, "pc"});
  ASSERT_TRUE(DecodeSVInfo(svb.data(), svb.size(), sv));
  EXPECT_EQ(sv.localIp, 0x7F000001u);
  EXPECT_EQ(sv.computerName, "pc");
  PowerOnInfo on;
  const Bytes onb = EncodePowerOnInfo({0x0102, "e", "m", "c"});
  ASSERT_TRUE(DecodePowerOnInfo(onb.data(), onb.size(), on));
  EXPECT_EQ(on.sysType, 0x0102);

  struct Case {
    const char* name;
    size_t need;
    bool (*decode)(const uint8_t*, size_t);
  };
  const Case cases[] = {
      {"log-on", 132, [](const uint8_t* p, size_t n) { LogOnRequest x; return DecodeLogOnRequest(p, n, x); }},
      {"server info", 212, [](const uint8_t* p, size_t n) { SVInfo x; return DecodeSVInfo(p, n, x); }},
      {"power-on", 162, [](const uint8_t* p, size_t n) { PowerOnInfo x; return DecodePowerOnInfo(p, n, x); }},
      {"account", 64, [](const uint8_t* p, size_t n) { AccountText x; return DecodeAccountText(p, n, x); }},
      {"disks", 296, [](const uint8_t* p, size_t n) { std::vector<DiskInfo> x; return DecodeDiskInfoList(p, n, x); }},
  };
  const Bytes big(1000, 0);
  for (const Case& c : cases) {
    EXPECT_TRUE(c.decode(big.data(), c.need)) << c.name;
    EXPECT_FALSE(c.decode(big.data(), c.need - 1)) << c.name;
    EXPECT_FALSE(c.decode(nullptr, 0)) << c.name;
  }
  std::vector<DiskInfo> disks;
  EXPECT_FALSE(DecodeDiskInfoList(big.data(), 296 + 10, disks)) << "not a whole number of records";
  EXPECT_EQ(DecodeIdentityReply(reinterpret_cast<const uint8_t*>("abc"), 3), "abc");
}

}  // namespace
