#include "common/opcode_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/log.h"
#include "common/request_pipeline.h"
#include "tests/support/text_files.h"

namespace {

// A LAN phone's command connection: every handler but the local API is reached.
CallerTrust LanTrust() {
  CallerTrust t;
  t.road = Road::kCommand;
  t.ownSubnet = true;
  return t;
}

// The admit, place and handle steps with a handler's arguments, as a road would make them.
int Dispatch(const CallerTrust& trust, const CommandHeader* header, const char* body,
             bufferevent* conn, char** reply, int* replyLen, int udtSock, int direct) {
  PeerRequest request;
  request.trust = trust;
  request.header = *header;
  request.body = body;
  request.bodyLen = body ? std::strlen(body) : 0;
  request.conn = conn;
  request.udtSock = udtSock;
  request.direct = static_cast<char>(direct);
  return ::Dispatch(request, reply, replyLen);
}

// The real logger writing into a file of a fresh temporary folder.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv_registry_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    g_Log.SetPath(m_dir + "/Log.txt");
    g_Log.SetPriority(kLogDebug);
    ASSERT_TRUE(g_Log.Open());
    OS_ClearRegistry();
  }
  void TearDown() override {
    OS_ClearRegistry();
    g_Log.Close();
    std::filesystem::remove_all(m_dir);
  }
  std::string LogText() {
    g_Log.Flush();
    return ReadFileText(m_dir + "/Log.txt");
  }

  std::string m_dir;
};

// What the last handler call saw.
struct Seen {
  const char* body = nullptr;
  CommandHeader header;
  bufferevent* conn = nullptr;
  int udt = 0;
  char direct = 0;
};
Seen g_seen;

int RecordingHandler(const char* body, const CommandHeader* header, bufferevent* conn,
                     char** reply, int* replyLen, int* udtSock, char* direct) {
  g_seen.body = body;
  g_seen.header = *header;
  g_seen.conn = conn;
  g_seen.udt = *udtSock;
  g_seen.direct = *direct;
  *reply = new (std::nothrow) char[4]{'o', 'k', '!', 0};
  *replyLen = 4;
  return 1234;
}

int OtherHandler(const char*, const CommandHeader*, bufferevent*, char**, int*, int*, char*) {
  return 99;
}

int ThrowingHandler(const char*, const CommandHeader*, bufferevent*, char** reply, int* replyLen,
                    int*, char*) {
  *reply = new (std::nothrow) char[64];  // half-built reply, then a failure
  *replyLen = 64;
  throw std::runtime_error("handler failed");
}

int ThrowingIntHandler(const char*, const CommandHeader*, bufferevent*, char**, int*, int*,
                       char*) {
  throw 7;  // not an std::exception
}

TEST_F(RegistryTest, NullHandlerIsRefusedWithLog) {
  EXPECT_EQ(OS_RegFunction(nullptr, 0x2002), 275);
  EXPECT_FALSE(OS_IsRegistered(0x2002));
  EXPECT_NE(LogText().find("[ERROR]  regFun is NULL."), std::string::npos) << LogText();
}

TEST_F(RegistryTest, SecondRegistrationFailsAndFirstHandlerStays) {
  ASSERT_EQ(OS_RegFunction(RecordingHandler, 0x2002), 0);
  EXPECT_EQ(OS_RegFunction(OtherHandler, 0x2002), 275);
  EXPECT_NE(LogText().find("OS_RegFunction"), std::string::npos);
  EXPECT_EQ(CountOccurrences(LogText(), "Opcode(8194) already registered."), 1u) << LogText();

  CommandHeader h{8, 0x2002, 5};
  char* reply = nullptr;
  int len = 0;
  EXPECT_EQ(Dispatch(LanTrust(), &h, nullptr, nullptr, &reply, &len, -1, 1), 1234);
  delete[] reply;
}

TEST_F(RegistryTest, UnregisteredOpcodeGives280AndLeavesOutputsAlone) {
  ASSERT_EQ(OS_RegFunction(RecordingHandler, 0x2002), 0);
  CommandHeader h{8, 0x500D, 1};
  char marker = 'x';
  char* reply = &marker;
  int len = -5;
  EXPECT_EQ(Dispatch(LanTrust(), &h, nullptr, nullptr, &reply, &len, 3, 1), 280);
  EXPECT_EQ(reply, &marker);
  EXPECT_EQ(len, -5);
  const std::string log = LogText();
  EXPECT_NE(log.find("Type(20493) not registe."), std::string::npos) << log;
  EXPECT_NE(log.find("Dispatch"), std::string::npos);
}

TEST_F(RegistryTest, DispatchPassesEveryArgumentAndReturnsHandlerResult) {
  ASSERT_EQ(OS_RegFunction(RecordingHandler, 0x5013), 0);
  ASSERT_EQ(OS_RegFunction(RecordingHandler, 0x5014), 0);
  struct Case {
    uint16_t opcode;
    int udt;
    int direct;
  };
  const Case cases[] = {{0x5013, -1, 1}, {0x5014, 17, 0}, {0x5013, 4, 1}};
  const char body[] = "abc";
  auto* fakeConn = reinterpret_cast<bufferevent*>(&g_seen);  // only compared, never used
  for (const Case& c : cases) {
    g_seen = Seen{};
    CommandHeader h{11, c.opcode, 0xA1B2C3D4};
    char* reply = nullptr;
    int len = 0;
    EXPECT_EQ(Dispatch(LanTrust(), &h, body, fakeConn, &reply, &len, c.udt, c.direct), 1234);
    EXPECT_EQ(g_seen.body, body);
    EXPECT_EQ(g_seen.header.opcode, c.opcode);  // one handler tells the two apart by this
    EXPECT_EQ(g_seen.header.param, 0xA1B2C3D4u);
    EXPECT_EQ(g_seen.header.len, 11);
    EXPECT_EQ(g_seen.conn, fakeConn);
    EXPECT_EQ(g_seen.udt, c.udt);
    EXPECT_EQ(g_seen.direct, c.direct);
    ASSERT_EQ(len, 4);
    EXPECT_STREQ(reply, "ok!");
    delete[] reply;
  }
}

TEST_F(RegistryTest, ThrowingHandlerLeavesNoReply) {
  ASSERT_EQ(OS_RegFunction(ThrowingHandler, 0x0004), 0);
  ASSERT_EQ(OS_RegFunction(ThrowingIntHandler, 0x0005), 0);
  for (uint16_t op : {uint16_t(0x0004), uint16_t(0x0005)}) {
    CommandHeader h{8, op, 0};
    char* reply = nullptr;
    int len = 0;
    EXPECT_EQ(Dispatch(LanTrust(), &h, nullptr, nullptr, &reply, &len, -1, 1), 16) << op;
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(len, 0);
  }
  EXPECT_EQ(CountOccurrences(LogText(), "Do request exception."), 2u) << LogText();
}

TEST(LocalOnlyOpcodeTest, OnlyTheDesktopOperations) {
  struct Case {
    uint16_t opcode;
    bool local;
  };
  const Case cases[] = {
      {0x5000, true},  {0x5001, true},  {0x5002, true},  {0x5003, false}, {0x5004, true},
      {0x5005, true},  {0x5006, true},  {0x5007, true},  {0x5008, true},  {0x5009, true},
      {0x500A, true},  {0x500B, true},  {0x500C, true},  {0x500D, false}, {0x500E, true},
      {0x500F, true},  {0x5010, true},  {0x5011, true},  {0x5012, true},  {0x5013, false},
      {0x5014, false}, {0x1013, false}, {0x0004, false}, {0x2002, false}, {0x8888, false},
      {0x1008, false}, {0x1009, false}, {0x4FFF, false}, {0x5015, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsLocalOnlyOpcode(c.opcode), c.local) << std::hex << c.opcode;
}

TEST_F(RegistryTest, RefusedCallerRunsNoHandler) {
  ASSERT_EQ(OS_RegFunction(RecordingHandler, 0x5000), 0);
  CallerTrust relay;
  relay.road = Road::kRelay;
  relay.peer = "relay";
  g_seen = Seen{};
  CommandHeader h{8, 0x5000, 0};
  char* reply = nullptr;
  int len = 0;
  EXPECT_EQ(Dispatch(relay, &h, nullptr, nullptr, &reply, &len, -1, 0), 281);
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(g_seen.header.opcode, 0);  // the handler never ran
  EXPECT_NE(LogText().find("Refuse local API opcode 0x5000 from relay."), std::string::npos) << LogText();
}

// Every road x peer x log-in state, for a local-API opcode, a file request and the three
// requests a stranger may make before it logs in.
TEST(PeerAdmittedTest, RoadPeerAndLoginDecide) {
  enum Peer { kSameUser, kOtherUser, kLan, kOutside };
  struct Case {
    Road road;
    Peer peer;
    LoginState login;
    bool localApi, listing, login0008, heartBeat, version;
  };
  using L = LoginState;
  const Case cases[] = {
      // road           peer        login        5000   2003   0008   8888   1013
      {Road::kCommand, kSameUser, L::kNone, true, true, true, true, true},
      {Road::kCommand, kOtherUser, L::kNone, false, true, true, true, true},
      {Road::kCommand, kLan, L::kNone, false, true, true, true, true},
      {Road::kCommand, kLan, L::kRefused, false, false, false, false, false},
      {Road::kCommand, kOutside, L::kNone, false, false, true, true, true},
      {Road::kCommand, kOutside, L::kAccepted, false, true, true, true, true},
      {Road::kCommand, kOutside, L::kRefused, false, false, false, false, false},
      {Road::kUdt, kSameUser, L::kNone, false, true, true, true, true},
      {Road::kUdt, kLan, L::kNone, false, true, true, true, true},
      {Road::kUdt, kLan, L::kRefused, false, false, false, false, false},
      {Road::kUdt, kOutside, L::kNone, false, false, true, true, true},
      {Road::kUdt, kOutside, L::kAccepted, false, true, true, true, true},
      {Road::kRelay, kSameUser, L::kNone, false, true, true, true, true},
      {Road::kRelay, kOutside, L::kNone, false, true, true, true, true},
      {Road::kFetched, kOutside, L::kNone, false, true, true, true, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    PeerLogin_Clear();
    CallerTrust t;
    t.road = c.road;
    t.sameUser = c.peer == kSameUser;
    t.ownSubnet = c.peer != kOutside;
    // The state belongs to this connection (or UDT socket) only.
    const int fake = 0;
    const void* conn = c.road == Road::kUdt ? nullptr : &fake;
    const int udt = c.road == Road::kUdt ? 77 : -1;
    if (c.login != L::kNone) PeerLogin_Set(conn, udt, 0x0100000A, c.login);
    const std::string where = "case " + std::to_string(n++);
    EXPECT_EQ(PeerAdmitted(t, 0x5000, conn, udt), c.localApi) << where;
    EXPECT_EQ(PeerAdmitted(t, 0x2003, conn, udt), c.listing) << where;
    EXPECT_EQ(PeerAdmitted(t, 0x0008, conn, udt), c.login0008) << where;
    EXPECT_EQ(PeerAdmitted(t, 0x8888, conn, udt), c.heartBeat) << where;
    EXPECT_EQ(PeerAdmitted(t, 0x1013, conn, udt), c.version) << where;
    // Another connection from the same peer has its own state.
    const int other = 0;
    EXPECT_EQ(PeerAdmitted(t, 0x2003, c.road == Road::kUdt ? nullptr : &other,
                           c.road == Road::kUdt ? 78 : -1),
              c.peer != kOutside || c.road == Road::kRelay || c.road == Road::kFetched)
        << where;
  }
  PeerLogin_Clear();
}

TEST(PeerLoginTest, RefusalIsFinalAndForgetEndsTheAddressesClaim) {
  PeerLogin_Clear();
  const int a = 0, b = 0;
  const uint32_t ip = 0x0203000A;  // 10.0.3.2
  EXPECT_FALSE(PeerLogin_AddressAccepted(ip));
  PeerLogin_Set(&a, -1, ip, LoginState::kAccepted);
  PeerLogin_Set(nullptr, 9, ip, LoginState::kAccepted);
  EXPECT_TRUE(PeerLogin_AddressAccepted(ip));
  EXPECT_FALSE(PeerLogin_AddressAccepted(0x0303000A));
  PeerLogin_Forget(&a, -1);
  EXPECT_TRUE(PeerLogin_AddressAccepted(ip));  // the UDT socket still holds one
  PeerLogin_Forget(nullptr, 9);
  EXPECT_FALSE(PeerLogin_AddressAccepted(ip));

  PeerLogin_Set(&b, -1, ip, LoginState::kRefused);
  PeerLogin_Set(&b, -1, ip, LoginState::kAccepted);  // a later yes does not undo a no
  EXPECT_EQ(PeerLogin_Get(&b, -1), LoginState::kRefused);
  EXPECT_FALSE(PeerLogin_AddressAccepted(ip));
  PeerLogin_Clear();
}

}  // namespace
