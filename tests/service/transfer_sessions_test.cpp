#include "service/transfers/transfer_sessions.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <udt/udt.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "common/opcode_registry.h"
#include "common/thread_pool.h"
#include "common/wire.h"
#include "common/sqlite_wrapper.h"
#include "service/core/peer_send.h"
#include "service/transfers/download.h"
#include "service/service_globals.h"
#include "tests/service/transfer_test_support.h"
#include "tests/support/device_client.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace {

bufferevent* FakeConn(int n) {
  // Only compared, never dereferenced, by the map operations under test.
  static char tags[8];
  return reinterpret_cast<bufferevent*>(&tags[n]);
}

void ClearMap() {
  std::vector<TransferEntry> old;
  {
    CMutexLock lock(g_MutexTransMap);
    for (auto& kv : g_TransMap) old.push_back(kv.second);
    g_TransMap.clear();
  }
  for (auto& e : old)
    if (e.file) std::fclose(e.file);
}

class TransferMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureServiceMutexes();
    ClearMap();
  }
  void TearDown() override { ClearMap(); }

  // An entry whose file is really open in the temporary folder.
  TransferEntry Open(const std::string& name, bufferevent* conn, int udtSock) {
    TransferEntry e;
    e.conn = conn;
    e.udtSock = udtSock;
    e.targetPath = m_dir.Path() + "/" + name;
    e.tmpPath = e.targetPath + "quarlo.rename";
    e.file = std::fopen(e.tmpPath.c_str(), "wb");
    EXPECT_NE(e.file, nullptr);
    return e;
  }
  std::string Tmp(const std::string& name) const { return m_dir.Path() + "/" + name + "quarlo.rename"; }

  TempDir m_dir;
};

TEST_F(TransferMapTest, DroppedConnectionClosesEveryTransferOfItOnly) {
  Trans_Add(9, Open("a9", FakeConn(0), -1));
  Trans_Add(5, Open("a5", FakeConn(0), -1));
  Trans_Add(7, Open("b7", FakeConn(1), -1));
  Trans_Add(11, Open("u11", nullptr, 3));
  ASSERT_TRUE(ProcessHoldsOpen(Tmp("a5")));

  CloseTcpTransfers(FakeConn(0));
  EXPECT_FALSE(ProcessHoldsOpen(Tmp("a5")));
  EXPECT_FALSE(ProcessHoldsOpen(Tmp("a9")));
  EXPECT_TRUE(ProcessHoldsOpen(Tmp("b7")));
  EXPECT_TRUE(ProcessHoldsOpen(Tmp("u11")));
  EXPECT_EQ(Trans_Count(), 2u);

  // Entries without a connection (UDT, relay-fetched) are not "the connection null".
  CloseTcpTransfers(nullptr);
  EXPECT_EQ(Trans_Count(), 2u);
  EXPECT_TRUE(ProcessHoldsOpen(Tmp("u11")));
}

TEST_F(TransferMapTest, DroppedUdtSocketClosesEveryTransferOfItOnly) {
  Trans_Add(1, Open("s1", nullptr, 4));
  Trans_Add(2, Open("s2", nullptr, 4));
  Trans_Add(3, Open("s3", nullptr, 5));
  Trans_Add(4, Open("t4", FakeConn(0), -1));

  CloseUdtTransfers(4);
  EXPECT_FALSE(ProcessHoldsOpen(Tmp("s1")));
  EXPECT_FALSE(ProcessHoldsOpen(Tmp("s2")));
  EXPECT_TRUE(ProcessHoldsOpen(Tmp("s3")));
  CloseUdtTransfers(-1);  // TCP entries carry -1; they stay
  EXPECT_EQ(Trans_Count(), 2u);
  EXPECT_TRUE(ProcessHoldsOpen(Tmp("t4")));
}

TEST_F(TransferMapTest, AddReplacesAndClosesTakeKeepsOpenRemoveCloses) {
  Trans_Add(8, Open("up", FakeConn(0), -1));
  TransferEntry down;
  down.conn = FakeConn(0);
  down.targetPath = "/srv/file.bin";
  Trans_Add(8, down);  // a download reusing the id of an upload in progress
  EXPECT_FALSE(ProcessHoldsOpen(Tmp("up")));
  EXPECT_EQ(Trans_Count(), 1u);

  TransferEntry taken;
  ASSERT_TRUE(Trans_Take(8, taken));
  EXPECT_EQ(taken.targetPath, "/srv/file.bin");
  EXPECT_FALSE(Trans_Take(8, taken));
  EXPECT_EQ(Trans_Count(), 0u);

  Trans_Add(9, Open("kept", nullptr, 2));
  TransferEntry out;
  ASSERT_TRUE(Trans_Take(9, out));
  EXPECT_TRUE(ProcessHoldsOpen(Tmp("kept")));  // the taker owns the file now
  std::fclose(out.file);

  Trans_Add(10, Open("gone", nullptr, 2));
  EXPECT_TRUE(Trans_Remove(10));
  EXPECT_FALSE(ProcessHoldsOpen(Tmp("gone")));
  EXPECT_FALSE(Trans_Remove(10));
}

TEST_F(TransferMapTest, HeldByOther) {
  TransferEntry e;
  e.conn = FakeConn(0);
  e.udtSock = -1;
  Trans_Add(3, e);
  struct Case {
    uint32_t id;
    bufferevent* conn;
    int udt;
    bool held;
  } cases[] = {
      {3, FakeConn(0), -1, false},  // the same requester
      {3, FakeConn(1), -1, true},   // another connection
      {3, nullptr, 6, true},        // a UDT peer
      {4, FakeConn(1), -1, false},  // a free id
  };
  for (const auto& c : cases) EXPECT_EQ(Trans_HeldByOther(c.id, c.conn, c.udt), c.held) << c.id;
}

// --- A real connection of the command server that drops with two transfers open.

constexpr uint16_t kOpOpenTestTransfer = 0x7F01;
std::string g_openDir;

int OpenTestTransfer(const char*, const CommandHeader* header, bufferevent* conn, char**,
                     int* replyLen, int*, char*) {
  TransferEntry e;
  e.conn = conn;
  e.targetPath = g_openDir + "/t" + std::to_string(header->param);
  e.file = std::fopen(e.targetPath.c_str(), "wb");
  Trans_Add(header->param, e);
  *replyLen = 0;
  return 0;
}

TEST_F(TransferMapTest, CommandServerDropClosesBothTransfersOfTheConnection) {
  g_openDir = m_dir.Path();
  OS_RegFunction(&OpenTestTransfer, kOpOpenTestTransfer);
  Trans_InstallHooks(&Download_OnConnectionClosed);
  TestCommandServer server;
  ASSERT_TRUE(server.Start());

  DeviceClient device;
  ASSERT_TRUE(device.Connect("127.0.0.1", server.Port()));
  ASSERT_TRUE(device.SendRaw(Concat({BuildMessage(kOpOpenTestTransfer, 21),
                                     BuildMessage(kOpOpenTestTransfer, 22)})));
  ASSERT_TRUE(WaitFor([] { return Trans_Count() == 2; }, std::chrono::seconds(10)));
  EXPECT_TRUE(ProcessHoldsOpen(g_openDir + "/t21"));

  device.Close();
  ASSERT_TRUE(WaitFor([] { return Trans_Count() == 0; }, std::chrono::seconds(10)));
  EXPECT_FALSE(ProcessHoldsOpen(g_openDir + "/t21"));
  EXPECT_FALSE(ProcessHoldsOpen(g_openDir + "/t22"));
}

// --- The transfer log.

struct LogRow {
  int type;
  int status;
  std::string file;
  long long size;
  std::string time;
};

std::vector<LogRow> ReadLog() {
  std::vector<LogRow> rows;
  CppSQLite3Query q = g_DB.ExecQuery("select * from qv_trans order by id");
  for (; !q.Eof(); q.NextRow()) {
    rows.push_back({q.GetIntField("type"), q.GetIntField("status"), q.GetStringField("file"),
                    q.GetInt64Field("size"), q.GetStringField("time")});
  }
  return rows;
}

class TransLogTest : public ::testing::Test {
 protected:
  void SetUp() override { m_base.OpenGlobalDb(); }
  TempBase m_base;
};

TEST_F(TransLogTest, HundredRowsPlusOneKeepsTheNewestFiftyAndTheNewRowLast) {
  for (int i = 0; i < 100; ++i) WriteTranLog("/data/f" + std::to_string(i), i % 2, 1000 + i);
  ASSERT_EQ(ReadLog().size(), 100u);

  WriteTranLog("/data/new.jpg", 1, 77);
  const auto rows = ReadLog();
  ASSERT_EQ(rows.size(), 51u);
  EXPECT_EQ(rows.front().file, "/data/f50");  // f0..f49 are gone
  EXPECT_EQ(rows[49].file, "/data/f99");
  EXPECT_EQ(rows.back().file, "/data/new.jpg");
  EXPECT_EQ(rows.back().type, 1);
  EXPECT_EQ(rows.back().status, 0);
  EXPECT_EQ(rows.back().size, 77);
}

// Rows queued by the handlers are committed together; the table ends as if each had been
// written alone: trimmed by the oldest 50 whenever it held 100, every row in queued order.
TEST_F(TransLogTest, QueuedRowsCommittedTogetherKeepOrderAndTrimming) {
  for (int i = 0; i < 160; ++i) QueueTranLog("/data/q" + std::to_string(i), 1, 10 + i);
  QueueTranLog("/data/none", 1, 0);  // no row, even queued
  TransLog_Flush();
  const auto rows = ReadLog();
  ASSERT_EQ(rows.size(), 60u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].file, "/data/q" + std::to_string(100 + i));
    EXPECT_EQ(rows[i].size, static_cast<long long>(110 + i));
  }
}

TEST_F(TransLogTest, RowContentSizeZeroAndLargeSizes) {
  WriteTranLog("/data/empty.txt", 0, 0);
  EXPECT_TRUE(ReadLog().empty());

  const uint64_t fiveGiB = 5ull << 30;
  WriteTranLog("/data/movie.mkv", 0, fiveGiB);
  WriteTranLog("/data/it's \"quoted\".txt", 1, 1);
  const auto rows = ReadLog();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].size, static_cast<long long>(fiveGiB));
  EXPECT_EQ(rows[0].type, 0);
  EXPECT_EQ(rows[1].file, "/data/it's \"quoted\".txt");
  // "%Y-%m-%d %H:%M:%S"
  ASSERT_EQ(rows[0].time.size(), 19u);
  EXPECT_EQ(rows[0].time[4], '-');
  EXPECT_EQ(rows[0].time[10], ' ');
  EXPECT_EQ(rows[0].time[16], ':');
}

TEST_F(TransLogTest, DatabaseErrorLeavesNothingHalfDoneAndReleasesTheWriteMutex) {
  m_base.Exec("drop table qv_trans");
  WriteTranLog("/data/x", 0, 5);  // logged, not thrown
  m_base.Exec("create table qv_trans(id INTEGER PRIMARY KEY, type integer, status integer, "
              "file text, size integer, time text)");
  // Another thread can still take the write mutex, and the next row is written.
  bool taken = false;
  std::thread other([&] {
    taken = g_DB.WriteMutex()->TryLock();
    if (taken) g_DB.WriteMutex()->Unlock();
  });
  other.join();
  EXPECT_TRUE(taken);
  WriteTranLog("/data/y", 0, 5);
  ASSERT_EQ(ReadLog().size(), 1u);
}

// --- The one send helper.

void SetOwnIdentity(const std::string& id) {
  std::memset(g_szUUID, 0, sizeof g_szUUID);
  std::memcpy(g_szUUID, id.data(), std::min(id.size(), sizeof g_szUUID));
}

TEST(RelayPrefix, GoldenBytes) {
  SetOwnIdentity("PC-0001");
  uint8_t out[kRelayReplyPrefixSize];
  ASSERT_TRUE(EncodeRelayReplyPrefix("PHONE-42", 20, out));
  std::vector<uint8_t> want(kRelayReplyPrefixSize, 0);
  const uint8_t head[] = {0x00, 0x9A, 0x00, 0x07, 0x10, 0x09};  // 154, version 7, 0x1009
  std::memcpy(want.data(), head, sizeof head);
  std::memcpy(want.data() + 6, "PC-0001", 7);
  std::memcpy(want.data() + 70, "PHONE-42", 8);
  EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof out), want);
}

TEST(RelayPrefix, IdentitiesKeepTheirTerminatorAndTotalMustFitU16) {
  SetOwnIdentity(std::string(64, 'P'));  // no zero byte at all
  uint8_t out[kRelayReplyPrefixSize];
  ASSERT_TRUE(EncodeRelayReplyPrefix(std::string(80, 'R'), 65535 - kRelayReplyPrefixSize, out));
  EXPECT_EQ(wire::GetU16(out), 65535);
  EXPECT_EQ(out[6 + 62], 'P');
  EXPECT_EQ(out[6 + 63], 0);
  EXPECT_EQ(out[70 + 62], 'R');
  EXPECT_EQ(out[70 + 63], 0);
  EXPECT_FALSE(EncodeRelayReplyPrefix("R", 65535 - kRelayReplyPrefixSize + 1, out));
  SetOwnIdentity("");
}

TEST(RouteOf, RequesterOnlyFromRelayedBodies) {
  std::vector<char> body(100, 0);
  std::memcpy(body.data(), "PHONE-7", 7);
  struct Case {
    size_t len;
    char direct;
    const char* requester;
    bool isDirect;
  } cases[] = {
      {100, 0, "PHONE-7", false},
      {64, 0, "PHONE-7", false},
      {63, 0, "", false},  // too short to hold the identity
      {100, 1, "", true},
  };
  for (const auto& c : cases) {
    PeerRoute r = RouteOf(body.data(), c.len, nullptr, -1, c.direct);
    EXPECT_EQ(r.requester, c.requester) << c.len;
    EXPECT_EQ(r.direct, c.isDirect);
  }
  EXPECT_EQ(RouteOf(nullptr, 0, nullptr, -1, 0).requester, "");
}

TEST(SendToPeer, DirectWritesTheMessageUnchanged) {
  SocketPairConn pair;
  const std::vector<uint8_t> msg = {0, 12, 0x20, 0x03, 0, 0, 0, 9, 'a', 'b', 'c', 'd'};
  PeerRoute route = RouteOf(nullptr, 0, pair.Bev(), -1, 1);
  ASSERT_EQ(SendToPeer(route, msg.data(), msg.size()), 0);
  EXPECT_EQ(PendingOutput(route), msg.size());
  EXPECT_EQ(pair.Receive(msg.size()), msg);
}

TEST(SendToPeer, RelayPrefixesTheFrame) {
  SetOwnIdentity("PC-0001");
  SocketPairConn pair;
  std::vector<char> body(72 + 356, 0);
  std::memcpy(body.data(), "PHONE-42", 8);
  PeerRoute route = RouteOf(body.data(), body.size(), pair.Bev(), -1, 0);
  std::vector<uint8_t> msg(20, 0x5A);
  ASSERT_EQ(SendToPeer(route, msg.data(), msg.size()), 0);

  std::vector<uint8_t> want(kRelayReplyPrefixSize);
  ASSERT_TRUE(EncodeRelayReplyPrefix("PHONE-42", msg.size(), want.data()));
  want.insert(want.end(), msg.begin(), msg.end());
  EXPECT_EQ(pair.Receive(want.size()), want);

  std::vector<uint8_t> huge(65535, 0);
  EXPECT_EQ(SendToPeer(route, huge.data(), huge.size()), -1);  // the u16 total would wrap
  EXPECT_EQ(SendToPeer(RouteOf(nullptr, 0, nullptr, -1, 1), msg.data(), msg.size()), -1);
  SetOwnIdentity("");
}

// A pool task that was handed a connection (not through a posted request's outbox) is refused
// the write, direct or relay framed: the connection belongs to its loop, which may free it.
TEST(SendToPeer, APoolTaskNeverWritesToAConnection) {
  EnsureDeviceGlobals();
  SocketPairConn pair;
  std::vector<char> body(72 + 356, 0);
  std::memcpy(body.data(), "PHONE-9", 7);
  struct Attempt {
    PeerRoute route;
    std::atomic<int> rc{1};
    std::atomic<size_t> pending{1};
  };
  for (char direct : {1, 0}) {
    Attempt a;
    a.route = RouteOf(body.data(), body.size(), pair.Bev(), -1, direct);
    EXPECT_EQ(a.route.outbox, 0u);
    ASSERT_EQ(ThreadPool_AddTask(g_pThreadPool,
                                 [](void* arg) {
                                   auto* at = static_cast<Attempt*>(arg);
                                   const uint8_t msg[4] = {1, 2, 3, 4};
                                   at->pending = PendingOutput(at->route);
                                   at->rc = SendToPeer(at->route, msg, sizeof msg);
                                   return 0;
                                 },
                                 &a),
              0);
    ASSERT_TRUE(WaitFor([&] { return a.rc.load() != 1; }, std::chrono::seconds(10)));
    EXPECT_EQ(a.rc.load(), -1) << int(direct);
    EXPECT_EQ(a.pending.load(), 0u) << int(direct);
  }
  // Nothing reached the connection: the first bytes at the far end are the loop's own.
  const std::vector<uint8_t> mark = {9, 9};
  ASSERT_EQ(SendToPeer(RouteOf(nullptr, 0, pair.Bev(), -1, 1), mark.data(), mark.size()), 0);
  EXPECT_EQ(pair.Receive(mark.size()), mark);
}

TEST(SendToPeer, UdtSendsOneMessage) {
  ASSERT_EQ(UDT::startup(), 0);
  UDTSOCKET listener = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_NE(UDT::bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof sin), UDT::ERROR);
  int len = sizeof sin;
  ASSERT_NE(UDT::getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len), UDT::ERROR);
  ASSERT_NE(UDT::listen(listener, 1), UDT::ERROR);

  UDTSOCKET client = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  const int timeoutMs = 10000;  // a deadline, not a measurement
  UDT::setsockopt(client, 0, UDT_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
  int connected = UDT::ERROR;
  std::thread connector([&] {
    connected = UDT::connect(client, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  });
  sockaddr_in peer{};
  int plen = sizeof peer;
  UDTSOCKET accepted = UDT::accept(listener, reinterpret_cast<sockaddr*>(&peer), &plen);
  connector.join();
  ASSERT_NE(connected, UDT::ERROR);
  ASSERT_NE(accepted, UDT::INVALID_SOCK);

  const std::vector<uint8_t> msg = {0, 10, 0x20, 0x03, 0, 0, 0, 1, 'x', 'y'};
  PeerRoute route = RouteOf(nullptr, 0, nullptr, accepted, 1);
  EXPECT_EQ(SendToPeer(route, msg.data(), msg.size(), false), 0);
  EXPECT_EQ(PendingOutput(route), 0u);
  char buf[2048];
  int got = UDT::recvmsg(client, buf, sizeof buf);
  ASSERT_EQ(got, int(msg.size()));
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + got), msg);

  UDT::close(client);
  UDT::close(accepted);
  UDT::close(listener);
  UDT::cleanup();
}

}  // namespace
