#include "common/command_server.h"

#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "tests/support/device_client.h"
#include "tests/support/peer_namespace.h"
#include "tests/support/wait_for.h"
#include "tests/support/text_files.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint16_t kOpEcho = 0x2002;
constexpr uint16_t kOpLocalEcho = 0x5006;  // desktop-only operations
constexpr uint16_t kOpLocalMac = 0x5012;
constexpr uint16_t kOpVersion = 0x1013;    // phones may use it
constexpr uint16_t kOpAutoSort = 0x5013;   // phones may use it
constexpr uint16_t kOpSilent = 0x0011;
constexpr uint16_t kOpBigReply = 0x0003;
constexpr uint16_t kOpStream = 0x0004;
constexpr uint16_t kOpPackage = 0x1002;
constexpr size_t kBigReply = 60000;
constexpr size_t kPackageData = 1000;

// What the handlers saw; they run on the server thread.
struct Call {
  uint16_t opcode;
  uint32_t param;
  bool bodyNull;
  Bytes body;
  bufferevent* conn;
  bool loopback;
};
std::mutex g_mutex;
std::vector<Call> g_calls;
std::vector<bufferevent*> g_closed;
size_t g_maxOutputAtEntry = 0;

// One streaming download at a time, refilled from the writable hook.
struct Stream {
  bufferevent* conn = nullptr;
  uint32_t next = 0;
  uint32_t count = 0;
  size_t maxOutput = 0;
};
Stream g_stream;

std::vector<Call> Calls() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_calls;
}
std::vector<bufferevent*> Closed() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_closed;
}

void Record(const char* body, const CommandHeader* h, bufferevent* conn) {
  Call c{h->opcode, h->param, body == nullptr, {}, conn, OS_IsLoopbackConnection(conn)};
  if (body) c.body.assign(body, body + (h->len - kCommandHeaderSize));
  std::lock_guard<std::mutex> lock(g_mutex);
  g_calls.push_back(c);
}

// Answers with the request's opcode and parameter and its body.
int EchoHandler(const char* body, const CommandHeader* h, bufferevent* conn, char** reply,
                int* replyLen, int*, char*) {
  Record(body, h, conn);
  const Bytes b = body ? Bytes(body, body + (h->len - kCommandHeaderSize)) : Bytes{};
  const Bytes msg = BuildMessage(h->opcode, h->param, b);
  *reply = new (std::nothrow) char[msg.size()];
  std::copy(msg.begin(), msg.end(), *reply);
  *replyLen = static_cast<int>(msg.size());
  return 0;
}

// Allocates a reply but asks for none to be sent.
int SilentHandler(const char* body, const CommandHeader* h, bufferevent* conn, char** reply,
                  int* replyLen, int*, char*) {
  Record(body, h, conn);
  *reply = new (std::nothrow) char[32];
  *replyLen = 0;
  return 0;
}

int BigReplyHandler(const char* body, const CommandHeader* h, bufferevent* conn, char** reply,
                    int* replyLen, int*, char*) {
  Record(body, h, conn);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_maxOutputAtEntry =
        std::max(g_maxOutputAtEntry, evbuffer_get_length(bufferevent_get_output(conn)));
  }
  const Bytes msg = BuildMessage(h->opcode, h->param, Bytes(kBigReply - kCommandHeaderSize, 0x5A));
  *reply = new (std::nothrow) char[msg.size()];
  std::copy(msg.begin(), msg.end(), *reply);
  *replyLen = static_cast<int>(msg.size());
  return 0;
}

void RefillStream(bufferevent* conn) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (conn != g_stream.conn) return;
  evbuffer* out = bufferevent_get_output(conn);
  g_stream.maxOutput = std::max(g_stream.maxOutput, evbuffer_get_length(out));
  // Top up to 64 KiB: the buffer stays bounded whatever the file size.
  while (g_stream.next < g_stream.count && evbuffer_get_length(out) < 64 * 1024) {
    const Bytes pkg = BuildMessage(kOpPackage, g_stream.next,
                                   Bytes(kPackageData, uint8_t(g_stream.next & 0xFF)));
    bufferevent_write(conn, pkg.data(), pkg.size());
    ++g_stream.next;
  }
  g_stream.maxOutput = std::max(g_stream.maxOutput, evbuffer_get_length(out));
}

// Parameter = number of 1000-byte packages to stream, sent from the writable hook.
int StreamHandler(const char* body, const CommandHeader* h, bufferevent* conn, char**, int*,
                  int*, char*) {
  Record(body, h, conn);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_stream = Stream{conn, 0, h->param, 0};
  }
  RefillStream(conn);
  return 0;
}

void ClosedHook(bufferevent* conn) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_closed.push_back(conn);
  if (g_stream.conn == conn) g_stream.conn = nullptr;
}

class CommandServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/qv_cmdserver_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    g_Log.SetPath(m_dir + "/Log.txt");
    g_Log.SetPriority(kLogDebug);
    ASSERT_TRUE(g_Log.Open());
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_calls.clear();
      g_closed.clear();
      g_maxOutputAtEntry = 0;
      g_stream = Stream{};
    }
    OS_ClearRegistry();
    for (uint16_t op : {kOpEcho, kOpLocalEcho, kOpLocalMac, kOpVersion, kOpAutoSort})
      ASSERT_EQ(OS_RegFunction(EchoHandler, op), 0);
    ASSERT_EQ(OS_RegFunction(SilentHandler, kOpSilent), 0);
    ASSERT_EQ(OS_RegFunction(BigReplyHandler, kOpBigReply), 0);
    ASSERT_EQ(OS_RegFunction(StreamHandler, kOpStream), 0);
    OS_SetConnectionClosedHook(ClosedHook);
    OS_SetConnectionWritableHook(RefillStream);
    ASSERT_TRUE(m_server.Start());
  }
  void TearDown() override {
    m_server.Stop();
    OS_SetConnectionClosedHook(nullptr);
    OS_SetConnectionWritableHook(nullptr);
    OS_SetConnectionIdleTimeout(kDefaultIdleTimeoutSeconds);
    OS_ClearRegistry();
    g_Log.Close();
    std::filesystem::remove_all(m_dir);
  }

  std::string LogText() {
    return ReadFileText(m_dir + "/Log.txt");
  }
  void ConnectClient(DeviceClient& c) { ASSERT_TRUE(c.Connect("127.0.0.1", m_server.Port())); }
  // An echo round trip: proves the connection is open and earlier messages left no reply.
  void ExpectEcho(DeviceClient& c, uint32_t param) {
    ASSERT_TRUE(c.Send(kOpEcho, param, {0x42}));
    DeviceMessage m;
    ASSERT_TRUE(c.ReadMessage(m));
    EXPECT_EQ(m.header.opcode, kOpEcho);
    EXPECT_EQ(m.header.param, param);
    EXPECT_EQ(m.body, Bytes{0x42});
  }

  TestCommandServer m_server;
  std::string m_dir;
};

TEST_F(CommandServerTest, LogsTheBoundEphemeralPort) {
  EXPECT_NE(m_server.Port(), 0);
  EXPECT_NE(LogText().find("Bind port " + std::to_string(m_server.Port()) + "."),
            std::string::npos)
      << LogText();
}

TEST_F(CommandServerTest, PortInUseEndsTheTaskWithoutServing) {
  const int busy = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(busy, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  socklen_t len = sizeof any;
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(listen(busy, 4), 0);
  ASSERT_EQ(getsockname(busy, reinterpret_cast<sockaddr*>(&any), &len), 0);
  const uint16_t port = ntohs(any.sin_port);

  g_LocalPort.store(port);
  EXPECT_EQ(OS_RunEvent(nullptr), -1);
  EXPECT_EQ(g_LocalPort.load(), port);  // the configured port is kept
  close(busy);
  EXPECT_NE(LogText().find("Couldn't create listener."), std::string::npos);
  DeviceClient c;  // the running server is untouched, its stop included (TearDown)
  ConnectClient(c);
  ExpectEcho(c, 1);
}

TEST_F(CommandServerTest, MessageSplitAnywhereIsAssembled) {
  const Bytes request = BuildMessage(kOpEcho, 0x01020304, {'w', 'x', 'y', 'z'});  // 12 bytes
  const std::vector<std::vector<size_t>> splits = {
      {3, 5}, {3, 5, 2}, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {7}, {8}, {9}, {11},
  };
  for (const auto& split : splits) {
    DeviceClient c;
    ConnectClient(c);
    ASSERT_TRUE(c.SendInPieces(request, split));
    DeviceMessage m;
    ASSERT_TRUE(c.ReadMessage(m)) << "split starting " << split[0];
    EXPECT_EQ(m.header.param, 0x01020304u);
    EXPECT_EQ(m.body, (Bytes{'w', 'x', 'y', 'z'}));
  }
  EXPECT_EQ(Calls().size(), splits.size());
}

TEST_F(CommandServerTest, BackToBackMessagesAreDispatchedInOrder) {
  DeviceClient c;
  ConnectClient(c);
  const Bytes fourth = BuildMessage(kOpEcho, 4, Bytes(300, 0x44));
  // Three whole messages and the start of a fourth in one write; the rest follows later.
  const Bytes first = Concat({BuildMessage(kOpEcho, 1, {0x11, 0x12}), BuildMessage(kOpEcho, 2),
                              BuildMessage(kOpEcho, 3, {0x33}),
                              Bytes(fourth.begin(), fourth.begin() + 13)});
  ASSERT_TRUE(c.SendRaw(first));
  for (uint32_t param = 1; param <= 3; ++param) {
    DeviceMessage m;
    ASSERT_TRUE(c.ReadMessage(m));
    EXPECT_EQ(m.header.param, param);
  }
  ASSERT_TRUE(c.SendRaw(Bytes(fourth.begin() + 13, fourth.end())));
  DeviceMessage m;
  ASSERT_TRUE(c.ReadMessage(m));
  EXPECT_EQ(m.header.param, 4u);
  EXPECT_EQ(m.body, Bytes(300, 0x44));

  const std::vector<Call> calls = Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].body, (Bytes{0x11, 0x12}));
  EXPECT_TRUE(calls[1].bodyNull);  // a message of length 8 has no body
  EXPECT_FALSE(calls[2].bodyNull);
  for (const Call& call : calls) EXPECT_EQ(call.conn, calls[0].conn);
}

TEST_F(CommandServerTest, LengthBelowHeaderClosesTheConnection) {
  for (uint16_t len : {uint16_t(0), uint16_t(1), uint16_t(7)}) {
    const size_t closedBefore = Closed().size();
    DeviceClient c;
    ConnectClient(c);
    CommandHeader h;
    h.len = len;
    h.opcode = kOpEcho;
    ASSERT_TRUE(c.SendRaw(BuildRawMessage(h, Bytes(16, 0))));
    EXPECT_TRUE(c.WaitClosed()) << "length " << len;
    EXPECT_TRUE(WaitFor([&] { return Closed().size() == closedBefore + 1; }, seconds(5)));
  }
  EXPECT_TRUE(Calls().empty());
}

TEST_F(CommandServerTest, UnregisteredOpcodeClosesWithoutReadingOn) {
  DeviceClient c;
  ConnectClient(c);
  ExpectEcho(c, 1);
  ASSERT_TRUE(c.Send(0x7777, 2, Bytes(20, 1)));
  EXPECT_TRUE(c.WaitClosed());
  ASSERT_TRUE(WaitFor([] { return Closed().size() == 1; }, seconds(5)));
  EXPECT_EQ(Closed()[0], Calls()[0].conn);  // the hook heard of the connection it served
}

TEST_F(CommandServerTest, RelayPassOpcodesAreReadWholeAndKeepTheConnection) {
  DeviceClient c;
  ConnectClient(c);
  // Bodies that look like headers: a server that skipped them would answer those instead.
  const Bytes inner = BuildMessage(kOpEcho, 99);
  ASSERT_TRUE(c.SendRaw(Concat({BuildMessage(0x1008, 1, inner), BuildMessage(0x1009, 2, inner),
                                BuildMessage(0x1009, 3)})));
  ExpectEcho(c, 4);
  EXPECT_EQ(Calls().size(), 1u);
  EXPECT_TRUE(Closed().empty());
  const std::string log = LogText();
  EXPECT_NE(log.find("Type(4104) not registe."), std::string::npos) << log;
  EXPECT_EQ(CountOccurrences(log, "Type(4105) not registe."), 2u);
}

TEST_F(CommandServerTest, ReplyLengthZeroSendsNothing) {
  DeviceClient c;
  ConnectClient(c);
  ASSERT_TRUE(c.Send(kOpSilent, 1));
  ExpectEcho(c, 2);  // the first thing that arrives is the echo's reply
  EXPECT_EQ(Calls().size(), 2u);
}

TEST_F(CommandServerTest, DropMidMessageCallsTheClosedHookOnce) {
  const Bytes request = BuildMessage(kOpEcho, 7, Bytes(10, 0x77));
  DeviceClient other;  // stays open: its round trips let the loop run past any late call
  ConnectClient(other);
  for (size_t cut : {size_t(5), size_t(8), size_t(12)}) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_calls.clear();
      g_closed.clear();
    }
    DeviceClient c;
    ConnectClient(c);
    ExpectEcho(c, 1);
    ASSERT_TRUE(c.SendAndDrop(request, cut));
    ASSERT_TRUE(WaitFor([] { return !Closed().empty(); }, seconds(5))) << "cut " << cut;
    ExpectEcho(other, 2);
    const std::vector<bufferevent*> closed = Closed();
    ASSERT_EQ(closed.size(), 1u) << "cut " << cut;
    EXPECT_EQ(closed[0], Calls()[0].conn);
    EXPECT_EQ(Calls().size(), 2u);  // the cut message was never dispatched
  }
}

TEST_F(CommandServerTest, PartialMessageDoesNotHoldUpOtherClients) {
  DeviceClient slow, quick;
  ConnectClient(slow);
  ConnectClient(quick);
  const Bytes request = BuildMessage(kOpEcho, 10, {0x01});
  ASSERT_TRUE(slow.SendRaw(request.data(), 3));
  ExpectEcho(quick, 11);
  ASSERT_TRUE(slow.SendRaw(request.data() + 3, request.size() - 3));
  DeviceMessage m;
  ASSERT_TRUE(slow.ReadMessage(m));
  EXPECT_EQ(m.header.param, 10u);
}

TEST_F(CommandServerTest, LocalApiFromLoopbackIsAnswered) {
  DeviceClient c;
  ConnectClient(c);
  ASSERT_TRUE(c.Send(kOpLocalEcho, 5, {0x01, 0x02}));
  DeviceMessage m;
  ASSERT_TRUE(c.ReadMessage(m));
  EXPECT_EQ(m.header.opcode, kOpLocalEcho);
  EXPECT_EQ(m.header.param, 5u);
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_TRUE(Calls()[0].loopback);
}

TEST_F(CommandServerTest, LocalApiFromAnotherHostIsRefusedAndTheConnectionStays) {
  PeerNamespace peer;
  const std::string failure = peer.Create();
  if (!failure.empty()) GTEST_SKIP() << "cannot make a non-loopback peer (" << failure << ")";
  const int fd = peer.Connect(m_server.Port());
  if (fd < 0) GTEST_SKIP() << "cannot connect from the peer namespace";
  DeviceClient c;
  c.Adopt(fd);

  ASSERT_TRUE(c.SendRaw(Concat({BuildMessage(kOpLocalEcho, 1, Bytes(40, 1)),
                                BuildMessage(kOpLocalMac, 2), BuildMessage(kOpLocalEcho, 3)})));
  // Phone operations on the same connection are still answered, and first.
  for (uint16_t op : {kOpEcho, kOpVersion, kOpAutoSort}) {
    ASSERT_TRUE(c.Send(op, op, {0x09}));
    DeviceMessage m;
    ASSERT_TRUE(c.ReadMessage(m));
    EXPECT_EQ(m.header.opcode, op);
    EXPECT_EQ(m.header.param, op);
  }
  const std::vector<Call> calls = Calls();
  ASSERT_EQ(calls.size(), 3u);
  for (const Call& call : calls) {
    EXPECT_NE(call.opcode, kOpLocalEcho);
    EXPECT_NE(call.opcode, kOpLocalMac);
    EXPECT_FALSE(call.loopback);
  }
  EXPECT_TRUE(Closed().empty());
  // Each refusal is logged while the peer's burst of refusal lines allows.
  EXPECT_GE(CountOccurrences(LogText(), "Refuse local API opcode 0x5006 from " + peer.PeerIp() + "."), 1u)
      << LogText();
}

TEST_F(CommandServerTest, WritableHookStreamsWithBoundedOutput) {
  DeviceClient c;
  ConnectClient(c);
  constexpr uint32_t kPackages = 5000;  // 5 MB through a 64 KiB buffer
  ASSERT_TRUE(c.Send(kOpStream, kPackages));
  for (uint32_t i = 0; i < kPackages; ++i) {
    DeviceMessage m;
    ASSERT_TRUE(c.ReadMessage(m)) << "package " << i;
    ASSERT_EQ(m.header.opcode, kOpPackage);
    ASSERT_EQ(m.header.param, i);
    ASSERT_EQ(m.body, Bytes(kPackageData, uint8_t(i & 0xFF)));
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_EQ(g_stream.next, kPackages);
  EXPECT_LT(g_stream.maxOutput, size_t(64 * 1024 + 2 * kPackageData));
}

TEST_F(CommandServerTest, PeerThatDoesNotReadStopsBeingServedUntilItDoes) {
  DeviceClient c;
  ConnectClient(c);
  constexpr uint32_t kRequests = 300;  // 18 MB of replies asked for in one write
  Bytes all;
  for (uint32_t i = 0; i < kRequests; ++i) {
    const Bytes one = BuildMessage(kOpBigReply, i);
    all.insert(all.end(), one.begin(), one.end());
  }
  ASSERT_TRUE(c.SendRaw(all));
  for (uint32_t i = 0; i < kRequests; ++i) {
    DeviceMessage m;
    ASSERT_TRUE(c.ReadMessage(m)) << "reply " << i;
    ASSERT_EQ(m.header.param, i);
    ASSERT_EQ(m.body.size(), kBigReply - kCommandHeaderSize);
  }
  // A request is not even dispatched while the output is above the cap: at most one reply
  // more than the cap is ever queued.
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_LE(g_maxOutputAtEntry, size_t(256 * 1024));
}

TEST_F(CommandServerTest, IdleConnectionIsClosed) {
  OS_SetConnectionIdleTimeout(1);
  DeviceClient idle;
  ConnectClient(idle);
  EXPECT_TRUE(idle.WaitClosed(seconds(30)));
  EXPECT_TRUE(WaitFor([] { return Closed().size() == 1; }, seconds(5)));
}

TEST_F(CommandServerTest, StopEndsTheLoopAndClosesOpenConnections) {
  DeviceClient c;
  ConnectClient(c);
  ExpectEcho(c, 1);
  m_server.Stop();
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_EQ(Closed().size(), 1u);
  EXPECT_NE(LogText().find("[INFO] exit local server."), std::string::npos) << LogText();
}

// One remote address cannot take every slot, and remote peers cannot take the slots kept for
// loopback (the desktop program's local API).
TEST_F(CommandServerTest, ConnectionCapsPerAddressAndForLoopback) {
  ConnectionLimits limits;
  limits.maxRemote = 8;
  limits.maxPerAddress = 3;
  limits.maxLoopback = 2;
  OS_SetConnectionLimits(limits);
  PeerNamespace peer;
  const std::string failure = peer.Create();
  if (!failure.empty()) GTEST_SKIP() << "cannot make a non-loopback peer (" << failure << ")";

  std::vector<std::unique_ptr<DeviceClient>> remote;
  for (uint32_t i = 0; i < 3; ++i) {
    const int fd = peer.Connect(m_server.Port());
    ASSERT_GE(fd, 0);
    remote.push_back(std::make_unique<DeviceClient>());
    remote.back()->Adopt(fd);
    ExpectEcho(*remote.back(), i);
  }
  DeviceClient extraRemote;
  extraRemote.Adopt(peer.Connect(m_server.Port()));
  EXPECT_TRUE(extraRemote.WaitClosed());

  std::vector<std::unique_ptr<DeviceClient>> local;
  for (uint32_t i = 0; i < 2; ++i) {
    local.push_back(std::make_unique<DeviceClient>());
    ConnectClient(*local.back());
    ExpectEcho(*local.back(), 100 + i);  // the remote peer's full share took nothing from these
  }
  DeviceClient extraLocal;
  ConnectClient(extraLocal);
  EXPECT_TRUE(extraLocal.WaitClosed());

  local.pop_back();  // a place becomes free
  ASSERT_TRUE(WaitFor([] { return Closed().size() == 1; }, seconds(5)));
  DeviceClient later;
  ConnectClient(later);
  ExpectEcho(later, 1000);
  EXPECT_EQ(CountOccurrences(LogText(), "Too many connections (address cap, from " + peer.PeerIp()), 1u)
      << LogText();
  EXPECT_EQ(CountOccurrences(LogText(), "Too many connections (loopback cap"), 1u);
  OS_SetConnectionLimits(ConnectionLimits());
}

// A peer that trickles bytes without ever finishing a message is idle all the same.
// A new connection goes to the loop with the fewest connections, so a phone that asks for a
// small file does not wait behind another phone's large download on a busy loop.
TEST_F(CommandServerTest, NewConnectionsGoToTheLeastBusyLoop) {
  auto settled = [](size_t total) {
    return WaitFor([&] {
      const std::vector<size_t> counts = OS_ConnectionsPerLoop();
      size_t sum = 0;
      for (size_t n : counts) sum += n;
      return sum == total;
    }, std::chrono::seconds(5));
  };
  const size_t loops = OS_ConnectionsPerLoop().size();
  ASSERT_GE(loops, 1u);
  std::vector<std::unique_ptr<DeviceClient>> clients;
  for (size_t i = 0; i < 2 * loops; ++i) {
    clients.push_back(std::make_unique<DeviceClient>());
    ConnectClient(*clients.back());
    ExpectEcho(*clients.back(), static_cast<uint32_t>(i));
  }
  ASSERT_TRUE(settled(2 * loops));
  // Empty one loop: the first connections went round the loops in turn.
  clients[loops / 2].reset();
  clients[loops / 2 + loops].reset();
  ASSERT_TRUE(settled(2 * loops - 2));
  for (int i = 0; i < 2; ++i) {
    clients.push_back(std::make_unique<DeviceClient>());
    ConnectClient(*clients.back());
    ExpectEcho(*clients.back(), 100u + static_cast<uint32_t>(i));
  }
  ASSERT_TRUE(settled(2 * loops));
  const std::vector<size_t> counts = OS_ConnectionsPerLoop();
  EXPECT_EQ(*std::max_element(counts.begin(), counts.end()), 2u);
  EXPECT_EQ(*std::min_element(counts.begin(), counts.end()), 2u);
}

TEST_F(CommandServerTest, IdleTimeCountsFromTheLastWholeMessage) {
  OS_SetConnectionIdleTimeout(1);
  DeviceClient c;
  ConnectClient(c);
  ExpectEcho(c, 1);
  const Bytes message = BuildMessage(kOpEcho, 2, Bytes(200, 7));
  std::atomic<bool> closed{false};
  std::thread trickle([&] {
    // One byte every 100 ms: far more often than the time-out, never a whole message.
    for (size_t i = 0; i + 1 < message.size() && !closed.load(); ++i) {
      if (!c.SendRaw(&message[i], 1)) break;
      std::this_thread::sleep_for(milliseconds(100));
    }
  });
  EXPECT_TRUE(WaitFor([] { return Closed().size() == 1; }, seconds(15)));
  closed = true;
  trickle.join();
}

// Lowers the descriptor limit so that exactly `free` more descriptors can be opened;
// restores it on destruction.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(int free) {
    getrlimit(RLIMIT_NOFILE, &m_saved);
    int found = 0;
    int fd = 0;
    for (; found < free; ++fd) {
      if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) ++found;
    }
    rlimit lowered = m_saved;
    lowered.rlim_cur = static_cast<rlim_t>(fd);
    m_ok = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &m_saved); }
  bool Ok() const { return m_ok; }

 private:
  rlimit m_saved{};
  bool m_ok = false;
};

TEST_F(CommandServerTest, ListenerSurvivesRunningOutOfDescriptors) {
  DeviceClient first;
  ConnectClient(first);
  ExpectEcho(first, 1);
  // Kept open: the log is read while no descriptor can be opened.
  const int logFd = open((m_dir + "/Log.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(logFd, 0);
  auto logHas = [logFd](const std::string& what) {
    std::string text;
    char buf[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(logFd, buf, sizeof buf, at)) > 0; at += n) text.append(buf, n);
    return text.find(what) != std::string::npos;
  };

  DeviceClient second;
  {
    DescriptorLimit limit(1);  // room for the client's socket, none for the server's accept
    ASSERT_TRUE(limit.Ok());
    ConnectClient(second);  // completes in the backlog
    ASSERT_TRUE(WaitFor([&] { return logHas("listener paused for one second"); }, seconds(10)));
    first.Close();  // frees descriptors on both sides
    ASSERT_TRUE(WaitFor([] { return Closed().size() == 1; }, seconds(5)));
    ExpectEcho(second, 2);  // accepted once the listener resumed
  }
  close(logFd);
  DeviceClient third;
  ConnectClient(third);
  ExpectEcho(third, 3);
  EXPECT_EQ(LogText().find("Shutting down"), std::string::npos);
}

}  // namespace
