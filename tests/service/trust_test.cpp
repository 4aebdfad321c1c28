// Who the real service answers, road by road: the command connection, UDT and HTTP, each with
// peers on loopback (this user and a second local user), a phone on the PC's own subnet and a
// phone outside it (a second address of a network namespace, routed through its veth pair),
// before and after a device log-in; each cell says what that peer gets for the local API, a
// listing, a download, an upload and a thumbnail. The test plays the desktop program (it
// accepts log-ins from "yes@" e-mails only) and the peer-to-peer server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "common/local_api_ops.h"
#include "common/proto_local_api.h"
#include "common/proto_p2p.h"
#include "common/proto_thumb.h"
#include "common/proto_transfer.h"
#include "desktop/foundation/local_socket.h"
#include "tests/support/desktop_standin.h"
#include "tests/support/device_client.h"
#include "tests/support/free_port.h"
#include "tests/support/other_user.h"
#include "tests/support/peer_namespace.h"
#include "tests/support/pictures.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/udt_device_client.h"
#include "tests/support/wait_for.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A connection to the service's command port made by the other local user's process.
int ConnectAsUser(const OtherUser& other, uint16_t port) {
  return other.SocketAsUser([port] {
    DeviceClient c;
    if (!c.Connect("127.0.0.1", port)) return -1;
    return dup(c.Fd());
  });
}

constexpr const char* kEmail = "me@x.org";
constexpr const char* kStored = "stored-pw";

uint32_t Ip(const std::string& text) {
  in_addr a{};
  inet_pton(AF_INET, text.c_str(), &a);
  return a.s_addr;
}

Bytes LoginBody(const std::string& email, const std::string& password) {
  return Concat({TextField(email, 32), TextField(password, 32), TextField("phone", 64),
                 TextField("net", 64), Bytes(64, 0)});
}

// The five kinds of request, each a message with its own parameter so its reply is known.
enum Req { kLocalApi, kListing, kDownload, kUpload, kThumb, kReqCount };
const char* const kReqNames[] = {"local API", "listing", "download", "upload", "thumbnail"};

Bytes RequestOf(Req r, uint32_t param, const std::string& share) {
  switch (r) {
    case kLocalApi:
      return BuildMessage(kOpGetLogOnInfo, param);
    case kListing:
      return BuildMessage(xfer::kOpFileList, param, EncodeFilePathRequest({share, true}));
    case kDownload:
      return BuildMessage(xfer::kOpReqDownload, param, EncodeFilePathRequest({share + "/a.txt", true}));
    case kUpload: {
      UploadRequest u;
      u.size = 3;
      u.path = share + "/up-" + std::to_string(param) + ".txt";
      return BuildMessage(xfer::kOpReqUpload, param, EncodeUploadRequest(u));
    }
    case kThumb: {
      Bytes b(kThumbRequestSize);
      EncodeThumbRequest(ThumbRequest{64, 64, share + "/a.txt"}, b.data());
      return BuildMessage(kOpThumbnail, param, b);
    }
    default:
      return {};
  }
}

// What one request got: an answer, silence (a version request sent after it was answered
// first and nothing else came), or a closed connection.
enum class Got { kAnswer, kSilence, kClosed };
std::string Name(Got g) { return g == Got::kAnswer ? "answer" : g == Got::kSilence ? "silence" : "closed"; }

// want: what the cell expects; an expected answer that the probes did not see is waited for a
// little longer over UDT.
template <class Phone>
Got Ask(Phone& phone, const Bytes& request, uint32_t param, bool udt, Got want = Got::kSilence) {
  const uint32_t probe = param | 0x80000000u;
  if (!phone.SendRaw(request) || !phone.Send(kOpGetVerAndType, probe)) return Got::kClosed;
  // Over UDT a pool task's reply may come after the probe's: a second probe's round trip gives
  // it the time.
  int probesLeft = udt ? 2 : 1;
  bool answered = false;
  for (;;) {
    DeviceMessage m;
    if (!phone.ReadMessage(m, seconds(10))) return answered ? Got::kAnswer : Got::kClosed;
    if (m.header.opcode == kOpGetVerAndType && (m.header.param & 0x80000000u)) {
      if (answered) return Got::kAnswer;
      if (--probesLeft == 0) {
        if (!udt || want != Got::kAnswer) return Got::kSilence;
        // A thumbnail scaled on a busy machine may take longer than two round trips.
        while (phone.ReadMessage(m, seconds(3))) {
          if (m.header.param == param) return Got::kAnswer;
        }
        return Got::kSilence;
      }
      if (!phone.Send(kOpGetVerAndType, probe)) return Got::kClosed;
      continue;
    }
    if (m.header.param == param) answered = true;
  }
}

// The login result, -1 when none came.
template <class Phone>
int Login(Phone& phone, const std::string& email, const std::string& password) {
  if (!phone.Send(kOpDeviceLogin, 0, LoginBody(email, password))) return -1;
  for (;;) {
    DeviceMessage m;
    if (!phone.ReadMessage(m, seconds(20))) return -1;
    if (m.header.opcode == kOpDeviceLogin && m.body.size() == 4) return (m.body[0] << 8) | m.body[1];
  }
}

int UdpSocket(uint16_t& port) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return s;
}

class Trust : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string made = m_ns.Create();
    if (!made.empty()) GTEST_SKIP() << "no peer namespace here: " << made;
    const std::string outside = m_ns.AddOutsideAddress();
    ASSERT_EQ(outside, "") << outside;
    m_p2pServer = UdpSocket(m_p2pServerPort);
    TempBaseOptions opt;
    opt.p2pport = m_p2pServerPort;
    m_base = std::make_unique<TempBase>(opt);
    m_share = m_base->MakeDir("share");
    m_base->AddShare(m_share);
    m_base->WriteFile("share/a.txt", "abc");
    m_base->Exec(std::string("insert into qv_user(email, psw) values('") + kEmail + "', '" + kStored + "')");
    ASSERT_TRUE(m_desktop.Start([](const Bytes& push) {
      const bool yes = std::string(push.begin() + 8, push.begin() + 12) == "yes@";
      return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(push, yes ? 0 : 1)};
    }));
    m_svc = std::make_unique<ServiceProcess>(m_base->Dir());
    m_svc->CopyPrograms();
    m_svc->SetTestSettings("http_port=0,p2p_heartbeat_ms=200,ui_port=" +
                           std::to_string(m_desktop.Port()));
    ASSERT_TRUE(m_svc->Start()) << m_svc->LogText();
    m_port = m_svc->WaitForPort();
    ASSERT_NE(m_port, 0);
    // The P2P port from the first heartbeat, the HTTP port from the log.
    pollfd p{m_p2pServer, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    uint8_t hb[512];
    ASSERT_GT(recvfrom(m_p2pServer, hb, sizeof hb, 0, reinterpret_cast<sockaddr*>(&from), &len), 0);
    m_p2pPort = ntohs(from.sin_port);
    const std::regex http(R"(httpServer running on port (\d+))");
    ASSERT_TRUE(WaitFor([&] {
      std::smatch m;
      const std::string log = m_svc->LogText();
      if (!std::regex_search(log, m, http)) return false;
      m_httpPort = static_cast<uint16_t>(std::stoi(m[1].str()));
      return true;
    }, seconds(20)));
  }
  void TearDown() override {
    if (m_p2pServer >= 0) close(m_p2pServer);
  }

  bool LogHas(const std::string& text) {
    return WaitFor([&] { return m_svc->LogText().find(text) != std::string::npos; }, seconds(10));
  }

  // A command connection from the namespace: its subnet address, or the outside one.
  bool ConnectFromNs(DeviceClient& c, bool outside) {
    const int fd = m_ns.Connect(m_port, outside ? m_ns.OutsideIp() : "");
    if (fd < 0) return false;
    c.Adopt(fd);
    return true;
  }

  // The peer-to-peer server introduces the phone at ip:port to the PC.
  void Introduce(const std::string& ip, uint16_t port) {
    HolePunchBody punch;
    punch.source = 1;
    punch.addrA = ntohl(Ip(ip));
    punch.portA = port;
    punch.addrB = 0x7F000001;
    punch.portB = m_p2pPort;
    uint8_t bytes[kHolePunchSize];
    EncodeHolePunch(punch, bytes);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(m_p2pPort);
    sendto(m_p2pServer, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

  // A UDT phone inside the namespace, from its subnet address or the outside one.
  bool OpenUdtFromNs(UdtDeviceClient& phone, bool outside, bool introduce) {
    uint16_t port = 0;
    const std::string ip = outside ? m_ns.OutsideIp() : m_ns.PeerIp();
    if (!m_ns.RunInside([&] { port = phone.Bind(ip); }) || port == 0) return false;
    if (introduce) Introduce(ip, port);
    return phone.Punch(m_ns.HostIp(), m_p2pPort) && phone.ConnectUdt(m_ns.HostIp(), m_p2pPort);
  }

  // The HTTP status curl gets for a.txt from inside the namespace.
  std::string HttpStatus(bool outside) {
    const std::string url = "http://" + m_ns.HostIp() + ":" + std::to_string(m_httpPort) + m_share + "/a.txt";
    const ProgramResult r = RunProgram(
        {"/usr/bin/ip", "netns", "exec", m_ns.Name(), "curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
         "--max-time", "10", "--interface", outside ? m_ns.OutsideIp() : m_ns.PeerIp(), url});
    return r.output;
  }

  PeerNamespace m_ns;
  int m_p2pServer = -1;
  uint16_t m_p2pServerPort = 0;
  std::unique_ptr<TempBase> m_base;
  std::string m_share;
  DesktopStandIn m_desktop;
  std::unique_ptr<ServiceProcess> m_svc;
  uint16_t m_port = 0, m_p2pPort = 0, m_httpPort = 0;
};

// The command connection: peer x log-in x request.
TEST_F(Trust, CommandConnectionTable) {
  enum Peer { kSameUser, kOtherUser, kLan, kOutside };
  struct Row {
    const char* name;
    Peer peer;
    const char* loginEmail;  // nullptr: no log-in; kEmail: the stored account
    const char* loginPassword;
    int loginResult;
    Got want[kReqCount];
  };
  const Got A = Got::kAnswer, S = Got::kSilence, C = Got::kClosed;
  const Row rows[] = {
      //                                                           local API listing download upload thumb
      {"loopback, this user", kSameUser, nullptr, nullptr, 0, {A, A, A, A, A}},
      {"loopback, another user", kOtherUser, nullptr, nullptr, 0, {S, A, A, A, A}},
      {"LAN phone", kLan, nullptr, nullptr, 0, {S, A, A, A, A}},
      {"LAN phone the desktop refused", kLan, "no@x.org", "pw", 1, {C, C, C, C, C}},
      {"outside phone, no log-in", kOutside, nullptr, nullptr, 0, {S, S, S, S, S}},
      {"outside phone, stored account", kOutside, kEmail, kStored, 0, {S, A, A, A, A}},
      {"outside phone, the desktop's yes", kOutside, "yes@x.org", "pw", 0, {S, A, A, A, A}},
      {"outside phone, wrong password", kOutside, kEmail, "guess", 1, {C, C, C, C, C}},
  };
  OtherUser other;
  const std::string otherWhy = other.Create();
  uint32_t param = 100;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.peer == kOtherUser && !otherWhy.empty()) {
      std::printf("skipped row \"%s\": %s\n", row.name, otherWhy.c_str());
      continue;
    }
    DeviceClient phone;
    if (row.peer == kSameUser) {
      ASSERT_TRUE(phone.Connect("127.0.0.1", m_port));
    } else if (row.peer == kOtherUser) {
      const int fd = ConnectAsUser(other, m_port);
      ASSERT_GE(fd, 0);
      phone.Adopt(fd);
    } else {
      ASSERT_TRUE(ConnectFromNs(phone, row.peer == kOutside));
    }
    if (row.loginEmail) {
      ASSERT_EQ(Login(phone, row.loginEmail, row.loginPassword), row.loginResult);
      if (row.want[0] == Got::kClosed) {
        EXPECT_TRUE(phone.WaitClosed()) << "a refused phone is told so and closed";
        continue;
      }
    }
    if (row.loginResult != 0) {
      // Served nothing, not even the version record: the refusal lines show the requests were
      // handled and not answered.
      for (int r = 0; r < kReqCount; ++r) ASSERT_TRUE(phone.SendRaw(RequestOf(Req(r), ++param, m_share)));
      EXPECT_TRUE(LogHas("Refuse opcode 0x2003 from " + m_ns.PeerIp() + "."));
      DeviceMessage m;
      EXPECT_FALSE(phone.ReadMessage(m, milliseconds(200)));
      continue;
    }
    for (int r = 0; r < kReqCount; ++r) {
      ++param;
      EXPECT_EQ(Name(Ask(phone, RequestOf(Req(r), param, m_share), param, false)), Name(row.want[r]))
          << kReqNames[r];
    }
  }
}

// UDT: the same cells for phones that punched the PC's port. A phone from outside gets a slot
// only when the peer-to-peer server introduced it.
TEST_F(Trust, UdtTable) {
  struct Row {
    const char* name;
    bool outside;
    const char* loginEmail;
    const char* loginPassword;
    int loginResult;
    bool closed;  // after the refused log-in
    Got want[kReqCount];
  };
  const Got A = Got::kAnswer, S = Got::kSilence;
  const Row rows[] = {
      {"LAN phone", false, nullptr, nullptr, 0, false, {S, A, A, A, A}},
      {"outside phone, no log-in", true, nullptr, nullptr, 0, false, {S, S, S, S, S}},
      {"outside phone, stored account", true, kEmail, kStored, 0, false, {S, A, A, A, A}},
      {"outside phone, the desktop's yes", true, "yes@x.org", "pw", 0, false, {S, A, A, A, A}},
      {"outside phone, the desktop's no", true, "no@x.org", "pw", 1, true, {S, S, S, S, S}},
  };
  uint32_t param = 500;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    UdtDeviceClient phone;
    ASSERT_TRUE(OpenUdtFromNs(phone, row.outside, row.outside)) << m_svc->LogText();
    if (row.loginEmail) {
      ASSERT_EQ(Login(phone, row.loginEmail, row.loginPassword), row.loginResult);
    }
    if (row.closed) {
      // The PC closed it: the next request breaks the connection or stays unanswered.
      EXPECT_TRUE(LogHas("refused; closing."));
      ++param;
      EXPECT_EQ(Name(Ask(phone, RequestOf(kListing, param, m_share), param, true)), Name(Got::kClosed));
      continue;
    }
    for (int r = 0; r < kReqCount; ++r) {
      ++param;
      EXPECT_EQ(Name(Ask(phone, RequestOf(Req(r), param, m_share), param, true, row.want[r])), Name(row.want[r]))
          << kReqNames[r];
    }
  }
}

// No slot and no datagram for a stranger: an outside punch that was not introduced is met with
// nothing; a LAN address holds at most two slots.
TEST_F(Trust, PunchesFromStrangersGetNothing) {
  UdtDeviceClient stranger;
  uint16_t port = 0;
  ASSERT_TRUE(m_ns.RunInside([&] { port = stranger.Bind(m_ns.OutsideIp()); }));
  ASSERT_NE(port, 0);
  EXPECT_FALSE(stranger.Punch(m_ns.HostIp(), m_p2pPort, seconds(2)));
  EXPECT_TRUE(LogHas("hole punch from " + m_ns.OutsideIp() + ":" + std::to_string(port) +
                     " was not introduced, ignored."));

  std::vector<std::unique_ptr<UdtDeviceClient>> lan;
  for (int i = 0; i < 3; ++i) {
    lan.push_back(std::make_unique<UdtDeviceClient>());
    UdtDeviceClient& p = *lan.back();
    ASSERT_TRUE(m_ns.RunInside([&] { port = p.Bind(m_ns.PeerIp()); }));
    ASSERT_TRUE(p.Punch(m_ns.HostIp(), m_p2pPort));
    if (i < 2) {
      ASSERT_TRUE(p.ConnectUdt(m_ns.HostIp(), m_p2pPort)) << m_svc->LogText();
    }
  }
  EXPECT_TRUE(LogHas("p2p peers of " + m_ns.PeerIp() + " full (2)"));
}

// HTTP answers a phone from outside only while a live connection from its address holds an
// accepted log-in. On the PC's own networks (loopback included) the shares are served as to
// any phone there: another local user (curl run as that user through setpriv) gets what a LAN
// phone gets, no more.
TEST_F(Trust, HttpForOutsidePhonesFollowsTheirLogIn) {
  const std::string local = "http://127.0.0.1:" + std::to_string(m_httpPort);
  const std::vector<std::string> curl = {"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                         "--max-time", "10"};
  const auto get = [&](const std::string& url) {
    std::vector<std::string> argv = curl;
    argv.push_back(url);
    return argv;
  };
  EXPECT_EQ(RunProgram(get(local + m_share + "/a.txt")).output, "200") << "this user";
  EXPECT_EQ(RunProgram(get(local + "/etc/passwd")).output, "404") << "this user, not shared";
  OtherUser other;
  const std::string why = other.Create();
  if (why.empty()) {
    EXPECT_EQ(RunProgram(other.AsUser(get(local + m_share + "/a.txt"))).output, "200") << "another user";
    EXPECT_EQ(RunProgram(other.AsUser(get(local + "/etc/passwd"))).output, "404") << "another user";
  } else {
    std::printf("no second local user (%s): its HTTP row is left out\n", why.c_str());
  }
  EXPECT_EQ(HttpStatus(false), "200");
  EXPECT_EQ(HttpStatus(true), "403");
  {
    DeviceClient phone;
    ASSERT_TRUE(ConnectFromNs(phone, true));
    EXPECT_EQ(HttpStatus(true), "403") << "connected, not logged in";
    ASSERT_EQ(Login(phone, kEmail, kStored), 0);
    EXPECT_EQ(HttpStatus(true), "200");
  }
  EXPECT_TRUE(WaitFor([&] { return HttpStatus(true) == "403"; }, seconds(10)))
      << "the log-in ended with its connection";
}

// The local API over every road, opcode by opcode: only a loopback connection of this user is
// answered; the auto-sorting switches stay open to phones that may use files.
TEST_F(Trust, LocalApiOnlyToThisUsersLoopbackConnection) {
  OtherUser other;
  const std::string otherWhy = other.Create();
  DeviceClient theirs, lan, outside;
  if (otherWhy.empty()) {
    const int fd = ConnectAsUser(other, m_port);
    ASSERT_GE(fd, 0);
    theirs.Adopt(fd);
  } else {
    std::printf("no second local user (%s): its road is left out\n", otherWhy.c_str());
  }
  ASSERT_TRUE(ConnectFromNs(lan, false));
  ASSERT_TRUE(ConnectFromNs(outside, true));
  ASSERT_EQ(Login(outside, kEmail, kStored), 0);
  UdtDeviceClient udtLan, udtOutside;
  ASSERT_TRUE(OpenUdtFromNs(udtLan, false, false));
  ASSERT_TRUE(OpenUdtFromNs(udtOutside, true, true));
  ASSERT_EQ(Login(udtOutside, kEmail, kStored), 0);
  uint32_t param = 1000;
  for (uint16_t op = 0x5000; op <= 0x5014; ++op) {
    if (op == 0x5003 || op == 0x500D) continue;  // never registered: the connection would close
    // The switch's setter answers nobody, so only the getter shows it open to phones.
    const bool phoneOp = op == kOpGetAutoTiding;
    const Got want = phoneOp ? Got::kAnswer : Got::kSilence;
    const Bytes body = op == kOpSetAutoTiding ? Bytes{'0'} : Bytes{};
    if (otherWhy.empty()) {
      ++param;
      EXPECT_EQ(Name(Ask(theirs, BuildMessage(op, param, body), param, false)), Name(want))
          << "other user " << std::hex << op;
    }
    ++param;
    EXPECT_EQ(Name(Ask(lan, BuildMessage(op, param, body), param, false)), Name(want))
        << "LAN " << std::hex << op;
    ++param;
    EXPECT_EQ(Name(Ask(outside, BuildMessage(op, param, body), param, false)), Name(want))
        << "outside " << std::hex << op;
    ++param;
    EXPECT_EQ(Name(Ask(udtLan, BuildMessage(op, param, body), param, true)), Name(want))
        << "UDT LAN " << std::hex << op;
    ++param;
    EXPECT_EQ(Name(Ask(udtOutside, BuildMessage(op, param, body), param, true)), Name(want))
        << "UDT outside " << std::hex << op;
  }
  // This user's loopback connection is answered (read-only operations: the fixture's account
  // stays).
  DeviceClient mine;
  ASSERT_TRUE(mine.Connect("127.0.0.1", m_port));
  for (uint16_t op : {kOpGetLogOnInfo, kOpLogOnStatues, kOpGetDefShare, kOpGetShare, kOpGetPath,
                      kOpGetTransLog, kOpGetIsTraning, kOpGetIsMobileLinked, kOpGetSysType,
                      kOpGetPwd, kOpGetMac, kOpGetAutoTiding}) {
    ++param;
    EXPECT_EQ(Name(Ask(mine, BuildMessage(op, param), param, false)), Name(Got::kAnswer))
        << std::hex << op;
  }
}

// The desktop program's listener must be this user's: another user's listener on the port is
// never asked, and the phone is refused.
TEST_F(Trust, LogInQuestionGoesOnlyToThisUsersListener) {
  OtherUser other;
  const std::string why = other.Create();
  if (!why.empty()) GTEST_SKIP() << "second local user not possible here: " << why;
  m_desktop.Stop();
  DesktopStandIn impostor;
  // The impostor's listening socket belongs to the other user: made there, served here.
  const uint16_t want = m_desktop.Port();
  const int fd = other.SocketAsUser([want] {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(want);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 8) != 0) return -1;
    return s;
  });
  ASSERT_GE(fd, 0) << "the port was taken meanwhile";
  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", m_port));
  ASSERT_TRUE(phone.Send(kOpDeviceLogin, 0, LoginBody("yes@x.org", "pw")));
  DeviceMessage m;
  ASSERT_TRUE(phone.ReadMessage(m, seconds(20)));
  ASSERT_EQ(m.body.size(), 4u);
  EXPECT_EQ((m.body[0] << 8) | m.body[1], 1);
  EXPECT_TRUE(LogHas("is not this user's; not asked."));
  // Nothing was sent to it: its accepted connection holds no bytes.
  const int conn = accept(fd, nullptr, nullptr);
  ASSERT_GE(conn, 0);
  uint8_t byte;
  EXPECT_LE(recv(conn, &byte, 1, MSG_DONTWAIT), 0);
  close(conn);
  close(fd);
}

// A phone that repeats its log-in while its question is open hears that question's answer for
// both, and the user is asked once: accepted, it is served; refused, it is told so and closed.
// On every direct road, from the PC's subnet and from outside it.
TEST_F(Trust, RepeatedLogInHearsItsOpenQuestionsAnswer) {
  enum Road { kTcp, kUdt };
  const struct {
    const char* name;
    Road road;
    bool outside;
    const char* email;  // "yes@" the desktop accepts, anything else it refuses
  } rows[] = {
      {"LAN phone, yes", kTcp, false, "yes@x.org"},
      {"LAN phone, no", kTcp, false, "no@x.org"},
      {"outside phone, yes", kTcp, true, "yes@x.org"},
      {"outside phone, no", kTcp, true, "no@x.org"},
      {"UDT LAN phone, yes", kUdt, false, "yes@x.org"},
      {"UDT LAN phone, no", kUdt, false, "no@x.org"},
      {"UDT outside phone, yes", kUdt, true, "yes@x.org"},
      {"UDT outside phone, no", kUdt, true, "no@x.org"},
  };
  m_desktop.Stop();
  std::atomic<bool> release{false};
  HeldAnswersGuard guard{release, m_desktop};
  ASSERT_TRUE(m_desktop.StartHeldYesNo(release, m_desktop.Port()));
  const auto repeatsLogged = [&] {
    const std::string log = m_svc->LogText();
    const std::string line = "device login repeated; it waits for the open question.";
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  };
  uint32_t param = 3000;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    release = false;
    const bool yes = std::string(row.email).compare(0, 4, "yes@") == 0;
    const size_t asked = m_desktop.Questions().size();
    const size_t repeats = repeatsLogged();
    const Bytes login = BuildMessage(kOpDeviceLogin, 0, LoginBody(row.email, "pw"));
    const auto run = [&](auto& phone, bool udt) {
      ASSERT_TRUE(phone.SendRaw(login));
      ASSERT_TRUE(WaitFor([&] { return m_desktop.Questions().size() == asked + 1; }, seconds(10)));
      ASSERT_TRUE(phone.SendRaw(login));
      // A command connection holds the repeat until its reply went out; UDT hands it over now.
      if (udt) {
        ASSERT_TRUE(WaitFor([&] { return repeatsLogged() == repeats + 1; }, seconds(10)));
      }
      release = true;
      const int want = yes ? 0 : 1;
      const int replies = yes || udt ? 2 : 1;  // a refused command connection closes first
      for (int i = 0; i < replies; ++i) {
        DeviceMessage m;
        ASSERT_TRUE(phone.ReadMessage(m, seconds(20))) << "reply " << i;
        ASSERT_EQ(m.header.opcode, kOpDeviceLogin);
        ASSERT_EQ(m.body.size(), 4u);
        EXPECT_EQ((m.body[0] << 8) | m.body[1], want) << "reply " << i;
      }
      // Asked once while the question is open; a command connection's repeat is read only after
      // the answer went out, so it is a log-in of its own and asked on its own.
      EXPECT_EQ(m_desktop.Questions().size(), asked + (udt || !yes ? 1 : 2));
      ++param;
      EXPECT_EQ(Name(Ask(phone, RequestOf(kListing, param, m_share), param, udt,
                         yes ? Got::kAnswer : Got::kClosed)),
                Name(yes ? Got::kAnswer : Got::kClosed));
    };
    if (row.road == kTcp) {
      DeviceClient phone;
      ASSERT_TRUE(ConnectFromNs(phone, row.outside));
      run(phone, false);
    } else {
      UdtDeviceClient phone;
      ASSERT_TRUE(OpenUdtFromNs(phone, row.outside, row.outside)) << m_svc->LogText();
      run(phone, true);
    }
    if (HasFatalFailure()) return;
  }
}

namespace {

// What the desktop program's push listener showed: questions counted, the last one's id as
// its socket layer keeps it (the header's four bytes, unswapped).
struct ShownQuestions : ISocketConnectCallback {
  std::atomic<int> count{0};
  std::atomic<uint32_t> lastId{0};
  void OnRecv(const uint8_t* message, int length) override {
    if (length < 8 || message[2] != 0x50 || message[3] != 0x0D) return;
    uint32_t id;
    std::memcpy(&id, message + 4, sizeof id);
    lastId = id;
    ++count;
  }
  void OnError(uint16_t, int) override {}
};

// Reads until the peer closes or 10 s pass; what came.
Bytes ReadToEnd(int fd) {
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  Bytes got;
  uint8_t buf[256];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

}  // namespace

// The desktop program's two roads, its own socket layer against the real service, for this
// user, another local user and a host outside the PC's subnets. Its push port (15003) is asked
// only by this user's service: another user's question is closed unread and never shown, and a
// host on the network cannot reach it. Its request port (15002) is this user's service's: the
// local API answers it, another user's listener there is sent nothing, and the local API
// answers neither another user nor a host elsewhere.
TEST_F(Trust, DesktopProgramsPortsTable) {
  OtherUser other;
  const std::string otherWhy = other.Create();
  enum Who { kThisUser, kOtherUser, kOutsideHost };
  enum Cell { kAsksAPhonesQuestion, kPushesAQuestion, kConnectsToThePushPort, kLocalApi, kSquatsTheRequestPort };
  const struct {
    const char* name;
    Who who;
    Cell cell;
  } rows[] = {
      {"15003: this user's service asks a phone's question", kThisUser, kAsksAPhonesQuestion},
      {"15003: another user pushes a question", kOtherUser, kPushesAQuestion},
      {"15003: a host outside connects", kOutsideHost, kConnectsToThePushPort},
      {"15002: the desktop program asks this user's service", kThisUser, kLocalApi},
      {"15002: another user's listener holds the request port", kOtherUser, kSquatsTheRequestPort},
      {"15002: another user asks the service's local API", kOtherUser, kLocalApi},
      {"15002: a host outside asks the service's local API", kOutsideHost, kLocalApi},
  };
  // The real push listener in place of the stand-in, on the port the service asks.
  m_desktop.Stop();
  ShownQuestions shown;
  LocalSocket desktop(m_port, m_desktop.Port());
  desktop.SetCallback(&shown);
  ASSERT_TRUE(WaitFor([&] { return desktop.StartListener(); }, seconds(10)));
  const Bytes push = Concat({Bytes{0x01, 0x08, 0x50, 0x0D, 0, 0, 0, 7}, TextField("x@x.org", 32),
                             Bytes(224, 0)});
  const Bytes localApi = BuildMessage(kOpGetLogOnInfo, 0);
  uint32_t param = 7000;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.who == kOtherUser && !otherWhy.empty()) {
      std::printf("skipped row \"%s\": %s\n", row.name, otherWhy.c_str());
      continue;
    }
    const int before = shown.count.load();
    switch (row.cell) {
      case kAsksAPhonesQuestion: {
        DeviceClient phone;
        ASSERT_TRUE(ConnectFromNs(phone, true));
        ASSERT_TRUE(phone.Send(kOpDeviceLogin, 0, LoginBody("x@x.org", "pw")));
        ASSERT_TRUE(WaitFor([&] { return desktop.HeldPushes() == 1; }, seconds(10)));
        EXPECT_EQ(shown.count.load(), before + 1);
        {
          std::lock_guard<std::recursive_mutex> lock(desktop.MapLock());
          PushConnection held;
          ASSERT_TRUE(desktop.FindPush(shown.lastId.load(), held));
          ASSERT_EQ(LocalSocket::ReplyToPush(held.socket, held.owner, held.requestId, 0), 0);
        }
        DeviceMessage m;
        ASSERT_TRUE(phone.ReadMessage(m, seconds(20)));
        ASSERT_EQ(m.header.opcode, kOpDeviceLogin);
        ASSERT_EQ(m.body.size(), 4u);
        EXPECT_EQ((m.body[0] << 8) | m.body[1], 0) << "the desktop program's yes reached the phone";
        break;
      }
      case kPushesAQuestion: {
        const uint16_t port = m_desktop.Port();
        const int fd = other.SocketAsUser([port, &push] {
          const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          sockaddr_in a{};
          a.sin_family = AF_INET;
          a.sin_port = htons(port);
          a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
          if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
              send(s, push.data(), push.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(push.size())) {
            close(s);
            return -1;
          }
          return s;
        });
        ASSERT_GE(fd, 0);
        EXPECT_EQ(ReadToEnd(fd), Bytes{}) << "closed unanswered";
        close(fd);
        EXPECT_EQ(shown.count.load(), before) << "never shown";
        EXPECT_EQ(desktop.HeldPushes(), 0u);
        break;
      }
      case kConnectsToThePushPort: {
        // One try (the link carries traffic: the rows before came through it): the PC itself
        // refuses, as nothing listens there for the network.
        int rc = 0, error = 0;
        ASSERT_TRUE(m_ns.RunInside([&] {
          const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          sockaddr_in from{}, to{};
          from.sin_family = to.sin_family = AF_INET;
          inet_pton(AF_INET, m_ns.OutsideIp().c_str(), &from.sin_addr);
          inet_pton(AF_INET, m_ns.HostIp().c_str(), &to.sin_addr);
          to.sin_port = htons(m_desktop.Port());
          bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
          rc = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
          error = errno;
          close(fd);
        }));
        EXPECT_NE(rc, 0) << "the push port is reachable from the network";
        EXPECT_EQ(error, ECONNREFUSED);
        break;
      }
      case kLocalApi: {
        if (row.who == kThisUser) {
          std::vector<uint8_t> reply;
          ASSERT_EQ(LocalSocket::SendRequestWaitReply(localApi.data(), static_cast<int>(localApi.size()),
                                                      reply, "127.0.0.1", m_port), 0);
          ASSERT_GE(reply.size(), 8u);
          EXPECT_EQ((reply[2] << 8) | reply[3], kOpGetLogOnInfo);
          break;
        }
        DeviceClient asker;
        if (row.who == kOtherUser) {
          const int fd = ConnectAsUser(other, m_port);
          ASSERT_GE(fd, 0);
          asker.Adopt(fd);
        } else {
          ASSERT_TRUE(ConnectFromNs(asker, true));
        }
        ++param;
        EXPECT_EQ(Name(Ask(asker, BuildMessage(kOpGetLogOnInfo, param), param, false)), Name(Got::kSilence));
        break;
      }
      case kSquatsTheRequestPort: {
        const int theirs = other.SocketAsUser([] { return ListenOnLoopback(); });
        ASSERT_GE(theirs, 0);
        const uint16_t port = LocalPortOf(theirs);
        std::vector<uint8_t> reply;
        const Bytes logOn = BuildMessage(0x5011, 1, Bytes(32, 'p'));  // would carry a password
        EXPECT_EQ(LocalSocket::SendRequestWaitReply(logOn.data(), static_cast<int>(logOn.size()), reply,
                                                    "127.0.0.1", port), -2);
        pollfd p{theirs, POLLIN, 0};
        if (poll(&p, 1, 0) == 1) {
          const int c = accept(theirs, nullptr, nullptr);
          EXPECT_EQ(ReadToEnd(c), Bytes{}) << "a request reached another user's listener";
          close(c);
        }
        close(theirs);
        break;
      }
    }
  }
}

// One address holds at most two open log-in questions.
TEST_F(Trust, TwoOpenQuestionsPerAddress) {
  m_desktop.Stop();
  std::atomic<bool> release{false};
  ASSERT_TRUE(m_desktop.Start([&release](const Bytes& push) {
    WaitFor([&] { return release.load(); }, seconds(20));
    return DesktopStandIn::Answer{DesktopStandIn::AnswerTo(push, 0)};
  }, m_desktop.Port()));
  std::vector<std::unique_ptr<DeviceClient>> phones;
  for (int i = 0; i < 3; ++i) {
    phones.push_back(std::make_unique<DeviceClient>());
    ASSERT_TRUE(ConnectFromNs(*phones.back(), false));
    ASSERT_TRUE(phones.back()->Send(kOpDeviceLogin, 0, LoginBody("yes@x.org", "pw")));
    if (i < 2) {
      ASSERT_TRUE(WaitFor([&] { return m_desktop.Questions().size() == size_t(i + 1); }, seconds(10)));
    }
  }
  DeviceMessage m;
  ASSERT_TRUE(phones[2]->ReadMessage(m, seconds(10)));
  EXPECT_EQ(m.body[1], 1) << "the third question of one address is refused at once";
  release = true;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(phones[i]->ReadMessage(m, seconds(10)));
    EXPECT_EQ(m.body[1], 0);
  }
  EXPECT_EQ(m_desktop.Questions().size(), 2u);
}

}  // namespace

namespace {

// The message answering param (others skipped); nullopt when none came.
template <class Phone>
std::optional<DeviceMessage> AnswerTo(Phone& phone, const Bytes& request, uint32_t param) {
  if (!phone.SendRaw(request)) return std::nullopt;
  for (;;) {
    DeviceMessage m;
    if (!phone.ReadMessage(m, seconds(20))) return std::nullopt;
    if (m.header.param != param) continue;
    // A thumbnail comes in chunks: its end message says how it went.
    if (m.header.opcode == kOpThumbnail) continue;
    return m;
  }
}

// What a phone gets for a file, a folder and a picture: "served" or "refused" for each.
template <class Phone>
std::string Served(Phone& phone, uint32_t& param, const std::string& folder) {
  std::string out;
  ++param;
  const auto download = AnswerTo(phone, RequestOf(kDownload, param, folder), param);
  out += !download ? "none" : download->header.opcode == xfer::kOpDownloadInfo ? "served" : "refused";
  ++param;
  const auto listing = AnswerTo(phone, RequestOf(kListing, param, folder), param);
  out += !listing                     ? " none"
         : listing->body.size() >= 4 && wire::GetU32(listing->body.data()) > 0 ? " served"
                                                                              : " refused";
  Bytes b(kThumbRequestSize);
  EncodeThumbRequest(ThumbRequest{64, 64, folder + "/p.jpg"}, b.data());
  ++param;
  const auto thumb = AnswerTo(phone, BuildMessage(kOpThumbnail, param, b), param);
  out += !thumb || thumb->header.opcode != kOpThumbnailEnd || thumb->body.size() < 2 ? " none"
         : wire::GetU16(thumb->body.data()) == kThumbEndSent                       ? " served"
                                                                                   : " refused";
  return out;
}

Bytes DefaultFolders(const std::string& def) {
  Bytes body = TextField(def, kDefShareFieldSize);
  body.resize(kDefShareSize, 0);
  return body;
}

}  // namespace

// The folders are kept in memory: a share the desktop program removes is refused by the very
// next request on every road, one it adds is served at once, and the same for a default
// folder and its $DEFAULT$ spelling.
TEST_F(Trust, FolderChangesThroughTheLocalApiHoldAtOnceOnEveryRoad) {
  MakePicture({"-size", "200x150", "gradient:red-blue", m_share + "/p.jpg"});
  DeviceClient desktop;
  ASSERT_TRUE(desktop.Connect("127.0.0.1", m_port));
  uint32_t localParam = 0;
  const auto setShares = [&](const std::string& lines) {
    ++localParam;
    const Bytes body(lines.begin(), lines.end());
    const auto r = AnswerTo(desktop, BuildMessage(kOpSetShare, localParam, body), localParam);
    return r && r->body.size() >= 4 && wire::GetU32(r->body.data()) == 0;
  };
  const auto setDefault = [&](const std::string& def) {
    ++localParam;
    const auto r = AnswerTo(desktop, BuildMessage(kOpSetDefShare, localParam, DefaultFolders(def)),
                            localParam);
    return r && r->body.size() >= 4 && wire::GetU32(r->body.data()) == 0;
  };
  DeviceClient lan;
  ASSERT_TRUE(ConnectFromNs(lan, false));
  UdtDeviceClient udt;
  ASSERT_TRUE(OpenUdtFromNs(udt, false, false)) << m_svc->LogText();
  uint32_t param = 9000;
  const std::string all = "served served served";
  const std::string none = "refused refused refused";

  EXPECT_EQ(Served(lan, param, m_share), all);
  EXPECT_EQ(Served(udt, param, m_share), all);
  EXPECT_EQ(HttpStatus(false), "200");

  ASSERT_TRUE(setShares(""));
  EXPECT_EQ(Served(lan, param, m_share), none) << "command connection";
  EXPECT_EQ(Served(udt, param, m_share), none) << "UDT";
  EXPECT_EQ(HttpStatus(false), "404");

  ASSERT_TRUE(setShares(m_share + "\r\n"));
  EXPECT_EQ(Served(lan, param, m_share), all);
  EXPECT_EQ(Served(udt, param, m_share), all);
  EXPECT_EQ(HttpStatus(false), "200");

  // A default folder admits its files by name and by its token while it is set.
  ASSERT_TRUE(setShares(""));
  ASSERT_TRUE(setDefault(m_share));
  EXPECT_EQ(Served(lan, param, "$DEFAULT$"), all);
  EXPECT_EQ(Served(udt, param, m_share), all);
  EXPECT_EQ(HttpStatus(false), "200");
  ASSERT_TRUE(setDefault(""));
  EXPECT_EQ(Served(lan, param, "$DEFAULT$"), none);
  EXPECT_EQ(Served(lan, param, m_share), none);
  EXPECT_EQ(Served(udt, param, m_share), none);
  EXPECT_EQ(HttpStatus(false), "404");
}

// The loopback slots are kept for this user's own programs: another local user's connections
// count as their address's share (16), so however many it opens, the desktop program's local
// API is still answered.
TEST_F(Trust, AnotherLocalUserCannotTakeTheLoopbackSlots) {
  OtherUser other;
  const std::string why = other.Create();
  if (!why.empty()) GTEST_SKIP() << "no second local user: " << why;
  constexpr int kTheirs = 70;  // more than the 64 loopback slots
  std::vector<std::unique_ptr<DeviceClient>> theirs;
  for (int i = 0; i < kTheirs; ++i) {
    const int fd = ConnectAsUser(other, m_port);
    if (fd < 0) continue;
    theirs.push_back(std::make_unique<DeviceClient>());
    theirs.back()->Adopt(fd);
  }
  ASSERT_EQ(theirs.size(), size_t(kTheirs));
  // Exactly their address's share is answered, however many they open.
  int answered = 0;
  for (auto& c : theirs) {
    DeviceMessage m;
    if (c->Send(kOpGetVerAndType, 1) && c->ReadMessage(m, seconds(10))) ++answered;
  }
  EXPECT_EQ(answered, 16);

  DeviceClient desktop;
  ASSERT_TRUE(desktop.Connect("127.0.0.1", m_port));
  EXPECT_EQ(Name(Ask(desktop, BuildMessage(kOpGetLogOnInfo, 77), 77, false)), Name(Got::kAnswer));
}
