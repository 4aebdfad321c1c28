// Phones that hang up at the worst moment, and phones that send nothing but bad frames, against
// the real service: afterwards it still runs and answers another phone in full.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/proto_transfer.h"
#include "tests/support/device_client.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

constexpr uint16_t kOpList = 0x2003, kOpDownload = 0x0004, kOpThumb = 0x3001;
constexpr uint16_t kOpUploadData = 0x0002, kOpShares = 0x2002;
constexpr size_t kBigFolderEntries = 3000;
constexpr auto kWait = std::chrono::seconds(30);

// A connection from the given loopback address; -1 when it cannot be made.
int ConnectFrom(const std::string& local, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in me{};
  me.sin_family = AF_INET;
  inet_pton(AF_INET, local.c_str(), &me.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Closes with a reset rather than a FIN: whatever the service still sends meets a dead socket.
void Reset(int fd) {
  const linger now{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  close(fd);
}

// Whatever part of the bytes the socket takes without waiting: a stalled send only means the
// service stopped reading a peer that does not read its answers.
void SendSome(int fd, const Bytes& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

// Whether the process runs (a crashed one may linger as a zombie nobody reaps yet).
bool Running(int pid) {
  if (pid <= 0) return false;
  const std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
         stat[close + 2] != 'X';
}

// Entries of a listing answer, counted over its packages; -1 when it did not come whole.
long ListedEntries(DeviceClient& phone, const std::string& folder) {
  if (!phone.Send(kOpList, 5, PathRequestBody(folder))) return -1;
  DeviceMessage m;
  long seen = 0, total = 1;
  while (seen < total) {
    if (!phone.ReadMessage(m, kWait)) return -1;
    if (m.header.opcode != kOpList) continue;
    const TransHeader t = m.Trans();
    if (t.v1 == 0) return 0;
    total = t.v2;
    seen += t.v1;
  }
  return seen;
}

std::string BigFolderName(size_t i) {
  return "photo_with_a_long_enough_name_" + std::to_string(i) + ".jpg";
}

// The big listing as a phone reads it: every package answers this request, and together they
// name each entry of the folder once. Empty when so, else what was wrong.
std::string WrongInBigListing(DeviceClient& phone, const std::string& folder, uint32_t id) {
  if (!phone.Send(kOpList, id, PathRequestBody(folder))) return "the request could not be sent";
  std::set<std::string> names;
  size_t seen = 0, total = 1;
  while (seen < total) {
    DeviceMessage m;
    if (!phone.ReadMessage(m, kWait)) return "the listing stopped after " + std::to_string(seen);
    if (m.header.opcode != kOpList) continue;
    if (m.header.param != id) return "a package of request " + std::to_string(m.header.param);
    const TransHeader t = m.Trans();
    if (t.v1 == 0) return "refused";
    std::vector<FileListEntry> entries;
    if (m.body.size() < 12 ||
        !ParseFileListLines(std::string(m.body.begin() + 12, m.body.end()), entries) ||
        entries.size() != t.v1)
      return "a package that does not hold its count";
    total = t.v2;
    seen += t.v1;
    for (const FileListEntry& e : entries) names.insert(e.name);
  }
  if (seen != kBigFolderEntries || names.size() != kBigFolderEntries)
    return std::to_string(seen) + " entries, " + std::to_string(names.size()) + " names";
  for (size_t i = 0; i < kBigFolderEntries; ++i)
    if (!names.count(BigFolderName(i))) return "no " + BigFolderName(i);
  return "";
}

// A phone of an address of its own that keeps asking for the big listing while a storm goes
// on: the listings it got whole while the storm still ran, and the first that came wrong.
class Bystander {
 public:
  Bystander(uint16_t port, std::string folder) : m_folder(std::move(folder)) {
    m_thread = std::thread([this, port] {
      DeviceClient phone;
      if (!phone.ConnectFrom("127.0.0.200", "127.0.0.1", port)) return Note("no connection");
      for (uint32_t id = 100; !m_stormOver.load(); ++id) {
        const std::string wrong = WrongInBigListing(phone, m_folder, id);
        if (!wrong.empty()) return Note(wrong);
        if (!m_stormOver.load()) ++m_served;
      }
    });
  }
  ~Bystander() { StormOver(); }
  void StormOver() {
    m_stormOver.store(true);
    if (m_thread.joinable()) m_thread.join();
  }
  int Served() const { return m_served.load(); }
  std::string Wrong() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_wrong;
  }

 private:
  void Note(const std::string& wrong) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wrong = wrong;
  }
  std::string m_folder;
  std::atomic<bool> m_stormOver{false};
  std::atomic<int> m_served{0};
  std::mutex m_mutex;
  std::string m_wrong;
  std::thread m_thread;
};

class Storm : public ::testing::Test {
 protected:
  // A base and service of the test's own: one that died in an earlier test (and its log)
  // does not fail this one.
  void SetUp() override {
    s_base = new TempBase();
    s_share = s_base->MakeDir("share");
    s_big = s_base->MakeDir("share/big");
    for (size_t i = 0; i < kBigFolderEntries; ++i) {
      s_base->WriteFile("share/big/photo_with_a_long_enough_name_" + std::to_string(i) + ".jpg",
                        "x");
    }
    s_base->AddShare(s_share);
    s_svc = new ServiceProcess(s_base->Dir());
    // Every address of the storm is a loopback one: room for all of them, and for connections
    // whose reset the service has not yet seen.
    s_svc->SetTestSettings("max_loopback=1000");
    s_port = s_svc->Start() ? s_svc->WaitForPort() : 0;
    s_pid = s_svc->Pid();
  }
  void TearDown() override {
    delete s_svc;
    delete s_base;
    s_svc = nullptr;
    s_base = nullptr;
  }

  // The same process still runs and another phone gets the whole big listing.
  static void ExpectAliveAndAnswering() {
    ASSERT_GT(s_pid, 0);
    EXPECT_TRUE(Running(s_pid)) << "the service process is gone";
    EXPECT_EQ(s_svc->Pid(), s_pid);
    // Under a sanitizer build its reports land in the service's own output.
    const std::string out = ReadFileText(s_base->Dir() + "/system/scm/Quarlo/stdout.log");
    EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
    DeviceClient phone;
    ASSERT_TRUE(phone.Connect("127.0.0.1", s_port));
    EXPECT_EQ(ListedEntries(phone, s_big), static_cast<long>(kBigFolderEntries));
  }

  static TempBase* s_base;
  static ServiceProcess* s_svc;
  static std::string s_share, s_big;
  static uint16_t s_port;
  static int s_pid;
};
TempBase* Storm::s_base = nullptr;
ServiceProcess* Storm::s_svc = nullptr;
std::string Storm::s_share, Storm::s_big;
uint16_t Storm::s_port = 0;
int Storm::s_pid = 0;

// Rounds of twenty phones that ask for the big listing and reset at once, for about 15 s: the
// listing is still being worked out (or sent) when each connection is freed.
TEST_F(Storm, ListingIntoConnectionsThatResetAtOnce) {
  ASSERT_NE(s_port, 0);
  const Bytes ask = BuildMessage(kOpList, 9, PathRequestBody(s_big));
  // Another phone is served whole all the while; the storm goes on until it was, at least.
  Bystander bystander(s_port, s_big);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  const auto deadline = end + kWait;
  size_t asked = 0, waited = 0, started = 0;
  std::string wrongStart;
  while ((std::chrono::steady_clock::now() < end || bystander.Served() == 0) &&
         std::chrono::steady_clock::now() < deadline && bystander.Wrong().empty() && Running(s_pid)) {
    std::vector<int> round;
    for (int i = 0; i < 20; ++i) {
      const int fd = ConnectFrom("127.0.0.1", s_port);
      if (fd < 0) continue;
      SendSome(fd, ask);
      round.push_back(fd);
    }
    // Some resets come before the pool task starts, some while it lists, some while the loop
    // writes the packages. The phones that wait for the answer's start get their listing's.
    for (size_t i = 0; i < round.size(); ++i) {
      if (i % 2 == 1) {
        ++waited;
        uint8_t first[8];
        const ssize_t n = recv(round[i], first, sizeof first, MSG_WAITALL);
        const CommandHeader h = DecodeCommandHeader(first);
        if (n == static_cast<ssize_t>(sizeof first) && h.opcode == kOpList && h.param == 9)
          ++started;
        else if (wrongStart.empty())
          wrongStart = n == static_cast<ssize_t>(sizeof first)
                           ? "opcode " + std::to_string(h.opcode) + ", request " + std::to_string(h.param)
                           : "closed after " + std::to_string(n) + " bytes";
      }
      Reset(round[i]);
    }
    asked += round.size();
  }
  bystander.StormOver();
  EXPECT_GT(asked, 0u);
  EXPECT_EQ(started, waited) << "the first wrong start: " << wrongStart;
  EXPECT_GT(bystander.Served(), 0) << "no other phone was served during the storm";
  EXPECT_EQ(bystander.Wrong(), "");
  ExpectAliveAndAnswering();
}

// Twenty addresses at once, each sending frame after bad frame (short bodies, paths without
// an end, lengths below the header, unknown opcodes, a length that never arrives), with big
// listings among them and a reset at the end of each connection.
TEST_F(Storm, MalformedFramesFromTwentyAddresses) {
  ASSERT_NE(s_port, 0);
  CommandHeader below{};
  below.len = 3;
  below.opcode = kOpList;
  CommandHeader unknown{};
  unknown.len = 8;
  unknown.opcode = 0x7777;
  CommandHeader neverArrives{};
  neverArrives.len = 0xFFFF;
  neverArrives.opcode = kOpDownload;
  const Bytes noEnd(356, 'A');
  // Frames the service answers or drops and then reads on.
  const std::vector<Bytes> kept = {
      BuildMessage(kOpList, 1, Bytes(10, 0)),
      BuildMessage(kOpList, 2, noEnd),
      BuildMessage(kOpDownload, 3, Bytes(4, 0)),
      BuildMessage(kOpDownload, 4, noEnd),
      BuildMessage(kOpThumb, 5, Bytes(7, 0xFF)),
      BuildMessage(kOpUploadData, 6, Bytes(3, 0)),
      BuildMessage(kOpShares, 7),
      BuildMessage(kOpList, 8, PathRequestBody("/etc")),
      BuildMessage(kOpList, 9, PathRequestBody(s_big)),
  };
  // Frames after which the service closes (or waits for bytes that never come).
  const std::vector<Bytes> last = {BuildRawMessage(below), BuildRawMessage(unknown),
                                   BuildRawMessage(neverArrives), Bytes{}};
  constexpr int kAddresses = 20;
  constexpr int kConnections = 60;
  constexpr int kFramesPerConnection = 250;
  std::atomic<long> frames{0};
  // Another phone is served whole all the while; the storm goes on until it was, at least.
  Bystander bystander(s_port, s_big);
  const auto deadline = std::chrono::steady_clock::now() + kWait + kWait;
  std::vector<std::thread> senders;
  for (int a = 0; a < kAddresses; ++a) {
    senders.emplace_back([&, a] {
      const std::string local = "127.0.0." + std::to_string(10 + a);
      for (int c = 0; (c < kConnections || bystander.Served() == 0) && bystander.Wrong().empty() &&
                      std::chrono::steady_clock::now() < deadline && Running(s_pid);
           ++c) {
        const int fd = ConnectFrom(local, s_port);
        if (fd < 0) continue;
        Bytes burst;
        for (int f = 0; f < kFramesPerConnection; ++f) {
          const Bytes& frame = kept[static_cast<size_t>(f + c + a) % kept.size()];
          burst.insert(burst.end(), frame.begin(), frame.end());
        }
        const Bytes& tail = last[static_cast<size_t>(c) % last.size()];
        burst.insert(burst.end(), tail.begin(), tail.end());
        SendSome(fd, burst);
        frames += kFramesPerConnection + 1;
        Reset(fd);
      }
    });
  }
  for (std::thread& t : senders) t.join();
  bystander.StormOver();
  EXPECT_GT(frames.load(), 200000);
  EXPECT_GT(bystander.Served(), 0) << "no other phone was served during the storm";
  EXPECT_EQ(bystander.Wrong(), "");
  ExpectAliveAndAnswering();
}

}  // namespace
