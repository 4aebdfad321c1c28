// The steps every road's requests go through, over the real registry and logger: a request that
// fails the parse or the admission, or whose opcode is unknown, runs no handler and sends
// nothing; a throwing handler sends nothing; a placer that takes a request leaves no reply here.
#include "common/request_pipeline.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/log.h"
#include "tests/support/text_files.h"

namespace {

// What a road would have sent.
class CRecordedReplies : public IReplyChannel {
 public:
  void Send(const char* bytes, size_t len) override { sent.emplace_back(bytes, len); }
  std::vector<std::string> sent;
};

struct Calls {
  int count = 0;
  CommandHeader header{};
  const char* body = nullptr;
  bufferevent* conn = nullptr;
  int udt = 0;
  char direct = 0;
};
Calls g_calls;

int EchoHandler(const char* body, const CommandHeader* header, bufferevent* conn, char** reply,
                int* replyLen, int* udtSock, char* direct) {
  ++g_calls.count;
  g_calls.header = *header;
  g_calls.body = body;
  g_calls.conn = conn;
  g_calls.udt = *udtSock;
  g_calls.direct = *direct;
  *reply = new (std::nothrow) char[3]{'o', 'k', '!'};
  *replyLen = 3;
  return 1234;
}

int ThrowingHandler(const char*, const CommandHeader*, bufferevent*, char** reply, int* replyLen,
                    int*, char*) {
  ++g_calls.count;
  *reply = new (std::nothrow) char[64];  // half-built reply, then a failure
  *replyLen = 64;
  throw std::runtime_error("handler failed");
}

int g_placed = 0;
PeerRequest g_placedRequest;
bool TakingPlacer(OpcodeHandler, const PeerRequest& request) {
  ++g_placed;
  g_placedRequest = request;
  return true;
}
bool DecliningPlacer(OpcodeHandler, const PeerRequest&) {
  ++g_placed;
  return false;
}

constexpr uint16_t kEcho = 0x2002;       // a file request: any LAN peer
constexpr uint16_t kThrowing = 0x0004;
constexpr uint16_t kLocalApi = 0x5000;   // the desktop program's only
constexpr uint16_t kUnknown = 0x7777;

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv_pipeline_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    g_Log.SetPath(m_dir + "/Log.txt");
    g_Log.SetPriority(kLogDebug);
    ASSERT_TRUE(g_Log.Open());
    g_Log.ForgetRefusals();  // each test's refusal lines are written whatever came before
    OS_ClearRegistry();
    PeerLogin_Clear();
    g_calls = Calls{};
    g_placed = 0;
    g_placedRequest = PeerRequest{};
    ASSERT_EQ(OS_RegFunction(EchoHandler, kEcho), 0);
    ASSERT_EQ(OS_RegFunction(EchoHandler, kLocalApi), 0);
    ASSERT_EQ(OS_RegFunction(ThrowingHandler, kThrowing), 0);
  }
  void TearDown() override {
    OS_ClearRegistry();
    PeerLogin_Clear();
    g_Log.Close();
    std::filesystem::remove_all(m_dir);
  }
  std::string LogText() {
    g_Log.Flush();
    return ReadFileText(m_dir + "/Log.txt");
  }
  // A LAN phone's command-connection request of `opcode` with a whole body of bodyLen bytes.
  PeerRequest Lan(uint16_t opcode, size_t bodyLen = 0) {
    PeerRequest r;
    r.trust.road = Road::kCommand;
    r.trust.ownSubnet = true;
    r.trust.peer = "10.0.0.9";
    r.header = CommandHeader{static_cast<uint16_t>(kCommandHeaderSize + bodyLen), opcode, 7};
    m_body.assign(bodyLen + 64 + kCommandHeaderSize, 'b');
    r.body = bodyLen ? m_body.data() : nullptr;
    r.bodyLen = bodyLen;
    return r;
  }

  std::string m_dir;
  std::string m_body;
};

// A total below the header, or fewer body bytes than the header says (through the relay: the
// requester and the whole inner message), never reaches the handler.
TEST_F(PipelineTest, ParseRefusesShortBodiesBeforeTheHandler) {
  struct Case {
    bool relay;
    uint16_t total;   // the (inner) header's length
    size_t bodyLen;   // bytes that arrived after the header
    bool nullBody;
    bool runs;
  };
  const Case cases[] = {
      {false, 8, 0, true, true},      {false, 20, 12, false, true},
      {false, 20, 40, false, true},   {false, 20, 11, false, false},
      {false, 20, 0, true, false},    {false, 20, 12, true, false},
      {false, 7, 0, true, false},     {false, 0, 0, true, false},
      {true, 8, 72, false, true},     {true, 20, 84, false, true},
      {true, 20, 200, false, true},   {true, 20, 83, false, false},
      {true, 8, 71, false, false},    {true, 7, 71, false, false},
      {true, 0, 64, false, false},    {true, 8, 72, true, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string where = "case " + std::to_string(n++);
    g_calls = Calls{};
    PeerRequest r = Lan(kEcho);
    if (c.relay) {
      r.trust.road = Road::kRelay;
      r.trust.peer = "relay";
      r.direct = 0;
    }
    r.header.len = c.total;
    m_body.assign(c.bodyLen + 1, 'b');
    r.body = c.nullBody ? nullptr : m_body.data();
    r.bodyLen = c.bodyLen;
    CRecordedReplies replies;
    const int rc = Request_Run(r, replies);
    EXPECT_EQ(g_calls.count, c.runs ? 1 : 0) << where;
    EXPECT_EQ(rc, c.runs ? 1234 : 274) << where;
    EXPECT_EQ(replies.sent.size(), c.runs ? 1u : 0u) << where;
  }
  EXPECT_NE(LogText().find("Message 0x2002 of length 20 from 10.0.0.9 holds 11 body bytes; refused."),
            std::string::npos)
      << LogText();
}

// Each step that stops a request stops it before the handler, and only a handler's whole reply
// goes out, once.
TEST_F(PipelineTest, OnlyAnAdmittedKnownRequestRunsAndOnlyAWholeReplyIsSent) {
  PeerLogin_Clear();
  int refusedConn = 0;
  PeerLogin_Set(&refusedConn, -1, 0x0900000A, LoginState::kRefused);
  RelayLogin_Set("refused-phone", LoginState::kRefused);
  struct Case {
    const char* what;
    PeerRequest request;
    int rc;
    int calls;
    size_t sent;
  };
  PeerRequest localFromLan = Lan(kLocalApi);
  PeerRequest afterRefusedLogin = Lan(kEcho);
  afterRefusedLogin.conn = reinterpret_cast<bufferevent*>(&refusedConn);
  PeerRequest outsideBeforeLogin = Lan(kEcho);
  outsideBeforeLogin.trust.ownSubnet = false;
  PeerRequest refusedRelayPhone = Lan(kEcho);
  refusedRelayPhone.trust.road = Road::kRelay;
  refusedRelayPhone.trust.requester = "refused-phone";
  refusedRelayPhone.direct = 0;
  refusedRelayPhone.body = m_body.data();
  refusedRelayPhone.bodyLen = 72;
  PeerRequest localFromDesktop = Lan(kLocalApi);
  localFromDesktop.trust.sameUser = true;
  const Case cases[] = {
      {"local API from a LAN phone", localFromLan, 281, 0, 0},
      {"after a refused log-in", afterRefusedLogin, 281, 0, 0},
      {"outside peer before its log-in", outsideBeforeLogin, 281, 0, 0},
      {"relay phone the desktop refused", refusedRelayPhone, 281, 0, 0},
      {"unknown opcode", Lan(kUnknown), 280, 0, 0},
      {"throwing handler", Lan(kThrowing), 16, 1, 0},
      {"file request from a LAN phone", Lan(kEcho), 1234, 1, 1},
      {"local API from the desktop program", localFromDesktop, 1234, 1, 1},
  };
  for (const Case& c : cases) {
    g_calls = Calls{};
    CRecordedReplies replies;
    EXPECT_EQ(Request_Run(c.request, replies), c.rc) << c.what;
    EXPECT_EQ(g_calls.count, c.calls) << c.what;
    ASSERT_EQ(replies.sent.size(), c.sent) << c.what;
    if (c.sent) {
      EXPECT_EQ(replies.sent[0], "ok!") << c.what;
    }
  }
  const std::string log = LogText();
  EXPECT_NE(log.find("Refuse local API opcode 0x5000 from 10.0.0.9."), std::string::npos) << log;
  EXPECT_NE(log.find("Type(30583) not registe."), std::string::npos) << log;
  EXPECT_EQ(CountOccurrences(log, "Do request exception."), 1u) << log;
  PeerLogin_Clear();
}

// The handler sees the request as the road made it: its body, header, connection, UDT socket
// and direct flag.
TEST_F(PipelineTest, HandlerGetsTheRequestsArguments) {
  struct Case {
    Road road;
    int udt;
    char direct;
  };
  const Case cases[] = {{Road::kCommand, -1, 1}, {Road::kUdt, 17, 1}, {Road::kRelay, -1, 0},
                        {Road::kFetched, -1, 1}};
  int fakeConn = 0;
  for (const Case& c : cases) {
    g_calls = Calls{};
    PeerRequest r = Lan(kEcho, 3);
    r.trust.road = c.road;
    r.udtSock = c.udt;
    r.direct = c.direct;
    if (c.direct == 0) r.bodyLen = 64 + r.header.len;
    r.body = m_body.data();
    r.conn = c.road == Road::kUdt ? nullptr : reinterpret_cast<bufferevent*>(&fakeConn);
    CRecordedReplies replies;
    EXPECT_EQ(Request_Run(r, replies), 1234);
    EXPECT_EQ(g_calls.body, m_body.data());
    EXPECT_EQ(g_calls.header.len, 11u);
    EXPECT_EQ(g_calls.header.opcode, kEcho);
    EXPECT_EQ(g_calls.header.param, 7u);
    EXPECT_EQ(g_calls.conn, r.conn);
    EXPECT_EQ(g_calls.udt, c.udt);
    EXPECT_EQ(g_calls.direct, c.direct);
  }
}

// A placer sees only admitted requests; one that takes the request leaves no handler call and
// no reply here, one that declines has it handled here.
TEST_F(PipelineTest, PlacerDecidesWhereAnAdmittedRequestRuns) {
  OS_ClearRegistry();
  ASSERT_EQ(OS_RegFunction(EchoHandler, kEcho, TakingPlacer), 0);
  ASSERT_EQ(OS_RegFunction(EchoHandler, kLocalApi, TakingPlacer), 0);
  ASSERT_EQ(OS_RegFunction(EchoHandler, 0x2003, DecliningPlacer), 0);

  CRecordedReplies replies;
  EXPECT_EQ(Request_Run(Lan(kLocalApi), replies), 281);
  EXPECT_EQ(g_placed, 0);

  PeerRequest taken = Lan(kEcho, 5);
  taken.udtSock = 9;
  EXPECT_EQ(Request_Run(taken, replies), 0);
  EXPECT_EQ(g_placed, 1);
  EXPECT_EQ(g_calls.count, 0);
  EXPECT_TRUE(replies.sent.empty());
  EXPECT_EQ(g_placedRequest.header.opcode, kEcho);
  EXPECT_EQ(g_placedRequest.body, taken.body);
  EXPECT_EQ(g_placedRequest.bodyLen, 5u);
  EXPECT_EQ(g_placedRequest.udtSock, 9);

  EXPECT_EQ(Request_Run(Lan(0x2003), replies), 1234);
  EXPECT_EQ(g_placed, 2);
  EXPECT_EQ(g_calls.count, 1);
  EXPECT_EQ(replies.sent.size(), 1u);
}

}  // namespace
