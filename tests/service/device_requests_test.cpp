// Device heartbeat, log-in and power-off through the real command server and the real opcode
// table, with a stand-in for the desktop program's push listener.
#include "service/account/device_requests.h"
#include "service/local_api/local_api.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "common/command_server.h"
#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/proto_local_api.h"
#include "common/thread_pool.h"
#include "service/service_shell.h"
#include "tests/service/transfer_test_support.h"
#include "tests/support/desktop_standin.h"
#include "tests/support/device_client.h"
#include "tests/support/env_guard.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// e-mail[32], password[32], sender[64], network[64].
Bytes LoginBody(const std::string& email, const std::string& password,
                const std::string& sender = "phone", const std::string& network = "net") {
  return Concat({TextField(email, 32), TextField(password, 32), TextField(sender, 64),
                 TextField(network, 64)});
}

std::string SenderOf(const Bytes& push) {
  const char* p = reinterpret_cast<const char*>(push.data() + 72);
  return std::string(p, strnlen(p, 64));
}

// The desktop program shows a phone as linked while its last heartbeat is at most a minute old.
TEST(MobileLinked, HeartBeatAge) {
  const struct {
    const char* last;
    const char* now;
    bool linked;
  } cases[] = {
      {"", "2026-12-10 10:00:00", false},
      {"2026-12-10 10:00:00", "2026-12-10 10:00:00", true},
      {"2026-12-10 10:00:00", "2026-12-10 10:01:00", true},
      {"2026-12-10 10:00:00", "2026-12-10 10:01:01", false},
      {"2026-12-10 10:01:00", "2026-12-10 10:00:00", true},  // the clock went back
      {"2026-12-10 23:59:30", "2026-12-11 00:00:20", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsMobileLinkedAt(c.last, c.now), c.linked) << c.last << " " << c.now;
}

class DeviceRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    m_base.OpenGlobalDb();
    g_Log.SetPath(m_base.LogDir() + "/Log.txt");
    g_Log.SetPriority(kLogDebug);
    ASSERT_TRUE(g_Log.Open());
    EnsureDeviceGlobals();
    g_ExitFlag = 0;
    m_base.Exec("insert into qv_user(email, psw) values('me@x.org', 'pw1')");
    // A power-off logs out: no central server answers there.
    m_base.Exec("update qv_conf set svport = 1");
    OS_ClearRegistry();
    ASSERT_EQ(RegBusinessFun(), 0);
    Device_InstallHooks();
    Device_SetUIAnswerTimeout(20000);
    Device_SetUIPort(1);  // nothing listens there until a test starts the stand-in
    ASSERT_TRUE(m_server.Start());
  }
  void TearDown() override {
    m_desktop.Stop();
    m_server.Stop();
    OS_SetConnectionClosedHook(nullptr);
    OS_ClearRegistry();
    g_Log.Close();
  }

  void StartDesktop(DesktopStandIn::Decide decide) {
    ASSERT_TRUE(m_desktop.Start(std::move(decide)));
    Device_SetUIPort(m_desktop.Port());
  }
  void Connect(DeviceClient& phone) { ASSERT_TRUE(phone.Connect("127.0.0.1", m_server.Port())); }
  // The log-in result the phone receives, or -1 when none arrives.
  int Login(DeviceClient& phone, const Bytes& body, milliseconds wait = seconds(10)) {
    if (!phone.Send(kOpDeviceLogin, 0, body)) return -1;
    DeviceMessage m;
    if (!phone.ReadMessage(m, wait)) return -1;
    if (m.header.opcode != kOpDeviceLogin || m.header.len != 12 || m.header.param != 0 ||
        m.body.size() != 4 || m.body[2] != 0 || m.body[3] != 0)
      return -2;
    return (m.body[0] << 8) | m.body[1];
  }

  TempBase m_base;
  TestCommandServer m_server;
  DesktopStandIn m_desktop;
};

TEST_F(DeviceRequestTest, HeartBeatRepliesAndIsRemembered) {
  DeviceClient phone;
  Connect(phone);
  EXPECT_EQ(GetLastHeartBeatTime(), "");
  // A heartbeat without a body gets nothing; the next one with a body is answered.
  ASSERT_TRUE(phone.Send(kOpDeviceHeartBeat, 5));
  ASSERT_TRUE(phone.Send(kOpDeviceHeartBeat, 6, {0x00}));
  DeviceMessage m;
  ASSERT_TRUE(phone.ReadMessage(m));
  EXPECT_EQ(Concat({Bytes{0x00, 0x0C, 0x88, 0x88, 0, 0, 0, 6}, m.body}),
            (Bytes{0x00, 0x0C, 0x88, 0x88, 0, 0, 0, 6, 0, 0, 0, 7}));
  EXPECT_EQ(m.header.len, 12);
  EXPECT_EQ(m.header.param, 6u);
  const std::string last = GetLastHeartBeatTime();
  EXPECT_EQ(last.size(), 19u) << last;
  EXPECT_NE(ReadFileText(m_base.LogDir() + "/Log.txt").find("Input msg buffer pointer is null."),
            std::string::npos);
}

TEST_F(DeviceRequestTest, StoredAccountIsAcceptedWithoutAsking) {
  StartDesktop([](const Bytes& push) { return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(push, 1)}; });
  DeviceClient phone;
  Connect(phone);
  EXPECT_EQ(Login(phone, LoginBody("me@x.org", "pw1")), 0);
  EXPECT_EQ(m_desktop.Connections(), 0);
  // Case matters, and an empty stored password admits nobody.
  EXPECT_EQ(Login(phone, LoginBody("Me@x.org", "pw1")), 1);
  // A refused connection is served nothing more, not even another log-in.
  EXPECT_EQ(Login(phone, LoginBody("me@x.org", "pw1"), milliseconds(500)), -1);
  m_base.Exec("update qv_user set psw = ''");
  DeviceClient next;
  Connect(next);
  EXPECT_EQ(Login(next, LoginBody("me@x.org", "")), 1);
}

TEST_F(DeviceRequestTest, DesktopAnswersTable) {
  const struct {
    const char* name;
    DesktopStandIn::Answer (*answer)(const Bytes&);
    int result;
  } cases[] = {
      {"accepts", [](const Bytes& p) { return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(p, 0)}; }, 0},
      {"refuses", [](const Bytes& p) { return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(p, 1)}; }, 1},
      {"refuses with a wide number",
       [](const Bytes& p) { return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(p, 0x10000)}; }, 1},
      {"wrong opcode",
       [](const Bytes& p) {
         Bytes a = DesktopStandIn::AnswerTo(p, 0);
         a[3] = 0x0E;
         return DesktopStandIn::Answer{a};
       }, 1},
      {"wrong length",
       [](const Bytes& p) {
         Bytes a = DesktopStandIn::AnswerTo(p, 0);
         a[1] = 0x0D;
         return DesktopStandIn::Answer{a};
       }, 1},
      {"short answer, then close",
       [](const Bytes&) { return DesktopStandIn::Answer{Bytes{0x00, 0x0C, 0x50}}; }, 1},
      {"silent", [](const Bytes&) { return DesktopStandIn::Answer{{}, true}; }, 1},
  };
  Device_SetUIAnswerTimeout(300);
  for (const auto& c : cases) {
    auto decide = c.answer;
    StartDesktop([decide](const Bytes& p) { return decide(p); });
    DeviceClient phone;
    Connect(phone);
    EXPECT_EQ(Login(phone, LoginBody("other@x.org", "pw2", "Ann's phone", "HomeNet")), c.result)
        << c.name;
    const auto questions = m_desktop.Questions();
    ASSERT_EQ(questions.size(), 1u) << c.name;
    const Bytes& q = questions[0];
    EXPECT_EQ(Bytes(q.begin(), q.begin() + 4), (Bytes{0x01, 0x08, 0x50, 0x0D})) << c.name;
    EXPECT_EQ(Bytes(q.begin() + 8, q.begin() + 40), TextField("other@x.org", 32));
    EXPECT_EQ(Bytes(q.begin() + 40, q.begin() + 72), Bytes(32, 0)) << "no password bytes";
    EXPECT_EQ(SenderOf(q), "Ann's phone");
    EXPECT_EQ(Bytes(q.begin() + 136, q.begin() + 200), TextField("HomeNet", 64));
    m_desktop.Stop();
  }
}

TEST_F(DeviceRequestTest, NoDesktopRefusesAtOnceAndShortBodiesAreBounded) {
  // A refused connection is served nothing more: each log-in on a connection of its own.
  DeviceClient first, second, third;
  Connect(first);
  Connect(second);
  Connect(third);
  EXPECT_EQ(Login(first, LoginBody("other@x.org", "pw2")), 1);
  EXPECT_EQ(Login(second, Bytes{'m', 'e'}), 1);

  StartDesktop([](const Bytes& p) { return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(p, 1)}; });
  EXPECT_EQ(Login(third, Bytes{'m', 'e', '@', 0, 'X'}), 1);
  const auto questions = m_desktop.Questions();
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(Bytes(questions[0].begin() + 8, questions[0].begin() + 13), (Bytes{'m', 'e', '@', 0, 'X'}));
  EXPECT_EQ(Bytes(questions[0].begin() + 13, questions[0].end()), Bytes(251, 0));
}

// Several phones at once on the shared road to the desktop program: each gets its own answer,
// request ids differ, and a phone's listing is answered while questions are open.
TEST_F(DeviceRequestTest, SeveralPhonesAndOtherTrafficWhileQuestionsAreOpen) {
  std::atomic<bool> release{false};
  StartDesktop([&release](const Bytes& p) {
    // Hold every answer until the test has seen other traffic served.
    WaitFor([&] { return release.load(); }, seconds(20));
    const bool yes = SenderOf(p).find("yes") != std::string::npos;
    return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(p, yes ? 0 : 1)};
  });
  const std::vector<std::string> senders = {"yes-1", "no-2", "yes-3", "no-4"};
  std::vector<std::unique_ptr<DeviceClient>> phones;
  for (const std::string& s : senders) {
    phones.push_back(std::make_unique<DeviceClient>());
    Connect(*phones.back());
    ASSERT_TRUE(phones.back()->Send(kOpDeviceLogin, 0, LoginBody("x@y.z", "p", s)));
  }
  ASSERT_TRUE(WaitFor([&] { return m_desktop.Questions().size() == senders.size(); }, seconds(10)));
  EXPECT_EQ(Device_OpenQuestions(), 4);

  // Another phone is served while four questions wait.
  m_base.SetShares({m_base.MakeDir("share")});
  DeviceClient lister;
  Connect(lister);
  ASSERT_TRUE(lister.Send(0x2002, 11));
  DeviceMessage listing;
  ASSERT_TRUE(lister.ReadMessage(listing, seconds(5)));
  EXPECT_EQ(listing.header.opcode, 0x2002);
  ASSERT_TRUE(phones[0]->Send(kOpDeviceLogin, 0, LoginBody("x@y.z", "p", "yes-1")));

  release = true;
  for (size_t i = 0; i < phones.size(); ++i) {
    DeviceMessage m;
    ASSERT_TRUE(phones[i]->ReadMessage(m, seconds(10))) << senders[i];
    const int want = senders[i].find("yes") == 0 ? 0 : 1;
    EXPECT_EQ((m.body[0] << 8) | m.body[1], want) << senders[i];
  }
  // The first phone's second log-in waited behind its first (replies keep their order) and
  // was then asked on its own.
  DeviceMessage second;
  ASSERT_TRUE(phones[0]->ReadMessage(second, seconds(10)));
  EXPECT_EQ(second.body[1], 0);
  EXPECT_EQ(m_desktop.Questions().size(), senders.size() + 1);

  std::set<Bytes> ids;
  for (const Bytes& q : m_desktop.Questions()) ids.insert(Bytes(q.begin() + 4, q.begin() + 8));
  EXPECT_EQ(ids.size(), m_desktop.Questions().size()) << "every push has its own request id";
  EXPECT_TRUE(WaitFor([] { return Device_OpenQuestions() == 0; }, seconds(5)));
}

// However a question ends without a yes, the phone is told "refused" and its connection is
// closed once that went out: the desktop program refuses, is not there, stays silent past the
// time-out, every question slot is taken, or no worker is free to ask.
TEST_F(DeviceRequestTest, EveryRefusalIsToldAndTheConnectionClosed) {
  enum Setup { kRefuses, kNoDesktop, kSilent, kSlotsTaken, kNoWorker };
  const struct {
    const char* name;
    Setup setup;
  } rows[] = {{"the desktop refuses", kRefuses},
              {"no desktop program", kNoDesktop},
              {"the desktop stays silent", kSilent},
              {"every question slot taken", kSlotsTaken},
              {"no free worker", kNoWorker}};
  Device_SetUIAnswerTimeout(300);
  std::atomic<bool> release{false};  // outlives every stand-in of the loop
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    release = false;
    if (row.setup != kNoDesktop) {
      StartDesktop([&release, &row](const Bytes& p) {
        if (row.setup == kSilent) return DesktopStandIn::Answer{{}, true};
        if (SenderOf(p) == "holder") WaitFor([&] { return release.load(); }, seconds(20));
        return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(p, 1)};
      });
    }
    std::vector<std::unique_ptr<DeviceClient>> holders;
    if (row.setup == kSlotsTaken) {
      Device_SetUIAnswerTimeout(20000);
      for (int i = 0; i < kMaxOpenQuestions; ++i) {
        holders.push_back(std::make_unique<DeviceClient>());
        Connect(*holders.back());
        ASSERT_TRUE(holders.back()->Send(kOpDeviceLogin, 0, LoginBody("x@y.z", "p", "holder")));
      }
      ASSERT_TRUE(WaitFor([] { return Device_OpenQuestions() == kMaxOpenQuestions; }, seconds(10)));
    }
    // No worker: the pool's only worker is busy while the phone logs in.
    ThreadPool* const servicePool = g_pThreadPool;
    std::atomic<bool> busy{false}, done{false};
    struct Hold {
      std::atomic<bool>* busy;
      std::atomic<bool>* done;
    } hold{&busy, &done};
    if (row.setup == kNoWorker) {
      g_pThreadPool = ThreadPool_Create(1);
      ASSERT_EQ(ThreadPool_AddTask(g_pThreadPool, [](void* arg) {
                  Hold* h = static_cast<Hold*>(arg);
                  h->busy->store(true);
                  WaitFor([h] { return h->done->load(); }, seconds(20));
                  return 0;
                }, &hold), 0);
      ASSERT_TRUE(WaitFor([&] { return busy.load(); }, seconds(10)));
    }
    DeviceClient phone;
    Connect(phone);
    EXPECT_EQ(Login(phone, LoginBody("other@x.org", "pw2")), 1);
    EXPECT_TRUE(phone.WaitClosed()) << "told, then closed";
    if (row.setup == kNoWorker) {
      done = true;
      EXPECT_TRUE(WaitFor([] { return ThreadPool_IdleCount(g_pThreadPool) == 1; }, seconds(10)));
      g_pThreadPool = servicePool;  // the test pool stays, idle: pools live as long as the process
    }
    release = true;
    for (auto& h : holders) {
      DeviceMessage m;
      ASSERT_TRUE(h->ReadMessage(m, seconds(10))) << "a holder's own answer";
      EXPECT_EQ(m.body.size() == 4 ? m.body[1] : -1, 1);
    }
    EXPECT_TRUE(WaitFor([] { return Device_OpenQuestions() == 0; }, seconds(10)));
    Device_SetUIAnswerTimeout(300);
    m_desktop.Stop();
  }
}

TEST_F(DeviceRequestTest, PhoneLeavingDuringTheQuestionIsForgotten) {
  std::atomic<bool> release{false};
  StartDesktop([&release](const Bytes& p) {
    WaitFor([&] { return release.load(); }, seconds(20));
    return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(p, 0)};
  });
  {
    DeviceClient phone;
    Connect(phone);
    ASSERT_TRUE(phone.Send(kOpDeviceLogin, 0, LoginBody("x@y.z", "p")));
    ASSERT_TRUE(WaitFor([&] { return m_desktop.Questions().size() == 1; }, seconds(10)));
  }
  release = true;
  EXPECT_TRUE(WaitFor([] { return Device_OpenQuestions() == 0; }, seconds(10)));
  DeviceClient next;
  Connect(next);
  ASSERT_TRUE(next.Send(kOpDeviceHeartBeat, 1, {0}));
  DeviceMessage m;
  EXPECT_TRUE(next.ReadMessage(m));
}

TEST_F(DeviceRequestTest, PowerOffOnlyAfterAnAcceptedLoginOnTheSameConnection) {
  CEnvGuard guard("QUARLO_POWEROFF_CMD");
  const std::string marker = m_base.Dir() + "/powered-off";
  setenv("QUARLO_POWEROFF_CMD", ("touch " + marker).c_str(), 1);
  struct stat st;

  DeviceClient stranger, owner;
  Connect(stranger);
  Connect(owner);
  ASSERT_TRUE(stranger.Send(kOpShutDownSystem, 0, {0}));
  EXPECT_EQ(Login(owner, LoginBody("me@x.org", "pw1")), 0);
  ASSERT_TRUE(stranger.Send(kOpShutDownSystem, 0, {0}));
  ASSERT_TRUE(owner.Send(kOpShutDownSystem, 0));  // no body: refused too
  // Round trips prove the refusals were handled before we look.
  for (DeviceClient* c : {&stranger, &owner}) {
    ASSERT_TRUE(c->Send(kOpDeviceHeartBeat, 2, {0}));
    DeviceMessage m;
    ASSERT_TRUE(c->ReadMessage(m));
  }
  EXPECT_NE(stat(marker.c_str(), &st), 0) << "the power-off command ran without a log-in";
  EXPECT_EQ(g_ExitFlag.load(), 0);

  ASSERT_TRUE(owner.Send(kOpShutDownSystem, 0, {0}));
  EXPECT_TRUE(WaitFor([&] { return g_ExitFlag.load() == 1; }, seconds(10)));
  EXPECT_EQ(stat(marker.c_str(), &st), 0);
}

TEST_F(DeviceRequestTest, FailedPowerOffLeavesTheServiceRunning) {
  CEnvGuard guard("QUARLO_POWEROFF_CMD");
  setenv("QUARLO_POWEROFF_CMD", "false", 1);
  DeviceClient owner;
  Connect(owner);
  EXPECT_EQ(Login(owner, LoginBody("me@x.org", "pw1")), 0);
  ASSERT_TRUE(owner.Send(kOpShutDownSystem, 0, {0}));
  EXPECT_TRUE(WaitFor(
      [&] { return ReadFileText(m_base.LogDir() + "/Log.txt").find("shutdown error.") != std::string::npos; },
      seconds(10)));
  EXPECT_EQ(g_ExitFlag.load(), 0);
}

}  // namespace
