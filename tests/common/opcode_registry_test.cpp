#include "common/opcode_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/log.h"
#include "tests/support/text_files.h"

namespace {

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
  EXPECT_EQ(Dispatch(&h, nullptr, nullptr, &reply, &len, -1, 1), 1234);
  delete[] reply;
}

TEST_F(RegistryTest, UnregisteredOpcodeGives280AndLeavesOutputsAlone) {
  ASSERT_EQ(OS_RegFunction(RecordingHandler, 0x2002), 0);
  CommandHeader h{8, 0x500D, 1};
  char marker = 'x';
  char* reply = &marker;
  int len = -5;
  EXPECT_EQ(Dispatch(&h, nullptr, nullptr, &reply, &len, 3, 1), 280);
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
    EXPECT_EQ(Dispatch(&h, body, fakeConn, &reply, &len, c.udt, c.direct), 1234);
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
    EXPECT_EQ(Dispatch(&h, nullptr, nullptr, &reply, &len, -1, 1), 16) << op;
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

}  // namespace
