// Link-swap races against the real service: while a local program swaps a folder inside a
// share for a link to a folder outside (and back, atomically, over and over), phones list it,
// fetch thumbnails and download information of its files, and upload into it. Nothing of the
// outside folder may ever be listed, read, scaled or written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/md5.h"
#include "common/proto_transfer.h"
#include "common/wire.h"
#include "service/transfers/download.h"
#include "service/transfers/folder_listing.h"
#include "service/transfers/upload.h"
#include "tests/support/device_client.h"
#include "tests/support/link_swapper.h"
#include "tests/support/pictures.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/thumb_client.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRace = std::chrono::seconds(3);
constexpr auto kWait = std::chrono::seconds(20);
// Requests of each kind that a swap must land inside of: a few swaps at the start of the race
// (and none later) do not make so many.
constexpr int kRaced = 20;

// Width and height of a baseline JPEG, from its SOF0 marker.
std::pair<int, int> JpegSize(const std::vector<uint8_t>& jpeg) {
  const long sof = FindMarker(jpeg, 0xC0);
  if (sof < 0 || size_t(sof) + 9 > jpeg.size()) return {0, 0};
  const size_t at = size_t(sof);
  return {jpeg[at + 7] << 8 | jpeg[at + 8], jpeg[at + 5] << 8 | jpeg[at + 6]};
}

// Every entry below `dir`, links not followed, with the MD5 of each file's content.
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = fs::relative(it->path(), dir).string();
    std::string content;
    if (it->is_regular_file() && !it->is_symlink()) {
      const auto bytes = ReadBytes(it->path().string());
      CMd5Hash md5;
      md5.Update(bytes.data(), bytes.size());
      content = md5.HexDigest();
    }
    out[rel] = content;
  }
  return out;
}

Bytes UploadRequestBody(uint32_t size, const std::string& content, const std::string& path) {
  Bytes body(380, 0);
  wire::PutU32(body.data(), size);
  // The fingerprint of content this short is the MD5 of all of it.
  CMd5Hash md5;
  md5.Update(reinterpret_cast<const unsigned char*>(content.data()), content.size());
  std::memcpy(body.data() + 8, md5.RawDigest(), 16);
  std::memcpy(body.data() + 25, path.data(), std::min<size_t>(path.size(), 355));
  return body;
}

// The real service with one share holding "swap", a real folder that a swapper keeps
// exchanging with a link to "outside". Both hold files of the same names with other contents.
class LinkSwapService : public ::testing::Test {
 protected:
  void SetUp() override {
    m_share = m_base.MakeDir("share");
    m_base.SetShares({m_share});
    m_base.MakeDefaultDirs();
    const std::string inside = m_base.MakeDir("share/swap");
    const std::string outside = m_base.MakeDir("outside");
    m_base.WriteFile("share/swap/note.txt", "inside");
    m_base.WriteFile("outside/note.txt", "outside secret");
    m_base.WriteFile("outside/only-outside.txt", "secret");
    m_base.MakeDir("outside/only-outside-dir");
    MakePicture({"-size", "64x48", "plasma:", inside + "/pic.jpg"});
    MakePicture({"-size", "40x30", "plasma:", outside + "/pic.jpg"});
    m_outsideBefore = Tree(outside);
    m_outside = outside;
    m_swap = inside;

    m_svc.reset(new ServiceProcess(m_base.Dir()));
    m_svc->CopyPrograms();
    ASSERT_TRUE(m_svc->Start()) << m_svc->LogText();
    m_port = m_svc->WaitForPort();
    ASSERT_NE(m_port, 0);
  }
  void TearDown() override {
    if (m_svc) m_svc->NetStop();
  }

  // Runs `phone` on its own connection until the race ends: its number of requests, and of
  // requests that a swap landed inside of (begun after the request was sent and done before
  // its answer was read: of the swaps counted meanwhile, the first may have begun before).
  // The race goes on past its time until enough did, within a deadline.
  void Phone(const std::function<bool(DeviceClient&, uint32_t)>& one, const LinkSwapper& swapper,
             std::atomic<int>& done, std::atomic<int>& raced) {
    DeviceClient c;
    if (!c.Connect("127.0.0.1", m_port)) {
      ADD_FAILURE() << "no connection";
      return;
    }
    const auto until = Clock::now() + kRace;
    const auto deadline = until + kWait;
    for (uint32_t id = 1; Clock::now() < until || (raced.load() < kRaced && Clock::now() < deadline); ++id) {
      const long before = swapper.Swaps();
      if (!one(c, id)) return;
      if (swapper.Swaps() - before > 1) ++raced;
      ++done;
    }
  }

  TempBase m_base;
  std::string m_share, m_swap, m_outside;
  std::map<std::string, std::string> m_outsideBefore;
  std::unique_ptr<ServiceProcess> m_svc;
  uint16_t m_port = 0;
};

TEST_F(LinkSwapService, NothingOutsideIsListedScaledReadOrWritten) {
  std::mutex seenMutex;
  std::set<std::string> listed;  // "name size"
  std::set<std::pair<int, int>> scaled;
  std::set<uint32_t> downloadSizes;
  std::atomic<int> listings{0}, thumbs{0}, downloads{0}, uploads{0};
  std::atomic<int> racedListings{0}, racedThumbs{0}, racedDownloads{0}, racedUploads{0};

  LinkSwapper swapper(m_swap, m_outside);
  ASSERT_TRUE(swapper.Start()) << swapper.Error();

  std::vector<std::thread> phones;
  phones.emplace_back([&] {
    Phone([&](DeviceClient& c, uint32_t id) {
      if (!c.Send(kOpGetAllSubFile, id, PathRequestBody(m_swap))) return false;
      // Messages up to the total of the first (a refusal carries a count of zero).
      uint32_t seen = 0, total = 0;
      do {
        DeviceMessage m;
        if (!c.ReadMessage(m, kWait) || m.body.size() < 12) return false;
        const uint32_t count = wire::GetU32(m.body.data());
        total = wire::GetU32(m.body.data() + 4);
        seen += count;
        if (count == 0) break;
        std::vector<FileListEntry> entries;
        if (!ParseFileListLines(std::string(m.body.begin() + 12, m.body.end()), entries)) return false;
        std::lock_guard<std::mutex> lock(seenMutex);
        for (const auto& e : entries) listed.insert(e.name + " " + std::to_string(e.size));
      } while (seen < total);
      return true;
    }, swapper, listings, racedListings);
  });
  phones.emplace_back([&] {
    Phone([&](DeviceClient& c, uint32_t id) {
      ThumbAnswer a;
      if (!FetchThumbnail(c, id, 2000, 2000, m_swap + "/pic.jpg", a)) return false;
      if (a.status == 0) {
        std::lock_guard<std::mutex> lock(seenMutex);
        scaled.insert(JpegSize(a.thumbnail));
      }
      return true;
    }, swapper, thumbs, racedThumbs);
  });
  phones.emplace_back([&] {
    Phone([&](DeviceClient& c, uint32_t id) {
      if (!c.Send(kOpReqDownLoadFile, id, PathRequestBody(m_swap + "/note.txt"))) return false;
      DeviceMessage m;
      if (!c.ReadMessage(m, kWait)) return false;
      if (m.header.opcode == kOpDownloadInfo && m.body.size() >= 4) {
        std::lock_guard<std::mutex> lock(seenMutex);
        downloadSizes.insert(wire::GetU32(m.body.data()));
      }
      return c.Send(kOpRefuseDownLoadFile, id);  // the session is let go
    }, swapper, downloads, racedDownloads);
  });
  phones.emplace_back([&] {
    Phone([&](DeviceClient& c, uint32_t id) {
      const std::string content = "upload " + std::to_string(id);
      const std::string target = m_swap + "/up" + std::to_string(id) + ".txt";
      if (!c.Send(kOpReqUpLoadFile, id, UploadRequestBody(uint32_t(content.size()), content, target)))
        return false;
      DeviceMessage m;
      if (!c.ReadMessage(m, kWait)) return false;
      if (m.header.opcode != kOpUploadAllow) return true;
      const Bytes data(content.begin(), content.end());
      if (!c.SendRaw(BuildTransMessage(kOpUpLoadFile, id, 0, 0, 0, data))) return false;
      if (!c.Send(kOpOverUpLoadFile, id, Bytes{0})) return false;
      // The end is published before the next request is answered.
      return true;
    }, swapper, uploads, racedUploads);
  });
  for (auto& t : phones) t.join();
  swapper.Stop();

  // Every kind of request was raced: swaps landed between its sending and its answer, where
  // the service checks the path and then uses it.
  EXPECT_GE(racedListings.load(), kRaced) << "of " << listings.load() << " listings";
  EXPECT_GE(racedThumbs.load(), kRaced) << "of " << thumbs.load() << " thumbnails";
  EXPECT_GE(racedDownloads.load(), kRaced) << "of " << downloads.load() << " downloads";
  EXPECT_GE(racedUploads.load(), kRaced) << "of " << uploads.load() << " uploads";
  for (const std::string& entry : listed) {
    EXPECT_EQ(entry.find("only-outside"), std::string::npos) << entry;
    EXPECT_NE(entry, "note.txt 14") << "the outside file's size was listed";
  }
  EXPECT_TRUE(listed.count("note.txt 6")) << "the inside folder was never listed";
  for (const auto& size : scaled)
    EXPECT_EQ(size, std::make_pair(64, 48)) << "a thumbnail of the outside picture";
  for (const uint32_t size : downloadSizes) EXPECT_EQ(size, 6u) << "the outside file was opened";
  // The outside folder is exactly as it was: no upload, temporary or side file reached it.
  EXPECT_EQ(Tree(m_outside), m_outsideBefore);
}

}  // namespace
