// The local API client against the real service in a temporary base folder, with a phone
// (device client) that asks to log in with other credentials.
#include "desktop/foundation/ui_data.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/foundation/languages.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/support/device_client.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"
#include "tests/support/free_port.h"

namespace fs = std::filesystem;

namespace {

using desktop::CUIData;
using desktop::IUIDataCallBack;
using desktop::MobileLoginAnswer;
using desktop::MobileLoginRequest;
using desktop::CryptPassword;
using desktop::StripCryptPrefix;
using desktop::LogOnStateOfCode;
using desktop::DecodeLoginPush;
using desktop::MoveDataFolder;
using desktop::IsComputerNamespaceIconRegistered;

// The main window as the client reports to it; the user's decision on phones is scripted.
struct Window : IUIDataCallBack {
  std::mutex lock;
  std::vector<std::string> shares, paths;
  std::vector<desktop::TransLogRecord> log;
  std::vector<MobileLoginRequest> questions;
  int networkReports = 0;
  uint8_t accept = 1;
  bool answerAgainOnRelease = false;  // the second answer waits until the client goes away
  CUIData* ui = nullptr;
  void OnShareItem(const std::string& f) override { shares.push_back(f); }
  void OnTransLogItem(const desktop::TransLogRecord* r) override { log.push_back(*r); }
  void OnPathItem(const std::string& p) override { paths.push_back(p); }
  void OnMobileLoginRequest(const MobileLoginRequest* r) override {
    {
      std::lock_guard<std::mutex> g(lock);
      questions.push_back(*r);
    }
    MobileLoginAnswer answer{r->requestId, accept};
    ui->AnswerMobileLogin(&answer);
    if (answerAgainOnRelease) WaitFor([this] { return ui->Socket().Stopping(); }, std::chrono::seconds(20));
    ui->AnswerMobileLogin(&answer);  // a second answer for the same id sends nothing
  }
  void OnNetworkDown() override { std::lock_guard<std::mutex> g(lock); ++networkReports; }
  void OnNetworkUp() override { std::lock_guard<std::mutex> g(lock); ++networkReports; }
};

class UIDataTest : public ::testing::Test {
 protected:
  UIDataTest()
      : m_home("HOME"), m_ns("QUARLO_NAMESPACE"), m_sys("QUARLO_SYSTEM_DIR"), m_http("QUARLO_HTTP_PORT"),
        svc(base.Dir()) {}
  void SetUp() override {
    setenv("HOME", base.MakeDir("home").c_str(), 1);
    base.Exec("insert into qv_user(email, psw) values('me@x.org', 'pw1')");
    share1 = base.MakeDir("share/one");
    share2 = base.MakeDir("share/two");
    base.SetShares({share1, share2});
    base.WriteFile("share/one/photo.jpg", "jpeg bytes");
    svc.CopyPrograms();
    fs::copy_file(std::string(QUARLO_BUILD_DIR) + "/tools/cmd/Quarlo_Cmd", base.BinDir() + "/Quarlo_Cmd");
    for (int id : {0, 1, 2})
      fs::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                    base.BinDir() + "/" + LanguageFileName(id));
    pushPort = FreePort();
    svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0,ui_port=" + std::to_string(pushPort) + ",ui_answer_ms=20000");
    for (const std::string& e : svc.Env()) {
      const size_t eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    SetModuleDirOverride(base.BinDir());
    Scm_SetSystemDir(base.Dir() + "/system");
    ASSERT_TRUE(svc.Start()) << svc.LogText();
    port = svc.WaitForPort();
    ASSERT_NE(port, 0);
    CUIData::SetPorts(port, pushPort);
    ui = CUIData::GetInstance();
    window.ui = ui;
  }
  void TearDown() override {
    if (ui) {
      ui->ClearCallback();
      ui->Release();
    }
    CUIData::SetPorts(kLocalRequestPort, kLocalPushPort);
    Scm_SetSystemDir("");
  }

  DesktopFolders folders;
  CEnvGuard m_home, m_ns, m_sys, m_http;
  TempBase base;
  ServiceProcess svc;
  std::string share1, share2;
  uint16_t port = 0, pushPort = 0;
  CUIData* ui = nullptr;
  Window window;
};

TEST_F(UIDataTest, StatusSharesListingsAndTheDataFolder) {
  EXPECT_EQ(ui->GetSysType(), 2);
  const int status = ui->GetLogOnStatus();  // the service's code as it stands before any log-on
  EXPECT_NE(status, -2);
  EXPECT_NE(status, -3);
  EXPECT_EQ(ui->GetMobileState(), 1);  // no phone linked

  // Shares: nothing is sent before the list was read; then a round trip.
  const std::vector<std::string> add{base.MakeDir("share/three")};
  EXPECT_EQ(ui->SetShare(&add, nullptr), -1);
  ui->SetCallback(&window);
  ASSERT_EQ(ui->GetShare(), 0);
  EXPECT_EQ(window.shares, (std::vector<std::string>{share1, share2}));
  const std::vector<std::string> remove{share1, base.Dir() + "/never-shared"};
  const std::vector<std::string> again{add[0], share2};
  ASSERT_EQ(ui->SetShare(&add, &remove), 0);
  ASSERT_EQ(ui->SetShare(&again, nullptr), 0);  // already there: not twice
  window.shares.clear();
  ASSERT_EQ(ui->GetShare(), 0);
  EXPECT_EQ(window.shares, (std::vector<std::string>{share2, add[0]}));

  ASSERT_EQ(ui->GetPath(base.Dir() + "/share"), 0);
  std::sort(window.paths.begin(), window.paths.end());
  EXPECT_FALSE(window.paths.empty());
  EXPECT_EQ(ui->GetPath(std::string(300, 'x')), -1);  // never cut to fit
  ASSERT_EQ(ui->GetTransLog(), 0);

  // The service knows no data folder: the home folder becomes the base.
  std::string dataFolder;
  ASSERT_EQ(ui->GetDefShare(dataFolder), 0);
  const std::string home = base.Dir() + "/home";
  EXPECT_EQ(dataFolder, home + "/Quarlo");
  EXPECT_TRUE(fs::is_directory(home + "/Quarlo/Photos/Album"));
  EXPECT_TRUE(fs::exists(home + "/Quarlo/desktop.ini"));
  // The folder shortcut was registered by the real tool and reads back.
  EXPECT_TRUE(IsComputerNamespaceIconRegistered(home + "/Quarlo"));
  std::string again2;
  ASSERT_EQ(ui->GetDefShare(again2), 0);
  EXPECT_EQ(again2, home + "/Quarlo");
  EXPECT_EQ(ui->Categories().instant, home + "/Quarlo/Photos/Album");

  // A move within one file system is a rename; the service learns the new place.
  std::ofstream(home + "/Quarlo/Files/keep.txt") << "keep me";
  const std::string newBase = base.MakeDir("elsewhere");
  ASSERT_EQ(ui->SetDefShare(newBase), 0);
  EXPECT_FALSE(fs::exists(home + "/Quarlo"));
  EXPECT_TRUE(fs::exists(newBase + "/Quarlo/Files/keep.txt"));
  std::string moved;
  ASSERT_EQ(ui->GetDefShare(moved), 0);
  EXPECT_EQ(moved, newBase + "/Quarlo");
  EXPECT_FALSE(IsComputerNamespaceIconRegistered(home + "/Quarlo"));
  EXPECT_TRUE(IsComputerNamespaceIconRegistered(newBase + "/Quarlo"));
  // Choosing the current place again, or a place inside the data folder, moves nothing.
  EXPECT_EQ(ui->SetDefShare(newBase), 1);
  EXPECT_EQ(ui->SetDefShare(newBase + "/Quarlo/Files"), -1);
  EXPECT_TRUE(fs::exists(newBase + "/Quarlo/Files/keep.txt"));
  // A place whose name holds quotes and blanks reaches the folder-shortcut tool as one argument.
  const std::string quoted = base.MakeDir("data\" \"x");
  ASSERT_EQ(ui->SetDefShare(quoted), 0);
  EXPECT_TRUE(fs::exists(quoted + "/Quarlo/Files/keep.txt"));
  EXPECT_TRUE(IsComputerNamespaceIconRegistered(quoted + "/Quarlo"));
  EXPECT_FALSE(IsComputerNamespaceIconRegistered(newBase + "/Quarlo"));

  ASSERT_EQ(svc.NetStop().exitCode, 0);
  EXPECT_EQ(ui->GetLogOnStatus(), -2);  // a stopped service
  EXPECT_EQ(ui->GetMobileState(), 0);
}

// The data folder gets the help document of the system's language: real PDFs,
// made at build time beside the program.
TEST_F(UIDataTest, TheDataFolderGetsTheHelpDocumentOfTheSystemLanguage) {
  const char* const names[3] = {"Instructions for Quarlo.pdf", "Quarlo\xE5\xB8\xAE\xE5\x8A\xA9\xE8\xAF\xB4\xE6\x98\x8E.pdf",
                                "Quarlo\xE5\xB9\xAB\xE5\x8A\xA9\xE8\xAA\xAA\xE6\x98\x8E.pdf"};
  for (const char* name : names) {
    const std::string built = std::string(QUARLO_BUILD_DIR) + "/desktop/app/" + name;
    ASSERT_TRUE(fs::exists(built)) << "the build makes " << name;
    fs::copy_file(built, base.BinDir() + "/" + name);
  }
  std::string dataFolder;
  ASSERT_EQ(ui->GetDefShare(dataFolder), 0);
  const std::string english = dataFolder + "/" + names[0];
  ASSERT_TRUE(fs::exists(english));
  std::ifstream in(english, std::ios::binary);
  char head[5] = {};
  in.read(head, 4);
  EXPECT_STREQ(head, "%PDF");
  EXPECT_GT(fs::file_size(english), 1000u);
  // A simplified-Chinese system gets its own document, and only that one.
  CEnvGuard lang("LANG");
  setenv("LANG", "zh_CN.UTF-8", 1);
  ASSERT_EQ(ui->RefreshDataFolder(), 0);
  EXPECT_TRUE(fs::exists(dataFolder + "/" + names[1]));
  EXPECT_FALSE(fs::exists(english));
  EXPECT_FALSE(fs::exists(dataFolder + "/" + names[2]));
}

// ClearCallback returns only once a callback under way has returned: the window that goes
// after it is never called into (here the network watch's report, once a second).
TEST_F(UIDataTest, ClearCallbackWaitsForACallbackUnderWay) {
  struct Blocking : IUIDataCallBack {
    std::atomic<bool> entered{false}, release{false}, after{false};
    std::atomic<int> calls{0};
    void Report() {
      ++calls;
      if (after) return;
      entered = true;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    void OnShareItem(const std::string&) override {}
    void OnTransLogItem(const desktop::TransLogRecord*) override {}
    void OnPathItem(const std::string&) override {}
    void OnMobileLoginRequest(const MobileLoginRequest*) override {}
    void OnNetworkDown() override { Report(); }
    void OnNetworkUp() override { Report(); }
  } blocking;
  ui->SetCallback(&blocking);
  ASSERT_TRUE(WaitFor([&] { return blocking.entered.load(); }, std::chrono::seconds(10)));
  std::atomic<bool> cleared{false};
  std::thread clearer([&] {
    ui->ClearCallback();
    cleared = true;
  });
  EXPECT_FALSE(WaitFor([&] { return cleared.load(); }, std::chrono::milliseconds(500)))
      << "ClearCallback returned while the callback still ran";
  blocking.after = true;
  blocking.release = true;
  EXPECT_TRUE(WaitFor([&] { return cleared.load(); }, std::chrono::seconds(10)));
  clearer.join();
  const int calls = blocking.calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a watch tick or more
  EXPECT_EQ(blocking.calls, calls) << "called after ClearCallback";
}

TEST_F(UIDataTest, PhoneLogInQuestionsAreAnsweredOnTheHeldConnection) {
  ui->SetCallback(&window);
  auto login = [&](const std::string& sender) {
    DeviceClient phone;
    if (!phone.Connect("127.0.0.1", port)) return -1;
    const Bytes body = Concat({TextField("x@y.z", 32), TextField("p", 32), TextField(sender, 64),
                               TextField("home-wifi", 64)});
    if (!phone.Send(0x0008, 0, body)) return -1;
    DeviceMessage m;
    if (!phone.ReadMessage(m, std::chrono::seconds(20)) || m.body.size() < 2) return -1;
    return (m.body[0] << 8) | m.body[1];
  };
  window.accept = 1;
  EXPECT_EQ(login("Anna's phone"), 0);
  window.accept = 0;
  EXPECT_EQ(login("Someone else"), 1);
  std::lock_guard<std::mutex> g(window.lock);
  ASSERT_EQ(window.questions.size(), 2u);
  EXPECT_STREQ(window.questions[0].sender, "Anna's phone");
  EXPECT_STREQ(window.questions[0].network, "home-wifi");
  EXPECT_EQ(window.questions[0].age, 0u);
  EXPECT_EQ(ui->Socket().HeldPushes(), 0u);
}

// The user answers while the desktop program lets the client go: the release waits for the
// question's thread, which still finds the client whole.
TEST_F(UIDataTest, ReleaseWaitsForAQuestionStillBeingAnswered) {
  ui->SetCallback(&window);
  window.answerAgainOnRelease = true;
  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", port));
  const Bytes body = Concat({TextField("x@y.z", 32), TextField("p", 32),
                             TextField("Anna's phone", 64), TextField("home-wifi", 64)});
  ASSERT_TRUE(phone.Send(0x0008, 0, body));
  DeviceMessage m;
  ASSERT_TRUE(phone.ReadMessage(m, std::chrono::seconds(20)));
  ASSERT_GE(m.body.size(), 2u);
  EXPECT_EQ((m.body[0] << 8) | m.body[1], 0);
  ui->ClearCallback();
  ui->Release();
  ui = nullptr;
  std::lock_guard<std::mutex> g(window.lock);
  EXPECT_EQ(window.questions.size(), 1u);
}

TEST(UIDataPure, CryptLogOnStatesAndPushDecoding) {
  char out[64];
  ASSERT_EQ(CryptPassword(out, "secret"), 0);
  EXPECT_STREQ(out, "dlpa9KqwRD2syjTBL7nze1");
  std::string text = "$1$bramle$abc";
  StripCryptPrefix(text);
  EXPECT_EQ(text, "abc");
  text = "no prefix";
  StripCryptPrefix(text);
  EXPECT_EQ(text, "no prefix");

  const struct {
    uint32_t code;
    int state;
  } states[] = {{0, 1}, {0x1000, 4}, {0x1001, 4}, {0x101A, 5}, {0x101F, 2}, {0x1024, 7}, {0x1025, 0x1025}};
  for (const auto& s : states) EXPECT_EQ(LogOnStateOfCode(s.code), s.state) << std::hex << s.code;

  Bytes push(264, 0);
  push[0] = 0x01;
  push[1] = 0x08;
  push[2] = 0x50;
  push[3] = 0x0D;
  push[4] = 9;
  std::fill(push.begin() + 72, push.begin() + 136, 'S');  // a sender without its zero
  MobileLoginRequest r;
  ASSERT_TRUE(DecodeLoginPush(push.data(), push.size(), r));
  EXPECT_EQ(std::string(r.sender), std::string(63, 'S'));
  EXPECT_EQ(r.requestId & 0xFF, 9u);
  EXPECT_FALSE(DecodeLoginPush(push.data(), 199, r));
  push[3] = 0x0E;
  EXPECT_FALSE(DecodeLoginPush(push.data(), push.size(), r));
}

TEST(DataFolderMove, RefusalsNeverTouchTheFolder) {
  char tmpl[] = "/tmp/quarlo_move_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string data = dir + "/base/Quarlo";
  fs::create_directories(data + "/Files");
  std::ofstream(data + "/Files/a.txt") << "a";
  fs::create_directories(dir + "/taken/Quarlo");
  const struct {
    std::string base;
    int want;
  } cases[] = {
      {dir + "/base", 1},                  // the current base
      {data, -1},                          // the data folder itself: into itself
      {data + "/Files", -1},               // inside the folder being moved
      {dir + "/taken", -1},                // a folder "Quarlo" is there already
      {"/usr/local", -1},                  // a system folder
      {"/", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MoveDataFolder(data, c.base), c.want) << c.base;
    EXPECT_TRUE(fs::exists(data + "/Files/a.txt")) << c.base;
  }
  EXPECT_FALSE(fs::exists(data + "/Files/Quarlo"));
  fs::remove_all(dir);
}

TEST(DataFolderMove, AcrossFileSystemsTheCopyIsCheckedAndTheOldFolderNeverDeleted) {
  char tmpl[] = "/dev/shm/quarlo_move_XXXXXX";
  char* made = mkdtemp(tmpl);
  if (!made) GTEST_SKIP() << "no /dev/shm";
  const std::string src = std::string(made) + "/Quarlo";
  fs::create_directories(src + "/Photos/Album");
  std::ofstream(src + "/Photos/Album/p.jpg") << std::string(100000, 'p');
  std::ofstream(src + "/Files/doc.txt") << "doc";
  char tmpl2[] = "/tmp/quarlo_dest_XXXXXX";
  const std::string dest = mkdtemp(tmpl2);
  uint64_t lastDone = 0, lastTotal = 0;
  const int rc = MoveDataFolder(src, dest, [&](uint64_t d, uint64_t t) {
    lastDone = d;
    lastTotal = t;
  });
  ASSERT_TRUE(rc == 0 || rc == -2) << rc;
  EXPECT_EQ(fs::file_size(dest + "/Quarlo/Photos/Album/p.jpg"), 100000u);
  if (rc == -2) {
    EXPECT_TRUE(fs::exists(src + "/Photos/Album/p.jpg"));  // still there
  } else {
    EXPECT_FALSE(fs::exists(src));  // in the trash
  }
  EXPECT_EQ(lastDone, lastTotal);
  fs::remove_all(made);
  fs::remove_all(dest);
}

}  // namespace

namespace {

// A local API that knows a data folder and refuses every new one, as a service whose settings
// cannot be written would.
class RefusingService {
 public:
  explicit RefusingService(std::string dataFolder) : m_dataFolder(std::move(dataFolder)) {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(m_listen, 8);
    socklen_t len = sizeof a;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~RefusingService() {
    shutdown(m_listen, SHUT_RDWR);
    close(m_listen);
    m_thread.join();
  }
  uint16_t port = 0;
  std::atomic<int> setDefShares{0};

 private:
  void Serve() {
    for (;;) {
      const int fd = accept(m_listen, nullptr, nullptr);
      if (fd < 0) return;
      uint8_t head[8];
      if (recv(fd, head, 8, MSG_WAITALL) == 8) {
        const size_t total = static_cast<size_t>(head[0] << 8 | head[1]);
        std::vector<uint8_t> body(total > 8 ? total - 8 : 0);
        if (!body.empty()) recv(fd, body.data(), body.size(), MSG_WAITALL);
        const uint16_t op = static_cast<uint16_t>(head[2] << 8 | head[3]);
        std::vector<uint8_t> reply(8, 0);
        if (op == 0x5004) {  // the data folder and its five category folders
          reply.resize(8 + 6 * 260, 0);
          for (int i = 0; i < 6; ++i) std::memcpy(reply.data() + 8 + i * 260, m_dataFolder.data(), m_dataFolder.size());
        } else {
          if (op == 0x5005) ++setDefShares;
          reply.resize(12, 0);
          reply[11] = op == 0x5005 ? 1 : 0;  // SetDefShare refused
        }
        reply[0] = static_cast<uint8_t>(reply.size() >> 8);
        reply[1] = static_cast<uint8_t>(reply.size());
        std::memcpy(reply.data() + 2, head + 2, 6);
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      close(fd);
    }
  }
  std::string m_dataFolder;
  int m_listen = -1;
  std::thread m_thread;
};

TEST(DataFolderMove, TheServiceRefusingTheNewPlacePutsTheFolderBack) {
  DesktopFolders folders;
  char tmpl[] = "/tmp/quarlo_undo_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string data = dir + "/base/Quarlo";
  fs::create_directories(data + "/Files");
  std::ofstream(data + "/Files/keep.txt") << "keep";
  fs::create_directories(dir + "/new");
  RefusingService service(data);
  CUIData::SetPorts(service.port, FreePort());
  CUIData* ui = CUIData::GetInstance();
  std::string known;
  ASSERT_EQ(ui->GetDefShare(known), 0);
  ASSERT_EQ(known, data);
  // A path that cannot reach the service whole is refused before anything moves.
  const std::string deep = dir + "/" + std::string(240, 'd');
  fs::create_directories(deep);
  EXPECT_EQ(ui->SetDefShare(deep), -1);
  EXPECT_EQ(service.setDefShares, 0);
  EXPECT_TRUE(fs::exists(data + "/Files/keep.txt"));
  // The service refuses after the rename: the folder goes back where the service looks.
  EXPECT_EQ(ui->SetDefShare(dir + "/new"), -3);
  EXPECT_EQ(service.setDefShares, 1);
  EXPECT_TRUE(fs::exists(data + "/Files/keep.txt"));
  EXPECT_FALSE(fs::exists(dir + "/new/Quarlo"));
  EXPECT_EQ(ui->DataFolder(), data);
  ui->Release();
  CUIData::SetPorts(kLocalRequestPort, kLocalPushPort);
  fs::remove_all(dir);
}

}  // namespace
