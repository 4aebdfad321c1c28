// LAN discovery: the adapter choice by netmask, and the real service answering real
// broadcasts inside network namespaces of the test's own (a PC namespace with two adapters,
// a phone namespace joined to each by a veth pair).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "common/proto_p2p.h"
#include "service/roads/lan_discovery.h"
#include "tests/support/device_client.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

uint32_t Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

TEST(LanDiscovery, ReplyAdaptersChosenByNetmask) {
  const std::map<std::string, AdapterAddress> adapters = {
      {"192.168.1.5", {Ip("192.168.1.5"), Ip("255.255.255.0")}},
      {"10.0.0.7", {Ip("10.0.0.7"), Ip("255.0.0.0")}},
      {"172.16.9.1", {Ip("172.16.9.1"), Ip("255.255.0.0")}},
  };
  struct Case { const char* requester; std::vector<uint32_t> want; } cases[] = {
      {"192.168.1.23", {Ip("192.168.1.5")}},
      {"10.200.3.4", {Ip("10.0.0.7")}},        // same /8, different "/24 text"
      {"172.16.1.1", {Ip("172.16.9.1")}},      // same /16
      {"192.168.2.23", {}},
      {"8.8.8.8", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ReplyAdaptersFor(adapters, Ip(c.requester)), c.want) << c.requester;
}

bool Run(const std::vector<std::string>& argv, std::string& why) {
  const ProgramResult r = RunProgram(argv, {}, std::chrono::seconds(20));
  if (r.exitCode == 0) return true;
  why = argv[0];
  for (size_t i = 1; i < argv.size(); ++i) why += " " + argv[i];
  why += ": " + r.output;
  return false;
}

// The calling thread's namespace becomes the PC's: 192.168.1.5/24 and 10.0.0.7/8, each a veth
// whose other end (192.168.1.23, 10.0.0.8) lies in a named phone namespace.
class LanNamespaces {
 public:
  ~LanNamespaces() {
    // The thread goes back to the host's network for whatever runs after this test.
    if (m_hostFd >= 0) {
      setns(m_hostFd, CLONE_NEWNET);
      close(m_hostFd);
    }
    if (m_pcFd >= 0) close(m_pcFd);
    if (!m_phone.empty()) {
      std::string why;
      Run({"/usr/sbin/ip", "netns", "del", m_phone}, why);
    }
  }
  bool Create(std::string& why) {
    m_hostFd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (unshare(CLONE_NEWNET) != 0) {
      why = "network namespaces are not allowed here (unshare: " + std::string(strerror(errno)) + ")";
      return false;
    }
    m_pcFd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const std::string ns = "qvphone" + std::to_string(getpid());
    const std::string ip = "/usr/sbin/ip";
    if (!Run({ip, "netns", "add", ns}, why)) return false;
    m_phone = ns;
    const std::vector<std::vector<std::string>> steps = {
        {ip, "link", "set", "lo", "up"},
        {ip, "link", "add", "qva0", "type", "veth", "peer", "name", "qva1", "netns", ns},
        {ip, "link", "add", "qvb0", "type", "veth", "peer", "name", "qvb1", "netns", ns},
        {ip, "addr", "add", "192.168.1.5/24", "dev", "qva0"},
        {ip, "addr", "add", "10.0.0.7/8", "dev", "qvb0"},
        {ip, "link", "set", "qva0", "up"},
        {ip, "link", "set", "qvb0", "up"},
        {ip, "-n", ns, "link", "set", "lo", "up"},
        {ip, "-n", ns, "addr", "add", "192.168.1.23/24", "dev", "qva1"},
        {ip, "-n", ns, "addr", "add", "10.0.0.8/8", "dev", "qvb1"},
        {ip, "-n", ns, "link", "set", "qva1", "up"},
        {ip, "-n", ns, "link", "set", "qvb1", "up"},
    };
    for (const auto& s : steps)
      if (!Run(s, why)) return false;
    return m_pcFd >= 0;
  }
  // A UDP socket made in the phone namespace, bound to ip:port with SO_BROADCAST.
  int PhoneSocket(const char* ip, uint16_t port) {
    const int nsFd = open(("/run/netns/" + m_phone).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0) {
      if (nsFd >= 0) close(nsFd);
      return -1;
    }
    close(nsFd);
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = Ip(ip);
    const bool bound = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    setns(m_pcFd, CLONE_NEWNET);
    if (!bound) {
      close(s);
      return -1;
    }
    return s;
  }

 private:
  int m_hostFd = -1;
  int m_pcFd = -1;
  std::string m_phone;
};

struct Reply {
  std::string from;
  std::vector<uint8_t> bytes;
};

// Discovery replies (206 bytes, device type 2) that arrive on the socket, each with its sender;
// the phone's own broadcasts, looped back to it, are passed over.
bool ReadReply(int sock, Reply& out, std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    uint8_t buf[1024];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n != static_cast<ssize_t>(kDiscoveryReplySize) || wire::GetU16(buf + 4) != 2) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    if (std::string(text) == "192.168.1.23" || std::string(text) == "10.0.0.8") continue;
    out.from = text;
    out.bytes.assign(buf, buf + n);
    return true;
  }
  return false;
}

bool SendBroadcast(int sock, const std::vector<uint8_t>& data) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kDiscoveryPort);
  to.sin_addr.s_addr = INADDR_BROADCAST;
  return sendto(sock, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(data.size());
}

std::vector<uint8_t> Request(char a, char b, uint16_t type, size_t len = 206) {
  std::vector<uint8_t> r(206, 0);
  r[0] = static_cast<uint8_t>(a);
  r[1] = static_cast<uint8_t>(b);
  wire::PutU16(r.data() + 2, 7);
  wire::PutU16(r.data() + 4, type);
  r.resize(len);
  return r;
}

TEST(LanDiscovery, RealBroadcastAnsweredFromTheRequestersNetworkOnly) {
  LanNamespaces nets;
  std::string why;
  if (!nets.Create(why)) GTEST_SKIP() << why;

  TempBase base;
  base.Exec("delete from qv_user;");
  base.Exec("insert into qv_user (email, psw) values ('owner@example.org', 'stored-hash');");
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  const uint16_t commandPort = svc.WaitForPort();
  // The discovery socket is bound once port 61617 shows in this namespace's UDP table.
  ASSERT_TRUE(WaitFor([] { return ReadFileText("/proc/thread-self/net/udp").find(":F0B1 ") != std::string::npos; },
                      std::chrono::seconds(10)));

  const int listener = nets.PhoneSocket("0.0.0.0", kDiscoveryPort);
  const int phoneA = nets.PhoneSocket("192.168.1.23", 0);
  const int phoneB = nets.PhoneSocket("10.0.0.8", 0);
  ASSERT_GE(listener, 0);
  ASSERT_GE(phoneA, 0);
  ASSERT_GE(phoneB, 0);

  // Refused requests first, then one good one from each network; the second network's answer
  // marks the end, since the service answers in arrival order.
  ASSERT_TRUE(SendBroadcast(phoneA, Request('x', 'v', 4)));
  ASSERT_TRUE(SendBroadcast(phoneA, Request('q', 'v', 2)));
  ASSERT_TRUE(SendBroadcast(phoneA, Request('q', 'v', 4, 5)));
  ASSERT_TRUE(SendBroadcast(phoneA, Request('q', 'v', 4)));
  ASSERT_TRUE(SendBroadcast(phoneB, Request('q', 'v', 5, 6)));

  std::vector<Reply> fromA, fromB;
  while (fromB.empty()) {
    Reply r;
    ASSERT_TRUE(ReadReply(listener, r, std::chrono::seconds(10))) << svc.LogText();
    (r.from == "10.0.0.7" ? fromB : fromA).push_back(r);
  }
  ASSERT_EQ(fromA.size(), 1u);
  EXPECT_EQ(fromA[0].from, "192.168.1.5");
  const uint8_t* reply = fromA[0].bytes.data();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply), 2), "qv");
  EXPECT_EQ(wire::GetU16(reply + 2), 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply + 6)), "owner@example.org");
  EXPECT_EQ(std::vector<uint8_t>(reply + 38, reply + 70), std::vector<uint8_t>(32, 0));
  EXPECT_EQ(std::vector<uint8_t>(reply + 70, reply + 74), (std::vector<uint8_t>{192, 168, 1, 5}));
  EXPECT_EQ(wire::GetU16(reply + 74), commandPort);
  EXPECT_NE(reply[78], 0) << "computer name";
  EXPECT_NE(reply[142], 0) << "device identity";
  EXPECT_EQ(std::vector<uint8_t>(fromB[0].bytes.data() + 70, fromB[0].bytes.data() + 74),
            (std::vector<uint8_t>{10, 0, 0, 7}));
  close(listener);
  close(phoneA);
  close(phoneB);
  EXPECT_EQ(svc.NetStop().exitCode, 0);
}

}  // namespace
