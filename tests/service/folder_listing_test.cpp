#include "service/transfers/folder_listing.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/wire.h"
#include "service/core/deferred_reply.h"
#include "service/transfers/download.h"
#include "service/core/peer_send.h"
#include "service/core/pool_request.h"
#include "service/service_globals.h"
#include "service/transfers/transfer_sessions.h"
#include "tests/service/transfer_test_support.h"
#include "tests/support/device_client.h"
#include "tests/support/temp_base.h"

namespace {

constexpr size_t kRequestSize = 356;
constexpr size_t kRefusalSize = 368;

struct Line {
  std::string time, type, size, name;
  bool operator<(const Line& o) const { return name < o.name; }
  bool operator==(const Line& o) const {
    return time == o.time && type == o.type && size == o.size && name == o.name;
  }
};

std::vector<Line> ParseLines(const std::string& text) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "line without CRLF: " << text.substr(pos);
      break;
    }
    std::string row = text.substr(pos, end - pos);
    pos = end + 2;
    Line l;
    size_t a = row.find('\t'), b = row.find('\t', a + 1), c = row.find('\t', b + 1);
    if (a == std::string::npos || b == std::string::npos || c == std::string::npos) {
      ADD_FAILURE() << "line without four fields: " << row;
      continue;
    }
    l.time = row.substr(0, a);
    l.type = row.substr(a + 1, b - a - 1);
    l.size = row.substr(b + 1, c - b - 1);
    l.name = row.substr(c + 1);
    lines.push_back(l);
  }
  return lines;
}

// What the folder holds according to find(1), in the listing's own line format.
std::set<Line> FindEntries(const std::string& dir) {
  std::set<Line> out;
  std::string cmd = "find '" + dir + "' -mindepth 1 -maxdepth 1 -printf '%Ts\\t%y\\t%s\\t%f\\n'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[1024];
  while (std::fgets(buf, sizeof buf, p)) {
    std::string row(buf);
    if (!row.empty() && row.back() == '\n') row.pop_back();
    size_t a = row.find('\t'), b = row.find('\t', a + 1), c = row.find('\t', b + 1);
    time_t t = time_t(std::stoll(row.substr(0, a)));
    tm local{};
    localtime_r(&t, &local);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
    const bool isDir = row.substr(a + 1, b - a - 1) == "d";
    out.insert({when, isDir ? "0" : "1", isDir ? "0" : row.substr(b + 1, c - b - 1),
                row.substr(c + 1)});
  }
  pclose(p);
  return out;
}

struct Package {
  uint32_t count = 0;
  Bytes totalBytes;  // bytes 12-15 as sent
  Bytes marker;      // bytes 16-19
  std::vector<Line> lines;
};

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureServiceMutexes();
    m_base.OpenGlobalDb();
    m_share = m_base.MakeDir("share");
    m_base.SetShares({m_share});
    OS_ClearRegistry();
    OS_RegFunction(&GetShareInfo, kOpGetShareInfo);
    OS_RegFunction(&GetAllSubFile, kOpGetAllSubFile, ListPlacer());
    ASSERT_TRUE(m_server.Start());
    // A small window: the service's output waits on this phone's reading.
    const int small = 16 * 1024;
    m_device.Close();
    ASSERT_TRUE(m_device.Connect("127.0.0.1", m_server.Port()));
    setsockopt(m_device.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
  void TearDown() override {
    m_server.Stop();
    OS_ClearRegistry();
  }
  // Where the listing handler runs: on the loop here, on a pool task in PooledListingTest.
  virtual RequestPlacer ListPlacer() { return nullptr; }

  // Folder <share>/<rel> with `folders` sub-folders and `files` files of growing sizes.
  std::string Fill(const std::string& rel, int folders, int files) {
    std::string dir = m_base.MakeDir("share/" + rel);
    for (int i = 0; i < folders; ++i) m_base.MakeDir("share/" + rel + "/dir" + std::to_string(i));
    for (int i = 0; i < files; ++i)
      m_base.WriteFile("share/" + rel + "/file" + std::to_string(i) + ".txt",
                       std::string(size_t(i * 37), 'x'));
    return dir;
  }

  // Reads the listing messages until the entries add up to the total of the first one.
  std::vector<Package> ReadListing(uint32_t param, bool bigEndianTotal = true) {
    std::vector<Package> out;
    uint32_t seen = 0, total = 0;
    do {
      DeviceMessage msg;
      if (!m_device.ReadMessage(msg)) {
        ADD_FAILURE() << "listing message missing after " << out.size();
        break;
      }
      EXPECT_EQ(msg.header.opcode, kOpGetAllSubFile);
      EXPECT_EQ(msg.header.param, param);
      if (msg.body.size() < 12) {
        ADD_FAILURE() << "short listing message";
        break;
      }
      Package p;
      p.count = wire::GetU32(msg.body.data());
      p.totalBytes.assign(msg.body.begin() + 4, msg.body.begin() + 8);
      p.marker.assign(msg.body.begin() + 8, msg.body.begin() + 12);
      p.lines = ParseLines(std::string(msg.body.begin() + 12, msg.body.end()));
      EXPECT_EQ(p.lines.size(), p.count);
      total = bigEndianTotal ? wire::GetU32(p.totalBytes.data())
                             : wire::GetU32LE(p.totalBytes.data());
      seen += p.count;
      out.push_back(p);
      if (p.count == 0) break;
    } while (seen < total);
    return out;
  }

  // The 368-byte refusal: header with the echoed parameter, everything else zero.
  void ExpectRefusal(uint32_t param, const std::string& why) {
    DeviceMessage msg;
    ASSERT_TRUE(m_device.ReadMessage(msg)) << why;
    EXPECT_EQ(msg.header.len, kRefusalSize) << why;
    EXPECT_EQ(msg.header.opcode, kOpGetAllSubFile) << why;
    EXPECT_EQ(msg.header.param, param) << why;
    EXPECT_EQ(msg.body, Bytes(kRefusalSize - 8, 0)) << why;
  }

  TempBase m_base;
  std::string m_share;
  TestCommandServer m_server;
  DeviceClient m_device;
};

TEST_F(ListingTest, PackagesOfFourCarryTheTotalFoldersFirst) {
  struct Case {
    int folders, files;
    std::vector<uint32_t> counts;
  } cases[] = {
      {0, 1, {1}}, {2, 2, {4}}, {1, 4, {4, 1}}, {3, 5, {4, 4}}, {4, 5, {4, 4, 1}},
  };
  uint32_t param = 100;
  for (const auto& c : cases) {
    const std::string rel = "d" + std::to_string(c.folders) + "_" + std::to_string(c.files);
    const std::string dir = Fill(rel, c.folders, c.files);
    ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, ++param, PathRequestBody(dir)));
    const auto pkgs = ReadListing(param);

    std::vector<uint32_t> counts;
    std::vector<Line> all;
    for (const auto& p : pkgs) {
      counts.push_back(p.count);
      EXPECT_EQ(wire::GetU32(p.totalBytes.data()), uint32_t(c.folders + c.files)) << rel;
      EXPECT_EQ(p.marker, (Bytes{'1', 0, 0, 0})) << rel;
      all.insert(all.end(), p.lines.begin(), p.lines.end());
    }
    EXPECT_EQ(counts, c.counts) << rel;
    auto firstFile = std::find_if(all.begin(), all.end(), [](const Line& l) { return l.type == "1"; });
    EXPECT_TRUE(std::all_of(firstFile, all.end(), [](const Line& l) { return l.type == "1"; }))
        << rel << ": folders must come first";
    EXPECT_EQ(std::set<Line>(all.begin(), all.end()), FindEntries(dir)) << rel;
  }
}

// Links are listed with what they lead to only when that lies inside the shares; FIFOs and
// links that lead out are not listed at all.
TEST_F(ListingTest, LinksLeadingOutAreNotListed) {
  const std::string dir = m_base.MakeDir("share/links");
  m_base.WriteFile("share/links/plain.txt", "abc");
  m_base.WriteFile("share/elsewhere/inside.txt", std::string(4321, 'i'));
  m_base.WriteFile("outside/secret.txt", std::string(98765, 's'));
  m_base.MakeDir("outside/folder");
  ASSERT_EQ(symlink((m_share + "/elsewhere/inside.txt").c_str(), (dir + "/in").c_str()), 0);
  ASSERT_EQ(symlink((m_share + "/elsewhere").c_str(), (dir + "/indir").c_str()), 0);
  ASSERT_EQ(symlink((m_base.Dir() + "/outside/secret.txt").c_str(), (dir + "/out").c_str()), 0);
  ASSERT_EQ(symlink((m_base.Dir() + "/outside/folder").c_str(), (dir + "/outdir").c_str()), 0);
  ASSERT_EQ(symlink("/nowhere", (dir + "/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0644), 0);

  ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, 5, PathRequestBody(dir)));
  std::map<std::string, std::pair<std::string, std::string>> seen;  // name -> type, size
  for (const auto& p : ReadListing(5)) {
    for (const auto& l : p.lines) seen[l.name] = {l.type, l.size};
  }
  const std::map<std::string, std::pair<std::string, std::string>> expected = {
      {"plain.txt", {"1", "3"}}, {"in", {"1", "4321"}}, {"indir", {"0", "0"}}};
  EXPECT_EQ(seen, expected);
}

TEST_F(ListingTest, EmptyFolderIsRefusedAndTheConnectionGoesOn) {
  const std::string dir = Fill("empty", 0, 0);
  ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, 7, PathRequestBody(dir)));
  ExpectRefusal(7, "empty folder");
  // Nothing else was queued behind the refusal: the next answer is the next listing.
  const std::string other = Fill("one", 0, 1);
  ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, 8, PathRequestBody(other)));
  const auto pkgs = ReadListing(8);
  ASSERT_EQ(pkgs.size(), 1u);
  EXPECT_EQ(pkgs[0].lines.at(0).name, "file0.txt");
}

TEST_F(ListingTest, TotalIsLittleEndianUnlessFlagIsOne) {
  const std::string dir = Fill("le", 1, 4);  // 5 entries: 4 + 1
  for (char flag : {'0', '\0', 'x'}) {
    ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, 9, PathRequestBody(dir, flag)));
    const auto pkgs = ReadListing(9, false);
    ASSERT_EQ(pkgs.size(), 2u) << int(flag);
    for (const auto& p : pkgs) {
      EXPECT_EQ(p.totalBytes, (Bytes{5, 0, 0, 0})) << int(flag);
      EXPECT_EQ(p.lines.size(), p.count);  // the per-message count stays big-endian
    }
    EXPECT_EQ(pkgs[0].count, 4u);
    EXPECT_EQ(pkgs[1].count, 1u);
  }
}

TEST_F(ListingTest, NamesThatWouldBreakTheLineFormatAreLeftOut) {
  const std::string dir = Fill("odd", 0, 0);
  m_base.WriteFile("share/odd/tab\there.txt", "a");
  m_base.WriteFile("share/odd/new\nline.txt", "b");
  m_base.WriteFile("share/odd/cr\rname", "c");
  m_base.WriteFile("share/odd/plain name.txt", "abc");
  ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, 10, PathRequestBody(dir)));
  const auto pkgs = ReadListing(10);
  ASSERT_EQ(pkgs.size(), 1u);
  EXPECT_EQ(wire::GetU32(pkgs[0].totalBytes.data()), 1u);
  ASSERT_EQ(pkgs[0].lines.size(), 1u);
  EXPECT_EQ(pkgs[0].lines[0].name, "plain name.txt");
  EXPECT_EQ(pkgs[0].lines[0].size, "3");
}

TEST_F(ListingTest, SizesAreTheWhole64BitSize) {
  const std::string dir = Fill("big", 0, 0);
  const std::string file = dir + "/sparse.bin";
  {
    std::ofstream f(file, std::ios::binary);
  }
  ASSERT_EQ(truncate(file.c_str(), (5ll << 30) + 3), 0);  // sparse: no disk space used
  ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, 11, PathRequestBody(dir)));
  const auto pkgs = ReadListing(11);
  ASSERT_EQ(pkgs.size(), 1u);
  ASSERT_EQ(pkgs[0].lines.size(), 1u);
  EXPECT_EQ(pkgs[0].lines[0].size, "5368709123");
}

TEST_F(ListingTest, PathsOutsideTheSharesAndBadRequestsAreRefused) {
  const std::string outside = m_base.MakeDir("outside");
  m_base.WriteFile("outside/secret.txt", "s");
  const std::string sibling = m_base.MakeDir("share2");  // shares the share's text as prefix
  m_base.WriteFile("share2/x.txt", "x");
  ASSERT_EQ(symlink(outside.c_str(), (m_share + "/escape").c_str()), 0);
  m_base.WriteFile("share/inside.txt", "i");

  struct Case {
    std::string why;
    Bytes body;
  } cases[] = {
      {"traversal", PathRequestBody(m_share + "/../outside")},
      {"traversal to /etc", PathRequestBody(m_share + "/../../../../etc")},
      {"symlink out of the share", PathRequestBody(m_share + "/escape")},
      {"sibling with the share as prefix", PathRequestBody(sibling)},
      {"not a folder", PathRequestBody(m_share + "/inside.txt")},
      {"missing folder", PathRequestBody(m_share + "/nothing")},
      {"unset default folder token", PathRequestBody("$DEFAULT_PIC$")},
      {"empty path", PathRequestBody("")},
      {"body shorter than the request", Bytes(kRequestSize - 1, 0)},
      {"no body", Bytes()},
  };
  uint32_t param = 200;
  for (const auto& c : cases) {
    ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, ++param, c.body)) << c.why;
    ExpectRefusal(param, c.why);
  }

  // A path filling its whole field has no terminator: refused, not cut to another folder.
  const std::string deep = m_share + "/" + std::string(255 - m_share.size() - 1, 'a');
  ASSERT_EQ(deep.size(), 255u);
  ASSERT_EQ(mkdir(deep.substr(0, 254).c_str(), 0755), 0);  // the cut path would exist
  m_base.WriteFile("share/" + std::string(254 - m_share.size() - 1, 'a') + "/f.txt", "f");
  Bytes body = PathRequestBody(deep);
  ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, ++param, body));
  ExpectRefusal(param, "path without a terminator");
}

TEST_F(ListingTest, DefaultTokensExpandAndBackslashesBecomeSlashes) {
  DefaultDirSet dirs = m_base.MakeDefaultDirs("share/data");
  m_base.WriteFile("share/data/top.txt", "t");
  ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, 12, PathRequestBody("$DEFAULT$")));
  auto pkgs = ReadListing(12);
  std::vector<Line> all;
  for (const auto& p : pkgs) all.insert(all.end(), p.lines.begin(), p.lines.end());
  EXPECT_EQ(std::set<Line>(all.begin(), all.end()), FindEntries(dirs.def));

  m_base.WriteFile("share/sub/inner/leaf.txt", "leaf");
  ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, 13, PathRequestBody(m_share + "\\sub\\inner")));
  pkgs = ReadListing(13);
  ASSERT_EQ(pkgs.size(), 1u);
  EXPECT_EQ(pkgs[0].lines.at(0).name, "leaf.txt");
}

TEST_F(ListingTest, RelayedRequestGetsEveryMessageWithTheRelayPrefix) {
  std::memset(g_szUUID, 0, sizeof g_szUUID);
  std::strcpy(g_szUUID, "PC-RELAY");
  const std::string dir = Fill("relayed", 1, 4);
  // What the relay client hands over: requester identity, inner header, request body.
  Bytes body(64, 0);
  std::memcpy(body.data(), "PHONE-9", 7);
  Bytes inner = BuildMessage(kOpGetAllSubFile, 31, PathRequestBody(dir));
  body.insert(body.end(), inner.begin(), inner.end());
  CommandHeader header = DecodeCommandHeader(inner.data());

  SocketPairConn relay;
  char* reply = nullptr;
  int replyLen = -1;
  int udt = -1;
  char direct = 0;
  EXPECT_EQ(GetAllSubFile(reinterpret_cast<const char*>(body.data()), &header, relay.Bev(),
                          &reply, &replyLen, &udt, &direct),
            0);
  EXPECT_EQ(replyLen, 0);
  delete[] reply;

  const Bytes got = relay.Receive(2 * 154);
  size_t off = 0;
  std::vector<uint32_t> counts;
  while (off + 154 <= got.size()) {
    const uint16_t total = wire::GetU16(&got[off]);
    ASSERT_LE(off + total, got.size());
    EXPECT_EQ(wire::GetU16(&got[off + 2]), 7);
    EXPECT_EQ(wire::GetU16(&got[off + 4]), 0x1009);
    EXPECT_EQ(wire::GetFixedText(&got[off + 6], 64), "PC-RELAY");
    EXPECT_EQ(wire::GetFixedText(&got[off + 70], 64), "PHONE-9");
    const TransHeader th = DecodeTransHeader(&got[off + 134]);
    EXPECT_EQ(th.cmd.len, total - 134);
    EXPECT_EQ(th.cmd.opcode, kOpGetAllSubFile);
    EXPECT_EQ(th.cmd.param, 31u);
    EXPECT_EQ(th.v2, 5u);
    counts.push_back(th.v1);
    off += total;
  }
  EXPECT_EQ(off, got.size());
  EXPECT_EQ(counts, (std::vector<uint32_t>{4, 1}));

  // Through the relay the request starts at byte 72: a body ending before its end is refused.
  Bytes shortBody(body.begin(), body.end() - 1);
  CommandHeader shortHeader = header;
  shortHeader.len = uint16_t(header.len - 1);
  reply = nullptr;
  EXPECT_EQ(GetAllSubFile(reinterpret_cast<const char*>(shortBody.data()), &shortHeader, relay.Bev(),
                          &reply, &replyLen, &udt, &direct),
            274);
  std::unique_ptr<char[]> owned(reply);
  EXPECT_EQ(replyLen, int(kRefusalSize));
  std::memset(g_szUUID, 0, sizeof g_szUUID);
}

// Under a Chinese code page local names are that code page on disk and UTF-8 on the wire.
class CodePageScope {
 public:
  explicit CodePageScope(const std::string& cp) : m_old(g_strCodePage) { g_strCodePage = cp; }
  ~CodePageScope() { g_strCodePage = m_old; }

 private:
  std::string m_old;
};

TEST(WireText, ConvertsOnlyUnderAChineseCodePage) {
  const std::string zhongUtf8 = "\xE4\xB8\xAD";  // U+4E2D
  const std::string zhongGb = "\xD6\xD0";
  {
    CodePageScope cp("en");
    EXPECT_EQ(WireToLocal(zhongUtf8), zhongUtf8);
    EXPECT_EQ(LocalToWire(zhongGb), zhongGb);  // not even checked for validity
  }
  CodePageScope cp("gb2312");
  EXPECT_EQ(WireToLocal("a" + zhongUtf8 + ".txt"), "a" + zhongGb + ".txt");
  EXPECT_EQ(LocalToWire("a" + zhongGb + ".txt"), "a" + zhongUtf8 + ".txt");
  // A character the code page lacks is dropped, the rest of the name kept.
  EXPECT_EQ(WireToLocal("x\xF0\x9F\x98\x80y"), "xy");
}

TEST_F(ListingTest, NamesGoOutAsUtf8UnderAChineseCodePage) {
  CodePageScope cp("gb2312");
  const std::string dir = Fill("gb", 0, 0);
  m_base.WriteFile("share/gb/\xD6\xD0.txt", "zh");
  ASSERT_TRUE(m_device.Send(kOpGetAllSubFile, 14, PathRequestBody(dir)));
  const auto pkgs = ReadListing(14);
  ASSERT_EQ(pkgs.size(), 1u);
  ASSERT_EQ(pkgs[0].lines.size(), 1u);
  EXPECT_EQ(pkgs[0].lines[0].name, "\xE4\xB8\xAD.txt");
}

// --- The share list.

std::string ShareText(const DeviceMessage& msg) {
  return std::string(msg.body.begin() + 12, msg.body.end());
}

TEST_F(ListingTest, ShareListNamesDefaultFolderOnce) {
  const std::string a = m_base.MakeDir("A"), b = m_base.MakeDir("B"), c = m_base.MakeDir("C");
  DefaultDirSet dirs;
  struct Case {
    std::vector<std::string> shares;
    std::string def;
    std::string text;
  } cases[] = {
      {{}, "", ""},
      {{a, b}, a, a + "\r\n" + b + "\r\n"},       // default already shared
      {{a, b}, c, a + "\r\n" + b + "\r\n" + c + "\r\n"},  // appended last
      {{}, c, c + "\r\n"},
      {{a}, "", a + "\r\n"},
  };
  uint32_t param = 300;
  for (const auto& cs : cases) {
    m_base.SetShares(cs.shares);
    dirs.def = cs.def;
    m_base.SetDefaultDirs(dirs);
    ASSERT_TRUE(m_device.Send(kOpGetShareInfo, ++param));
    DeviceMessage msg;
    ASSERT_TRUE(m_device.ReadMessage(msg));
    EXPECT_EQ(msg.header.opcode, kOpGetShareInfo);
    EXPECT_EQ(msg.header.param, param);
    EXPECT_EQ(msg.header.len, 20 + cs.text.size());
    ASSERT_GE(msg.body.size(), 12u);
    const size_t lines = size_t(std::count(cs.text.begin(), cs.text.end(), '\n'));
    EXPECT_EQ(wire::GetU16(msg.body.data()), lines);
    EXPECT_EQ(Bytes(msg.body.begin() + 2, msg.body.begin() + 12), Bytes(10, 0));
    EXPECT_EQ(ShareText(msg), cs.text);
  }
}

TEST_F(ListingTest, ShareListNeverWrapsItsLength) {
  std::vector<std::string> shares;
  for (int i = 0; i < 300; ++i) shares.push_back("/srv/" + std::string(240, 'p') + std::to_string(i));
  m_base.SetShares(shares);
  ASSERT_TRUE(m_device.Send(kOpGetShareInfo, 1));
  DeviceMessage msg;
  ASSERT_TRUE(m_device.ReadMessage(msg));
  const std::string text = ShareText(msg);
  const size_t count = wire::GetU16(msg.body.data());
  EXPECT_GT(count, 200u);
  EXPECT_LT(count, 300u);
  EXPECT_EQ(size_t(std::count(text.begin(), text.end(), '\n')), count);
  EXPECT_EQ(text.substr(0, shares[0].size()), shares[0]);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_GT(20 + text.size() + shares[0].size() + 3, 65535u);  // one more would not fit
  // The connection is still in step: the next request is answered normally.
  m_base.SetShares({m_share});
  ASSERT_TRUE(m_device.Send(kOpGetShareInfo, 2));
  ASSERT_TRUE(m_device.ReadMessage(msg));
  EXPECT_EQ(ShareText(msg), m_share + "\r\n");
}


// The same requests worked on a pool task, as the service registers them.
class PooledListingTest : public ListingTest {
 protected:
  void SetUp() override {
    EnsureDeviceGlobals();
    Trans_InstallHooks(&Download_OnConnectionClosed);  // a closed connection's deferred replies are dropped
    ListingTest::SetUp();
  }
  RequestPlacer ListPlacer() override { return &PoolRequest_Place; }
};

// A folder whose listing is several times what a connection may have waiting: it goes out as
// the phone reads it, whole and in order, made a few packages at a time, and the next answer
// of the connection comes after its last package. On the loop and from a pool task alike.
void ExpectBigListingPaced(TempBase& base, DeviceClient& device,
                           const std::function<std::vector<Package>(uint32_t)>& read) {
  const std::string dir = base.MakeDir("share/many");
  constexpr int kFiles = 12000;
  for (int i = 0; i < kFiles; ++i) {
    base.WriteFile("share/many/a_name_of_some_length_for_the_listing_" + std::to_string(i), "");
  }
  DeferredReply_ResetPeakStreamOutput();
  ASSERT_TRUE(device.Send(kOpGetAllSubFile, 31, PathRequestBody(dir)));
  ASSERT_TRUE(device.Send(kOpGetShareInfo, 32));
  const auto pkgs = read(31);
  std::vector<Line> all;
  for (const auto& p : pkgs) all.insert(all.end(), p.lines.begin(), p.lines.end());
  EXPECT_EQ(all.size(), size_t(kFiles));
  EXPECT_EQ(std::set<Line>(all.begin(), all.end()), FindEntries(dir));
  DeviceMessage next;
  ASSERT_TRUE(device.ReadMessage(next));
  EXPECT_EQ(next.header.opcode, kOpGetShareInfo);
  EXPECT_EQ(next.header.param, 32u);
  // Filled to the high-water mark, never past it by more than one message.
  EXPECT_GE(DeferredReply_PeakStreamOutput(), kDeferredHighWater);
  EXPECT_LT(DeferredReply_PeakStreamOutput(), kDeferredHighWater + 0xFFFF);
}

TEST_F(ListingTest, BigListingGoesOutAsThePhoneReads) {
  ExpectBigListingPaced(m_base, m_device, [this](uint32_t p) { return ReadListing(p); });
}

TEST_F(PooledListingTest, BigListingGoesOutAsThePhoneReads) {
  ExpectBigListingPaced(m_base, m_device, [this](uint32_t p) { return ReadListing(p); });
}

int ThrowsOnItsTask(const char*, const CommandHeader*, bufferevent*, char** reply, int* replyLen,
                    int*, char*) {
  *reply = new (std::nothrow) char[16]();  // half-built, then a failure
  *replyLen = 16;
  throw std::runtime_error("disk gone");
}

// A handler that throws on its pool task sends nothing, and the connection it held goes on:
// the next request of the phone is answered.
TEST_F(PooledListingTest, HandlerThrowingOnItsTaskLeavesNoReplyAndReleasesTheConnection) {
  constexpr uint16_t kOpThrows = 0x3001;
  ASSERT_EQ(OS_RegFunction(&ThrowsOnItsTask, kOpThrows, &PoolRequest_Place), 0);
  ASSERT_TRUE(m_device.Send(kOpThrows, 1, Bytes(4, 'x')));
  ASSERT_TRUE(m_device.Send(kOpGetShareInfo, 2));
  DeviceMessage msg;
  ASSERT_TRUE(m_device.ReadMessage(msg));
  EXPECT_EQ(msg.header.opcode, kOpGetShareInfo);
  EXPECT_EQ(ShareText(msg), m_share + "\r\n");
}

}  // namespace
