// Phones outside the home network: the real QuarloClient logged on to the real QuarloCentral,
// phones that sign in at the server, list their account's PCs, and list, download and upload
// through the relay and its cache. Inside a network namespace of the test's own (the service's
// server-info report looks for a UPnP router).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/local_api_ops.h"
#include "common/md5.h"
#include "common/proto_local_api.h"
#include "tests/support/central_process.h"
#include "tests/support/desktop_standin.h"
#include "common/proto_thumb.h"
#include "tests/support/net_namespace.h"
#include "tests/support/pictures.h"
#include "tests/support/relay_phone.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/thumb_client.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

using std::chrono::seconds;

constexpr const char* kOwner = "owner@example.org";
constexpr const char* kStranger = "stranger@example.org";
constexpr uint16_t kOpReqUpload = 0x0001, kOpUploadData = 0x0002, kOpUploadOver = 0x0003;
constexpr uint16_t kOpReqDownload = 0x0004, kOpAllowDownload = 0x0005;
constexpr uint16_t kOpShares = 0x2002, kOpList = 0x2003;
constexpr uint16_t kOpUploadAllow = 0x1001, kOpPackage = 0x1002, kOpDownloadOver = 0x1003;
constexpr uint16_t kOpDownloadInfo = 0x1004;

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

void WriteFileText(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string Md5Of(const std::string& bytes) {
  CMd5Hash md5;
  md5.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return md5.HexDigest();
}

Bytes PathBody(const std::string& path) {
  Bytes body(356, 0);
  std::memcpy(body.data() + 1, path.data(), std::min<size_t>(path.size(), 255));
  body[256] = '1';
  return body;
}

// Rows of the transfer log naming the file.
int LogRowsOf(const std::string& db, const std::string& file) {
  sqlite3* h = nullptr;
  int rows = -1;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(h, 5000);
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(h, "select count(*) from qv_trans where file = ?", -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_bind_text(q, 1, file.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
      rows = sqlite3_column_int(q, 0);
    sqlite3_finalize(q);
  }
  sqlite3_close(h);
  return rows;
}

Bytes U32Body(uint32_t v) {
  Bytes body(4);
  wire::PutU32(body.data(), v);
  return body;
}

class Relay : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (!EnterPrivateNetwork(why)) {
      s_skip = why;
      return;
    }
    s_central = new CentralProcess;
    s_base = new TempBase;
    if (!s_central->AddAccount(kOwner, "secret1") || !s_central->AddAccount(kStranger, "secret2") ||
        !s_central->Start()) {
      s_skip = "QuarloCentral did not start: " + s_central->LogText();
      return;
    }
    s_share = s_base->MakeDir("share");
    s_base->AddShare(s_share);
    s_base->Exec("update qv_conf set svport = " + std::to_string(s_central->Port()) + ";");
    s_base->Exec("delete from qv_user;");
    s_base->Exec(std::string("insert into qv_user (email, psw) values ('") + kOwner + "', '" +
                 PcPasswordOf("secret1") + "');");
    s_svc = new ServiceProcess(s_base->Dir());
    // Relay retries and upload fetches come soon.
    s_svc->SetTestSettings("relay_retry_ms=300,relay_keepalive_ms=1000,upload_fetch_ms=100");
    s_svc->AddEnv("QUARLO_POWEROFF_CMD=touch " + s_base->Dir() + "/powered-off");
    if (!s_svc->Start()) s_skip = "the service did not start: " + s_svc->LogText();
  }
  static void TearDownTestSuite() {
    delete s_svc;
    delete s_base;
    delete s_central;
    s_svc = nullptr;
    s_base = nullptr;
    s_central = nullptr;
  }
  void SetUp() override {
    if (!s_skip.empty()) GTEST_SKIP() << s_skip;
    ASSERT_EQ(m_phone.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
    // The PC is reachable once its relay connection registered.
    ASSERT_TRUE(WaitFor(
        [&] {
          std::vector<PcEntry> pcs;
          if (m_phone.ListPcs(Port(), pcs) != 0 || pcs.size() != 1 || !pcs[0].online) return false;
          m_pc = pcs[0];
          return true;
        },
        seconds(30), std::chrono::milliseconds(100)))
        << s_svc->LogText() << s_central->LogText();
  }

  static uint16_t Port() { return s_central->Port(); }

  // Downloads path from offset through the relay and the cache; the bytes received.
  static bool Download(RelayPhone& phone, const std::string& pc, uint32_t id,
                       const std::string& path, uint32_t offset, std::string& out,
                       uint32_t* announced = nullptr) {
    out.clear();
    DeviceMessage m;
    if (!phone.Request(pc, BuildMessage(kOpReqDownload, id, PathBody(path))) ||
        !phone.ReadMessage(m) || m.header.opcode != kOpDownloadInfo || m.body.size() < 8)
      return false;
    if (announced) *announced = wire::GetU32(m.body.data());
    if (!phone.Request(pc, BuildMessage(kOpAllowDownload, id, U32Body(offset)))) return false;
    uint32_t expect = offset / 1000 + 1;
    for (;;) {
      uint16_t command = 0;
      if (!phone.ReadMessage(m, &command, seconds(30))) return false;
      if (command != kCmdCacheDeliver || m.header.param != id) return false;
      if (m.header.opcode == kOpDownloadOver) return !m.body.empty() && m.body[0] == '0';
      if (m.header.opcode != kOpPackage || m.body.size() < 12) return false;
      if (m.Trans().v1 != expect++) return false;  // in order, numbered from offset / 1000 + 1
      out.append(m.body.begin() + 12, m.body.end());
    }
  }

  // Announces an upload; the allowed size, or -1.
  static long long StartUpload(RelayPhone& phone, const std::string& pc, uint32_t id,
                               const std::string& content, const std::string& path) {
    Bytes body(380, 0);
    wire::PutU32(body.data(), static_cast<uint32_t>(content.size()));
    CMd5Hash md5;  // any fingerprint of the content serves the resume decision
    md5.Update(reinterpret_cast<const unsigned char*>(content.data()), content.size());
    std::memcpy(body.data() + 8, md5.RawDigest(), 16);
    std::memcpy(body.data() + 25, path.data(), std::min<size_t>(path.size(), 354));
    DeviceMessage m;
    if (!phone.Request(pc, BuildMessage(kOpReqUpload, id, body)) || !phone.ReadMessage(m) ||
        m.header.opcode != kOpUploadAllow || m.body.size() < 4)
      return -1;
    return wire::GetU32(m.body.data());
  }

  static bool LeaveData(RelayPhone& phone, const std::string& pc, uint32_t id,
                        const std::string& content, size_t from, size_t to) {
    for (size_t at = from; at < to; at += 1000) {
      const size_t n = std::min<size_t>(1000, to - at);
      const Bytes payload(content.begin() + at, content.begin() + at + n);
      if (phone.Leave(pc, BuildTransMessage(kOpUploadData, id, 0, 0, 0, payload), seconds(30)) != 0)
        return false;
    }
    return true;
  }

  RelayPhone m_phone;
  PcEntry m_pc;

  static std::string s_skip;
  static CentralProcess* s_central;
  static TempBase* s_base;
  static ServiceProcess* s_svc;
  static std::string s_share;
};
std::string Relay::s_skip;
CentralProcess* Relay::s_central = nullptr;
TempBase* Relay::s_base = nullptr;
ServiceProcess* Relay::s_svc = nullptr;
std::string Relay::s_share;

TEST_F(Relay, PcListShowsWhatThePcReported) {
  EXPECT_EQ(m_pc.identity.size(), 32u);
  EXPECT_TRUE(m_pc.online);
  // The server-info report follows the log-on.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::vector<PcEntry> pcs;
        if (m_phone.ListPcs(Port(), pcs) != 0 || pcs.size() != 1) return false;
        m_pc = pcs[0];
        return m_pc.commandPort != 0;
      },
      seconds(30), std::chrono::milliseconds(100)));
  EXPECT_FALSE(m_pc.computerName.empty());
  EXPECT_EQ(m_pc.localIp >> 8, 0x0A4200u);  // the namespace's 10.66.0.0/24
  // The session is the server's, not one the phone could choose.
  EXPECT_EQ(m_phone.Session().size(), 32u);
}

TEST_F(Relay, SharesAndListingComeBackAddressedToThePhone) {
  const std::string folder = s_share + "/listed";
  std::filesystem::create_directories(folder);
  for (int i = 0; i < 5; ++i) WriteFileText(folder + "/f" + std::to_string(i), "x");
  DeviceMessage m;
  ASSERT_TRUE(m_phone.Request(m_pc.identity, BuildMessage(kOpShares, 3)));
  ASSERT_TRUE(m_phone.ReadMessage(m));
  EXPECT_EQ(m.header.opcode, kOpShares);
  EXPECT_EQ(m.header.param, 3u);
  EXPECT_NE(std::string(m.body.begin(), m.body.end()).find(s_share), std::string::npos);

  ASSERT_TRUE(m_phone.Request(m_pc.identity, BuildMessage(kOpList, 9, PathBody(folder))));
  uint32_t seen = 0, total = 1, messages = 0;
  while (seen < total) {
    ASSERT_TRUE(m_phone.ReadMessage(m));
    ASSERT_EQ(m.header.opcode, kOpList);
    const TransHeader t = m.Trans();
    ASSERT_NE(t.v1, 0u);
    total = t.v2;
    seen += t.v1;
    ++messages;
  }
  EXPECT_EQ(seen, 5u);
  EXPECT_EQ(messages, 2u);  // 4 + 1
}

// Thumbnails through the relay: two phones at once, every message addressed to its phone with
// its request id, chunks in order, and a failure answered with the end message alone.
TEST_F(Relay, ThumbnailsComeBackInChunksAndAnEnd) {
  MakePicture({"-size", "640x480", "plasma:", "-seed", "6", s_share + "/relayed.jpg"});
  MakePicture({"-size", "320x240", "plasma:", "-type", "TrueColor", "BMP3:" + s_share + "/relayed.bmp"});
  struct Fetch {
    std::string path;
    uint16_t w, h;
    uint16_t status;
    const char* size;
  };
  const std::vector<Fetch> fetches = {
      {s_share + "/relayed.jpg", 160, 120, 0, "160 120"},
      {s_share + "/relayed.bmp", 64, 48, 0, "64 48"},
      {s_share + "/missing.jpg", 16, 16, 1, nullptr},
  };
  RelayPhone other;
  ASSERT_EQ(other.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
  RelayPhone* phones[2] = {&m_phone, &other};
  bool ok[2] = {false, false};
  std::vector<ThumbAnswer> answers[2];
  std::vector<std::thread> threads;
  for (int p = 0; p < 2; ++p) {
    threads.emplace_back([&, p] {
      RelayPhone& phone = *phones[p];
      answers[p].resize(fetches.size());
      for (size_t i = 0; i < fetches.size(); ++i) {
        const uint32_t id = uint32_t(500 + 10 * p + i);
        if (!phone.Request(m_pc.identity, BuildMessage(kOpThumbnail, id,
                                                       ThumbRequestBody(fetches[i].w, fetches[i].h,
                                                                        fetches[i].path))))
          return;
        ThumbAnswer& a = answers[p][i];
        for (;;) {
          DeviceMessage m;
          if (!phone.ReadMessage(m, nullptr, seconds(30))) return;
          if (m.header.param != id) a.wellFormed = false;
          if (m.header.opcode == kOpThumbnailEnd) {
            a.status = m.body.size() >= 2 ? wire::GetU16(m.body.data()) : 0xFFFF;
            break;
          }
          if (m.header.opcode != kOpThumbnail || m.body.size() < 9 || m.body.size() > 1008) {
            a.wellFormed = false;
            break;
          }
          if (wire::GetU32(m.body.data() + 4) != a.thumbnail.size()) a.wellFormed = false;
          a.thumbnail.insert(a.thumbnail.end(), m.body.begin() + 8, m.body.end());
        }
      }
      ok[p] = true;
    });
  }
  for (auto& t : threads) t.join();
  for (int p = 0; p < 2; ++p) {
    ASSERT_TRUE(ok[p]) << "phone " << p;
    for (size_t i = 0; i < fetches.size(); ++i) {
      SCOPED_TRACE(fetches[i].path);
      const ThumbAnswer& a = answers[p][i];
      EXPECT_TRUE(a.wellFormed);
      EXPECT_EQ(a.status, fetches[i].status);
      if (!fetches[i].size) {
        EXPECT_TRUE(a.thumbnail.empty());
        continue;
      }
      const std::string file = s_base->Dir() + "/relay_thumb.jpg";
      WriteBytes(file, a.thumbnail);
      EXPECT_EQ(Identify(file, "%m %w %h"), std::string("JPEG ") + fetches[i].size);
    }
  }
}

TEST_F(Relay, DownloadsByteForByteFromEachOffset) {
  struct Case {
    size_t size;
    uint32_t offset;
  };
  const Case cases[] = {{0, 0},    {999, 0},    {1000, 0},    {1001, 0},       {3 << 20, 0},
                        {999, 3000}, {4200, 3000}, {1001, 3000}, {(3 << 20) + 7, 3000}};
  uint32_t id = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes from " + std::to_string(c.offset));
    const std::string content = Pattern(c.size, static_cast<unsigned>(c.size));
    const std::string path = s_share + "/down-" + std::to_string(c.size);
    WriteFileText(path, content);
    std::string got;
    uint32_t announced = 0;
    ASSERT_TRUE(Download(m_phone, m_pc.identity, ++id, path, c.offset, got, &announced));
    EXPECT_EQ(announced, c.size);
    const std::string want = c.offset < c.size ? content.substr(c.offset) : std::string();
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
  }
}

TEST_F(Relay, UploadBreaksAndResumes) {
  const std::string content = Pattern(250000, 5);
  const std::string path = s_share + "/up/photo.jpg";
  const uint32_t id = 500;
  ASSERT_EQ(StartUpload(m_phone, m_pc.identity, id, content, path), 0);
  const size_t half = 120000;
  ASSERT_TRUE(LeaveData(m_phone, m_pc.identity, id, content, 0, half));
  // The phone gives up half-way: the PC keeps what it has for a resume.
  ASSERT_EQ(m_phone.Leave(m_pc.identity, BuildMessage(kOpUploadOver, id, Bytes{1})), 0);
  const std::string tmp = path + "quarlo.rename";
  ASSERT_TRUE(WaitFor(
      [&] {
        struct stat st;
        return stat(tmp.c_str(), &st) == 0 && size_t(st.st_size) == half &&
               s_svc->LogText().find("===over upload session id 500===") != std::string::npos;
      },
      seconds(30)))
      << s_svc->LogText();

  ASSERT_EQ(StartUpload(m_phone, m_pc.identity, id + 1, content, path), (long long)half);
  ASSERT_TRUE(LeaveData(m_phone, m_pc.identity, id + 1, content, half, content.size()));
  ASSERT_EQ(m_phone.Leave(m_pc.identity, BuildMessage(kOpUploadOver, id + 1, Bytes{0})), 0);
  ASSERT_TRUE(WaitFor([&] { return Md5Of(ReadFileText(path)) == Md5Of(content); }, seconds(30)))
      << s_svc->LogText();
  EXPECT_FALSE(std::filesystem::exists(tmp));
}

// The command-line phone through the relay, as a user types it.
TEST_F(Relay, CommandLinePhoneGoesThroughTheServer) {
  const std::string phone = std::string(QUARLO_BUILD_DIR) + "/tests/quarlo-phone";
  const std::string content = Pattern(12345, 3);
  const std::string local = s_base->Dir() + "/local-copy";
  WriteFileText(local, content);
  auto run = [&](const std::string& args) {
    return RunProgram({"/bin/sh", "-c",
                       "echo secret1 | '" + phone + "' --via relay --host localhost --port " +
                           std::to_string(Port()) + " --account " + kOwner + " " + args});
  };
  ProgramResult r = run("put '" + local + "' '" + s_share + "/cli/put.bin'");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Md5Of(ReadFileText(s_share + "/cli/put.bin")), Md5Of(content));
  r = run("ls '" + s_share + "/cli'");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("put.bin"), std::string::npos);
  r = run("get '" + s_share + "/cli/put.bin' '" + local + ".back'");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Md5Of(ReadFileText(local + ".back")), Md5Of(content));
  r = RunProgram({"/bin/sh", "-c",
                  "echo wrong-one | '" + phone + "' --via relay --port " + std::to_string(Port()) +
                      " --account " + kOwner + " ls"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.output.find("wrong password (code 0x1001)"), std::string::npos) << r.output;
  r = run("thumb '" + s_share + "/cli/put.bin' '" + local + ".jpg'");
  EXPECT_NE(r.output.find("no thumbnail of"), std::string::npos) << "not a picture: " << r.output;
}

// Several phones on the relay road at once, one table: same account in parallel, another
// account, a burst of requests, and a phone whose cache fills because it does not read.
TEST_F(Relay, SeveralPhonesAtOnce) {
  const std::string content = Pattern(700000, 9);
  const std::string path = s_share + "/shared-photo";
  WriteFileText(path, content);
  struct Case {
    const char* name;
    std::function<void(const std::string& pc)> run;
  };
  const std::vector<Case> cases = {
      {"two phones of the account download the same file at once",
       [&](const std::string& pc) {
         RelayPhone a, b;
         ASSERT_EQ(a.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
         ASSERT_EQ(b.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
         std::string gotA, gotB;
         bool okA = false, okB = false;
         std::thread ta([&] { okA = Download(a, pc, 42, path, 0, gotA); });
         std::thread tb([&] { okB = Download(b, pc, 43, path, 3000, gotB); });
         ta.join();
         tb.join();
         EXPECT_TRUE(okA && gotA == content);
         EXPECT_TRUE(okB && gotB == content.substr(3000));
       }},
      {"two phones download two files at once, each gets its own bytes",
       [&](const std::string& pc) {
         // Sizes that are no multiple of the package, so each ends with a short one.
         const std::string other = Pattern(1234567, 12);
         const std::string otherPath = s_share + "/other-photo";
         WriteFileText(otherPath, other);
         RelayPhone a, b;
         ASSERT_EQ(a.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
         ASSERT_EQ(b.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
         std::string gotA, gotB;
         bool okA = false, okB = false;
         std::thread ta([&] { okA = Download(a, pc, 44, path, 1000, gotA); });
         std::thread tb([&] { okB = Download(b, pc, 45, otherPath, 0, gotB); });
         ta.join();
         tb.join();
         EXPECT_TRUE(okA);
         EXPECT_TRUE(gotA == content.substr(1000)) << gotA.size();
         EXPECT_TRUE(okB);
         EXPECT_TRUE(gotB == other) << gotB.size();
       }},
      {"a phone of another account neither sees nor reaches the PC",
       [&](const std::string& pc) {
         RelayPhone s;
         ASSERT_EQ(s.SignIn(Port(), kStranger, PcPasswordOf("secret2")), 0);
         std::vector<PcEntry> pcs;
         ASSERT_EQ(s.ListPcs(Port(), pcs), 0);
         EXPECT_TRUE(pcs.empty());
         uint16_t status = 0;
         ASSERT_TRUE(s.Request(pc, BuildMessage(kOpShares, 1)));
         ASSERT_TRUE(s.ReadStatus(kCmdRelayData, status));
         EXPECT_EQ(status, kStatusNoSuchPc);
         EXPECT_EQ(s.Leave(pc, BuildTransMessage(kOpUploadData, 1, 0, 0, 0, Bytes(10, 1))),
                   kStatusNoSuchPc);
         DeviceMessage m;
         EXPECT_FALSE(s.ReadMessage(m, nullptr, std::chrono::milliseconds(500)));
       }},
      {"wrong password and unknown session are refused",
       [&](const std::string&) {
         RelayPhone s;
         EXPECT_EQ(s.SignIn(Port(), kOwner, PcPasswordOf("wrong-one")), kStatusWrongPassword);
         std::vector<PcEntry> pcs;
         EXPECT_EQ(s.ListPcs(Port(), pcs), kStatusNotSignedIn);
       }},
      {"a burst of requests is answered in order",
       [&](const std::string& pc) {
         RelayPhone a;
         ASSERT_EQ(a.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
         for (uint32_t i = 1; i <= 50; ++i) ASSERT_TRUE(a.Request(pc, BuildMessage(kOpShares, i)));
         for (uint32_t i = 1; i <= 50; ++i) {
           DeviceMessage m;
           ASSERT_TRUE(a.ReadMessage(m));
           EXPECT_EQ(m.header.param, i);
         }
       }},
      {"a phone that stops reading fills its cache; the download goes on when it reads",
       [&](const std::string& pc) {
         RelayPhone a;
         ASSERT_EQ(a.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
         const std::string big = Pattern(6 << 20, 11);
         const std::string bigPath = s_share + "/big-photo";
         WriteFileText(bigPath, big);
         DeviceMessage m;
         ASSERT_TRUE(a.Request(pc, BuildMessage(kOpReqDownload, 77, PathBody(bigPath))));
         ASSERT_TRUE(a.ReadMessage(m));
         ASSERT_TRUE(a.Request(pc, BuildMessage(kOpAllowDownload, 77, U32Body(0))));
         ASSERT_TRUE(WaitFor(
             [&] { return s_svc->LogText().find("server cash is full.") != std::string::npos; },
             seconds(30)))
             << "the cache never filled";
         std::string got;
         uint16_t command = 0;
         for (;;) {
           ASSERT_TRUE(a.ReadMessage(m, &command, seconds(30)));
           if (m.header.opcode == kOpDownloadOver) {
             EXPECT_EQ(m.body.at(0), '0');
             break;
           }
           got.append(m.body.begin() + 12, m.body.end());
         }
         EXPECT_TRUE(got == big);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.run(m_pc.identity);
  }
}

// A download whose size is no multiple of the package, while another phone of the account keeps
// asking the PC for its shares and fetching small files through the same server: every byte in
// order, and the other phone is served all along.
TEST_F(Relay, OddSizedDownloadWhileAnotherPhoneFetches) {
  const std::string content = Pattern((2 << 20) + 345, 21);
  const std::string path = s_share + "/odd-size";
  WriteFileText(path, content);
  const std::string small = Pattern(1001, 22);
  const std::string smallPath = s_share + "/small-one";
  WriteFileText(smallPath, small);
  RelayPhone other;
  ASSERT_EQ(other.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
  std::atomic<bool> done{false};
  int served = 0, wrong = 0;
  std::thread fetcher([&] {
    // At least one round, however soon the download ends.
    for (uint32_t id = 800;; ++id) {
      DeviceMessage m;
      if (!other.Request(m_pc.identity, BuildMessage(kOpShares, id)) || !other.ReadMessage(m) ||
          m.header.opcode != kOpShares || m.header.param != id) {
        ++wrong;
        return;
      }
      std::string got;
      if (!Download(other, m_pc.identity, id + 5000, smallPath, 0, got) || got != small) {
        ++wrong;
        return;
      }
      ++served;
      if (done.load()) return;
    }
  });
  std::string got;
  const bool ok = Download(m_phone, m_pc.identity, 700, path, 0, got);
  done = true;
  fetcher.join();
  ASSERT_TRUE(ok) << s_svc->LogText();
  EXPECT_EQ(got.size(), content.size());
  EXPECT_TRUE(got == content);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(served, 0);
  EXPECT_TRUE(WaitFor([&] { return LogRowsOf(s_base->DbPath(), path) == 1; }, seconds(10)));
}

// A phone that goes mid-download: the server answers the PC's next package that the phone is
// gone, and the PC ends the download at once: its count of running downloads falls back and no
// transfer-log row says the file was sent.
TEST_F(Relay, APhoneGoneMidDownloadEndsItAtThePc) {
  const std::string content = Pattern(16 << 20, 23);
  const std::string path = s_share + "/left-behind";
  WriteFileText(path, content);
  const uint16_t port = s_svc->WaitForPort();
  // Open transfers and running downloads, from the local API; -1 when it did not answer.
  auto running = [&]() -> int {
    DeviceClient c;
    DeviceMessage m;
    if (!c.Connect("127.0.0.1", port) || !c.Send(kOpGetIsTraning, 1) || !c.ReadMessage(m) ||
        m.body.size() < 4)
      return -1;
    return wire::GetU16(m.body.data() + 2);
  };
  ASSERT_TRUE(WaitFor([&] { return running() == 0; }, seconds(30)));
  {
    RelayPhone leaving;
    ASSERT_EQ(leaving.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
    DeviceMessage m;
    ASSERT_TRUE(leaving.Request(m_pc.identity, BuildMessage(kOpReqDownload, 900, PathBody(path))));
    ASSERT_TRUE(leaving.ReadMessage(m));
    ASSERT_TRUE(leaving.Request(m_pc.identity, BuildMessage(kOpAllowDownload, 900, U32Body(0))));
    for (uint32_t k = 1; k <= 20; ++k) {
      uint16_t command = 0;
      ASSERT_TRUE(leaving.ReadMessage(m, &command, seconds(30)));
      ASSERT_EQ(m.header.opcode, kOpPackage);
      ASSERT_EQ(m.Trans().v1, k);
      ASSERT_TRUE(std::string(m.body.begin() + 12, m.body.end()) == content.substr((k - 1) * 1000, 1000));
    }
    ASSERT_EQ(running(), 1);
    leaving.Conn().Close();
  }
  EXPECT_TRUE(WaitFor([&] { return running() == 0; }, seconds(30))) << s_svc->LogText();
  // Ended by the answer, not by waiting for one.
  EXPECT_EQ(s_svc->LogText().find("download file " + path + " time out."), std::string::npos);
  EXPECT_EQ(LogRowsOf(s_base->DbPath(), path), 0);
  // The PC serves the next download as ever.
  std::string got;
  ASSERT_TRUE(Download(m_phone, m_pc.identity, 901, path, (16 << 20) - 4321, got));
  EXPECT_TRUE(got == content.substr((16 << 20) - 4321));
}

// The relay's phone signed in at the server, but it is no desktop program: every local-API
// opcode is met with silence (the version record that follows shows none was coming), while
// the auto-sorting switch stays open to phones.
TEST_F(Relay, LocalApiIsSilentThroughTheRelay) {
  uint32_t probe = 0xC0DE0000;
  for (uint16_t op = 0x5000; op <= 0x5014; ++op) {
    if (op == 0x5003 || op == 0x500D) continue;  // never registered
    ASSERT_TRUE(m_phone.Request(m_pc.identity, BuildMessage(op, op)));
    ASSERT_TRUE(m_phone.Request(m_pc.identity, BuildMessage(kOpGetVerAndType, ++probe)));
    bool answered = false;
    for (;;) {
      DeviceMessage m;
      ASSERT_TRUE(m_phone.ReadMessage(m)) << std::hex << op;
      if (m.header.opcode == kOpGetVerAndType && m.header.param == probe) break;
      if (m.header.opcode == op) answered = true;
    }
    EXPECT_EQ(answered, op == 0x5013) << std::hex << op;  // its setter answers nobody
  }
}

// A relay phone that repeats its log-in while the question to the desktop program is open
// hears that question's answer twice, and the user is asked once. The phone's session belongs
// to the server, so a refused one stays signed in there; it is told so, and its power-off is
// refused.
TEST_F(Relay, RepeatedLogInHearsItsOpenQuestionsAnswer) {
  std::atomic<bool> release{false};
  DesktopStandIn desktop;
  HeldAnswersGuard guard{release, desktop};
  ASSERT_TRUE(desktop.StartHeldYesNo(release, 15003));
  const std::string line = "device login repeated; it waits for the open question.";
  const auto repeatsLogged = [&] {
    const std::string log = s_svc->LogText();
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  };
  for (const char* email : {"yes@x.org", "no@x.org"}) {
    SCOPED_TRACE(email);
    release = false;
    // A phone of its own each time: one the user accepted is not asked again.
    RelayPhone phone;
    ASSERT_EQ(phone.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
    const int want = email[0] == 'y' ? 0 : 1;
    const size_t asked = desktop.Questions().size();
    const size_t repeats = repeatsLogged();
    const Bytes login = BuildMessage(kOpDeviceLogin, 0, Concat({TextField(email, 32), TextField("pw", 32)}));
    ASSERT_TRUE(phone.Request(m_pc.identity, login));
    ASSERT_TRUE(WaitFor([&] { return desktop.Questions().size() == asked + 1; }, seconds(20)))
        << s_svc->LogText();
    ASSERT_TRUE(phone.Request(m_pc.identity, login));
    ASSERT_TRUE(WaitFor([&] { return repeatsLogged() == repeats + 1; }, seconds(20)));
    release = true;
    for (int i = 0; i < 2; ++i) {
      DeviceMessage m;
      ASSERT_TRUE(phone.ReadMessage(m, nullptr, seconds(20))) << "reply " << i;
      ASSERT_EQ(m.header.opcode, kOpDeviceLogin);
      ASSERT_EQ(m.body.size(), 4u);
      EXPECT_EQ((m.body[0] << 8) | m.body[1], want) << "reply " << i;
    }
    EXPECT_EQ(desktop.Questions().size(), asked + 1) << "the user is asked once";
  }
}

// The relay road: who (the owner's phone without a log-in, with the desktop program's yes, with
// its no, and a phone of another account) x request (local API, listing, download, upload,
// thumbnail). The relay's phones signed in at the server, so they need no device log-in; one
// the desktop program refused is served nothing more, and another account never reaches the PC.
TEST_F(Relay, RoadTable) {
  enum Who { kNoLogIn, kYes, kNo, kOtherAccount };
  enum class Got { kAnswer, kSilence, kNothing };
  const Got A = Got::kAnswer, S = Got::kSilence, N = Got::kNothing;
  const struct {
    const char* name;
    Who who;
    Got want[5];
  } rows[] = {
      //                                          local API listing download upload thumbnail
      {"the owner's phone, no log-in", kNoLogIn, {S, A, A, A, A}},
      {"the owner's phone, the desktop's yes", kYes, {S, A, A, A, A}},
      {"the owner's phone, the desktop's no", kNo, {N, N, N, N, N}},
      {"a phone of another account", kOtherAccount, {N, N, N, N, N}},
  };
  DesktopStandIn desktop;
  ASSERT_TRUE(desktop.Start([](const Bytes& push) {
    const bool yes = std::string(push.begin() + 8, push.begin() + 12) == "yes@";
    return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(push, yes ? 0 : 1)};
  }, 15003));
  WriteFileText(s_share + "/table.txt", "abc");
  uint32_t param = 0x7000;
  const auto requestOf = [&](int r) {
    ++param;
    switch (r) {
      case 0:
        return BuildMessage(kOpGetLogOnInfo, param);
      case 1:
        return BuildMessage(kOpList, param, PathBody(s_share));
      case 2:
        return BuildMessage(kOpReqDownload, param, PathBody(s_share + "/table.txt"));
      case 3: {
        Bytes body(380, 0);
        wire::PutU32(body.data(), 3);
        const std::string path = s_share + "/table-up-" + std::to_string(param);
        std::memcpy(body.data() + 25, path.data(), path.size());
        return BuildMessage(kOpReqUpload, param, body);
      }
      default:
        return BuildMessage(kOpThumbnail, param, ThumbRequestBody(64, 64, s_share + "/table.txt"));
    }
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RelayPhone phone;
    ASSERT_EQ(phone.SignIn(Port(), row.who == kOtherAccount ? kStranger : kOwner,
                           PcPasswordOf(row.who == kOtherAccount ? "secret2" : "secret1")),
              0);
    if (row.who == kYes || row.who == kNo) {
      const Bytes login = Concat({TextField(row.who == kYes ? "yes@x.org" : "no@x.org", 32), TextField("pw", 32)});
      ASSERT_TRUE(phone.Request(m_pc.identity, BuildMessage(kOpDeviceLogin, 0, login)));
      DeviceMessage m;
      ASSERT_TRUE(phone.ReadMessage(m, nullptr, seconds(20)));
      ASSERT_EQ(m.header.opcode, kOpDeviceLogin);
      ASSERT_EQ(m.body.size(), 4u);
      EXPECT_EQ((m.body[0] << 8) | m.body[1], row.who == kYes ? 0 : 1);
    }
    if (row.want[0] == Got::kNothing) {
      // Served nothing, not even the version record: the other account's frames are refused by
      // the server one by one; the refused phone's reach the PC and stay unanswered.
      for (int r = 0; r < 5; ++r) {
        ASSERT_TRUE(phone.Request(m_pc.identity, requestOf(r)));
        ASSERT_TRUE(phone.Request(m_pc.identity, BuildMessage(kOpGetVerAndType, param | 0x80000000u)));
      }
      if (row.who == kOtherAccount) {
        for (int i = 0; i < 10; ++i) {
          uint16_t status = 0;
          ASSERT_TRUE(phone.ReadStatus(kCmdRelayData, status)) << i;
          EXPECT_EQ(status, kStatusNoSuchPc);
        }
      }
      DeviceMessage m;
      EXPECT_FALSE(phone.ReadMessage(m, nullptr, std::chrono::milliseconds(1000)))
          << "opcode " << m.header.opcode;
      continue;
    }
    for (int r = 0; r < 5; ++r) {
      const Bytes request = requestOf(r);
      const uint32_t asked = param;
      const uint32_t probe = asked | 0x80000000u;
      ASSERT_TRUE(phone.Request(m_pc.identity, request));
      ASSERT_TRUE(phone.Request(m_pc.identity, BuildMessage(kOpGetVerAndType, probe)));
      bool answered = false;
      for (;;) {
        DeviceMessage m;
        ASSERT_TRUE(phone.ReadMessage(m, nullptr, seconds(20))) << r;
        if (m.header.opcode == kOpGetVerAndType && m.header.param == probe) break;
        if (m.header.param == asked) answered = true;
      }
      // Uploads and thumbnails are worked on pool tasks: their answer may follow the probe's.
      DeviceMessage late;
      while (!answered && row.want[r] == Got::kAnswer && phone.ReadMessage(late, nullptr, seconds(20)))
        answered = late.header.param == asked;
      const Got got = answered ? Got::kAnswer : Got::kSilence;
      EXPECT_EQ(static_cast<int>(got), static_cast<int>(row.want[r])) << "request " << r;
    }
  }
}

// The device log-in and power-off through the relay are read past the requester's identity:
// the stored account is recognised there, and power-off follows only that phone's log-in.
// Last in this file: it powers the PC off.
TEST_F(Relay, StoredAccountLogsInAndPowersOffThroughTheRelay) {
  const std::string marker = s_base->Dir() + "/powered-off";
  RelayPhone other;
  ASSERT_EQ(other.SignIn(Port(), kOwner, PcPasswordOf("secret1")), 0);
  const Bytes login = Concat({TextField(kOwner, 32), TextField(PcPasswordOf("secret1"), 32)});
  ASSERT_TRUE(m_phone.Request(m_pc.identity, BuildMessage(kOpDeviceLogin, 0, login)));
  DeviceMessage m;
  ASSERT_TRUE(m_phone.ReadMessage(m)) << s_svc->LogText();
  ASSERT_EQ(m.header.opcode, kOpDeviceLogin);
  ASSERT_EQ(m.body.size(), 4u);
  EXPECT_EQ((m.body[0] << 8) | m.body[1], 0) << "the stored account is accepted";

  // The other phone has not logged in: its power-off is refused (a round trip shows it was
  // handled).
  ASSERT_TRUE(other.Request(m_pc.identity, BuildMessage(kOpShutDownSystem, 0, {0})));
  ASSERT_TRUE(other.Request(m_pc.identity, BuildMessage(kOpGetVerAndType, 5)));
  ASSERT_TRUE(other.ReadMessage(m));
  EXPECT_EQ(m.header.opcode, kOpGetVerAndType);
  struct stat st;
  EXPECT_NE(stat(marker.c_str(), &st), 0) << "powered off without a log-in";

  ASSERT_TRUE(m_phone.Request(m_pc.identity, BuildMessage(kOpShutDownSystem, 0, {0})));
  EXPECT_TRUE(WaitFor([&] { return stat(marker.c_str(), &st) == 0; }, seconds(20)))
      << s_svc->LogText();
}

}  // namespace
