// The service's side of the relay road against a scripted server socket: how the relay client
// takes frames apart (split frames, short answers between frames, bad inner lengths), its
// keep-alives, reconnects and log-out; and a relay download's answers from the cache (cache
// full, stop, no connection). The real OS_RunEventClient, Dispatch and DownLoadFile_Cash run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/proto_relay.h"
#include "common/thread_pool.h"
#include "service/transfers/download.h"
#include "service/roads/relay_client.h"
#include "service/transfers/relay_transfer.h"
#include "service/service_globals.h"
#include "service/transfers/transfer_sessions.h"
#include "tests/service/transfer_test_support.h"
#include "tests/support/device_client.h"
#include "tests/support/env_guard.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint16_t kOpEcho = 0x7001;
constexpr uint16_t kOpLocalOnly = 0x5001;
constexpr const char* kPc = "pc-under-test";

std::atomic<int> g_echoed{0};

// Replies with the request as it came after the relay prefix: header and body.
int Echo(const char* body, const CommandHeader* header, bufferevent*, char** reply, int* replyLen,
         int*, char*) {
  ++g_echoed;
  const size_t n = header->len;
  char* out = new char[n];
  EncodeCommandHeader(*header, reinterpret_cast<uint8_t*>(out));
  if (n > kCommandHeaderSize) std::memcpy(out + kCommandHeaderSize, body + 72, n - kCommandHeaderSize);
  *reply = out;
  *replyLen = static_cast<int>(n);
  return 0;
}

bool StopPending(uint32_t id) {
  CMutexLock lock(g_StopDownLoadMutex);
  for (int v : g_StopDownloadList)
    if (v == static_cast<int>(id)) return true;
  return false;
}

// A listening socket on a free loopback port; accepts connections one at a time.
class ScriptedServer {
 public:
  ScriptedServer() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_fd, 8);
    socklen_t len = sizeof a;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
  }
  ~ScriptedServer() { close(m_fd); }
  uint16_t Port() const { return m_port; }
  ServerAddress Address() const {
    ServerAddress s;
    MakeServerAddress("127.0.0.1", m_port, s);
    return s;
  }
  // The next connection, or false at the deadline.
  bool Accept(DeviceClient& out, milliseconds wait = milliseconds(10000)) {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) != 1) return false;
    const int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    out.Adopt(fd);
    return true;
  }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

Bytes RegisterFrame() { return BuildRelayFrame(kCmdRelayRegister, kPc, nullptr, 0); }

// A relay data frame from the server: requester in the header, a 64-byte field, the message.
Bytes DataFrame(const std::string& requester, const Bytes& message) {
  Bytes body(64 + message.size(), 'z');
  std::copy(message.begin(), message.end(), body.begin() + 64);
  return BuildRelayFrame(kCmdRelayData, requester, body.data(), body.size());
}

class RelayClient : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    g_Log.SetPath(base.LogDir() + "/Log.txt");
    g_Log.SetPriority(kLogDebug);
    ASSERT_TRUE(g_Log.Open());
    EnsureServiceMutexes();
    if (!g_pThreadPool) g_pThreadPool = ThreadPool_Create();
    std::memset(g_szUUID, 0, sizeof g_szUUID);
    std::strcpy(g_szUUID, kPc);
    g_nLogOnRtn = 0;
    g_ExitFlag = 0;
    OS_ClearRegistry();
    ASSERT_EQ(OS_RegFunction(Echo, kOpEcho), 0);
    ASSERT_EQ(OS_RegFunction(StopDownLoad, kOpStopDownLoad), 0);
    ASSERT_EQ(OS_RegFunction(Echo, kOpLocalOnly), 0);  // answers, but only on loopback connections
    setenv("QUARLO_TEST_SETTINGS", "relay_keepalive_ms=150,relay_retry_ms=100", 1);
  }
  void TearDown() override {
    g_ExitFlag = 1;
    g_nLogOnRtn = -1;
    if (loop.joinable()) loop.join();
    OS_ClearRegistry();
    g_Log.Close();
  }
  std::string Log() {
    g_Log.Flush();
    return ReadFileText(base.LogDir() + "/Log.txt");
  }
  void RunClient() {
    loop = std::thread([this] { OS_RunEventClient(server.Address()); });
  }

  CEnvGuard settingsGuard{"QUARLO_TEST_SETTINGS"};
  TempBase base;
  ScriptedServer server;
  std::thread loop;
};

TEST_F(RelayClient, FramesAreTakenByTheirLengthWhateverTheReadsCut) {
  RunClient();
  DeviceClient s;
  ASSERT_TRUE(server.Accept(s));
  Bytes reg(70);
  ASSERT_TRUE(s.ReadExact(reg.data(), reg.size()));
  EXPECT_EQ(reg, RegisterFrame());

  const Bytes tooLong = [] {
    Bytes m = BuildMessage(kOpEcho, 90, Bytes(4, 1));
    wire::PutU16(m.data(), 200);  // inner total beyond the body
    return m;
  }();
  struct Step {
    const char* name;
    Bytes bytes;
    std::vector<size_t> pieces;
    uint32_t answered;  // the param of the reply that must come next, 0: none before the next
  };
  const Bytes f1 = DataFrame("phone-1", BuildMessage(kOpEcho, 1, Bytes(30, 7)));
  const std::vector<Step> steps = {
      {"split at header byte 40", f1, {40}, 1},
      {"split at body byte 1", DataFrame("phone-2", BuildMessage(kOpEcho, 2, Bytes(5, 2))), {71}, 2},
      {"short answers between frames are skipped",
       Concat({BuildShortReply(kCmdRelayRegister, 0), BuildShortReply(kCmdCacheDeliver, 0),
               Bytes{0, 69, 0, 0, 0x10, 0x09, 0, 0}, Bytes(61, 0),
               DataFrame("phone-3", BuildMessage(kOpEcho, 3))}),
       {8, 3},
       3},
      {"a body of exactly 72 bytes is dispatched", DataFrame("phone-4", BuildMessage(kOpEcho, 4)), {}, 4},
      {"an unregistered inner opcode is dropped and the next frame served",
       Concat({DataFrame("phone-5", BuildMessage(0x500D, 50)), DataFrame("phone-5", BuildMessage(kOpEcho, 5))}),
       {},
       5},
      {"an inner total beyond the body is dropped",
       Concat({DataFrame("phone-6", tooLong), DataFrame("phone-6", BuildMessage(kOpEcho, 6))}), {}, 6},
      {"the desktop's local operations are not for relayed phones",
       Concat({DataFrame("phone-7", BuildMessage(kOpLocalOnly, 70)), DataFrame("phone-7", BuildMessage(kOpEcho, 7))}),
       {},
       7},
  };
  for (const Step& st : steps) {
    SCOPED_TRACE(st.name);
    ASSERT_TRUE(s.SendInPieces(st.bytes, st.pieces));
    std::string requester;
    DeviceMessage m;
    // Keep-alives may come in between.
    for (;;) {
      uint8_t head[2];
      ASSERT_TRUE(s.ReadExact(head, 2));
      if (wire::GetU16(head) == 70) {
        Bytes rest(68);
        ASSERT_TRUE(s.ReadExact(rest.data(), rest.size()));
        continue;
      }
      const uint16_t total = wire::GetU16(head);
      ASSERT_GE(total, kRelayReplyPrefix + 8);
      Bytes rest(total - 2);
      ASSERT_TRUE(s.ReadExact(rest.data(), rest.size()));
      const Bytes whole = Concat({Bytes(head, head + 2), rest});
      requester = wire::GetFixedText(whole.data() + kRelayHeaderSize, 64);
      EXPECT_EQ(wire::GetFixedText(whole.data() + 6, 64), kPc);
      m.header = DecodeCommandHeader(whole.data() + kRelayReplyPrefix);
      break;
    }
    EXPECT_EQ(m.header.param, st.answered);
    EXPECT_EQ(requester, "phone-" + std::to_string(st.answered));
  }
  EXPECT_NE(Log().find("opcode error. 20493"), std::string::npos);
}

TEST_F(RelayClient, KeepAlivesRepeatTheRegisterFrame) {
  RunClient();
  DeviceClient s;
  ASSERT_TRUE(server.Accept(s));
  for (int i = 0; i < 4; ++i) {
    Bytes frame(70);
    ASSERT_TRUE(s.ReadExact(frame.data(), frame.size()));
    EXPECT_EQ(frame, RegisterFrame()) << i;
  }
}

TEST_F(RelayClient, ABrokenLengthOrALogOutClosesTheConnection) {
  RunClient();
  DeviceClient s;
  ASSERT_TRUE(server.Accept(s));
  ASSERT_TRUE(s.SendRaw(Bytes{0, 5, 1, 2, 3}));  // a total below 8
  EXPECT_TRUE(s.WaitClosed());
  loop.join();

  RunClient();
  DeviceClient t;
  ASSERT_TRUE(server.Accept(t));
  g_nLogOnRtn = 0x1002;
  EXPECT_TRUE(t.WaitClosed());
  loop.join();
}

TEST_F(RelayClient, ReconnectsOnlyWhileLoggedOn) {
  base.OpenGlobalDb();
  base.Exec("update qv_conf set svhost = '127.0.0.1', svport = " + std::to_string(server.Port()) + ";");
  loop = std::thread([] { StartRecvInterLine(nullptr); });
  DeviceClient first;
  ASSERT_TRUE(server.Accept(first));
  first.Close();  // the server ends the connection
  DeviceClient second;
  ASSERT_TRUE(server.Accept(second));
  EXPECT_NE(Log().find("get an interline error, exits"), std::string::npos);
  // A heartbeat log-on that could not reach the server is no log-out: the relay stays.
  g_nLogOnRtn = 0x101A;
  EXPECT_FALSE(second.WaitClosed(milliseconds(1500)));
  g_nLogOnRtn = 0x1001;  // refused: logged off
  EXPECT_TRUE(second.WaitClosed());
  DeviceClient third;
  EXPECT_FALSE(server.Accept(third, milliseconds(800)));  // eight retry periods, logged off
  g_nLogOnRtn = 0;
  EXPECT_TRUE(server.Accept(third));  // at once, whatever the retry pause
}

// ---- a relay download against a scripted cache ---------------------------------------------

class RelayDownload : public RelayClient {
 protected:
  void SetUp() override {
    RelayClient::SetUp();
    base.OpenGlobalDb();
    base.Exec("update qv_conf set svhost = '127.0.0.1', svport = " + std::to_string(server.Port()) + ";");
  }
  // An open download of `size` bytes under id, as the download request leaves it.
  void Open(uint32_t id, size_t size) {
    path = base.WriteFile("f" + std::to_string(id), std::string(size, 'q'));
    TransferEntry e;
    e.file = std::fopen(path.c_str(), "rb");
    e.targetPath = path;
    Trans_Add(id, e);
  }
  void Start(uint32_t id, uint32_t offset) {
    auto* job = new InterDownloadJob;
    job->sessionId = id;
    job->offset = offset;
    std::strcpy(job->requester, "phone-9");
    task = std::thread([job] { DownLoadFile_Cash(job); });
  }
  // One cache message; its inner opcode and package number.
  bool ReadCache(DeviceClient& c, uint16_t& opcode, uint32_t& number) {
    uint8_t head[2];
    if (!c.ReadExact(head, 2)) return false;
    Bytes rest(wire::GetU16(head) - 2);
    if (!c.ReadExact(rest.data(), rest.size())) return false;
    const Bytes whole = Concat({Bytes(head, head + 2), rest});
    if (wire::GetU16(whole.data() + 4) != kCmdCacheDeliver) return false;
    if (wire::GetFixedText(whole.data() + 70, 64) != "phone-9") return false;
    opcode = wire::GetU16(whole.data() + 136);
    number = whole.size() >= 146 ? wire::GetU32(whole.data() + 142) : 0;
    return true;
  }
  void TearDown() override {
    if (task.joinable()) task.join();
    RelayClient::TearDown();
  }
  std::string path;
  std::thread task;
};

TEST_F(RelayDownload, CacheFullDelaysThePackageAndTheDownloadGoesOn) {
  Open(31, 2500);
  Start(31, 0);
  DeviceClient c;
  ASSERT_TRUE(server.Accept(c));
  uint16_t op = 0;
  uint32_t k = 0;
  std::vector<uint32_t> numbers;
  for (int full = 0; full < 3; ++full) {  // package 1 is answered "full" three times
    ASSERT_TRUE(ReadCache(c, op, k));
    numbers.push_back(k);
    ASSERT_TRUE(c.SendRaw(BuildShortReply(kCmdCacheDeliver, kStatusCacheFull)));
  }
  for (;;) {
    ASSERT_TRUE(ReadCache(c, op, k));
    if (op == 0x1003) break;
    numbers.push_back(k);
    ASSERT_TRUE(c.SendRaw(BuildServerReply(0, {})));
  }
  ASSERT_TRUE(c.SendRaw(BuildServerReply(0, {})));
  EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 1, 1, 1, 2, 3}));
  EXPECT_EQ(CountOccurrences(Log(), "server cash is full."), 3u);
}

// Takes the 30 seconds the wait on one package is allowed.
TEST_F(RelayDownload, ACacheThatStaysFullEndsTheDownloadWithAFailure) {
  Open(34, 1500);
  Start(34, 0);
  DeviceClient c;
  ASSERT_TRUE(server.Accept(c));
  uint16_t op = 0;
  uint32_t k = 0;
  int full = 0;
  for (;;) {
    ASSERT_TRUE(ReadCache(c, op, k));
    if (op == 0x1003) break;
    EXPECT_EQ(k, 1u);
    ++full;
    ASSERT_TRUE(c.SendRaw(BuildShortReply(kCmdCacheDeliver, kStatusCacheFull)));
  }
  EXPECT_EQ(k >> 24, uint32_t('1'));  // the end message's status byte: failed
  ASSERT_TRUE(c.SendRaw(BuildServerReply(0, {})));
  task.join();
  EXPECT_EQ(full, 301);  // 300 waits of 100 ms are allowed, the 301st answer ends it
  EXPECT_NE(Log().find("time out."), std::string::npos);
  EXPECT_EQ(Trans_Count(), 0u);
  EXPECT_EQ(DownloadCount_Get(), 0);
}

TEST_F(RelayDownload, StopEndsItBeforeTheNextPackage) {
  Open(32, 5000);
  Start(32, 0);
  DeviceClient c;
  ASSERT_TRUE(server.Accept(c));
  uint16_t op = 0;
  uint32_t k = 0;
  ASSERT_TRUE(ReadCache(c, op, k));
  EXPECT_EQ(k, 1u);
  // The phone's stop arrives while package 1 waits for its answer.
  char* reply = nullptr;
  int replyLen = 0;
  CommandHeader stop{8, kOpStopDownLoad, 32};
  int udt = -1;
  char direct = 0;
  std::thread stopper([&] { StopDownLoad("", &stop, nullptr, &reply, &replyLen, &udt, &direct); });
  ASSERT_TRUE(WaitFor([] { return StopPending(32); }, seconds(5)));
  ASSERT_TRUE(c.SendRaw(BuildServerReply(0, {})));
  stopper.join();
  delete[] reply;
  EXPECT_TRUE(c.WaitClosed());  // no further package, no end message
  task.join();
  EXPECT_NE(Log().find("get cmd to stop download OK 32"), std::string::npos);
  EXPECT_FALSE(StopPending(32));
  EXPECT_EQ(DownloadCount_Get(), 0);
}

// An answer that is neither "accepted" nor "full" in the middle of a download: the end '1'
// follows at once, no package after the refused one, the connection closes, and nothing is left
// running or open.
TEST_F(RelayDownload, ARefusalMidDownloadEndsItWithAFailure) {
  const uint16_t refusals[] = {kStatusNoSuchPhone, kStatusBadRequest, kStatusServerError, 0xFFFF};
  uint32_t id = 40;
  for (const uint16_t refusal : refusals) {
    SCOPED_TRACE(refusal);
    Open(++id, 5500);
    Start(id, 0);
    DeviceClient c;
    ASSERT_TRUE(server.Accept(c));
    uint16_t op = 0;
    uint32_t k = 0;
    for (uint32_t want = 1; want <= 3; ++want) {
      ASSERT_TRUE(ReadCache(c, op, k));
      ASSERT_EQ(op, 0x1002);
      ASSERT_EQ(k, want);
      ASSERT_TRUE(c.SendRaw(want < 3 ? BuildServerReply(0, {}) : BuildServerReply(refusal, {})));
    }
    ASSERT_TRUE(ReadCache(c, op, k));
    EXPECT_EQ(op, 0x1003);
    EXPECT_EQ(k >> 24, uint32_t('1'));  // the end message's status byte: failed
    ASSERT_TRUE(c.SendRaw(BuildServerReply(0, {})));
    EXPECT_TRUE(c.WaitClosed());
    task.join();
    EXPECT_EQ(Trans_Count(), 0u);
    EXPECT_EQ(DownloadCount_Get(), 0);
  }
  EXPECT_EQ(CountOccurrences(Log(), "time out."), 0u);
}

TEST_F(RelayDownload, NoServerLeavesNoOpenEntryBehind) {
  Open(33, 10);
  base.Exec("update qv_conf set svport = 1;");  // nothing listens there
  const int before = DownloadCount_Get();
  Start(33, 0);
  task.join();
  EXPECT_EQ(Trans_Count(), 0u);
  EXPECT_EQ(DownloadCount_Get(), before);
}

}  // namespace

namespace {

// The upload fetch task: no connection while nothing is open, then only upload data and ends
// are dispatched from what the cache hands over.
TEST_F(RelayDownload, UploadFetchesOnlyWhileTransfersAreOpenAndDispatchesOnlyUploadMessages) {
  setenv("QUARLO_TEST_SETTINGS", "upload_fetch_ms=50", 1);
  ASSERT_EQ(Trans_Count(), 0u);
  task = std::thread([] { InterLineUpLoadFile(nullptr); });
  DeviceClient c;
  EXPECT_FALSE(server.Accept(c, milliseconds(500)));  // ten periods, nothing open
  Open(40, 10);
  ASSERT_TRUE(server.Accept(c));
  const Bytes fetch = BuildRelayFrame(kCmdCacheFetch, kPc, nullptr, 0);
  const int before = g_echoed.load();
  // Handed over: an echo request (never dispatched from the cache), then a local-only one.
  for (const Bytes& m : {BuildMessage(kOpEcho, 1), BuildMessage(kOpLocalOnly, 2)}) {
    Bytes got(fetch.size());
    ASSERT_TRUE(c.ReadExact(got.data(), got.size()));
    EXPECT_EQ(got, fetch);
    ASSERT_TRUE(c.SendRaw(BuildServerReply(0, m)));
  }
  Bytes got(fetch.size());
  ASSERT_TRUE(c.ReadExact(got.data(), got.size()));
  ASSERT_TRUE(c.SendRaw(BuildServerReply(kStatusNothingWaits, {})));
  EXPECT_EQ(g_echoed.load(), before);
  EXPECT_NE(Log().find("fetched message of 8 bytes dropped."), std::string::npos);
  Trans_Remove(40);
  g_ExitFlag = 1;  // the task ends; TearDown joins it
}

}  // namespace
