#include "service/transfers/upload.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/md5.h"
#include "common/share_paths.h"
#include "common/wire.h"
#include "service/core/deferred_reply.h"
#include "service/transfers/download.h"
#include "service/transfers/folder_listing.h"
#include "service/core/pool_request.h"
#include "service/transfers/transfer_sessions.h"
#include "service/transfers/upload_names.h"
#include "service/transfers/upload_writer.h"
#include "tests/service/updown_fixture.h"

namespace {

using namespace updown;

constexpr size_t kChunk = 60000;

struct Fingerprint {
  uint8_t bytes[16];
};

Fingerprint QuickOf(const std::string& file) {
  Fingerprint fp;
  CMd5Hash md5(file);
  std::memcpy(fp.bytes, md5.RawDigest(), 16);
  return fp;
}

Bytes RequestBody(uint32_t size, const Fingerprint& fp, const std::string& path) {
  Bytes body(380, 0);
  wire::PutU32(body.data(), size);
  std::memcpy(body.data() + 8, fp.bytes, 16);
  std::memcpy(body.data() + 25, path.data(), std::min<size_t>(path.size(), 355));
  return body;
}

struct Answer {
  bool ok = false;
  uint16_t opcode = 0;
  uint16_t len = 0;
  uint32_t param = 0;
  uint32_t allowed = 0;
  uint16_t code = 0;
};

Answer Request(DeviceClient& c, uint32_t id, uint32_t size, const Fingerprint& fp,
               const std::string& path) {
  Answer a;
  if (!c.Send(kOpReqUpLoadFile, id, RequestBody(size, fp, path))) return a;
  DeviceMessage m;
  if (!c.ReadMessage(m, kWait)) return a;
  a.ok = true;
  a.opcode = m.header.opcode;
  a.len = m.header.len;
  a.param = m.header.param;
  const wire::Reader in(m.body.data(), m.body.size());
  if (a.opcode == kOpUploadAllow) {
    in.U32(0, a.allowed);
  } else {
    in.U16(0, a.code);
  }
  return a;
}

bool SendData(DeviceClient& c, uint32_t id, const std::string& data, size_t from, size_t to) {
  for (size_t at = from; at < to; at += kChunk) {
    const size_t n = std::min(kChunk, to - at);
    const Bytes payload(data.begin() + at, data.begin() + at + n);
    if (!c.SendRaw(BuildTransMessage(kOpUpLoadFile, id, 0, 0, 0, payload))) return false;
  }
  return true;
}

bool Over(DeviceClient& c, uint32_t id, uint8_t status) {
  return c.Send(kOpOverUpLoadFile, id, Bytes{status});
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

class UploadTest : public UpDownTest {
 protected:
  // A source file outside the shares and its quick fingerprint.
  std::string Source(const std::string& name, const std::string& content) {
    const std::string path = m_base->Dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
};

TEST(UploadLayouts, ReplyAndRefusalGoldenBytes) {
  char* reply = nullptr;
  int len = 0;
  ASSERT_TRUE(WriteTransErrorReply(kOpUploadRefused, 0x0A0B0C0D, 0xFFFF, &reply, &len));
  std::unique_ptr<char[]> owned(reply);
  ASSERT_EQ(len, 266);
  const uint8_t head[11] = {0x01, 0x0A, 0x10, 0x11, 0x0A, 0x0B, 0x0C, 0x0D, 0xFF, 0xFF, '0'};
  EXPECT_EQ(0, std::memcmp(reply, head, sizeof head));
}

TEST_F(UploadTest, WholeUploadIntoNewFoldersMatchesItsSource) {
  const std::string content = Pattern(300000, 2);
  const std::string src = Source("src.bin", content);
  const std::string target = m_share + "/new/sub/photo.jpg";
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  const Answer a = Request(c, 21, content.size(), QuickOf(src), target);
  ASSERT_TRUE(a.ok);
  ASSERT_EQ(a.opcode, kOpUploadAllow);
  EXPECT_EQ(a.len, 12);
  EXPECT_EQ(a.param, 21u);
  EXPECT_EQ(a.allowed, 0u);

  // The resume record beside the target: its path, then the fingerprint in hex.
  const std::string side = ReadWhole(target + "quarlo.renametmp");
  ASSERT_EQ(side.size(), 288u);
  EXPECT_EQ(std::string(side.c_str()), target);
  EXPECT_EQ(side.find_first_not_of('\0', target.size()), 255u);
  EXPECT_EQ(std::string(side.c_str() + 255), CMd5Hash::BytesToHex(QuickOf(src).bytes, 16));
  EXPECT_EQ(side[287], '\0');

  // A download start under the upload's id does not end the upload.
  Bytes start(4, 0);
  ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, 21, start));
  DeviceMessage m;
  ASSERT_TRUE(c.ReadMessage(m, kWait));
  EXPECT_EQ(m.header.opcode, kOpDownloadOver);
  EXPECT_EQ(m.body[0], '1');

  ASSERT_TRUE(SendData(c, 21, content, 0, content.size()));
  ASSERT_TRUE(Over(c, 21, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(Md5Sum(target), Md5Sum(src));
  EXPECT_FALSE(FileExists(target + "quarlo.rename"));
  EXPECT_FALSE(FileExists(target + "quarlo.renametmp"));
  EXPECT_EQ(Trans_Count(), 0u);
  const auto rows = LogRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].type, 0);
  EXPECT_EQ(rows[0].size, content.size());
  EXPECT_EQ(std::string(rows[0].file), target);
}

TEST_F(UploadTest, DefaultFolderTokenLandsInItsFolder) {
  const DefaultDirSet dirs = m_base->MakeDefaultDirs();
  const std::string content = Pattern(1234, 4);
  const std::string src = Source("pic.jpg", content);
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  const Answer a = Request(c, 3, content.size(), QuickOf(src), "$DEFAULT_PIC$\\pic.jpg");
  ASSERT_EQ(a.opcode, kOpUploadAllow);
  ASSERT_TRUE(SendData(c, 3, content, 0, content.size()));
  ASSERT_TRUE(Over(c, 3, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(ReadWhole(dirs.pic + "/pic.jpg"), content);
}

TEST_F(UploadTest, BreakAt5000ThenResumeSendsOnlyTheRest) {
  const std::string content = Pattern(12000, 3);
  const std::string src = Source("resume.bin", content);
  const std::string target = m_share + "/resume.bin";
  {
    DeviceClient c;
    ASSERT_TRUE(Connect(c));
    ASSERT_EQ(Request(c, 7, content.size(), QuickOf(src), target).allowed, 0u);
    ASSERT_TRUE(SendData(c, 7, content, 0, 5000));
    ASSERT_TRUE(Sync(c));
  }
  ASSERT_TRUE(WaitFor([] { return Trans_Count() == 0; }, kWait));
  Upload_Flush();  // data is written off the event thread: the writer has caught up
  EXPECT_EQ(FileSize(target + "quarlo.rename"), 5000u);

  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  const Answer a = Request(c, 8, content.size(), QuickOf(src), target);
  ASSERT_EQ(a.opcode, kOpUploadAllow);
  EXPECT_EQ(a.allowed, 5000u);
  ASSERT_TRUE(SendData(c, 8, content, 5000, content.size()));
  ASSERT_TRUE(Over(c, 8, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(Md5Sum(target), Md5Sum(src));
  EXPECT_EQ(LogRows().size(), 1u);
}

// Status 0 with fewer bytes than announced publishes nothing; the data stays for a resume.
TEST_F(UploadTest, ShortUploadIsKeptForResumeNotPublished) {
  const std::string content = Pattern(10000, 5);
  const std::string src = Source("short.bin", content);
  const std::string target = m_share + "/short.bin";
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  ASSERT_EQ(Request(c, 1, content.size(), QuickOf(src), target).allowed, 0u);
  ASSERT_TRUE(SendData(c, 1, content, 0, 4000));
  ASSERT_TRUE(Over(c, 1, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_FALSE(FileExists(target));
  EXPECT_EQ(FileSize(target + "quarlo.rename"), 4000u);
  EXPECT_TRUE(FileExists(target + "quarlo.renametmp"));
  EXPECT_TRUE(LogRows().empty());

  // An abandoned upload (status 1) with its resume record keeps the data too.
  ASSERT_EQ(Request(c, 2, content.size(), QuickOf(src), target).allowed, 4000u);
  ASSERT_TRUE(SendData(c, 2, content, 4000, 6000));
  ASSERT_TRUE(Over(c, 2, 1));
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(FileSize(target + "quarlo.rename"), 6000u);

  ASSERT_EQ(Request(c, 3, content.size(), QuickOf(src), target).allowed, 6000u);
  ASSERT_TRUE(SendData(c, 3, content, 6000, content.size()));
  ASSERT_TRUE(Over(c, 3, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(ReadWhole(target), content);
}

// Data past the announced size is refused: announcing a little cannot fill a share's disk.
TEST_F(UploadTest, DataPastTheAnnouncedSizeIsRefused) {
  const std::string content = Pattern(1000, 8);
  const std::string src = Source("tiny.bin", content);
  const std::string target = m_share + "/tiny.bin";
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  ASSERT_EQ(Request(c, 1, content.size(), QuickOf(src), target).allowed, 0u);
  const std::string flood = content + Pattern(300000, 9);
  ASSERT_TRUE(SendData(c, 1, flood, 0, flood.size()));
  ASSERT_TRUE(Sync(c));
  EXPECT_LE(FileSize(target + "quarlo.rename"), content.size());
  ASSERT_TRUE(Over(c, 1, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_FALSE(FileExists(target));  // not what the phone announced: not published
  EXPECT_TRUE(LogHas("upload data past the 1000 announced bytes of " + target + " refused."));
  EXPECT_TRUE(LogRows().empty());
}

// A full disk mid-upload: the failed write is cut back, later data is refused, and the resume
// continues from the bytes that really landed, so the published file is the phone's file.
TEST_F(UploadTest, FullDiskMidUploadNeverPublishesACorruptFile) {
  const std::string disk = m_share + "/small";
  ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); needs root";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{disk};

  const std::string content = Pattern(300000, 10);
  const std::string src = Source("photo.jpg", content);
  const std::string target = disk + "/photo.jpg";
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  ASSERT_EQ(Request(c, 1, content.size(), QuickOf(src), target).allowed, 0u);
  ASSERT_TRUE(SendData(c, 1, content, 0, 120000));
  ASSERT_TRUE(Sync(c));
  Upload_Flush();  // each step meets the disk as the test left it
  // Another program fills the disk.
  const std::string filler = disk + "/filler";
  {
    std::ofstream f(filler, std::ios::binary);
    f << Pattern(1024 * 1024, 11);
  }
  ASSERT_TRUE(SendData(c, 1, content, 120000, 150000));  // does not fit
  ASSERT_TRUE(Sync(c));
  Upload_Flush();
  ASSERT_EQ(unlink(filler.c_str()), 0);  // room again: later data must not land after a gap
  ASSERT_TRUE(SendData(c, 1, content, 150000, content.size()));
  ASSERT_TRUE(Over(c, 1, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_FALSE(FileExists(target));
  const uint64_t kept = FileSize(target + "quarlo.rename");
  EXPECT_GE(kept, 120000u);
  EXPECT_EQ(ReadWhole(target + "quarlo.rename"), content.substr(0, kept));

  const Answer again = Request(c, 2, content.size(), QuickOf(src), target);
  ASSERT_EQ(again.opcode, kOpUploadAllow);
  EXPECT_EQ(again.allowed, kept);
  ASSERT_TRUE(SendData(c, 2, content, again.allowed, content.size()));
  ASSERT_TRUE(Over(c, 2, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(Md5Sum(target), Md5Sum(src));
}

// One connection cannot open uploads (and their files) without bound.
TEST_F(UploadTest, OpenUploadsAreCappedPerConnection) {
  const std::string content = Pattern(100, 14);
  const std::string src = Source("many.bin", content);
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  size_t allowed = 0, refused = 0;
  for (uint32_t id = 1; id <= 40; ++id) {
    const Answer a = Request(c, id, content.size(), QuickOf(src), m_share + "/m" + std::to_string(id));
    if (a.opcode == kOpUploadAllow) ++allowed;
    if (a.opcode == kOpUploadRefused && a.code == kErrTransOther) ++refused;
  }
  EXPECT_EQ(allowed, kMaxTransfersPerRoute);
  EXPECT_EQ(refused, 40 - kMaxTransfersPerRoute);
  EXPECT_EQ(Listing(m_share).size(), 2 * kMaxTransfersPerRoute);  // a temporary and a side file each
}

TEST_F(UploadTest, ExistingNamesAreNeverOverwritten) {
  m_base->MakeDir("share/dir.d");
  std::ofstream(m_outside + "/victim") << "victim";
  ASSERT_EQ(symlink((m_outside + "/victim").c_str(), (m_share + "/link.txt").c_str()), 0);
  const struct { std::string target; std::vector<std::string> published; } cases[] = {
      {"a.jpg", {"a.jpg.(0).jpg", "a.jpg.(1).jpg"}},
      {"name", {"name.(0)", "name.(1)"}},
      {"dir.d/name", {"dir.d/name.(0)", "dir.d/name.(1)"}},  // the folder's dot is no extension
      {"link.txt", {"link.txt.(0).txt", "link.txt.(1).txt"}},
  };
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  uint32_t id = 60;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.target);
    const std::string target = m_share + "/" + k.target;
    if (!FileExists(target)) std::ofstream(target) << "old";
    for (size_t round = 0; round < k.published.size(); ++round) {
      const std::string content = Pattern(2000 + round, static_cast<unsigned>(id));
      const std::string src = Source("clash.bin", content);
      const Answer a = Request(c, ++id, content.size(), QuickOf(src), target);
      ASSERT_EQ(a.opcode, kOpUploadAllow);
      ASSERT_TRUE(SendData(c, id, content, 0, content.size()));
      ASSERT_TRUE(Over(c, id, 0));
      ASSERT_TRUE(Sync(c));
      EXPECT_EQ(ReadWhole(m_share + "/" + k.published[round]), content);
    }
  }
  EXPECT_EQ(ReadWhole(m_share + "/a.jpg"), "old");
  EXPECT_EQ(ReadWhole(m_outside + "/victim"), "victim");
  EXPECT_EQ(Listing(m_outside), std::vector<std::string>{"victim"});
}

TEST_F(UploadTest, RenameUploadFileCandidates) {
  const std::string t = m_share + "/r.png";
  std::ofstream(t) << "x";
  std::ofstream(t + ".(0).png") << "y";
  std::ofstream(t + "quarlo.rename") << "data";
  EXPECT_EQ(RenameUploadFile(t + "quarlo.rename", t), t + ".(1).png");
  EXPECT_EQ(ReadWhole(t + ".(1).png"), "data");
  // An empty upload beside an existing file is not kept.
  std::ofstream(t + "quarlo.rename") << "";
  EXPECT_EQ(RenameUploadFile(t + "quarlo.rename", t), t + ".(2).png");
  EXPECT_FALSE(FileExists(t + ".(2).png"));
  // Free target: the data takes its name.
  std::ofstream(m_share + "/free.bin.tmp") << "z";
  EXPECT_EQ(RenameUploadFile(m_share + "/free.bin.tmp", m_share + "/free.bin"), m_share + "/free.bin");
  EXPECT_EQ(ReadWhole(m_share + "/free.bin"), "z");
}

TEST_F(UploadTest, SameContentAlreadyThereIsAllowedWhole) {
  const std::string content = Pattern(100000, 6);
  const std::string target = m_share + "/same.bin";
  std::ofstream(target, std::ios::binary) << content;
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  const Answer a = Request(c, 4, content.size(), QuickOf(target), target);
  ASSERT_EQ(a.opcode, kOpUploadAllow);
  EXPECT_EQ(a.allowed, content.size());
  ASSERT_TRUE(Over(c, 4, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(ReadWhole(target), content);
  EXPECT_EQ(Listing(m_share), std::vector<std::string>{"same.bin"});
  EXPECT_TRUE(LogRows().empty());
}

// Nothing is made, opened or written outside the shares, whatever the path says.
TEST_F(UploadTest, EscapesAreRefusedAndCreateNothing) {
  ASSERT_EQ(symlink(m_outside.c_str(), (m_share + "/outlink").c_str()), 0);
  std::string noEnd = m_share + "/";
  while (noEnd.size() < 400) noEnd += "y";
  const struct { std::string path; uint16_t code; } cases[] = {
      {m_share + "/../outside/x.bin", 4118},
      {m_share + "/missing/../../outside/x.bin", 4118},
      {m_share + "/outlink/x.bin", 4118},
      {m_share + "/outlink/newdir/deeper/x.bin", 4118},
      {m_outside + "/x.bin", 4118},
      {m_outside + "/newdir/x.bin", 4118},
      {noEnd, 4118},
      {"$DEFAULT$/x.bin", 0},  // no default folder set
  };
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  Fingerprint fp{};
  fp.bytes[0] = 1;
  uint32_t id = 80;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.path);
    const Answer a = Request(c, ++id, 100, fp, k.path);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.opcode, kOpUploadRefused);
    EXPECT_EQ(a.len, kTransErrorReplySize);
    EXPECT_EQ(a.param, id);
    EXPECT_EQ(a.code, k.code);
  }
  EXPECT_TRUE(Listing(m_outside).empty());
  EXPECT_EQ(Listing(m_share), std::vector<std::string>{"outlink"});
  EXPECT_EQ(Trans_Count(), 0u);
}

// A resume whose temporary file was replaced by a link is refused, not written through.
TEST_F(UploadTest, LinkedTemporaryFileIsRefused) {
  const std::string content = Pattern(3000, 8);
  const std::string src = Source("l.bin", content);
  const std::string target = m_share + "/l.bin";
  {
    DeviceClient c;
    ASSERT_TRUE(Connect(c));
    ASSERT_EQ(Request(c, 1, content.size(), QuickOf(src), target).allowed, 0u);
    ASSERT_TRUE(SendData(c, 1, content, 0, 1000));
    ASSERT_TRUE(Sync(c));
  }
  ASSERT_TRUE(WaitFor([] { return Trans_Count() == 0; }, kWait));
  std::ofstream(m_outside + "/victim") << "v";
  ASSERT_EQ(unlink((target + "quarlo.rename").c_str()), 0);
  ASSERT_EQ(symlink((m_outside + "/victim").c_str(), (target + "quarlo.rename").c_str()), 0);

  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  const Answer a = Request(c, 2, content.size(), QuickOf(src), target);
  EXPECT_EQ(a.opcode, kOpUploadRefused);
  EXPECT_EQ(a.code, kErrTransOther);
  EXPECT_EQ(ReadWhole(m_outside + "/victim"), "v");
}

TEST_F(UploadTest, OverlongTemporaryFileStartsAgain) {
  const std::string content = Pattern(3000, 10);
  const std::string src = Source("o.bin", content);
  const std::string target = m_share + "/o.bin";
  {
    DeviceClient c;
    ASSERT_TRUE(Connect(c));
    ASSERT_EQ(Request(c, 1, content.size(), QuickOf(src), target).allowed, 0u);
    ASSERT_TRUE(SendData(c, 1, content, 0, 1000));
    ASSERT_TRUE(Sync(c));
  }
  ASSERT_TRUE(WaitFor([] { return Trans_Count() == 0; }, kWait));
  Upload_Flush();
  std::ofstream(target + "quarlo.rename", std::ios::app) << Pattern(5000, 11);

  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  ASSERT_EQ(Request(c, 2, content.size(), QuickOf(src), target).allowed, 0u);
  EXPECT_EQ(FileSize(target + "quarlo.rename"), 0u);
  ASSERT_TRUE(SendData(c, 2, content, 0, content.size()));
  ASSERT_TRUE(Over(c, 2, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(ReadWhole(target), content);
}

// Two phones that pick the same session id, or fingerprints that begin with a zero byte, do
// not disturb each other's uploads.
TEST_F(UploadTest, OtherPhonesCannotDisturbAnUpload) {
  const std::string content = Pattern(7000, 12);
  const std::string target = m_share + "/mine.bin";
  Fingerprint mine{};
  mine.bytes[1] = 1;  // begins with a zero byte
  Fingerprint theirs{};
  theirs.bytes[1] = 2;  // also begins with a zero byte
  DeviceClient a, b;
  ASSERT_TRUE(Connect(a));
  ASSERT_TRUE(Connect(b));
  ASSERT_EQ(Request(a, 5, content.size(), mine, target).opcode, kOpUploadAllow);
  ASSERT_TRUE(SendData(a, 5, content, 0, 3000));
  ASSERT_TRUE(Sync(a));

  const Answer same = Request(b, 5, 50, theirs, m_share + "/theirs.bin");
  EXPECT_EQ(same.opcode, kOpUploadRefused);
  EXPECT_EQ(same.code, kErrTransOther);
  ASSERT_TRUE(SendData(b, 5, Pattern(500, 13), 0, 500));  // dropped: not b's session
  ASSERT_TRUE(Over(b, 5, 1));
  ASSERT_EQ(Request(b, 6, 50, theirs, m_share + "/theirs.bin").opcode, kOpUploadAllow);
  ASSERT_TRUE(Sync(b));

  ASSERT_TRUE(SendData(a, 5, content, 3000, content.size()));
  ASSERT_TRUE(Over(a, 5, 0));
  ASSERT_TRUE(Sync(a));
  EXPECT_EQ(ReadWhole(target), content);
}

TEST_F(UploadTest, MalformedMessagesAreRefusedOrDropped) {
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  ASSERT_TRUE(c.Send(kOpReqUpLoadFile, 9, Bytes(100, 'a')));
  DeviceMessage m;
  ASSERT_TRUE(c.ReadMessage(m, kWait));
  EXPECT_EQ(m.header.opcode, kOpUploadRefused);
  EXPECT_EQ(wire::GetU16(m.body.data()), kErrTransOther);
  // Data shorter than its header, data and an end for ids that are not open.
  ASSERT_TRUE(c.Send(kOpUpLoadFile, 9, Bytes(5, 1)));
  ASSERT_TRUE(c.SendRaw(BuildTransMessage(kOpUpLoadFile, 10, 0, 0, 0, Bytes(10, 2))));
  ASSERT_TRUE(c.Send(kOpOverUpLoadFile, 10));
  ASSERT_TRUE(Over(c, 11, 0));
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(Listing(m_share), std::vector<std::string>{});
}

// The gate a test holds requests' disk work at: a slow disk, as the pool task sees it.
struct DiskGate {
  static std::mutex mutex;
  static std::condition_variable changed;
  static bool open;
  static int waiting;
  static void Wait() {
    std::unique_lock<std::mutex> lock(mutex);
    ++waiting;
    changed.notify_all();
    changed.wait(lock, [] { return open; });
    --waiting;
  }
  static void Set(bool isOpen) {
    std::lock_guard<std::mutex> lock(mutex);
    open = isOpen;
    changed.notify_all();
  }
  static int Waiting() {
    std::lock_guard<std::mutex> lock(mutex);
    return waiting;
  }
};
std::mutex DiskGate::mutex;
std::condition_variable DiskGate::changed;
bool DiskGate::open = true;
int DiskGate::waiting = 0;

// Puts the gate in a worker's before-work hook for a test's length; however the test ends, the
// gate opens and the hook goes, so no work is left waiting at it.
class GateHook {
 public:
  using Setter = void (*)(void (*)());
  explicit GateHook(Setter set) : m_set(set) { m_set(&DiskGate::Wait); }
  ~GateHook() {
    DiskGate::Set(true);
    m_set(nullptr);
  }
  GateHook(const GateHook&) = delete;
  GateHook& operator=(const GateHook&) = delete;

 private:
  Setter m_set;
};

bool NothingToRead(int fd) {
  char byte;
  const ssize_t r = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Download and upload requests whose disk work is held back (a slow disk) hold up no other
// connection, whichever event loop it shares with them; the phone that asked gets its answer
// before the replies of its later requests; one that leaves meanwhile leaves no open transfer
// and no open file behind.
TEST_F(UploadTest, SlowDiskWorkOfARequestHoldsUpNoOtherConnection) {
  ASSERT_EQ(OS_RegFunction(GetShareInfo, kOpGetShareInfo), 0);
  // As the service registers the handlers that read folders or the settings database.
  ASSERT_EQ(OS_RegFunction(GetAllSubFile, kOpGetAllSubFile, PoolRequest_Place), 0);
  const std::string content = Pattern(3000, 5);
  const std::string present = m_share + "/present.bin";
  std::ofstream(present, std::ios::binary) << content;
  Bytes downloadBody(356, 0);
  std::memcpy(downloadBody.data() + 1, present.data(), present.size());
  downloadBody[256] = '1';
  const struct {
    const char* what;
    uint16_t opcode;
    Bytes body;
    uint16_t answer;
    size_t transfers = 1;  // open once answered
  } cases[] = {
      {"download request", kOpReqDownLoadFile, downloadBody, kOpDownloadInfo},
      {"upload request", kOpReqUpLoadFile,
       RequestBody(3000, QuickOf(Source("src.bin", content)), m_share + "/sub/new.bin"),
       kOpUploadAllow},
      {"folder listing", kOpGetAllSubFile, PathRequestBody(m_share), kOpGetAllSubFile, 0},
  };
  GateHook gate(&PoolRequest_SetBeforeWorkHook);
  uint32_t id = 100;
  {
    // A small file whose lookups and pages the kernel holds is answered on the loop itself:
    // a pool held up by a slow disk does not hold it up.
    SCOPED_TRACE("cached small file");
    DiskGate::Set(false);
    DeviceClient phone;
    ASSERT_TRUE(Connect(phone));
    ASSERT_TRUE(phone.Send(kOpReqDownLoadFile, ++id, downloadBody));
    DeviceMessage m;
    ASSERT_TRUE(phone.ReadMessage(m, kWait));
    EXPECT_EQ(m.header.opcode, kOpDownloadInfo);
    EXPECT_EQ(m.header.param, id);
    EXPECT_EQ(DiskGate::Waiting(), 0);
    EXPECT_EQ(Trans_Count(), 1u);
    phone.Close();
    ASSERT_TRUE(WaitFor([] { return Trans_Count() == 0; }, kWait));
  }
  // From here on the disk is slow: nothing is in the page cache, so every request's disk work
  // goes to the pool.
  struct CachedAgain {
    ~CachedAgain() { Download_PagesNeverCached(false); }
  } cachedAgain;
  Download_PagesNeverCached(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DiskGate::Set(false);
    const uint32_t mine = ++id;
    DeviceClient held;
    ASSERT_TRUE(Connect(held));
    ASSERT_TRUE(held.SendRaw(
        Concat({BuildMessage(c.opcode, mine, c.body), BuildMessage(kOpStopDownLoad, 0)})));
    ASSERT_TRUE(WaitFor([] { return DiskGate::Waiting() == 1; }, kWait));
    ExpectOthersAnswered();
    EXPECT_TRUE(NothingToRead(held.Fd()));  // its stop request waits behind the held one
    DiskGate::Set(true);
    DeviceMessage m;
    ASSERT_TRUE(held.ReadMessage(m, kWait));
    EXPECT_EQ(m.header.opcode, c.answer);
    EXPECT_EQ(m.header.param, mine);
    ASSERT_TRUE(held.ReadMessage(m, kWait));
    EXPECT_EQ(m.header.opcode, kOpStopDownLoad);
    EXPECT_EQ(Trans_Count(), c.transfers);
    held.Close();
    ASSERT_TRUE(WaitFor([] { return Trans_Count() == 0; }, kWait));
  }

  // The service stops while a request's disk work is under way: its connection is closed
  // first, and the work that ends afterwards leaves no open transfer and no open file.
  DiskGate::Set(false);
  DeviceClient leaving;
  ASSERT_TRUE(Connect(leaving));
  ASSERT_TRUE(leaving.Send(kOpReqDownLoadFile, ++id, downloadBody));
  ASSERT_TRUE(WaitFor([] { return DiskGate::Waiting() == 1; }, kWait));
  m_server.Stop();
  DiskGate::Set(true);
  EXPECT_TRUE(WaitFor([] { return DeferredReply_Pending() == 0 && DiskGate::Waiting() == 0; }, kWait));
  EXPECT_EQ(Trans_Count(), 0u);
  EXPECT_TRUE(WaitFor([&] { return !ProcessHoldsOpen(present); }, kWait));
}

// Upload data is written off the event threads. While the disk is slow (the writer held at a
// gate) other phones are answered, a phone whose data outruns the disk is held once 4 MiB wait
// (its later messages stay in the socket), and what a phone sent before it left still lands:
// an upload ended just before its phone hung up is published, and one broken off resumes after
// the last byte that came.
TEST_F(UploadTest, DataWaitsForASlowDiskOffTheEventThreadsAndNothingIsLost) {
  ASSERT_EQ(OS_RegFunction(GetShareInfo, kOpGetShareInfo), 0);
  constexpr size_t kMiB = 1024 * 1024;
  const struct {
    const char* what;
    size_t size;
    size_t sent;  // bytes sent while the disk is slow
    bool endThenLeave;
    bool leave;
  } rows[] = {
      {"outruns the disk and stays", 8 * kMiB, 7 * kMiB, false, false},
      {"ends and hangs up at once", 2 * kMiB, 2 * kMiB, true, true},
      {"hangs up mid-upload", 8 * kMiB, 2 * kMiB, false, true},
  };
  GateHook gate(&Upload_SetBeforeWriteHook);
  uint32_t id = 300;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string content = Pattern(row.size, static_cast<unsigned>(id));
    const std::string src = Source("big" + std::to_string(id) + ".bin", content);
    const std::string target = m_share + "/up" + std::to_string(id) + ".bin";
    DiskGate::Set(false);
    auto phone = std::make_unique<DeviceClient>();
    ASSERT_TRUE(Connect(*phone));
    const uint32_t first = ++id;
    ASSERT_EQ(Request(*phone, first, content.size(), QuickOf(src), target).allowed, 0u);
    // The phone sends on a thread of its own: once it is held, its sends block.
    std::thread sender([&] {
      SendData(*phone, first, content, 0, row.sent);
      if (row.endThenLeave) {
        Over(*phone, first, 0);
      }
      if (!row.leave) phone->Send(kOpStopDownLoad, 0);
    });
    ASSERT_TRUE(WaitFor([] { return DiskGate::Waiting() == 1; }, kWait));
    // A phone that outruns the disk is held once 4 MiB wait: wait for that, not for how far
    // its sender got by chance.
    if (row.sent > 4 * kMiB) {
      ASSERT_TRUE(WaitFor([] { return Upload_PeakQueued() > 4 * kMiB; }, kWait));
    }
    ExpectOthersAnswered();
    if (!row.leave) {
      EXPECT_TRUE(NothingToRead(phone->Fd()));  // held behind the data still to be written
    } else {
      sender.join();
      phone.reset();  // hangs up with its data still waiting for the disk
      ASSERT_TRUE(WaitFor([] { return Trans_Count() == 0; }, kWait));
    }
    DiskGate::Set(true);
    if (sender.joinable()) sender.join();
    if (row.endThenLeave) {
      Upload_Flush();
      EXPECT_EQ(Md5Sum(target), Md5Sum(src));
      continue;
    }
    DeviceClient again;
    DeviceClient& c = row.leave ? again : *phone;
    if (row.leave) {
      ASSERT_TRUE(Connect(again));
    } else {
      DeviceMessage m;
      ASSERT_TRUE(c.ReadMessage(m, kWait));
      EXPECT_EQ(m.header.opcode, kOpStopDownLoad);
    }
    const uint32_t second = ++id;
    const Answer a = Request(c, second, content.size(), QuickOf(src), target);
    ASSERT_EQ(a.opcode, kOpUploadAllow);
    EXPECT_EQ(a.allowed, row.sent);
    ASSERT_TRUE(SendData(c, second, content, a.allowed, content.size()));
    ASSERT_TRUE(Over(c, second, 0));
    ASSERT_TRUE(Sync(c));
    EXPECT_EQ(Md5Sum(target), Md5Sum(src));
  }
  EXPECT_EQ(LogRows().size(), 3u);
  // Held at 4 MiB waiting: one message more at most.
  EXPECT_LE(Upload_PeakQueued(), 4 * kMiB + kChunk);
  EXPECT_GT(Upload_PeakQueued(), 4 * kMiB);
}

}  // namespace
