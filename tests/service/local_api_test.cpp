// The desktop program's local API against the real service in a temporary base folder: each
// operation as request bytes and expected reply bytes, the sqlite3 command-line tool as the
// independent check of what was written, and the same requests from a peer that is not
// loopback (a veth pair into a network namespace) answered with nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "common/proto_local_api.h"
#include "common/sockets.h"
#include "tests/support/desktop_standin.h"
#include "tests/support/device_client.h"
#include "tests/support/peer_namespace.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Header(uint16_t len, uint16_t op, uint32_t param) {
  return {uint8_t(len >> 8), uint8_t(len), uint8_t(op >> 8), uint8_t(op),
          uint8_t(param >> 24), uint8_t(param >> 16), uint8_t(param >> 8), uint8_t(param)};
}
Bytes U32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

class LocalApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dirs = m_base.MakeDefaultDirs();
    m_base.Exec("insert into qv_user(email, psw) values('me@x.org', 'pw-hash')");
    m_svc = std::make_unique<ServiceProcess>(m_base.Dir());
    m_svc->CopyPrograms();
    ASSERT_TRUE(m_svc->Start()) << m_svc->LogText();
    m_port = m_svc->WaitForPort();
    ASSERT_NE(m_port, 0);
  }

  // One request on a fresh connection, as the desktop program sends it; the whole reply, or
  // nothing when none arrives (a probe on the same connection shows that none is coming).
  std::optional<Bytes> Ask(uint16_t op, uint32_t param, const Bytes& body = {}) {
    DeviceClient c;
    EXPECT_TRUE(c.Connect("127.0.0.1", m_port));
    return AskOn(c, op, param, body);
  }
  static std::optional<Bytes> AskOn(DeviceClient& c, uint16_t op, uint32_t param, const Bytes& body) {
    const uint32_t probe = 0xC0FFEE;
    c.Send(op, param, body);
    c.Send(kOpGetVerAndType, probe);
    DeviceMessage m;
    if (!c.ReadMessage(m)) return Bytes{0xDE, 0xAD};
    Bytes whole = Concat({Header(m.header.len, m.header.opcode, m.header.param), m.body});
    if (m.header.opcode == kOpGetVerAndType && m.header.param == probe) return std::nullopt;
    DeviceMessage probeReply;
    c.ReadMessage(probeReply);
    return whole;
  }
  std::string Sql(const std::string& query) {
    // The running service may be committing (its transfer log, a setting): wait for it as a
    // reader of the same file would, rather than failing on "database is locked".
    const ProgramResult r = RunProgram({"/usr/bin/sqlite3", "-cmd", ".timeout 10000", m_base.DbPath(), query});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return r.output;
  }

  TempBase m_base;
  DefaultDirSet m_dirs;
  std::unique_ptr<ServiceProcess> m_svc;
  uint16_t m_port = 0;
};

TEST_F(LocalApiTest, AccountAndStatus) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string mac = GetMacAddr();
  const struct {
    const char* name;
    uint16_t op;
    Bytes body;
    Bytes reply;
  } cases[] = {
      {"log-on info", kOpGetLogOnInfo, {},
       Concat({Header(72, 0x5000, 1), TextField("me@x.org", 32), TextField("pw-hash", 32)})},
      {"transfers", kOpGetIsTraning, {}, Concat({Header(12, 0x500A, 1), Bytes{0, 0, 0, 0}})},
      {"no phone yet", kOpGetIsMobileLinked, {}, Concat({Header(12, 0x500B, 1), U32(0xFFFFFFFF)})},
      {"system type", kOpGetSysType, {}, Concat({Header(12, 0x500C, 1), U32(2)})},
      {"empty local password", kOpGetPwd, {}, Concat({Header(40, 0x5010, 1), Bytes(32, 0)})},
      {"set local password", kOpSetPwd, TextField("abc", 32),
       Concat({Header(12, 0x5011, 1), U32(0)})},
      {"local password", kOpGetPwd, {}, Concat({Header(40, 0x5010, 1), TextField("abc", 32)})},
      {"short password body", kOpSetPwd, Str("xy"), Concat({Header(12, 0x5011, 1), U32(0)})},
      {"unterminated password", kOpSetPwd, Bytes(40, 'q'), Concat({Header(12, 0x5011, 1), U32(0)})},
      {"cut password", kOpGetPwd, {},
       Concat({Header(40, 0x5010, 1), TextField(std::string(31, 'q'), 32)})},
      {"mac", kOpGetMac, {}, Concat({Header(40, 0x5012, 1), TextField(mac, 32)})},
  };
  for (const auto& c : cases) {
    const auto reply = Ask(c.op, 1, c.body);
    ASSERT_TRUE(reply.has_value()) << c.name;
    EXPECT_EQ(*reply, c.reply) << c.name;
  }
  EXPECT_EQ(Sql("select psw from qv_psw;"), std::string(32, 'q') + "\n")
      << "the stored text is what was sent, within its 32 bytes";

  // The log-on state: its shape (its value belongs to the account exchanges).
  const auto status = Ask(kOpLogOnStatues, 9);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(Bytes(status->begin(), status->begin() + 8), Header(12, 0x5001, 9));

  const auto ver = Ask(kOpGetVerAndType, 3);
  ASSERT_TRUE(ver.has_value());
  ASSERT_EQ(ver->size(), 140u);
  EXPECT_EQ(Bytes(ver->begin(), ver->begin() + 12), Concat({Header(140, 0x1013, 3), Bytes{0, 2, 0, 7}}));
  EXPECT_NE((*ver)[12], 0) << "an identity";
  EXPECT_EQ((*ver)[12 + 63], 0);
  EXPECT_EQ(Bytes(ver->begin() + 76, ver->end()), TextField(host, 64));

  // A phone's heartbeat makes the phone linked.
  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", m_port));
  ASSERT_TRUE(phone.Send(kOpDeviceHeartBeat, 1, {0}));
  DeviceMessage hb;
  ASSERT_TRUE(phone.ReadMessage(hb));
  EXPECT_EQ(Ask(kOpGetIsMobileLinked, 4), Concat({Header(12, 0x500B, 4), U32(0)}));
}

TEST_F(LocalApiTest, FoldersSharesLogAndSwitch) {
  // Default folders as stored, then replaced.
  Bytes six;
  for (const std::string* d : {&m_dirs.def, &m_dirs.pic, &m_dirs.music, &m_dirs.video, &m_dirs.doc,
                               &m_dirs.instant})
    six = Concat({six, TextField(*d, 260)});
  EXPECT_EQ(Ask(kOpGetDefShare, 2), Concat({Header(1568, 0x5004, 2), six}));
  Bytes other;
  for (const char* d : {"/n", "/n/P", "/n/M", "/n/V", "/n/D", "/n/P/I"})
    other = Concat({other, TextField(d, 260)});
  EXPECT_EQ(Ask(kOpSetDefShare, 2, other), Concat({Header(12, 0x5005, 2), U32(0)}));
  EXPECT_EQ(Sql("select def,def_pic,def_music,def_video,def_doc,def_instant from qv_defshare;"),
            "/n|/n/P|/n/M|/n/V|/n/D|/n/P/I\n");
  // A short set is refused and changes nothing; no body gets no reply.
  EXPECT_EQ(Ask(kOpSetDefShare, 2, Bytes(other.begin(), other.begin() + 1000)),
            Concat({Header(12, 0x5005, 2), U32(0xFFFFFFFF)}));
  EXPECT_EQ(Ask(kOpSetDefShare, 2), std::nullopt);
  EXPECT_EQ(Sql("select count(*) from qv_defshare where def='/n';"), "1\n");

  // Shares: empty list, a set with an empty line between and a trailing line end, none.
  EXPECT_EQ(Ask(kOpGetShare, 5), Header(8, 0x5006, 5));
  EXPECT_EQ(Ask(kOpSetShare, 5, Str("/s/a\r\n\r\n/s/b c\r\n")), Concat({Header(12, 0x5007, 5), U32(0)}));
  EXPECT_EQ(Sql("select path from qv_share order by rowid;"), "/s/a\n/s/b c\n");
  EXPECT_EQ(Ask(kOpGetShare, 5), Concat({Header(22, 0x5006, 5), Str("/s/a\r\n/s/b c\r\n")}));
  // Text after a zero byte is not part of the list.
  EXPECT_EQ(Ask(kOpSetShare, 5, Concat({Str("/s/z\r\n"), Bytes{0}, Str("/s/y\r\n")})),
            Concat({Header(12, 0x5007, 5), U32(0)}));
  EXPECT_EQ(Sql("select path from qv_share;"), "/s/z\n");
  EXPECT_EQ(Ask(kOpSetShare, 5), Concat({Header(12, 0x5007, 5), U32(0)}));
  EXPECT_EQ(Sql("select count(*) from qv_share;"), "0\n");

  // Folders: two visible sub-folders, a hidden one and a file; drives start at "/".
  const std::string top = m_base.MakeDir("browse");
  m_base.MakeDir("browse/one");
  m_base.MakeDir("browse/two");
  m_base.MakeDir("browse/.hidden");
  m_base.WriteFile("browse/file.txt", "x");
  const auto listing = Ask(kOpGetPath, 6, Str(top));
  ASSERT_TRUE(listing.has_value());
  std::string lines(listing->begin() + 8, listing->end());
  EXPECT_EQ(Bytes(listing->begin(), listing->begin() + 8), Header(uint16_t(listing->size()), 0x5008, 6));
  EXPECT_TRUE(lines == top + "/one\r\n" + top + "/two\r\n" || lines == top + "/two\r\n" + top + "/one\r\n")
      << lines;
  EXPECT_EQ(Ask(kOpGetPath, 6, Str(top + "/one")), Header(8, 0x5008, 6));
  EXPECT_EQ(Ask(kOpGetPath, 6, Str(top + "/missing")), Header(8, 0x5008, 6));
  const auto drives = Ask(kOpGetPath, 6);
  ASSERT_TRUE(drives.has_value());
  EXPECT_EQ(std::string(drives->begin() + 8, drives->begin() + 11), "/\r\n");

  // Transfer log: empty, two rows, cleared.
  EXPECT_EQ(Ask(kOpGetTransLog, 7), Header(8, 0x5009, 7));
  m_base.Exec("insert into qv_trans(type,status,file,size,time) values(1,0,'/s/a.txt',1234,'2026-12-10 10:00:00')");
  m_base.Exec("insert into qv_trans(type,status,file,size,time) values(0,0,'/s/b.txt',5,'2026-12-10 10:00:01')");
  const Bytes rec1 = Concat({Bytes{0, 1, 0, 0}, U32(1234), TextField("2026-12-10 10:00:00", 30),
                             TextField("/s/a.txt", 260), Bytes(2, 0)});
  const Bytes rec2 = Concat({Bytes{0, 0, 0, 0}, U32(5), TextField("2026-12-10 10:00:01", 30),
                             TextField("/s/b.txt", 260), Bytes(2, 0)});
  EXPECT_EQ(Ask(kOpGetTransLog, 7), Concat({Header(608, 0x5009, 7), rec1, rec2}));
  EXPECT_EQ(Ask(kOpClearLog, 7), Concat({Header(12, 0x500F, 7), U32(0)}));
  EXPECT_EQ(Sql("select count(*) from qv_trans;"), "0\n");

  // The auto-sorting switch: read, set, a bad character ignored, never a reply to a set.
  EXPECT_EQ(Ask(kOpGetAutoTiding, 8), Concat({Header(9, 0x5013, 8), Str("0")}));
  EXPECT_EQ(Ask(kOpSetAutoTiding, 8, Str("1")), std::nullopt);
  EXPECT_EQ(Sql("select TidingStatus from AutoTiding where TidingName='TidingByDate';"), "1\n");
  EXPECT_EQ(Ask(kOpSetAutoTiding, 8, Str("2")), std::nullopt);
  EXPECT_EQ(Ask(kOpSetAutoTiding, 8), std::nullopt);
  EXPECT_EQ(Ask(kOpGetAutoTiding, 8), Concat({Header(9, 0x5013, 8), Str("1")}));
  EXPECT_EQ(Sql("select count(*) from AutoTiding;"), "1\n");
}

TEST_F(LocalApiTest, LongListsStopAtTheLastWholeLine) {
  // 300 shares of 250 bytes pass the 65535-byte reply: it carries the whole lines that fit.
  std::vector<std::string> shares;
  for (int i = 0; i < 300; ++i) {
    std::string name = "/" + std::to_string(1000 + i);
    shares.push_back(name + std::string(250 - name.size(), 'p'));
  }
  m_base.SetShares(shares);
  const auto reply = Ask(kOpGetShare, 1);
  ASSERT_TRUE(reply.has_value());
  const size_t fit = (65535 - 8) / 252;
  ASSERT_EQ(reply->size(), 8 + fit * 252);
  EXPECT_EQ(Bytes(reply->begin(), reply->begin() + 8), Header(uint16_t(8 + fit * 252), 0x5006, 1));
  EXPECT_EQ(std::string(reply->end() - 252, reply->end()), shares[fit - 1] + "\r\n");
}

TEST_F(LocalApiTest, OnlyLoopbackPeersGetTheLocalApi) {
  PeerNamespace ns;
  const std::string err = ns.Create();
  ASSERT_EQ(err, "") << err;
  DeviceClient remote;
  const int fd = ns.Connect(m_port);
  ASSERT_GE(fd, 0);
  remote.Adopt(fd);
  for (uint16_t op : {kOpGetLogOnInfo, kOpGetShare, kOpGetPwd, kOpGetMac, kOpGetTransLog, kOpClearLog,
                      kOpGetPath, kOpSetShare, kOpSetPwd})
    EXPECT_EQ(AskOn(remote, op, 1, {}), std::nullopt) << std::hex << op;
  EXPECT_EQ(Sql("select count(*) from qv_psw;"), "0\n") << "nothing written for a remote peer";
  // Open to phones: the version record and the auto-sorting switch.
  const auto tiding = AskOn(remote, kOpGetAutoTiding, 1, {});
  ASSERT_TRUE(tiding.has_value());
  EXPECT_EQ(*tiding, Concat({Header(9, 0x5013, 1), Str("0")}));
}

// The fixed ports as the desktop program and browsers expect them: run by ctest inside a
// network namespace of its own (QUARLO_OWN_NETNS set), skipped anywhere else.
TEST(FixedPorts, DesktopQuestionOn15003AndFilesOn15008) {
  if (!std::getenv("QUARLO_OWN_NETNS")) GTEST_SKIP() << "needs a network namespace of its own";
  TempBase base;
  const std::string share = base.MakeDir("share");
  base.SetShares({share});
  base.WriteFile("share/a.txt", "over http");
  DesktopStandIn desktop;
  ASSERT_TRUE(desktop.Start([](const Bytes& p) { return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(p, 0)}; },
                            15003));
  ServiceProcess svc(base.Dir());
  svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=15008");  // the service's own default, restored
  svc.CopyPrograms();
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  const uint16_t port = svc.WaitForPort();
  ASSERT_NE(port, 0);

  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", port));
  ASSERT_TRUE(
      phone.Send(kOpDeviceLogin, 0, Concat({TextField("someone@x.org", 32), TextField("pw", 32)})));
  DeviceMessage m;
  ASSERT_TRUE(phone.ReadMessage(m, seconds(20)));
  EXPECT_EQ(Concat({Header(m.header.len, m.header.opcode, m.header.param), m.body}),
            Concat({Header(12, 0x0008, 0), Bytes{0, 0, 0, 0}}));
  EXPECT_EQ(desktop.Questions().size(), 1u);

  const ProgramResult got = RunProgram(
      {"/usr/bin/curl", "-s", "--max-time", "10", "http://127.0.0.1:15008" + share + "/a.txt"});
  EXPECT_EQ(got.exitCode, 0);
  EXPECT_EQ(got.output, "over http");
  EXPECT_NE(svc.LogText().find("httpServer running on port 15008"), std::string::npos);
}

}  // namespace
