// The main window's pages against the real service in a temporary base folder, with phones
// played by the tests' device client: log-in prompts of two phones at once, a share that
// reaches a phone's listing, and data-folder moves while a phone uploads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/md5.h"
#include "common/proto_transfer.h"
#include "desktop/app/prompts/connect_dlg.h"
#include "desktop/app/main_window/main_pages.h"
#include "desktop/foundation/data_paths.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_list.h"
#include "platform/scm.h"
#include "tests/desktop/desktop_test_support.h"
#include "tests/desktop/gui_test_support.h"
#include "tests/desktop_app/pages_test_support.h"
#include "tests/support/device_client.h"
#include "tests/support/env_guard.h"
#include "tests/support/file_systems.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"
#include "tests/support/free_port.h"

namespace fs = std::filesystem;
using namespace desktop;

namespace {

constexpr auto kWait = std::chrono::seconds(60);

// CUIData reports to the pages as it reports to the main window.
struct Forwarder : IUIDataCallBack {
  CMainPages* pages = nullptr;
  void OnShareItem(const std::string& f) override { pages->OnShareItem(f); }
  void OnTransLogItem(const desktop::TransLogRecord* r) override { pages->OnTransLogItem(*r); }
  void OnPathItem(const std::string&) override {}
  void OnMobileLoginRequest(const MobileLoginRequest* r) override { pages->QueueMobileLoginRequest(r); }
  void OnNetworkDown() override {}
  void OnNetworkUp() override {}
};

// A phone's log-in with other credentials: the service's answer code (0 let in), or -1.
int PhoneLogIn(uint16_t port, const std::string& sender) {
  DeviceClient phone;
  if (!phone.Connect("127.0.0.1", port)) return -1;
  const Bytes body = Concat({TextField("x@y.z", 32), TextField("p", 32), TextField(sender, 64),
                             TextField("home-wifi", 64)});
  if (!phone.Send(0x0008, 0, body)) return -1;
  DeviceMessage m;
  if (!phone.ReadMessage(m, kWait) || m.body.size() < 2) return -1;
  return (m.body[0] << 8) | m.body[1];
}

// One upload of a small file, published when this returns true.
bool Upload(DeviceClient& c, uint32_t id, const std::string& content, const std::string& path) {
  Bytes body(380, 0);
  wire::PutU32(body.data(), static_cast<uint32_t>(content.size()));
  CMd5Hash md5;
  md5.Update(reinterpret_cast<const unsigned char*>(content.data()), content.size());
  std::copy(md5.RawDigest(), md5.RawDigest() + 16, body.begin() + 8);
  std::memcpy(body.data() + 25, path.data(), std::min<size_t>(path.size(), 354));
  DeviceMessage m;
  if (!c.Send(xfer::kOpReqUpload, id, body) || !c.ReadMessage(m, kWait)) return false;
  if (m.header.opcode != xfer::kOpUploadAllowed) return false;
  const Bytes payload(content.begin(), content.end());
  if (!c.SendRaw(BuildTransMessage(xfer::kOpUploadData, id, 0, 0, 0, payload))) return false;
  if (!c.Send(xfer::kOpUploadOver, id, Bytes{0})) return false;
  // The answer to a stop for session 0 comes after the upload was published.
  if (!c.Send(0x100E, 0)) return false;
  while (c.ReadMessage(m, kWait))
    if (m.header.opcode == 0x100E) return true;
  return false;
}

std::vector<std::string> PhoneShareList(uint16_t port) {
  std::vector<std::string> folders;
  DeviceClient phone;
  DeviceMessage m;
  if (!phone.Connect("127.0.0.1", port) || !phone.Send(xfer::kOpShareList, 11) || !phone.ReadMessage(m, kWait))
    return folders;
  Bytes whole(kCommandHeaderSize);
  EncodeCommandHeader(m.header, whole.data());
  whole.insert(whole.end(), m.body.begin(), m.body.end());
  DecodeShareList(whole.data(), whole.size(), folders);
  return folders;
}

class PagesService : public ::testing::Test {
 public:
  PagesService()
      : m_home("HOME"), m_ns("QUARLO_NAMESPACE"), m_sys("QUARLO_SYSTEM_DIR"), m_http("QUARLO_HTTP_PORT"),
        m_settings("QUARLO_TEST_SETTINGS"), svc(base.Dir()) {}
  void SetUp() override {
    // One home for the whole run: the trash of the desktop's file library keeps the first it saw.
    const std::string home = std::string(QUARLO_BUILD_DIR) + "/test-home";
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    base.MakeDefaultDirs("data/Quarlo");
    base.Exec("insert into qv_user(email, psw) values('me@x.org', 'pw1')");
    share = base.MakeDir("share/one");
    base.SetShares({share});
    svc.CopyPrograms();
    fs::copy_file(std::string(QUARLO_BUILD_DIR) + "/tools/cmd/Quarlo_Cmd", base.BinDir() + "/Quarlo_Cmd");
    for (int id : {0, 1, 2}) {
      const std::string file = std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id);
      fs::copy_file(file, base.BinDir() + "/" + LanguageFileName(id));
      fs::copy_file(file, folders.Program() + "/" + LanguageFileName(id));
    }
    pushPort = FreePort();
    // The service would wait ten minutes: every refusal the phones get is the desktop's own.
    svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0,ui_port=" + std::to_string(pushPort) + ",ui_answer_ms=600000");
    for (const std::string& e : svc.Env()) {
      const size_t eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    Scm_SetSystemDir(base.Dir() + "/system");
    SetModuleDirOverride(base.BinDir());  // where Quarlo_Cmd and the help files are
  }
  // Starts the service and the desktop side; the data folder is where the database says.
  void Start() {
    ASSERT_TRUE(svc.Start()) << svc.LogText();
    port = svc.WaitForPort();
    ASSERT_NE(port, 0);
    CUIData::SetPorts(port, pushPort);
    ui = CUIData::GetInstance();
    host = std::make_unique<PagesWindow>("qpages-svc-" + std::to_string(::getpid()), ui);
    pages = std::make_unique<CMainPages>();
    pages->Create(*host);
    forwarder.pages = pages.get();
    ui->SetCallback(&forwarder);
    host->dialog->Show();
    ASSERT_TRUE(PumpUntil([&] { return host->dialog->IsShownOnScreen(); }));
    ASSERT_EQ(ui->GetShare(), 0);
    std::string dataFolder;
    ASSERT_EQ(ui->GetDefShare(dataFolder), 0);
    pages->SetDataFolder(dataFolder);
  }
  void TearDown() override {
    if (ui) ui->ClearCallback();
    pages.reset();
    host.reset();
    if (ui) ui->Release();
    CUIData::SetPorts(kLocalRequestPort, kLocalPushPort);
    svc.NetStop();
    Scm_SetSystemDir("");
  }

  // A phone that uploads one file after the other until told to stop; the names it was able
  // to publish are kept.
  void StartUploading() {
    uploader = std::thread([this] {
      DeviceClient c;
      if (!c.Connect("127.0.0.1", port)) return;
      for (uint32_t i = 1; !stopUploads; ++i) {
        const std::string name = "up_" + std::to_string(i) + ".bin";
        if (Upload(c, i, std::string(4000 + i, static_cast<char>('a' + i % 26)), "$DEFAULT$/" + name)) {
          std::lock_guard<std::mutex> g(uploadedLock);
          uploaded.push_back(name);
        }
      }
    });
  }
  std::vector<std::string> StopUploading() {
    stopUploads = true;
    if (uploader.joinable()) uploader.join();
    std::lock_guard<std::mutex> g(uploadedLock);
    return uploaded;
  }
  size_t UploadedCount() {
    std::lock_guard<std::mutex> g(uploadedLock);
    return uploaded.size();
  }

  DesktopFolders folders;
  CEnvGuard m_home, m_ns, m_sys, m_http, m_settings;
  TempBase base;
  ServiceProcess svc;
  std::string share;
  uint16_t port = 0, pushPort = 0;
  CUIData* ui = nullptr;
  Forwarder forwarder;
  std::unique_ptr<PagesWindow> host;
  std::unique_ptr<CMainPages> pages;
  std::thread uploader;
  std::atomic<bool> stopUploads{false};
  std::mutex uploadedLock;
  std::vector<std::string> uploaded;
};

TEST_F(PagesService, TwoPhonesAtOnceGetTwoPromptsInTurnAndSilenceIsRefusedByTheDesktop) {
  Start();
  int anna = -2, bert = -2;
  std::thread a([&] { anna = PhoneLogIn(port, "Anna's phone"); });
  std::thread b([&] { bert = PhoneLogIn(port, "Bert's phone"); });
  std::vector<std::string> shown;
  bool overlapped = false;
  ScriptedUser user([&]() -> bool {
    CConnectDlg* p = pages->OpenPrompt();
    if (!p || !p->IsShownOnScreen() || p->Answered()) return false;
    const std::string sender = p->TextOf(CConnectDlg::kSenderId).ToStdString(wxConvUTF8);
    if (!shown.empty() && shown.back() == sender) return false;
    shown.push_back(sender);
    if (pages->Queue().Waiting() > 0 && shown.size() == 2) overlapped = true;
    if (sender.find("Anna") != std::string::npos) {
      wxCommandEvent click(wxEVT_BUTTON, 1);  // Allow
      p->ProcessWindowEvent(click);
    } else {
      p->Close();  // refused
    }
    return shown.size() == 2;
  });
  ASSERT_TRUE(PumpUntil([&] { return anna != -2 && bert != -2; }, kWait));
  a.join();
  b.join();
  EXPECT_EQ(anna, 0);  // let in
  EXPECT_EQ(bert, 1);  // refused
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_FALSE(overlapped);
  EXPECT_NE(shown[0], shown[1]);

  // Nobody answers the third phone: on the 25th tick the desktop refuses it (the service itself
  // would still wait). The ticks come faster than seconds here.
  int carl = -2;
  std::thread c([&] { carl = PhoneLogIn(port, "Carl's phone"); });
  int ticks = 0;
  ScriptedUser ager([&]() -> bool {
    if (!pages->OpenPrompt()) return false;
    pages->MobileLoginRequestAgeTimer();
    return ++ticks == 25;
  });
  ASSERT_TRUE(PumpUntil([&] { return carl != -2; }, kWait));
  c.join();
  EXPECT_EQ(carl, 1);
  EXPECT_EQ(ticks, 25);
  EXPECT_EQ(ui->Socket().HeldPushes(), 0u);
}

TEST_F(PagesService, AShareAddedAndRemovedInTheWindowReachesAPhone) {
  Start();
  const std::string added = base.MakeDir("share/two");
  EXPECT_EQ(PhoneShareList(port).size(), 2u);  // the share and the data folder
  host->folders = {added};
  pages->OnBnClickedAddShare();
  pages->OnBnClickedOk();
  ASSERT_TRUE(PumpUntil([&] { return !pages->RequestsRunning(); }, kWait));
  std::vector<std::string> listed = PhoneShareList(port);
  EXPECT_NE(std::find(listed.begin(), listed.end(), added), listed.end());

  pages->ShareList()->SetSelection(FindShareInList(share, *pages->ShareList()));
  pages->OnShareListClick();
  pages->OnBnClickedDeleteShare();
  pages->OnBnClickedApply();
  ASSERT_TRUE(PumpUntil([&] { return !pages->RequestsRunning(); }, kWait));
  listed = PhoneShareList(port);
  EXPECT_EQ(std::find(listed.begin(), listed.end(), share), listed.end());
  EXPECT_NE(std::find(listed.begin(), listed.end(), added), listed.end());
  // The service's own list (qv_share) says the same after a fresh read.
  CUIData* fresh = ui;
  std::vector<std::string> service;
  struct Collect : IUIDataCallBack {
    std::vector<std::string>* out;
    void OnShareItem(const std::string& f) override { out->push_back(f); }
    void OnTransLogItem(const desktop::TransLogRecord*) override {}
    void OnPathItem(const std::string&) override {}
    void OnMobileLoginRequest(const MobileLoginRequest*) override {}
    void OnNetworkDown() override {}
    void OnNetworkUp() override {}
  } collect;
  collect.out = &service;
  fresh->SetCallback(&collect);
  ASSERT_EQ(fresh->GetShare(), 0);
  fresh->SetCallback(&forwarder);
  EXPECT_EQ(std::count(service.begin(), service.end(), added), 1);
  EXPECT_EQ(std::count(service.begin(), service.end(), share), 0);
}

TEST_F(PagesService, ADownloadByAPhoneShowsInTheTransferLog) {
  const std::string file = base.WriteFile("share/one/holiday.jpg", std::string(1536, 'j'));
  Start();
  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", port));
  DeviceMessage m;
  ASSERT_TRUE(phone.Send(xfer::kOpReqDownload, 5, PathRequestBody(file)));
  ASSERT_TRUE(phone.ReadMessage(m, kWait));
  ASSERT_TRUE(phone.Send(0x0005, 5, U32RequestBody(0)));  // send from the start
  bool over = false;
  while (!over && phone.ReadMessage(m, kWait)) over = m.header.opcode == xfer::kOpDownloadEnd;
  ASSERT_TRUE(over);
  ASSERT_TRUE(PumpUntil([&] {
    pages->ShowPage(kPageShares);
    pages->ShowPage(kPageTransLog);
    PumpUntil([&] { return !pages->RequestsRunning(); }, kWait);
    return pages->TransLogList()->RowCount() > 0;
  }, kWait));
  EXPECT_EQ(pages->TransLogList()->GetItemText(0, 0), "holiday.jpg");
  EXPECT_EQ(pages->TransLogList()->GetItemText(0, 1), "1.00KB");
}

// The move through the settings page while a phone uploads: nothing it published is lost, and
// what it sends after the move lands in the new folder.
void MoveWhileUploading(PagesService& t, CMainPages& pages, PagesWindow& host, const std::string& newBase,
                        const std::string& oldFolder,
                        const std::function<std::vector<std::string>()>& elsewhere = {}) {
  t.StartUploading();
  ASSERT_TRUE(WaitFor([&] { return t.UploadedCount() >= 3; }, kWait));
  pages.ShowPage(kPageSettings);
  host.folders = {newBase};
  pages.OnBnClickedMoveFolder();
  pages.OnBnClickedApply();
  EXPECT_TRUE(host.messages.empty()) << (host.messages.empty() ? "" : wxString(host.messages[0]).ToStdString());
  const std::string newFolder = DataFolderUnder(newBase);
  EXPECT_EQ(pages.DataFolder(), newFolder);
  const size_t atMove = t.UploadedCount();
  ASSERT_TRUE(WaitFor([&] { return t.UploadedCount() >= atMove + 3; }, kWait));
  const std::vector<std::string> names = t.StopUploading();
  const std::vector<std::string> places = elsewhere ? elsewhere() : std::vector<std::string>{};
  for (const std::string& n : names) {
    bool found = fs::exists(newFolder + "/" + n);
    for (const std::string& place : places) found = found || fs::exists(place + "/" + n);
    EXPECT_TRUE(found) << n << " was lost";
  }
  for (size_t i = atMove + 1; i < names.size(); ++i)
    EXPECT_TRUE(fs::exists(newFolder + "/" + names[i])) << names[i] << " after the move";
  EXPECT_FALSE(fs::exists(oldFolder));
  std::string told;
  ASSERT_EQ(t.ui->GetDefShare(told), 0);
  EXPECT_EQ(told, newFolder);
}

TEST_F(PagesService, AMoveWithinOneFileSystemLosesNoUpload) {
  Start();
  const std::string old = base.Dir() + "/data/Quarlo";
  ASSERT_EQ(pages->DataFolder(), old);
  MoveWhileUploading(*this, *pages, *host, base.MakeDir("elsewhere"), old);
}

TEST_F(PagesService, AMoveAcrossFileSystemsLosesNoUpload) {
  // Both file systems are the test's own mounts: the temporary folder may itself be a mount of
  // its own (a tmpfs /tmp), where the desktop's file library refuses to keep a trash. They are
  // mounts of the host's namespace, as the program's worker threads are there already.
  // The old folder goes to the trash of its own file system (.Trash-<uid> at its top), or to
  // the trash of the data folder (XDG_DATA_HOME, which the test run points into the build
  // folder, so nobody's own trash fills up).
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (!dataHome || !*dataHome) GTEST_SKIP() << "XDG_DATA_HOME is not set: the move would fill the user's own trash";
  std::string why;
  ScratchMount oldFs, newFs;
  if (!oldFs.MountExt2(base.MakeDir("oldfs"), why) || !newFs.MountTmpfs(base.MakeDir("newfs"), why))
    GTEST_SKIP() << why;
  base.MakeDefaultDirs("oldfs/Quarlo");
  Start();
  const std::string old = oldFs.Dir() + "/Quarlo";
  ASSERT_EQ(pages->DataFolder(), old);
  const std::vector<std::string> trashes = {std::string(dataHome) + "/Trash/files",
                                            oldFs.Dir() + "/.Trash-" + std::to_string(getuid()) + "/files"};
  std::set<std::string> before;
  std::error_code ec;
  for (const std::string& trash : trashes)
    for (const auto& e : fs::directory_iterator(trash, ec)) before.insert(e.path().string());
  // What arrived in the very last moment before the old folder went is in the trash, never gone:
  // every folder the trash gained counts as a place the files may be.
  std::vector<std::string> places;
  MoveWhileUploading(*this, *pages, *host, newFs.Dir(), old, [&] {
    places.clear();
    for (const std::string& trash : trashes)
      for (const auto& e : fs::directory_iterator(trash, ec))
        if (!before.count(e.path().string())) places.push_back(e.path().string());
    return places;
  });
  for (const std::string& p : places) fs::remove_all(p, ec);  // our own test files
}

}  // namespace
