#include "service/transfers/download.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <udt/udt.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/md5.h"
#include "common/thread_pool.h"
#include "common/share_paths.h"
#include "common/sqlite_wrapper.h"
#include "common/wire.h"
#include "service/transfers/relay_transfer.h"
#include "service/transfers/transfer_sessions.h"
#include "tests/service/updown_fixture.h"
#include "tests/support/text_files.h"

namespace {

using namespace updown;

constexpr size_t kInfoLen = 64;
constexpr uint64_t kMiB = 1024 * 1024;

// Reads a download's message stream in large pieces (a phone that keeps up) and checks every
// package against the file.
class StreamReader {
 public:
  explicit StreamReader(int fd) : m_fd(fd), m_buf(4 * kMiB) {}

  // The next whole message, viewed in place; false on time-out or close.
  bool Next(CommandHeader& h, const uint8_t*& body) {
    for (;;) {
      const size_t have = m_end - m_start;
      if (have >= kCommandHeaderSize) {
        h = DecodeCommandHeader(m_buf.data() + m_start);
        if (h.len < kCommandHeaderSize) return false;
        if (have >= h.len) {
          body = m_buf.data() + m_start + kCommandHeaderSize;
          m_start += h.len;
          return true;
        }
      }
      if (m_start > 0) {
        std::memmove(m_buf.data(), m_buf.data() + m_start, have);
        m_start = 0;
        m_end = have;
      }
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, 20000) <= 0) return false;
      const ssize_t r = recv(m_fd, m_buf.data() + m_end, m_buf.size() - m_end, 0);
      if (r <= 0) return false;
      m_end += static_cast<size_t>(r);
    }
  }

 private:
  int m_fd;
  std::vector<uint8_t> m_buf;
  size_t m_start = 0;
  size_t m_end = 0;
};

struct Received {
  bool ended = false;
  uint8_t status = 0;
  uint32_t packages = 0;
  uint32_t firstNumber = 0;
  bool numbersInOrder = true;
  bool contentMatches = true;
  bool lengthsRight = true;
  uint64_t bytes = 0;
  uint32_t lastLength = 0;
};

// Packages of one download up to its end message, each compared with the file's bytes.
Received ReadDownload(StreamReader& reader, uint32_t id, const std::string& file,
                      uint64_t offset) {
  Received got;
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> expect(kDownloadPackageData);
  CommandHeader h;
  const uint8_t* body = nullptr;
  while (reader.Next(h, body)) {
    if (h.opcode == kOpDownloadOver && h.param == id) {
      got.ended = true;
      got.status = body[0];
      break;
    }
    if (h.opcode != kOpDownloadPackage || h.param != id) continue;
    const TransHeader t = DecodeTransHeader(body - kCommandHeaderSize);
    const uint32_t n = h.len - kTransHeaderSize;
    if (got.packages == 0) got.firstNumber = t.v1;
    if (t.v1 != got.firstNumber + got.packages || t.v2 != 0 || t.v3 != 0) got.numbersInOrder = false;
    if (n > kDownloadPackageData) got.lengthsRight = false;
    const uint64_t at = offset + static_cast<uint64_t>(got.packages) * kDownloadPackageData;
    const ssize_t r = fd >= 0 ? pread(fd, expect.data(), n, static_cast<off_t>(at)) : -1;
    if (r != static_cast<ssize_t>(n) || std::memcmp(expect.data(), body + 12, n) != 0) {
      got.contentMatches = false;
    }
    ++got.packages;
    got.bytes += n;
    got.lastLength = n;
  }
  if (fd >= 0) close(fd);
  return got;
}

struct Info {
  bool ok = false;
  CommandHeader header;
  uint32_t size = 0;
  uint32_t count = 0;
  uint8_t fingerprint[16] = {0};
  uint16_t errorCode = 0;
};

Info RequestInfo(DeviceClient& c, uint32_t id, const std::string& path) {
  Info info;
  if (!c.Send(kOpReqDownLoadFile, id, PathRequestBody(path))) return info;
  DeviceMessage m;
  if (!c.ReadMessage(m, kWait)) return info;
  info.ok = true;
  info.header = m.header;
  const wire::Reader in(m.body.data(), m.body.size());
  if (m.header.opcode == kOpDownloadInfo) {
    in.U32(0, info.size);
    in.U32(4, info.count);
    in.Bytes(8, 16, info.fingerprint);
  } else {
    in.U16(0, info.errorCode);
  }
  return info;
}

class DownloadTest : public UpDownTest {};

TEST(DownloadLayouts, GoldenBytes) {
  uint8_t fp[16];
  for (int i = 0; i < 16; ++i) fp[i] = static_cast<uint8_t>(0xA0 + i);
  uint8_t info[64];
  EncodeDownloadInfo(0x01020304, 2500, fp, info);
  const uint8_t infoHead[16] = {0x00, 0x40, 0x10, 0x04, 0x01, 0x02, 0x03, 0x04,
                                0x00, 0x00, 0x09, 0xC4, 0x00, 0x00, 0x00, 0x03};
  EXPECT_EQ(0, std::memcmp(info, infoHead, 16));
  EXPECT_EQ(0, std::memcmp(info + 16, fp, 16));
  for (int i = 32; i < 64; ++i) EXPECT_EQ(info[i], 0) << i;

  char* reply = nullptr;
  int len = 0;
  ASSERT_TRUE(WriteTransErrorReply(kOpDownloadRefused, 7, kErrDownNoFile, &reply, &len));
  std::unique_ptr<char[]> owned(reply);
  ASSERT_EQ(len, 266);
  const uint8_t errHead[11] = {0x01, 0x0A, 0x10, 0x12, 0, 0, 0, 7, 0x10, 0x17, '0'};
  EXPECT_EQ(0, std::memcmp(reply, errHead, 11));
  for (int i = 11; i < 266; ++i) EXPECT_EQ(reply[i], 0) << i;

  reply = nullptr;
  WriteInterDownLoadOverMsg('1', 0xA1B2C3D4, &reply, &len);
  owned.reset(reply);
  ASSERT_EQ(len, 12);
  const uint8_t over[12] = {0, 12, 0x10, 0x03, 0xA1, 0xB2, 0xC3, 0xD4, '1', 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(reply, over, 12));

  const struct { uint32_t size, count; } counts[] = {
      {0, 0}, {1, 1}, {999, 1}, {1000, 1}, {1001, 2}, {2000, 2}, {4294967295u, 4294968}};
  for (const auto& c : counts) EXPECT_EQ(DownloadPackageCount(c.size), c.count) << c.size;
}

// Every package of a table of sizes and start offsets, byte for byte, on one connection.
TEST_F(DownloadTest, PackagesNumberedCountedAndExactForSizesAndOffsets) {
  const uint64_t big = 200 * kMiB + 123;
  // From 64000 bytes left on, packages go from the download's own buffer, refilled batch by
  // batch: rows at that threshold, ending in an empty package after whole ones, and across
  // many refills; the odd offset is aligned to neither a page nor a package.
  const uint64_t sizes[] = {0, 999, 1000, 1001, 2500, 64000, 67001, 4096000 + 4097,
                            2 * 4096000, big};
  const uint32_t offsets[] = {0, 3000, 70001};
  for (uint64_t size : sizes) {
    const std::string file = m_share + "/f" + std::to_string(size);
    if (size == big) {
      MakeSparse(file, size);
    } else {
      std::ofstream(file, std::ios::binary) << Pattern(size, static_cast<unsigned>(size));
    }
  }

  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  StreamReader reader(c.Fd());
  uint32_t id = 100;
  int rowsExpected = 0;
  for (uint64_t size : sizes) {
    for (uint32_t offset : offsets) {
      SCOPED_TRACE("size " + std::to_string(size) + " offset " + std::to_string(offset));
      const std::string file = m_share + "/f" + std::to_string(size);
      ++id;
      const Info info = RequestInfo(c, id, file);
      ASSERT_TRUE(info.ok);
      ASSERT_EQ(info.header.opcode, kOpDownloadInfo);
      EXPECT_EQ(info.header.len, kInfoLen);
      EXPECT_EQ(info.header.param, id);
      EXPECT_EQ(info.size, size);
      EXPECT_EQ(info.count, size / 1000 + (size % 1000 ? 1 : 0));
      CMd5Hash md5(file);
      EXPECT_EQ(0, std::memcmp(info.fingerprint, md5.RawDigest(), 16));

      ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, id, U32RequestBody(offset)));
      const Received got = ReadDownload(reader, id, file, offset);
      const uint64_t rest = size > offset ? size - offset : 0;
      ASSERT_TRUE(got.ended);
      EXPECT_EQ(got.status, '0');
      EXPECT_EQ(got.firstNumber, offset / 1000 + 1);
      EXPECT_EQ(got.packages, rest / 1000 + 1);  // a last package of no data after full ones
      EXPECT_EQ(got.lastLength, rest % 1000);
      EXPECT_EQ(got.bytes, rest);
      EXPECT_TRUE(got.numbersInOrder);
      EXPECT_TRUE(got.lengthsRight);
      EXPECT_TRUE(got.contentMatches);
      if (size > 0) ++rowsExpected;
    }
  }
  EXPECT_TRUE(WaitFor([] { return DownloadCount_Get() == 0; }, kWait));
  EXPECT_EQ(Download_RunningJobs(), 0u);
  const auto rows = LogRows();
  ASSERT_EQ(static_cast<int>(rows.size()), rowsExpected);  // none for the empty file
  for (const auto& row : rows) EXPECT_EQ(row.type, 1);
  const TransLogRecord& bigRow = rows.back();
  EXPECT_EQ(std::string(bigRow.file), m_share + "/f" + std::to_string(big));
  EXPECT_EQ(bigRow.size, static_cast<uint32_t>(big));
}

// Downloads of one file at once, each from its own offset: each gets exactly its bytes.
TEST_F(DownloadTest, DownloadsOfOneFileAtOnceEachGetItsBytes) {
  const uint64_t size = 9 * kMiB + 321;
  const std::string file = m_share + "/shared.bin";
  std::ofstream(file, std::ios::binary) << Pattern(size, 77);
  const uint32_t offsets[] = {0, 70001, 2 * 1024 * 1024 - 1000, 5000000};
  std::vector<Received> got(std::size(offsets));
  std::vector<std::thread> phones;
  for (size_t i = 0; i < std::size(offsets); ++i) {
    phones.emplace_back([&, i] {
      DeviceClient c;
      if (!Connect(c)) return;
      StreamReader reader(c.Fd());
      const uint32_t id = 900 + static_cast<uint32_t>(i);
      if (RequestInfo(c, id, file).header.opcode != kOpDownloadInfo) return;
      if (!c.Send(kOpAllowDownLoadFile, id, U32RequestBody(offsets[i]))) return;
      got[i] = ReadDownload(reader, id, file, offsets[i]);
    });
  }
  for (auto& t : phones) t.join();
  for (size_t i = 0; i < std::size(offsets); ++i) {
    SCOPED_TRACE("offset " + std::to_string(offsets[i]));
    EXPECT_TRUE(got[i].ended);
    EXPECT_EQ(got[i].status, '0');
    EXPECT_EQ(got[i].firstNumber, offsets[i] / 1000 + 1);
    EXPECT_EQ(got[i].bytes, size - offsets[i]);
    EXPECT_TRUE(got[i].numbersInOrder);
    EXPECT_TRUE(got[i].lengthsRight);
    EXPECT_TRUE(got[i].contentMatches);
  }
  EXPECT_TRUE(WaitFor([] { return DownloadCount_Get() == 0 && Download_RunningJobs() == 0; }, kWait));
}

TEST_F(DownloadTest, InfoFingerprintIsHeadAndTailOfALargeFile) {
  const std::string file = m_share + "/large.bin";
  MakeSparse(file, 3 * kMiB + 17);
  const std::string small = m_share + "/small.bin";
  std::ofstream(small, std::ios::binary) << Pattern(51200, 3);

  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  const struct { std::string path, command; } cases[] = {
      {file, "(head -c 25600 '" + file + "'; tail -c 25600 '" + file + "') | md5sum | cut -c1-32"},
      {small, "md5sum < '" + small + "' | cut -c1-32"},
  };
  uint32_t id = 1;
  for (const auto& k : cases) {
    const Info info = RequestInfo(c, id++, k.path);
    ASSERT_TRUE(info.ok);
    ASSERT_EQ(info.header.opcode, kOpDownloadInfo);
    EXPECT_EQ(CMd5Hash::BytesToHex(info.fingerprint, 16) + "\n", Shell(k.command)) << k.path;
  }
}

// Paths and files that may not be sent, and what the phone gets for each.
TEST_F(DownloadTest, RefusesWhatMayNotBeSent) {
  std::ofstream(m_outside + "/secret", std::ios::binary) << "secret";
  ASSERT_EQ(symlink(m_outside.c_str(), (m_share + "/outlink").c_str()), 0);
  ASSERT_EQ(symlink((m_outside + "/secret").c_str(), (m_share + "/filelink").c_str()), 0);
  m_base->MakeDir("share/folder");
  ASSERT_EQ(mkfifo((m_share + "/fifo").c_str(), 0644), 0);
  const std::string huge = m_share + "/huge";
  {
    const int fd = open(huge.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(4096) * kMiB), 0);  // 4 GiB, sparse
    close(fd);
  }
  std::string tooLong = m_share + "/";
  while (tooLong.size() < 300) tooLong += "x";

  const struct { std::string path; uint16_t code; } cases[] = {
      {m_share + "/../outside/secret", kErrDownNotShared},
      {m_share + "/outlink/secret", kErrDownNotShared},
      {m_share + "/filelink", kErrDownNotShared},
      {m_outside + "/secret", kErrDownNotShared},
      {"$DEFAULT$/x", kErrDownNotShared},  // no default folder set
      {tooLong, kErrDownNotShared},        // never cut to another name
      {m_share + "/missing", kErrDownNoFile},
      {m_share + "/folder", kErrDownNoFile},
      {m_share + "/fifo", kErrDownNoFile},
      {huge, kErrDownSize},
  };
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  uint32_t id = 40;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.path);
    Bytes body(356, 0);
    std::memcpy(body.data() + 1, k.path.data(), std::min<size_t>(k.path.size(), 255));
    ASSERT_TRUE(c.Send(kOpReqDownLoadFile, ++id, body));
    DeviceMessage m;
    ASSERT_TRUE(c.ReadMessage(m, kWait));
    EXPECT_EQ(m.header.opcode, kOpDownloadRefused);
    EXPECT_EQ(m.header.len, kTransErrorReplySize);
    EXPECT_EQ(m.header.param, id);
    ASSERT_EQ(m.body.size(), kTransErrorReplySize - kCommandHeaderSize);
    EXPECT_EQ(wire::GetU16(m.body.data()), k.code);
    EXPECT_EQ(m.body[2], '0');

    // No open download was left behind: starting it ends at once with '1'.
    ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, id, U32RequestBody(0)));
    ASSERT_TRUE(c.ReadMessage(m, kWait));
    EXPECT_EQ(m.header.opcode, kOpDownloadOver);
    EXPECT_EQ(m.body[0], '1');
  }
  EXPECT_EQ(Trans_Count(), 0u);
  EXPECT_EQ(DownloadCount_Get(), 0);
}

TEST_F(DownloadTest, StartWithoutOpenDownloadAndRefusalEndWithFailure) {
  std::ofstream(m_share + "/a.txt") << "abc";
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  DeviceMessage m;
  // Never opened.
  ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, 9, U32RequestBody(0)));
  ASSERT_TRUE(c.ReadMessage(m, kWait));
  EXPECT_EQ(m.header.opcode, kOpDownloadOver);
  EXPECT_EQ(m.header.param, 9u);
  EXPECT_EQ(m.body[0], '1');
  // Opened, then refused by the phone.
  ASSERT_EQ(RequestInfo(c, 10, m_share + "/a.txt").header.opcode, kOpDownloadInfo);
  EXPECT_EQ(Trans_Count(), 1u);
  ASSERT_TRUE(c.Send(kOpRefuseDownLoadFile, 10));
  ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, 10, U32RequestBody(0)));
  ASSERT_TRUE(c.ReadMessage(m, kWait));
  EXPECT_EQ(m.header.opcode, kOpDownloadOver);
  EXPECT_EQ(m.body[0], '1');
  // A start message without its offset.
  ASSERT_EQ(RequestInfo(c, 11, m_share + "/a.txt").header.opcode, kOpDownloadInfo);
  ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, 11, Bytes{1, 2}));
  ASSERT_TRUE(c.ReadMessage(m, kWait));
  EXPECT_EQ(m.header.opcode, kOpDownloadOver);
  EXPECT_EQ(m.body[0], '1');
  EXPECT_EQ(DownloadCount_Get(), 0);
}

TEST_F(DownloadTest, StopRepliesAtOnceForZeroAndLeavesTheListEmpty) {
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  for (uint32_t id : {0u, 77u}) {
    ASSERT_TRUE(c.Send(kOpStopDownLoad, id));
    DeviceMessage m;
    ASSERT_TRUE(c.ReadMessage(m, kWait));
    EXPECT_EQ(m.header.len, 9);
    EXPECT_EQ(m.header.opcode, kOpStopDownLoad);
    EXPECT_EQ(m.header.param, id);
    ASSERT_EQ(m.body.size(), 1u);
    EXPECT_EQ(m.body[0], '0');
  }
  CMutexLock lock(g_StopDownLoadMutex);
  EXPECT_TRUE(g_StopDownloadList.empty());
}

// A phone sending malformed requests by the thousand is answered every time but fills the log
// with no more than a short burst of refusals.
TEST_F(DownloadTest, MalformedRequestsDoNotFloodTheLog) {
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  std::vector<Bytes> burst;
  for (uint32_t i = 0; i < 2000; ++i) burst.push_back(BuildMessage(kOpReqDownLoadFile, i, Bytes(9, 1)));
  ASSERT_TRUE(c.SendRaw(Concat(burst)));
  for (uint32_t i = 0; i < 2000; ++i) {
    DeviceMessage m;
    ASSERT_TRUE(c.ReadMessage(m, kWait));
    ASSERT_EQ(m.header.opcode, kOpDownloadRefused);
  }
  g_Log.Flush();
  EXPECT_EQ(CountOccurrences(ReadWhole(m_logPath), "Download request of 9 bytes is too short."), 20u);
}

// A burst of stops for ids no relay download holds is answered without waiting, and another
// phone's request is not held up by it. The deadline is far above a normal answer and far below
// what waiting for each stop would take (300 x 100 ms).
TEST_F(DownloadTest, BurstOfStopsForUnknownIdsHoldsUpNobody) {
  constexpr uint32_t kStops = 300;
  DeviceClient a, b;
  ASSERT_TRUE(Connect(a));
  ASSERT_TRUE(Connect(b));
  std::vector<Bytes> burst;
  for (uint32_t i = 1; i <= kStops; ++i) burst.push_back(BuildMessage(kOpStopDownLoad, i));
  ASSERT_TRUE(a.SendRaw(Concat(burst)));
  ASSERT_TRUE(b.Send(kOpStopDownLoad, 0));
  DeviceMessage m;
  ASSERT_TRUE(b.ReadMessage(m, std::chrono::seconds(10)));
  EXPECT_EQ(m.header.opcode, kOpStopDownLoad);
  for (uint32_t i = 1; i <= kStops; ++i) {
    ASSERT_TRUE(a.ReadMessage(m, std::chrono::seconds(10))) << i;
    ASSERT_EQ(m.header.param, i);
  }
  CMutexLock lock(g_StopDownLoadMutex);
  EXPECT_TRUE(g_StopDownloadList.empty());
}

// A stop for a running relay download is queued for it, consumed once, and a late one does
// not outlive the download.
TEST_F(DownloadTest, StopReachesOnlyARunningRelayDownload) {
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  DeviceMessage m;
  Download_RelayBegin(41);
  ASSERT_TRUE(c.Send(kOpStopDownLoad, 41));
  ASSERT_TRUE(c.ReadMessage(m, kWait));
  EXPECT_FALSE(Download_RelayStopRequested(40));
  EXPECT_TRUE(Download_RelayStopRequested(41));
  EXPECT_FALSE(Download_RelayStopRequested(41));
  ASSERT_TRUE(c.Send(kOpStopDownLoad, 41));
  ASSERT_TRUE(c.ReadMessage(m, kWait));
  Download_RelayEnd(41);
  Download_RelayBegin(41);  // a later download under the same id starts clean
  EXPECT_FALSE(Download_RelayStopRequested(41));
  Download_RelayEnd(41);
  CMutexLock lock(g_StopDownLoadMutex);
  EXPECT_TRUE(g_StopDownloadList.empty());
}

// Two phones that pick the same session id cannot take over each other's download.
TEST_F(DownloadTest, SessionIdOfAnotherConnectionIsRefused) {
  const std::string file = m_share + "/shared.bin";
  std::ofstream(file, std::ios::binary) << Pattern(4321, 5);
  DeviceClient a, b;
  ASSERT_TRUE(Connect(a));
  ASSERT_TRUE(Connect(b));
  ASSERT_EQ(RequestInfo(a, 55, file).header.opcode, kOpDownloadInfo);

  const Info other = RequestInfo(b, 55, file);
  ASSERT_TRUE(other.ok);
  EXPECT_EQ(other.header.opcode, kOpDownloadRefused);
  EXPECT_EQ(other.errorCode, kErrTransOther);
  ASSERT_TRUE(b.Send(kOpAllowDownLoadFile, 55, U32RequestBody(0)));
  DeviceMessage m;
  ASSERT_TRUE(b.ReadMessage(m, kWait));
  EXPECT_EQ(m.header.opcode, kOpDownloadOver);
  EXPECT_EQ(m.body[0], '1');
  ASSERT_TRUE(b.Send(kOpRefuseDownLoadFile, 55));
  ASSERT_TRUE(Sync(b));

  ASSERT_TRUE(a.Send(kOpAllowDownLoadFile, 55, U32RequestBody(0)));
  StreamReader reader(a.Fd());
  const Received got = ReadDownload(reader, 55, file, 0);
  EXPECT_TRUE(got.ended);
  EXPECT_EQ(got.status, '0');
  EXPECT_EQ(got.bytes, 4321u);
  EXPECT_TRUE(got.contentMatches);
}

// A phone that pipelines the next requests behind a running download gets every reply in
// request order: the whole first download, then the second, then the answer to the last.
TEST_F(DownloadTest, RequestsPipelinedBehindADownloadAreServedInOrder) {
  const std::string big = m_share + "/big.bin";
  MakeSparse(big, 20 * kMiB);
  const std::string small = m_share + "/small.txt";
  std::ofstream(small, std::ios::binary) << Pattern(2500, 3);
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  ASSERT_EQ(RequestInfo(c, 1, big).header.opcode, kOpDownloadInfo);
  ASSERT_TRUE(c.SendRaw(Concat({BuildMessage(kOpAllowDownLoadFile, 1, U32RequestBody(0)),
                                BuildMessage(kOpReqDownLoadFile, 2, PathRequestBody(small)),
                                BuildMessage(kOpAllowDownLoadFile, 2, U32RequestBody(0)),
                                BuildMessage(kOpStopDownLoad, 0)})));

  StreamReader reader(c.Fd());
  std::vector<std::pair<uint16_t, uint32_t>> order;  // each message, runs of packages folded
  CommandHeader h;
  const uint8_t* body = nullptr;
  uint64_t bytes[3] = {0, 0, 0};
  while (reader.Next(h, body)) {
    if (h.opcode == kOpDownloadPackage && h.param < 3) bytes[h.param] += h.len - kTransHeaderSize;
    if (order.empty() || order.back() != std::make_pair(h.opcode, h.param)) {
      order.emplace_back(h.opcode, h.param);
    }
    if (h.opcode == kOpStopDownLoad) break;
  }
  const std::vector<std::pair<uint16_t, uint32_t>> expected = {
      {kOpDownloadPackage, 1}, {kOpDownloadOver, 1}, {kOpDownloadInfo, 2},
      {kOpDownloadPackage, 2}, {kOpDownloadOver, 2}, {kOpStopDownLoad, 0}};
  EXPECT_EQ(order, expected);
  EXPECT_EQ(bytes[1], 20 * kMiB);
  EXPECT_EQ(bytes[2], 2500u);
  EXPECT_TRUE(WaitFor([] { return DownloadCount_Get() == 0 && Download_RunningJobs() == 0; }, kWait));
}

// A local program swaps the checked file for a link to an outside file between the request
// and the start: the phone gets the file that was checked. A FIFO in a share is refused
// without blocking anyone.
TEST_F(DownloadTest, TheFileCheckedIsTheFileSent) {
  const std::string file = m_share + "/report.txt";
  const std::string checked = Pattern(3500, 21);
  std::ofstream(file, std::ios::binary) << checked;
  std::ofstream(m_outside + "/secret.txt", std::ios::binary) << Pattern(3500, 22);
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  ASSERT_EQ(RequestInfo(c, 1, file).header.opcode, kOpDownloadInfo);
  ASSERT_EQ(unlink(file.c_str()), 0);
  ASSERT_EQ(symlink((m_outside + "/secret.txt").c_str(), file.c_str()), 0);
  ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, 1, U32RequestBody(0)));
  std::string got;
  DeviceMessage m;
  while (c.ReadMessage(m, kWait) && m.header.opcode == kOpDownloadPackage) {
    got.append(m.body.begin() + 12, m.body.end());
  }
  EXPECT_EQ(m.header.opcode, kOpDownloadOver);
  EXPECT_EQ(got, checked);
  // Asked for by the link's name now, it leads out of the share.
  EXPECT_EQ(RequestInfo(c, 2, file).errorCode, kErrDownNotShared);

  const std::string fifo = m_share + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(RequestInfo(c, 3, fifo).errorCode, kErrDownNoFile);
  ASSERT_TRUE(Sync(c));
  EXPECT_EQ(Trans_Count(), 0u);
}

// One connection cannot hold more than its share of open transfers, nor keep unstarted ones
// for longer than an idle connection lives; other phones are served meanwhile.
TEST_F(DownloadTest, OpenTransfersAreCappedPerConnectionAndAgeOut) {
  const std::string file = m_share + "/f.txt";
  std::ofstream(file) << "content";
  DeviceClient a, b;
  ASSERT_TRUE(Connect(a));
  ASSERT_TRUE(Connect(b));
  std::vector<Bytes> burst;
  for (uint32_t id = 1; id <= 100; ++id) {
    burst.push_back(BuildMessage(kOpReqDownLoadFile, id, PathRequestBody(file)));
  }
  ASSERT_TRUE(a.SendRaw(Concat(burst)));
  size_t opened = 0, refused = 0;
  for (uint32_t id = 1; id <= 100; ++id) {
    DeviceMessage m;
    ASSERT_TRUE(a.ReadMessage(m, kWait));
    if (m.header.opcode == kOpDownloadInfo) ++opened;
    if (m.header.opcode == kOpDownloadRefused && wire::GetU16(m.body.data()) == kErrTransOther)
      ++refused;
  }
  EXPECT_EQ(opened, kMaxTransfersPerRoute);
  EXPECT_EQ(refused, 100 - kMaxTransfersPerRoute);
  EXPECT_EQ(Trans_Count(), kMaxTransfersPerRoute);
  EXPECT_EQ(RequestInfo(b, 500, file).header.opcode, kOpDownloadInfo);  // another phone

  // Entries that never start are closed once they are older than the idle time.
  OS_SetConnectionIdleTimeout(1);
  EXPECT_TRUE(WaitFor(
      [&] { return Sync(a) && RequestInfo(a, 200, file).header.opcode == kOpDownloadInfo; },
      kWait, std::chrono::milliseconds(200)));
  OS_SetConnectionIdleTimeout(kDefaultIdleTimeoutSeconds);
}

// The transfer-log writer's gate: rows wait at it until the test opens it.
std::mutex g_gateMutex;
std::condition_variable g_gateChanged;
bool g_gateOpen = true;
int g_rowsAtGate = 0;

void WaitAtGate() {
  std::unique_lock<std::mutex> lock(g_gateMutex);
  ++g_rowsAtGate;
  g_gateChanged.notify_all();
  g_gateChanged.wait(lock, [] { return g_gateOpen; });
}

// Each finished download gets exactly one transfer-log row, and the row is written off the
// event thread: while the writer is held up, downloads still end at once.
TEST_F(DownloadTest, LogRowsAreWrittenOffTheEventThreadNoneLostNoneTwice) {
  constexpr int kFiles = 6;
  for (int i = 0; i < kFiles; ++i) {
    std::ofstream(m_share + "/row" + std::to_string(i), std::ios::binary) << Pattern(2500 + i, i);
  }
  {
    std::lock_guard<std::mutex> lock(g_gateMutex);
    g_gateOpen = false;
    g_rowsAtGate = 0;
  }
  TransLog_SetBeforeWriteHook(WaitAtGate);
  struct OpenGateAtEnd {  // however the test ends, the writer is not left waiting
    ~OpenGateAtEnd() {
      std::lock_guard<std::mutex> lock(g_gateMutex);
      g_gateOpen = true;
      g_gateChanged.notify_all();
    }
  } openGateAtEnd;
  DeviceClient a, b;
  ASSERT_TRUE(Connect(a));
  ASSERT_TRUE(Connect(b));
  for (int i = 0; i < kFiles; ++i) {
    DeviceClient& c = i % 2 ? b : a;
    const uint32_t id = static_cast<uint32_t>(i + 1);
    ASSERT_EQ(RequestInfo(c, id, m_share + "/row" + std::to_string(i)).header.opcode, kOpDownloadInfo);
    ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, id, U32RequestBody(0)));
    DeviceMessage m;
    while (c.ReadMessage(m, kWait) && m.header.opcode == kOpDownloadPackage) {
    }
    ASSERT_EQ(m.header.opcode, kOpDownloadOver) << i;
    EXPECT_EQ(m.body[0], '0');
  }
  {
    std::unique_lock<std::mutex> lock(g_gateMutex);
    EXPECT_TRUE(g_gateChanged.wait_for(lock, kWait, [] { return g_rowsAtGate >= 1; }));
    g_gateOpen = true;
    g_gateChanged.notify_all();
  }
  std::multiset<std::string> files;
  for (const auto& row : LogRows()) {
    files.insert(std::string(row.file, strnlen(row.file, sizeof row.file)));
    EXPECT_EQ(row.type, 1);
  }
  TransLog_SetBeforeWriteHook(nullptr);
  std::multiset<std::string> expected;
  for (int i = 0; i < kFiles; ++i) expected.insert(m_share + "/row" + std::to_string(i));
  EXPECT_EQ(files, expected);
}

// A phone that goes away mid-download: the job ends, the failure is logged, no row is written.
TEST_F(DownloadTest, ClientClosingAfterFirstPackageEndsTheDownload) {
  const std::string big = m_share + "/away.bin";
  MakeSparse(big, 100 * kMiB);
  DeviceClient c;
  ASSERT_TRUE(Connect(c));
  ASSERT_EQ(RequestInfo(c, 3, big).header.opcode, kOpDownloadInfo);
  ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, 3, U32RequestBody(0)));
  DeviceMessage m;
  ASSERT_TRUE(c.ReadMessage(m, kWait));
  ASSERT_EQ(m.header.opcode, kOpDownloadPackage);
  EXPECT_EQ(m.Trans().v1, 1u);
  EXPECT_EQ(DownloadCount_Get(), 1);
  c.Close();

  EXPECT_TRUE(WaitFor([] { return DownloadCount_Get() == 0 && Download_RunningJobs() == 0; }, kWait));
  EXPECT_TRUE(WaitFor([&] { return LogHas("download of " + big + " failed: connection closed."); },
                      kWait));
  EXPECT_TRUE(LogRows().empty());
  EXPECT_FALSE(ProcessHoldsOpen(big));
}

// A large file is read batch by batch while it is sent. What another program does to the file meanwhile
// never crashes the service or breaks the framing: pages evicted from the page cache are sent
// once the disk has read them (also where they never show as cached), and a file cut short
// ends the download early (a short last package and the end message, or the connection closed
// when a package was already under way), while a second phone is answered as before.
TEST_F(DownloadTest, AFileEvictedOrCutShortWhileSentEndsSoundly) {
  constexpr uint64_t kSize = 24 * kMiB;
  const struct {
    const char* name;
    bool evict;
    off_t cutTo;  // -1: not cut
    bool neverCached = false;
  } rows[] = {
      {"evicted from the page cache", true, -1},
      {"on a file system that never shows its pages cached", true, -1, true},
      {"cut to nothing after the first MiB", false, 0},
      {"cut below the next window", false, 6 * 1000 * 1000 + 17},
  };
  struct CachedAgain {
    ~CachedAgain() { Download_PagesNeverCached(false); }
  } cachedAgain;
  uint32_t id = 40;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Download_PagesNeverCached(row.neverCached);
    const std::string file = m_share + "/cut" + std::to_string(id) + ".bin";
    const std::string pattern = Pattern(kSize, id);
    std::ofstream(file, std::ios::binary) << pattern;
    DeviceClient c;
    ASSERT_TRUE(Connect(c));
    ++id;
    ASSERT_EQ(RequestInfo(c, id, file).header.opcode, kOpDownloadInfo);
    if (row.evict) {
      // After the request, whose fingerprint read the file's head and tail.
      const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      fdatasync(fd);
      posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
      close(fd);
    }
    ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, id, U32RequestBody(0)));
    StreamReader reader(c.Fd());
    CommandHeader h;
    const uint8_t* body = nullptr;
    uint64_t bytes = 0;
    bool framed = true, ended = false, cut = false;
    char status = 0;
    while (reader.Next(h, body)) {
      if (h.opcode == kOpDownloadOver) {
        ended = true;
        status = static_cast<char>(body[0]);
        break;
      }
      const uint32_t n = h.len - kTransHeaderSize;
      const TransHeader t = DecodeTransHeader(body - kCommandHeaderSize);
      if (h.opcode != kOpDownloadPackage || h.param != id || n > kDownloadPackageData ||
          t.v1 != bytes / kDownloadPackageData + 1) {
        framed = false;
        break;
      }
      // Bytes from before the cut are the file's; a cut page may read as zeros.
      if (!row.evict && !cut) {
        EXPECT_EQ(0, std::memcmp(body + 12, pattern.data() + bytes, n)) << "at " << bytes;
      } else if (row.evict && std::memcmp(body + 12, pattern.data() + bytes, n) != 0) {
        ADD_FAILURE() << "content differs at " << bytes;
        break;
      }
      bytes += n;
      if (row.cutTo >= 0 && !cut && bytes >= kMiB) {
        ASSERT_EQ(truncate(file.c_str(), row.cutTo), 0);
        cut = true;
      }
    }
    EXPECT_TRUE(framed);
    if (row.evict) {
      EXPECT_TRUE(ended);
      EXPECT_EQ(status, '0');
      EXPECT_EQ(bytes, kSize);
    } else {
      EXPECT_LT(bytes, kSize);
      if (ended) {
        EXPECT_EQ(status, '0');  // what was left is the end, as for a short read
      }
    }
    c.Close();
    EXPECT_TRUE(WaitFor([] { return DownloadCount_Get() == 0 && Download_RunningJobs() == 0; }, kWait));
    EXPECT_FALSE(ProcessHoldsOpen(file));
    DeviceClient other;
    ASSERT_TRUE(Connect(other));
    EXPECT_TRUE(Sync(other));
  }
}

// A phone that stops reading mid-download is closed after the connection's send time-out;
// the download ends with it.
TEST_F(DownloadTest, APhoneThatStopsReadingIsClosedAfterTheSendTimeOut) {
  const std::string big = m_share + "/stall.bin";
  MakeSparse(big, 512 * kMiB);
  OS_SetConnectionIdleTimeout(1);
  DeviceClient c;
  const bool connected = Connect(c);
  // Answered: the connection was taken in with the short time-out.
  const bool answered = connected && RequestInfo(c, 9, big).header.opcode == kOpDownloadInfo;
  OS_SetConnectionIdleTimeout(kDefaultIdleTimeoutSeconds);
  ASSERT_TRUE(answered);
  ASSERT_TRUE(c.Send(kOpAllowDownLoadFile, 9, U32RequestBody(0)));
  EXPECT_TRUE(WaitFor([&] { return LogHas("download of " + big + " stalled"); }, kWait));
  EXPECT_TRUE(WaitFor([] { return DownloadCount_Get() == 0 && Download_RunningJobs() == 0; }, kWait));
  EXPECT_TRUE(LogRows().empty());
  // What the socket held still arrives, then the end of the connection.
  std::vector<uint8_t> chunk(1 << 16);
  ssize_t r = -1;
  pollfd p{c.Fd(), POLLIN, 0};
  while (poll(&p, 1, 10000) == 1 && (r = recv(c.Fd(), chunk.data(), chunk.size(), 0)) > 0) {
  }
  EXPECT_EQ(r, 0);
  EXPECT_FALSE(ProcessHoldsOpen(big));
}

// Other clients are answered while a large download streams, and the service never holds more
// than the high-water mark plus one batch for it.
TEST_F(DownloadTest, OthersAnsweredAndOutputBoundedDuringLargeDownload) {
  const std::string big = m_share + "/gig.bin";
  MakeSparse(big, 1024 * kMiB);
  Download_ResetPeakPending();
  DeviceClient a;
  ASSERT_TRUE(Connect(a));
  ASSERT_EQ(RequestInfo(a, 8, big).header.opcode, kOpDownloadInfo);
  ASSERT_TRUE(a.Send(kOpAllowDownLoadFile, 8, U32RequestBody(0)));

  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> othersDone{false};
  Received got;
  std::thread reader([&] {
    StreamReader r(a.Fd());
    CommandHeader h;
    const uint8_t* body = nullptr;
    bool paused = false;
    while (r.Next(h, body)) {
      if (h.opcode == kOpDownloadPackage) {
        started = true;
        got.bytes += h.len - kTransHeaderSize;
        ++got.packages;
        // Past 64 MiB the reader waits for the other phones, so the download is still
        // running when they are answered however fast this machine streams it.
        if (!paused && got.bytes >= 64 * kMiB) {
          paused = true;
          WaitFor([&] { return othersDone.load(); }, kWait);
        }
      } else if (h.opcode == kOpDownloadOver) {
        got.ended = true;
        got.status = body[0];
        break;
      }
    }
    finished = true;
  });
  ASSERT_TRUE(WaitFor([&] { return started.load(); }, kWait));

  ExpectOthersAnswered();
  const bool answeredDuringDownload = !finished.load();
  othersDone = true;
  reader.join();

  EXPECT_TRUE(answeredDuringDownload);
  EXPECT_TRUE(got.ended);
  EXPECT_EQ(got.status, '0');
  EXPECT_EQ(got.bytes, 1024 * kMiB);
  EXPECT_EQ(got.packages, 1024 * kMiB / 1000 + 1);
  // A large file goes from the download's own buffer to the socket: none of it queues up in
  // the connection's output.
  EXPECT_EQ(Download_PeakPending(), 0u);
  EXPECT_TRUE(WaitFor([] { return DownloadCount_Get() == 0; }, kWait));
}

TEST_F(DownloadTest, SlowReaderKeepsOutputBounded) {
  const std::string big = m_share + "/slow.bin";
  MakeSparse(big, 1024 * kMiB);
  Download_ResetPeakPending();
  DeviceClient a;
  ASSERT_TRUE(Connect(a));
  ASSERT_EQ(RequestInfo(a, 12, big).header.opcode, kOpDownloadInfo);
  ASSERT_TRUE(a.Send(kOpAllowDownLoadFile, 12, U32RequestBody(0)));
  // Small reads: every refill of the service meets a full or nearly full output.
  std::vector<uint8_t> chunk(1500);
  uint64_t total = 0;
  while (total < 32 * kMiB) {
    ASSERT_TRUE(a.ReadExact(chunk.data(), chunk.size(), kWait));
    total += chunk.size();
  }
  EXPECT_EQ(DownloadCount_Get(), 1);
  a.Close();
  EXPECT_TRUE(WaitFor([] { return DownloadCount_Get() == 0 && Download_RunningJobs() == 0; }, kWait));
  // The socket stayed full all along, and nothing queued up in the service meanwhile.
  EXPECT_EQ(Download_PeakPending(), 0u);
}

struct StarterCall {
  int calls = 0;
  uint32_t sessionId = 0, offset = 0;
  std::string requester;
};
StarterCall g_starterCall;

int RecordingStarter(uint32_t sessionId, uint32_t offset, const std::string& requester) {
  ++g_starterCall.calls;
  g_starterCall.sessionId = sessionId;
  g_starterCall.offset = offset;
  g_starterCall.requester = requester;
  return 0;
}

// Through the relay the request follows the requester's identity and an inner header, and the
// start is handed to the relay transfer code.
TEST_F(DownloadTest, RelayRequestsReadBehindTheRequesterAndHandTheStartOn) {
  const std::string file = m_base->WriteFile("share/sub/deeper/r.txt", Pattern(1500, 4));
  Bytes prefix(72, 0);
  std::memcpy(prefix.data(), "phone-7", 7);
  char direct = 0;
  int noUdt = -1;

  Bytes req = prefix;
  const Bytes path = PathRequestBody(file);
  req.insert(req.end(), path.begin(), path.end());
  // The inner header's length covers itself and the request, not the identity field.
  CommandHeader h4{static_cast<uint16_t>(8 + path.size()), kOpReqDownLoadFile, 17};
  char* reply = nullptr;
  int len = 0;
  ASSERT_EQ(ReqDownLoadFile(reinterpret_cast<const char*>(req.data()), &h4, nullptr, &reply, &len,
                            &noUdt, &direct), 0);
  std::unique_ptr<char[]> owned(reply);
  ASSERT_EQ(len, 64);
  EXPECT_EQ(wire::GetU32(reinterpret_cast<const uint8_t*>(reply) + 8), 1500u);

  Bytes start = prefix;
  const Bytes offset = U32RequestBody(2000);
  start.insert(start.end(), offset.begin(), offset.end());
  CommandHeader h5{static_cast<uint16_t>(8 + offset.size()), kOpAllowDownLoadFile, 17};
  reply = nullptr;
  len = 0;
  EXPECT_EQ(AllowDownLoadFile(reinterpret_cast<const char*>(start.data()), &h5, nullptr, &reply,
                              &len, &noUdt, &direct), -1);
  owned.reset(reply);
  ASSERT_EQ(len, 12);  // no relay transfer code: the end message '1'
  EXPECT_EQ(reply[8], '1');

  g_starterCall = StarterCall();
  Download_SetRelayStarter(&RecordingStarter);
  reply = nullptr;
  len = 0;
  EXPECT_EQ(AllowDownLoadFile(reinterpret_cast<const char*>(start.data()), &h5, nullptr, &reply,
                              &len, &noUdt, &direct), 0);
  Download_SetRelayStarter(nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(g_starterCall.calls, 1);
  EXPECT_EQ(g_starterCall.sessionId, 17u);
  EXPECT_EQ(g_starterCall.offset, 2000u);
  EXPECT_EQ(g_starterCall.requester, "phone-7");
  EXPECT_EQ(Trans_Count(), 1u);  // the relay task takes the entry itself

  // The real starter with no free worker: the phone hears the end '1' at once, through the
  // server's cache like every relay download end, never as a relay reply. The server's side
  // is a listener here that reads the cache connection's frame.
  const int cache = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(cache, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t atLen = sizeof at;
  ASSERT_EQ(bind(cache, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(cache, 4), 0);
  ASSERT_EQ(getsockname(cache, reinterpret_cast<sockaddr*>(&at), &atLen), 0);
  m_base->Exec("update qv_conf set svhost = '127.0.0.1', svport = " +
               std::to_string(ntohs(at.sin_port)) + ";");
  ThreadPool* const servicePool = g_pThreadPool;
  g_pThreadPool = ThreadPool_Create(1);
  std::mutex busyMutex;
  std::condition_variable busyChanged;
  bool busy = false, release = false;
  struct Busy {
    std::mutex* m;
    std::condition_variable* cv;
    bool* busy;
    bool* release;
  } hold{&busyMutex, &busyChanged, &busy, &release};
  ASSERT_EQ(ThreadPool_AddTask(g_pThreadPool, [](void* arg) {
              Busy* b = static_cast<Busy*>(arg);
              std::unique_lock<std::mutex> lock(*b->m);
              *b->busy = true;
              b->cv->notify_all();
              b->cv->wait(lock, [b] { return *b->release; });
              return 0;
            }, &hold), 0);
  {
    std::unique_lock<std::mutex> lock(busyMutex);
    ASSERT_TRUE(busyChanged.wait_for(lock, std::chrono::seconds(10), [&] { return busy; }));
  }
  Download_SetRelayStarter(&StartRelayDownload);
  reply = nullptr;
  len = 0;
  EXPECT_NE(AllowDownLoadFile(reinterpret_cast<const char*>(start.data()), &h5, nullptr, &reply,
                              &len, &noUdt, &direct), 0);
  owned.reset(reply);
  Download_SetRelayStarter(nullptr);
  {
    std::lock_guard<std::mutex> lock(busyMutex);
    release = true;
  }
  busyChanged.notify_all();
  EXPECT_EQ(len, 0) << "no relay reply";
  pollfd waiting{cache, POLLIN, 0};
  ASSERT_EQ(poll(&waiting, 1, 20000), 1) << "no cache connection for the end";
  const int conn = accept(cache, nullptr, nullptr);
  ASSERT_GE(conn, 0);
  timeval tv{20, 0};
  setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  uint8_t frame[146];
  size_t got = 0;
  while (got < sizeof frame) {
    const ssize_t n = recv(conn, frame + got, sizeof frame - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ASSERT_EQ(got, sizeof frame);
  EXPECT_EQ(wire::GetU16(frame), 146u);
  EXPECT_EQ(wire::GetU16(frame + 4), 0x100Bu) << "the deliver command of the cache";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame + 70)), "phone-7");
  EXPECT_EQ(wire::GetU16(frame + 134), 12u);
  EXPECT_EQ(wire::GetU16(frame + 136), 0x1003u);
  EXPECT_EQ(wire::GetU32(frame + 138), 17u);
  EXPECT_EQ(frame[142], '1');
  const uint8_t answer[8] = {0, 8, 0, 7, 0x10, 0x0B, 0, 0};
  EXPECT_EQ(send(conn, answer, sizeof answer, MSG_NOSIGNAL), 8);
  close(conn);
  close(cache);
  EXPECT_TRUE(WaitFor([] { return ThreadPool_IdleCount(g_pThreadPool) == 1; }, std::chrono::seconds(10)));
  g_pThreadPool = servicePool;  // the test pool stays, idle: pools live as long as the process
  Trans_Remove(17);
}

// UDT: the handler sends every package as its own message and answers with the end message.
class UdtPair {
 public:
  UdtPair() {
    UDT::startup();
    m_listen = UDT::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (UDT::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == UDT::ERROR) return;
    int len = sizeof addr;
    UDT::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    if (UDT::listen(m_listen, 1) == UDT::ERROR) return;
    m_client = UDT::socket(AF_INET, SOCK_DGRAM, 0);
    std::thread connector([&] {
      UDT::connect(m_client, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    });
    sockaddr_in peer{};
    int plen = sizeof peer;
    m_server = UDT::accept(m_listen, reinterpret_cast<sockaddr*>(&peer), &plen);
    connector.join();
  }
  ~UdtPair() {
    UDT::close(m_client);
    UDT::close(m_server);
    UDT::close(m_listen);
    UDT::cleanup();
  }
  bool Ok() const { return m_server != UDT::INVALID_SOCK && m_client != UDT::INVALID_SOCK; }
  UDTSOCKET Server() const { return m_server; }
  UDTSOCKET Client() const { return m_client; }

 private:
  UDTSOCKET m_listen = UDT::INVALID_SOCK;
  UDTSOCKET m_server = UDT::INVALID_SOCK;
  UDTSOCKET m_client = UDT::INVALID_SOCK;
};

TEST_F(DownloadTest, UdtSendsOneMessagePerPackageAndRepliesWithTheEnd) {
  const std::string file = m_share + "/udt.bin";
  const std::string content = Pattern(2500, 9);
  std::ofstream(file, std::ios::binary) << content;
  UdtPair udt;
  ASSERT_TRUE(udt.Ok());
  int sock = udt.Server();
  char direct = 1;

  const Bytes req = PathRequestBody(file);
  CommandHeader h{static_cast<uint16_t>(8 + req.size()), kOpReqDownLoadFile, 31};
  char* reply = nullptr;
  int len = 0;
  ASSERT_EQ(ReqDownLoadFile(reinterpret_cast<const char*>(req.data()), &h, nullptr, &reply, &len,
                            &sock, &direct), 0);
  std::unique_ptr<char[]> owned(reply);
  ASSERT_EQ(len, 64);

  const Bytes start = U32RequestBody(1000);
  CommandHeader h5{12, kOpAllowDownLoadFile, 31};
  reply = nullptr;
  len = 0;
  ASSERT_EQ(AllowDownLoadFile(reinterpret_cast<const char*>(start.data()), &h5, nullptr, &reply,
                              &len, &sock, &direct), 0);
  owned.reset(reply);
  ASSERT_EQ(len, 12);
  EXPECT_EQ(wire::GetU16(reinterpret_cast<const uint8_t*>(reply) + 2), kOpDownloadOver);
  EXPECT_EQ(reply[8], '0');

  const struct { uint32_t number; size_t n; size_t from; } expect[] = {{2, 1000, 1000}, {3, 500, 2000}};
  for (const auto& e : expect) {
    char buf[2048];
    const int r = UDT::recvmsg(udt.Client(), buf, sizeof buf);
    ASSERT_EQ(r, static_cast<int>(kTransHeaderSize + e.n));
    const TransHeader t = DecodeTransHeader(reinterpret_cast<const uint8_t*>(buf));
    EXPECT_EQ(t.cmd.opcode, kOpDownloadPackage);
    EXPECT_EQ(t.cmd.param, 31u);
    EXPECT_EQ(t.v1, e.number);
    EXPECT_EQ(0, std::memcmp(buf + kTransHeaderSize, content.data() + e.from, e.n));
  }
  EXPECT_EQ(DownloadCount_Get(), 0);
  EXPECT_EQ(LogRows().size(), 1u);
}

}  // namespace
