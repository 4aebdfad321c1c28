#include "common/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/settings.h"
#include "tests/support/wait_for.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;

uint32_t Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

// A TCP listener on 127.0.0.1 with an ephemeral port.
struct LoopbackListener {
  int fd = -1;
  uint16_t port = 0;
  LoopbackListener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) return;
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~LoopbackListener() {
    if (fd >= 0) close(fd);
  }
  int Accept() const { return accept(fd, nullptr, nullptr); }
};

// A connected pair over real loopback TCP: `client` went through ConnectSock.
struct Connection {
  LoopbackListener listener;
  int client = -1;
  int server = -1;
  explicit Connection(const char* host = "127.0.0.1") {
    client = socket(AF_INET, SOCK_STREAM, 0);
    if (ConnectSock(&client, listener.port, host) == 0) server = listener.Accept();
  }
  ~Connection() {
    if (client >= 0) close(client);
    if (server >= 0) close(server);
  }
};

TEST(Sockets, ExchangeOverLoopbackByNameAndByAddress) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    Connection c(host);
    ASSERT_GE(c.server, 0);
    const std::string big(300000, 'm');  // more than one send and one receive
    std::thread peer([&] { SendSock(&c.server, static_cast<int>(big.size()), big.data()); });
    std::string got(big.size(), '\0');
    EXPECT_EQ(0, RecvSock(&c.client, static_cast<int>(got.size()), &got[0]));
    peer.join();
    EXPECT_EQ(big, got);
    // Requests and answers leave as written, never held for the peer's acknowledgement.
    int noDelay = 0;
    socklen_t len = sizeof noDelay;
    ASSERT_EQ(getsockopt(c.client, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len), 0);
    EXPECT_NE(noDelay, 0);
  }
}

TEST(Sockets, ConnectRefusals) {
  LoopbackListener listener;
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(-1, ConnectSock(&sock, 65535, "127.0.0.1"));
  EXPECT_EQ(-1, ConnectSock(&sock, listener.port, nullptr));
  EXPECT_EQ(-1, ConnectSock(&sock, listener.port, "no-such-host.invalid"));
  int none = kNoSocket;
  EXPECT_EQ(-1, ConnectSock(&none, listener.port, "127.0.0.1"));
  EXPECT_EQ(-1, ConnectSock(nullptr, listener.port, "127.0.0.1"));
  close(sock);

  // Nobody listens on a port we just released.
  uint16_t freePort;
  {
    LoopbackListener gone;
    freePort = gone.port;
  }
  sock = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(-1, ConnectSock(&sock, freePort, "127.0.0.1"));
  close(sock);
}

TEST(Sockets, RecvFailsWhenThePeerClosesHalfWay) {
  Connection c;
  ASSERT_GE(c.server, 0);
  std::atomic<bool> returned{false};
  std::atomic<int> result{0};
  char buffer[10];
  std::thread reader([&] {
    result = RecvSock(&c.client, sizeof buffer, buffer);
    returned = true;
  });
  ASSERT_EQ(0, SendSock(&c.server, 5, "half!"));
  close(c.server);
  c.server = -1;
  const bool done = WaitFor([&] { return returned.load(); }, kDeadline);
  if (!done) shutdown(c.client, SHUT_RDWR);  // free the reader before failing
  reader.join();
  ASSERT_TRUE(done) << "RecvSock kept going after the peer closed";
  EXPECT_EQ(-1, result.load());
  EXPECT_EQ(0, memcmp(buffer, "half!", 5));
}

TEST(Sockets, RecvTimesOutOnASilentPeer) {
  Connection c;
  ASSERT_GE(c.server, 0);
  ASSERT_EQ(0, SetSockTimeout(c.client, 100, 100));
  char buffer[4];
  EXPECT_EQ(-1, RecvSock(&c.client, sizeof buffer, buffer));
}

TEST(Sockets, TimeoutsAreSetAsTimeval) {
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, SetSockTimeout(sock, 1500, 5000));
  timeval tv{};
  socklen_t len = sizeof tv;
  ASSERT_EQ(0, getsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, &len));
  EXPECT_EQ(1, tv.tv_sec);
  EXPECT_EQ(500000, tv.tv_usec);
  ASSERT_EQ(0, getsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, &len));
  EXPECT_EQ(5, tv.tv_sec);
  EXPECT_EQ(0, tv.tv_usec);
  close(sock);
  EXPECT_EQ(-1, SetSockTimeout(-1, 1, 1));
}

TEST(Sockets, RecvAndSendArgumentChecks) {
  char buffer[4];
  int none = kNoSocket;
  EXPECT_EQ(0, RecvSock(&none, 0, buffer));  // nothing to receive
  EXPECT_EQ(-1, RecvSock(&none, 4, buffer));
  EXPECT_EQ(-1, RecvSock(nullptr, 4, buffer));
  EXPECT_EQ(-1, SendSock(&none, 4, "abcd"));
  Connection c;
  ASSERT_GE(c.server, 0);
  EXPECT_EQ(-1, RecvSock(&c.client, -1, buffer));
  EXPECT_EQ(-1, RecvSock(&c.client, 4, nullptr));
  EXPECT_EQ(-1, SendSock(&c.client, 4, nullptr));
}

TEST(Sockets, SendToAClosedPeerFailsWithoutSignal) {
  Connection c;
  ASSERT_GE(c.server, 0);
  close(c.server);
  c.server = -1;
  const std::string chunk(1 << 16, 's');
  int result = 0;
  for (int i = 0; i < 100 && result == 0; ++i)
    result = SendSock(&c.client, static_cast<int>(chunk.size()), chunk.data());
  EXPECT_EQ(-1, result);  // and the process is still alive: no SIGPIPE
}

TEST(Sockets, ListenRefusesPortZeroAndTheTopPortWithoutTouchingTheSocket) {
  for (uint16_t port : {uint16_t{0}, uint16_t{65535}}) {
    int untouched = kNoSocket;
    EXPECT_EQ(-1, ListenSock(port, &untouched));
    EXPECT_EQ(kNoSocket, untouched);
    int sentinel = 12345;
    EXPECT_EQ(-1, ListenSock(port, &sentinel));
    EXPECT_EQ(12345, sentinel);
  }
  EXPECT_EQ(-1, ListenSock(1234, nullptr));
}

TEST(Sockets, ListenAcceptsConnections) {
  // Take an ephemeral port, release it and listen there; retry when another test grabbed it.
  int sock = kNoSocket;
  uint16_t port = 0;
  for (int attempt = 0; attempt < 5 && sock < 0; ++attempt) {
    {
      LoopbackListener probe;
      port = probe.port;
    }
    if (ListenSock(port, &sock) != 0) sock = kNoSocket;
  }
  ASSERT_GE(sock, 0);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, ConnectSock(&client, port, "127.0.0.1"));
  int server = accept(sock, nullptr, nullptr);
  ASSERT_GE(server, 0);
  ASSERT_EQ(0, SendSock(&client, 3, "abc"));
  char got[3];
  ASSERT_EQ(0, RecvSock(&server, 3, got));
  EXPECT_EQ(0, memcmp(got, "abc", 3));
  close(server);
  close(client);

  // The port is taken now: a second listener fails and closes what it created.
  int second = kNoSocket;
  EXPECT_EQ(-1, ListenSock(port, &second));
  EXPECT_EQ(kNoSocket, second);
  EXPECT_EQ(0, CloseSock(&sock));
}

TEST(Sockets, CloseClearsTheHandle) {
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  EXPECT_EQ(0, CloseSock(&sock));
  EXPECT_EQ(kNoSocket, sock);
  EXPECT_EQ(-1, CloseSock(&sock));
  EXPECT_EQ(-1, CloseSock(nullptr));
}

struct UdpReceiver {
  int fd = -1;
  uint16_t port = 0;
  UdpReceiver() {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~UdpReceiver() { close(fd); }
  std::string Receive() const {
    char buf[2048];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
};

TEST(Sockets, DatagramsByAddressAndByHostName) {
  UdpReceiver receiver;
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(receiver.port);
  ASSERT_EQ(0, SendToSock(&udp, 5, "hello", &to));
  EXPECT_EQ("hello", receiver.Receive());
  EXPECT_EQ(-1, SendToSock(&udp, 5, "hello", nullptr));

  EXPECT_EQ(-1, SendUdpToHost(&receiver.port, "x", 1, "127.0.0.1"));  // no P2P socket yet
  g_P2PUdpSock = udp;
  EXPECT_EQ(0, SendUdpToHost(&receiver.port, "punch", 5, "localhost"));
  EXPECT_EQ("punch", receiver.Receive());
  EXPECT_EQ(-1, SendUdpToHost(&receiver.port, "x", 1, "no-such-host.invalid"));
  g_P2PUdpSock = kNoSocket;
  close(udp);
}

TEST(Sockets, IpToStr) {
  const unsigned char ip[4] = {192, 168, 0, 255};
  EXPECT_EQ("192.168.0.255", IpToStr(ip));
}

// --- adapter rules ---

AdapterInfo Adapter(const char* name, bool running, std::vector<const char*> ips,
                    std::vector<unsigned char> mac = {}) {
  AdapterInfo a;
  a.name = name;
  a.running = running;
  for (const char* ip : ips) a.ipv4.push_back({Ip(ip), Ip("255.255.255.0")});
  if (mac.size() == 6) {
    std::copy(mac.begin(), mac.end(), a.mac);
    a.hasMac = true;
  }
  return a;
}

TEST(AdapterRules, IpList) {
  struct Case {
    const char* what;
    std::vector<AdapterInfo> adapters;
    std::vector<std::string> ips;
  };
  const Case cases[] = {
      {"loopback after a real address is dropped",
       {Adapter("eth0", true, {"192.168.1.5", "127.0.0.1"})}, {"192.168.1.5"}},
      {"an unconfigured first address rejects the adapter",
       {Adapter("eth0", true, {"0.0.0.0", "10.0.0.2"})}, {}},
      {"a loopback first address rejects the adapter",
       {Adapter("eth0", true, {"127.0.0.1", "10.0.0.3"})}, {}},
      {"adapters that are not running give nothing", {Adapter("eth0", false, {"10.1.1.1"})}, {}},
      {"an adapter without addresses gives nothing", {Adapter("eth0", true, {})}, {}},
      {"order of adapters and addresses is kept",
       {Adapter("eth0", true, {"10.0.0.1", "0.0.0.0", "10.0.0.2"}), Adapter("wlan0", false, {"172.16.0.1"}),
        Adapter("eth1", true, {"192.168.7.7"})},
       {"10.0.0.1", "10.0.0.2", "192.168.7.7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> out = {"stale"};
    AdapterIpListFrom(c.adapters, out);
    EXPECT_EQ(c.ips, out);
  }
}

TEST(AdapterRules, MacList) {
  std::vector<std::string> out = {"stale"};
  MacAddrListFrom({Adapter("a", true, {}, {0x0a, 0x1b, 0x2c, 0xd3, 0xe4, 0xff}), Adapter("b", false, {}),
                   Adapter("c", true, {}, {0, 0, 0, 0, 0, 0})},
                  out);
  EXPECT_EQ((std::vector<std::string>{"0A-1B-2C-D3-E4-FF", "00-00-00-00-00-00", "00-00-00-00-00-00"}), out);
}

TEST(AdapterRules, LocalIpIsTheFirstNonLoopbackAddress) {
  EXPECT_EQ("192.168.3.4",
            LocalIpFrom({Adapter("a", true, {}), Adapter("b", true, {"0.0.0.0", "127.0.1.1", "192.168.3.4"}),
                         Adapter("c", true, {"10.0.0.9"})}));
  EXPECT_EQ("", LocalIpFrom({Adapter("a", true, {"127.0.0.1"})}));
  EXPECT_EQ("", LocalIpFrom({}));
}

TEST(AdapterRules, TheDefaultRouteSpeaksForThePcAndDownAdaptersNever) {
  // A laptop: the unplugged Ethernet comes first and still holds its old address.
  AdapterInfo eth = Adapter("eth0", false, {"10.55.0.2"}, {0x02, 0, 0, 0, 0, 0x01});
  AdapterInfo docker = Adapter("br0", true, {"172.17.0.1"}, {0x02, 0, 0, 0, 0, 0x02});
  AdapterInfo wlan = Adapter("wlan0", true, {"192.168.1.20"}, {0x02, 0, 0, 0, 0, 0x03});
  wlan.defaultRoute = true;
  const std::vector<AdapterInfo> laptop = {eth, docker, wlan};
  EXPECT_EQ("192.168.1.20", LocalIpFrom(laptop));
  std::vector<std::string> out;
  AdapterIpListFrom(laptop, out);
  EXPECT_EQ((std::vector<std::string>{"192.168.1.20", "172.17.0.1"}), out);
  MacAddrListFrom(laptop, out);
  EXPECT_EQ((std::vector<std::string>{"02-00-00-00-00-03", "02-00-00-00-00-02", "02-00-00-00-00-01"}), out);

  // Without a default route the first adapter that is up is taken.
  wlan.defaultRoute = false;
  EXPECT_EQ("172.17.0.1", LocalIpFrom({eth, docker, wlan}));
  MacAddrListFrom({eth, docker, wlan}, out);
  EXPECT_EQ("02-00-00-00-00-02", out.front());
  // Every link down: no address; the MAC of a down adapter only so that the PC can start.
  EXPECT_EQ("", LocalIpFrom({eth}));
  AdapterIpListFrom({eth}, out);
  EXPECT_TRUE(out.empty());
  MacAddrListFrom({eth}, out);
  EXPECT_EQ((std::vector<std::string>{"02-00-00-00-00-01"}), out);
}

class AdapterSourceTest : public ::testing::Test {
 protected:
  void TearDown() override { Plat_SetAdapterSource({}); }
  void Use(std::vector<AdapterInfo> adapters) {
    Plat_SetAdapterSource([adapters](std::vector<AdapterInfo>& out) {
      out = adapters;
      return 0;
    });
  }
};

TEST_F(AdapterSourceTest, MacIsTheFirstThatIsNotAllZero) {
  Use({Adapter("a", true, {}), Adapter("b", true, {}, {0, 0, 0, 0, 0, 0}),
       Adapter("c", false, {}, {0x00, 0x16, 0x3e, 0x01, 0x02, 0x03}),
       Adapter("d", true, {}, {0x00, 0x16, 0x3e, 0x0a, 0x0b, 0x0c})});
  EXPECT_EQ("00-16-3E-0A-0B-0C", GetMacAddr()) << "a down adapter comes after the ones up";
  Use({Adapter("a", true, {}), Adapter("c", false, {}, {0x00, 0x16, 0x3e, 0x01, 0x02, 0x03})});
  EXPECT_EQ("00-16-3E-01-02-03", GetMacAddr()) << "every link down: the PC still starts";
  Use({Adapter("a", true, {}, {0, 0, 0, 0, 0, 0})});
  EXPECT_EQ("", GetMacAddr());
}

TEST_F(AdapterSourceTest, LocalIpAndAdapterList) {
  Use({Adapter("eth0", true, {"192.168.1.5", "127.0.0.1"}), Adapter("eth1", true, {"0.0.0.0", "10.0.0.2"})});
  std::string ip;
  ASSERT_EQ(0, GetLoaclIp(ip));
  EXPECT_EQ("192.168.1.5", ip);
  uint32_t addr = 0;
  ASSERT_EQ(0, GetLocalIpAddr(addr));
  EXPECT_EQ(Ip("192.168.1.5"), addr);
  std::vector<std::string> list;
  ASSERT_EQ(0, GetAdapterIpList(list));
  EXPECT_EQ((std::vector<std::string>{"192.168.1.5"}), list);

  Use({Adapter("eth0", true, {})});
  ip = "stale";
  EXPECT_EQ(-1, GetLoaclIp(ip));
  EXPECT_EQ("", ip);
  EXPECT_EQ(-1, GetLocalIpAddr(addr));
}

TEST_F(AdapterSourceTest, AFailingAdapterListFailsEveryQuery) {
  Plat_SetAdapterSource([](std::vector<AdapterInfo>&) { return -1; });
  std::vector<std::string> list = {"stale"};
  EXPECT_NE(0, GetAdapterIpList(list));
  EXPECT_TRUE(list.empty());
  list = {"stale"};
  EXPECT_NE(0, GetMacAddrList(list));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ("", GetMacAddr());
  std::string ip;
  EXPECT_EQ(-1, GetLoaclIp(ip));
}

TEST(DefaultDirs, OrderedAndEachFolderOnce) {
  DefaultDirSet dirs;
  dirs.def = "/data/Quarlo";
  dirs.pic = "/data/Quarlo/Pictures";
  dirs.music = "/shared";
  dirs.video = "/data/Quarlo/Pictures";
  dirs.doc = "";
  dirs.instant = "/data/Quarlo/Pictures/Instant";
  std::vector<std::string> out = {"/shared"};  // a share that is listed already
  DefaultDirListFrom(dirs, out);
  EXPECT_EQ((std::vector<std::string>{"/shared", "/data/Quarlo", "", "/data/Quarlo/Pictures",
                                      "/data/Quarlo/Pictures/Instant"}),
            out);
}

}  // namespace
