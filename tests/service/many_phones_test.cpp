// Two phones on the transfer road of the real service at once: one table of "phone A has done
// X, phone B does Y" cases, each checked by the files left in the share (by MD5), what the
// phones were told, and the order of their replies.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/md5.h"
#include "tests/support/device_client.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

constexpr uint16_t kOpReqUpload = 0x0001, kOpUploadData = 0x0002, kOpUploadOver = 0x0003;
constexpr uint16_t kOpReqDownload = 0x0004, kOpAllowDownload = 0x0005;
constexpr uint16_t kOpStop = 0x100E, kOpList = 0x2003;
constexpr uint16_t kOpUploadAllow = 0x1001, kOpPackage = 0x1002, kOpDownloadOver = 0x1003;
constexpr uint16_t kOpDownloadInfo = 0x1004;
constexpr auto kWait = std::chrono::seconds(20);

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

std::string Md5Of(const std::string& bytes) {
  CMd5Hash md5;
  md5.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return md5.HexDigest();
}

// The phone's own fingerprint of what it sends (the service's quick MD5 of a file).
Bytes QuickOf(const std::string& content) {
  CMd5Hash md5;
  const size_t n = content.size();
  if (n <= kQuickMd5WholeLimit) {
    md5.Update(reinterpret_cast<const unsigned char*>(content.data()), n);
  } else {
    md5.Update(reinterpret_cast<const unsigned char*>(content.data()), kQuickMd5Part);
    md5.Update(reinterpret_cast<const unsigned char*>(content.data()) + n - kQuickMd5Part,
               kQuickMd5Part);
  }
  const unsigned char* raw = md5.RawDigest();
  return Bytes(raw, raw + 16);
}

// A phone: a device client plus the few exchanges the cases need.
class Phone {
 public:
  bool Connect(uint16_t port) { return m_c.Connect("127.0.0.1", port); }
  DeviceClient& Client() { return m_c; }

  // The allowed size of an upload request, or -1 for a refusal or no answer.
  long long StartUpload(uint32_t id, const std::string& content, const std::string& path) {
    Bytes body(380, 0);
    wire::PutU32(body.data(), static_cast<uint32_t>(content.size()));
    const Bytes fp = QuickOf(content);
    std::copy(fp.begin(), fp.end(), body.begin() + 8);
    std::memcpy(body.data() + 25, path.data(), std::min<size_t>(path.size(), 354));
    DeviceMessage m;
    if (!m_c.Send(kOpReqUpload, id, body) || !m_c.ReadMessage(m, kWait)) return -1;
    if (m.header.opcode != kOpUploadAllow || m.body.size() < 4) return -1;
    return wire::GetU32(m.body.data());
  }
  bool SendData(uint32_t id, const std::string& content, size_t from, size_t to) {
    for (size_t at = from; at < to; at += 30000) {
      const size_t n = std::min<size_t>(30000, to - at);
      const Bytes payload(content.begin() + at, content.begin() + at + n);
      if (!m_c.SendRaw(BuildTransMessage(kOpUploadData, id, 0, 0, 0, payload))) return false;
    }
    return true;
  }
  bool Finish(uint32_t id) { return m_c.Send(kOpUploadOver, id, Bytes{0}) && Sync(); }
  // Everything sent before has been handled once the answer to a stop for id 0 is back.
  bool Sync() {
    DeviceMessage m;
    if (!m_c.Send(kOpStop, 0)) return false;
    while (m_c.ReadMessage(m, kWait)) {
      if (m.header.opcode == kOpStop) return true;
    }
    return false;
  }
  // The names of a folder's listing.
  std::vector<std::string> List(const std::string& folder) {
    std::vector<std::string> names;
    if (!m_c.Send(kOpList, 77, PathRequestBody(folder))) return names;
    DeviceMessage m;
    uint32_t seen = 0, total = 1;
    while (seen < total && m_c.ReadMessage(m, kWait)) {
      if (m.header.opcode != kOpList) continue;
      const TransHeader t = m.Trans();
      if (t.v1 == 0) break;  // refusal: nothing listed
      total = t.v2;
      seen += t.v1;
      std::istringstream lines(std::string(m.body.begin() + 12, m.body.end()));
      std::string line;
      while (std::getline(lines, line)) {
        const size_t tab = line.rfind('\t');
        if (tab != std::string::npos) names.push_back(line.substr(tab + 1, line.size() - tab - 2));
      }
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  DeviceClient m_c;
};

// The files of a folder (hidden ones included) by their MD5.
std::map<std::string, std::string> FilesByMd5(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    out[e.path().filename().string()] = Md5Of(ReadFileText(e.path().string()));
  }
  return out;
}

struct Folder {
  std::string path;  // the case's own folder inside the share
};

// One row: what phone A has done, what phone B does, and what must hold at the end.
struct Case {
  const char* name;
  std::function<void(Phone& a, Phone& b, const Folder& f)> run;
  std::function<void(const Folder& f)> check;
};

class ManyPhones : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_base = new TempBase();
    s_share = s_base->MakeDir("share");
    s_base->AddShare(s_share);
    s_svc = new ServiceProcess(s_base->Dir());
    if (s_svc->Start()) s_port = s_svc->WaitForPort();
  }
  static void TearDownTestSuite() {
    delete s_svc;
    delete s_base;
  }
  static TempBase* s_base;
  static ServiceProcess* s_svc;
  static std::string s_share;
  static uint16_t s_port;
};
TempBase* ManyPhones::s_base = nullptr;
ServiceProcess* ManyPhones::s_svc = nullptr;
std::string ManyPhones::s_share;
uint16_t ManyPhones::s_port = 0;

const std::string kPhoto = Pattern(180000, 1);  // larger than the quick fingerprint's range
const std::string kOther = Pattern(180000, 2);

// No temporary or side file is left, and the phones never saw one.
void ExpectNoLeftovers(const std::map<std::string, std::string>& files) {
  for (const auto& kv : files) {
    EXPECT_EQ(kv.first.find("quarlo.rename"), std::string::npos) << kv.first;
  }
}

TEST_F(ManyPhones, TwoPhonesOnTheTransferRoad) {
  ASSERT_NE(s_port, 0) << s_svc->LogText();
  const std::vector<Case> cases = {
      {"both phones back up the same photo into the same folder",
       [](Phone& a, Phone& b, const Folder& f) {
         ASSERT_EQ(a.StartUpload(1, kPhoto, f.path + "/p.jpg"), 0);
         ASSERT_TRUE(a.SendData(1, kPhoto, 0, 90000));
         ASSERT_TRUE(a.Sync());
         EXPECT_EQ(b.StartUpload(101, kPhoto, f.path + "/p.jpg"), 0);  // no takeover of A's work
         ASSERT_TRUE(b.SendData(101, kPhoto, 0, kPhoto.size()));
         ASSERT_TRUE(b.Finish(101));
         ASSERT_TRUE(a.SendData(1, kPhoto, 90000, kPhoto.size()));
         ASSERT_TRUE(a.Finish(1));
       },
       [](const Folder& f) {
         const auto files = FilesByMd5(f.path);
         EXPECT_EQ(files.size(), 2u);
         EXPECT_EQ(files.at("p.jpg"), Md5Of(kPhoto));
         EXPECT_EQ(files.at("p.jpg.(0).jpg"), Md5Of(kPhoto));
       }},
      {"one photo sent to two folders at once",
       [](Phone& a, Phone& b, const Folder& f) {
         ASSERT_EQ(a.StartUpload(2, kPhoto, f.path + "/x/p.jpg"), 0);
         ASSERT_TRUE(a.SendData(2, kPhoto, 0, 50000));
         ASSERT_TRUE(a.Sync());
         EXPECT_EQ(b.StartUpload(3, kPhoto, f.path + "/y/p.jpg"), 0);
         ASSERT_TRUE(b.SendData(3, kPhoto, 0, kPhoto.size()));
         ASSERT_TRUE(a.SendData(2, kPhoto, 50000, kPhoto.size()));
         ASSERT_TRUE(a.Finish(2));
         ASSERT_TRUE(b.Finish(3));
       },
       [](const Folder& f) {
         EXPECT_EQ(FilesByMd5(f.path + "/x"),
                   (std::map<std::string, std::string>{{"p.jpg", Md5Of(kPhoto)}}));
         EXPECT_EQ(FilesByMd5(f.path + "/y"),
                   (std::map<std::string, std::string>{{"p.jpg", Md5Of(kPhoto)}}));
       }},
      {"B announces content the target already holds while A writes a new version to it",
       [](Phone& a, Phone& b, const Folder& f) {
         std::ofstream(f.path + "/doc.bin", std::ios::binary) << kPhoto;
         ASSERT_EQ(a.StartUpload(4, kOther, f.path + "/doc.bin"), 0);
         ASSERT_TRUE(a.SendData(4, kOther, 0, 70000));
         ASSERT_TRUE(a.Sync());
         EXPECT_EQ(b.StartUpload(104, kPhoto, f.path + "/doc.bin"),
                   static_cast<long long>(kPhoto.size()));  // already there
         ASSERT_TRUE(b.Finish(104));
         ASSERT_TRUE(a.SendData(4, kOther, 70000, kOther.size()));
         ASSERT_TRUE(a.Finish(4));
       },
       [](const Folder& f) {
         const auto files = FilesByMd5(f.path);
         EXPECT_EQ(files.size(), 2u);
         EXPECT_EQ(files.at("doc.bin"), Md5Of(kPhoto));
         EXPECT_EQ(files.at("doc.bin.(0).bin"), Md5Of(kOther));
       }},
      {"B uploads other content to A's target: its temporary file is hidden from listings",
       [](Phone& a, Phone& b, const Folder& f) {
         ASSERT_EQ(a.StartUpload(5, kPhoto, f.path + "/v.mp4"), 0);
         ASSERT_TRUE(a.SendData(5, kPhoto, 0, 1000));
         ASSERT_TRUE(a.Sync());
         ASSERT_EQ(b.StartUpload(6, kOther, f.path + "/v.mp4"), 0);
         ASSERT_TRUE(b.SendData(6, kOther, 0, 1000));
         ASSERT_TRUE(b.Sync());
         bool sawTemporary = false;
         for (const auto& e : std::filesystem::directory_iterator(f.path)) {
           sawTemporary = sawTemporary || e.path().filename().string().find(".(0)") !=
                                              std::string::npos;
         }
         EXPECT_TRUE(sawTemporary) << "B's temporary file got a name of its own";
         EXPECT_EQ(a.List(f.path), std::vector<std::string>{});
         EXPECT_EQ(b.List(f.path), std::vector<std::string>{});
         ASSERT_TRUE(a.SendData(5, kPhoto, 1000, kPhoto.size()));
         ASSERT_TRUE(a.Finish(5));
         ASSERT_TRUE(b.SendData(6, kOther, 1000, kOther.size()));
         ASSERT_TRUE(b.Finish(6));
         EXPECT_EQ(b.List(f.path), (std::vector<std::string>{"v.mp4", "v.mp4.(0).mp4"}));
       },
       [](const Folder& f) {
         const auto files = FilesByMd5(f.path);
         EXPECT_EQ(files.size(), 2u);
         EXPECT_EQ(files.at("v.mp4"), Md5Of(kPhoto));
         EXPECT_EQ(files.at("v.mp4.(0).mp4"), Md5Of(kOther));
       }},
      {"A pipelines the next download behind a running one while B browses",
       [](Phone& a, Phone& b, const Folder& f) {
         const std::string big = f.path + "/big.bin";
         ASSERT_EQ(truncate((std::ofstream(big) << "x", big).c_str(), 30 << 20), 0);
         std::ofstream(f.path + "/small.txt", std::ios::binary) << kPhoto.substr(0, 2500);
         DeviceMessage m;
         ASSERT_TRUE(a.Client().Send(kOpReqDownload, 7, PathRequestBody(big)));
         ASSERT_TRUE(a.Client().ReadMessage(m, kWait));
         ASSERT_EQ(m.header.opcode, kOpDownloadInfo);
         ASSERT_TRUE(a.Client().SendRaw(
             Concat({BuildMessage(kOpAllowDownload, 7, U32RequestBody(0)),
                     BuildMessage(kOpReqDownload, 8, PathRequestBody(f.path + "/small.txt")),
                     BuildMessage(kOpAllowDownload, 8, U32RequestBody(0))})));
         // B is answered while A's download streams.
         EXPECT_EQ(b.List(f.path), (std::vector<std::string>{"big.bin", "small.txt"}));
         std::vector<std::pair<uint16_t, uint32_t>> order;
         uint64_t second = 0;
         while (a.Client().ReadMessage(m, kWait)) {
           if (order.empty() || order.back() != std::make_pair(m.header.opcode, m.header.param))
             order.emplace_back(m.header.opcode, m.header.param);
           if (m.header.opcode == kOpPackage && m.header.param == 8) second += m.body.size() - 12;
           if (m.header.opcode == kOpDownloadOver && m.header.param == 8) break;
         }
         EXPECT_EQ(order, (std::vector<std::pair<uint16_t, uint32_t>>{
                              {kOpPackage, 7}, {kOpDownloadOver, 7}, {kOpDownloadInfo, 8},
                              {kOpPackage, 8}, {kOpDownloadOver, 8}}));
         EXPECT_EQ(second, 2500u);
       },
       [](const Folder&) {}},
  };

  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Folder folder{s_share + "/case" + std::to_string(n++)};
    std::filesystem::create_directories(folder.path);
    Phone a, b;
    ASSERT_TRUE(a.Connect(s_port));
    ASSERT_TRUE(b.Connect(s_port));
    c.run(a, b, folder);
    c.check(folder);
    std::map<std::string, std::string> all;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder.path)) {
      if (e.is_regular_file()) all[e.path().string()] = "";
    }
    ExpectNoLeftovers(all);
  }
}

// Sixteen phones download sixteen different files at once; each gets its file byte for byte,
// whichever event loop serves it.
TEST_F(ManyPhones, SixteenDownloadsAtOnceEachByteForByte) {
  ASSERT_NE(s_port, 0) << s_svc->LogText();
  constexpr int kPhones = 16;
  const std::string dir = s_share + "/sixteen";
  std::filesystem::create_directories(dir);
  std::vector<std::string> md5s;
  for (int i = 0; i < kPhones; ++i) {
    const std::string content = Pattern(2 * 1024 * 1024 + 777 * static_cast<size_t>(i), 100 + i);
    std::ofstream(dir + "/f" + std::to_string(i), std::ios::binary) << content;
    md5s.push_back(Md5Of(content));
  }
  std::vector<std::string> got(kPhones);
  std::vector<char> status(kPhones, 0);
  std::vector<std::thread> phones;
  for (int i = 0; i < kPhones; ++i) {
    phones.emplace_back([&, i] {
      DeviceClient c;
      if (!c.Connect("127.0.0.1", s_port)) return;
      const uint32_t id = static_cast<uint32_t>(900 + i);
      DeviceMessage m;
      if (!c.Send(kOpReqDownload, id, PathRequestBody(dir + "/f" + std::to_string(i))) ||
          !c.ReadMessage(m, kWait) || m.header.opcode != kOpDownloadInfo ||
          !c.Send(kOpAllowDownload, id, U32RequestBody(0))) {
        return;
      }
      std::string data;
      while (c.ReadMessage(m, kWait) && m.header.opcode == kOpPackage) {
        data.append(m.body.begin() + 12, m.body.end());
      }
      if (m.header.opcode == kOpDownloadOver && !m.body.empty()) status[i] = static_cast<char>(m.body[0]);
      got[i] = Md5Of(data);
    });
  }
  for (auto& t : phones) t.join();
  for (int i = 0; i < kPhones; ++i) {
    EXPECT_EQ(status[i], '0') << i;
    EXPECT_EQ(got[i], md5s[i]) << i;
  }
}

}  // namespace
