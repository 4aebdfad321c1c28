// Port mappings on a real router: miniupnpd in a network namespace of its own, the PC in
// another, joined by a veth pair. Also the pure rules behind the mappings.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <thread>

#include "service/roads/upnp.h"
#include "tests/support/central_process.h"
#include "tests/support/net_namespace.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

bool Has(const std::vector<UPnPMappingRow>& rows, const std::string& proto, int external,
         const std::string& client, int internal) {
  for (const UPnPMappingRow& r : rows)
    if (r.protocol == proto && r.externalPort == external && r.client == client &&
        r.internalPort == internal)
      return r.description == "Quarlo";
  return false;
}

// Runs f on a thread inside the router's client namespace.
template <typename F>
void InClient(NamespaceRouter& router, F f) {
  std::thread t([&] {
    ASSERT_TRUE(router.EnterClient());
    f();
  });
  t.join();
}

TEST(UPnPRules, ExternalPortsProtocolsAndDecisions) {
  EXPECT_EQ(UPnPExternalPort("192.168.0.100", kUPnPCommandBase), 61716);
  EXPECT_EQ(UPnPExternalPort("192.168.0.100", kUPnPHttpBase), 62716);
  EXPECT_EQ(UPnPExternalPort("10.0.0.0", kUPnPCommandBase), 61616);
  EXPECT_EQ(UPnPExternalPort("10.0.0.255", kUPnPCommandBase), 61871);
  for (const char* bad : {"", "10.0.0.", "10.0.0.256", "10.0.0.1x", "nodots", "10.0.0.1000"})
    EXPECT_EQ(UPnPExternalPort(bad, kUPnPCommandBase), 0) << bad;

  const std::pair<const char*, const char*> protocols[] = {
      {"TCP", "TCP"}, {"udp", "UDP"}, {"tCp extra", "TCP"}, {"UDP\tx", "UDP"},
      {"TCPX", nullptr}, {"TC", nullptr}, {"", nullptr}, {"ICMP", nullptr}};
  for (const auto& p : protocols) {
    const char* got = UPnPCheckProtocol(p.first);
    if (p.second) {
      ASSERT_NE(got, nullptr) << p.first;
      EXPECT_STREQ(got, p.second) << p.first;
    } else {
      EXPECT_EQ(got, nullptr) << p.first;
    }
  }
  EXPECT_EQ(UPnPCheckProtocol(nullptr), nullptr);

  struct Case {
    bool found;
    const char *client, *port, *lease;
    UPnPAction want;
  };
  const Case cases[] = {
      {false, "", "", "", UPnPAction::kAdd},
      {true, "10.0.0.5", "15002", "3000", UPnPAction::kKeep},
      {true, "10.0.0.5", "15002", "0", UPnPAction::kKeep},  // permanent
      {true, "10.0.0.5", "15002", "120", UPnPAction::kAdd},  // renew before it runs out
      {true, "10.0.0.6", "15002", "3000", UPnPAction::kReplace},  // another PC's old mapping
      {true, "10.0.0.5", "15003", "3000", UPnPAction::kReplace},
  };
  for (const Case& c : cases)
    EXPECT_EQ(UPnPDecide(c.found, c.client, c.port, c.lease, "10.0.0.5", 15002), c.want)
        << c.client << ":" << c.port << " lease " << c.lease;
}

TEST(UPnPRouter, MappingsAreMadeCheckedAndLeftAloneWhenRight) {
  NamespaceRouter router;
  std::string why;
  if (!router.Start(why)) {
    ASSERT_FALSE(router.Failed()) << why;
    GTEST_SKIP() << why;
  }

  uint16_t external = 0;
  InClient(router, [&] { external = UPnPMapAll(15002, 0, 15008); });
  EXPECT_EQ(external, 61716);
  std::vector<UPnPMappingRow> rows = router.Mappings();
  EXPECT_TRUE(Has(rows, "TCP", 61716, "10.77.0.100", 15002)) << router.Listing();
  EXPECT_TRUE(Has(rows, "TCP", 62716, "10.77.0.100", 15008)) << router.Listing();
  EXPECT_EQ(rows.size(), 2u) << "no UDP mapping while no peer-to-peer socket is bound\n"
                             << router.Listing();

  // A second round finds both right and adds nothing.
  const size_t adds = CountOccurrences(router.DaemonLog(), "#AddPortMapping");
  EXPECT_EQ(adds, 2u);
  InClient(router, [&] { external = UPnPMapAll(15002, 0, 15008); });
  EXPECT_EQ(external, 61716);
  EXPECT_EQ(CountOccurrences(router.DaemonLog(), "#AddPortMapping"), adds);
  EXPECT_EQ(CountOccurrences(router.DaemonLog(), "#DeletePortMapping"), 0u);

  // A changed command port replaces the mapping; a bound UDP socket gets its own.
  InClient(router, [&] { external = UPnPMapAll(15022, 40001, 15008); });
  rows = router.Mappings();
  EXPECT_TRUE(Has(rows, "TCP", 61716, "10.77.0.100", 15022)) << router.Listing();
  EXPECT_TRUE(Has(rows, "UDP", 40001, "10.77.0.100", 40001)) << router.Listing();
  EXPECT_TRUE(Has(rows, "TCP", 62716, "10.77.0.100", 15008)) << router.Listing();
  EXPECT_EQ(rows.size(), 3u) << router.Listing();
}

TEST(UPnPRouter, ServiceReportsTheMappedPortToTheCentralServer) {
  NamespaceRouter router;
  std::string why;
  if (!router.Start(why)) {
    ASSERT_FALSE(router.Failed()) << why;
    GTEST_SKIP() << why;
  }
  // This thread and every program it starts live on the PC's side of the router.
  ASSERT_TRUE(router.EnterClient());

  CentralProcess central;
  ASSERT_TRUE(central.AddAccount("owner@example.org", "secret1"));
  ASSERT_TRUE(central.Start());
  TempBase base;
  base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
  base.Exec("insert into qv_user (email, psw) values ('owner@example.org', '" +
            PcPasswordOf("secret1") + "');");
  ServiceProcess svc(base.Dir());
  // The HTTP server may bind after the first report; the next minute's round maps it then.
  svc.AddEnv("QUARLO_TEST_SETTINGS=http_port=0,heartbeat_ms=1000");
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  const uint16_t port = svc.WaitForPort();
  ASSERT_TRUE(WaitFor([&] { return svc.LogText().find("log on successfully.") != std::string::npos; },
                      std::chrono::seconds(20))) << svc.LogText();
  ASSERT_TRUE(WaitFor([&] { return !central.Exchanges(0x1004).empty(); }, std::chrono::seconds(20)));

  // The HTTP server starts on a task of its own: its line may come after the log-on's.
  std::smatch m;
  std::string log;
  ASSERT_TRUE(WaitFor(
      [&] {
        log = svc.LogText();
        return std::regex_search(log, m, std::regex(R"(httpServer running on port (\d+))"));
      },
      std::chrono::seconds(20))) << log;
  const int httpPort = std::stoi(m[1].str());
  EXPECT_TRUE(WaitFor(
      [&] {
        const std::vector<UPnPMappingRow> rows = router.Mappings();
        return Has(rows, "TCP", 61716, "10.77.0.100", port) &&
               Has(rows, "TCP", 62716, "10.77.0.100", httpPort);
      },
      std::chrono::seconds(30), std::chrono::milliseconds(500)))
      << router.Listing();
  const std::string status = central.Admin({"status"}).output;
  EXPECT_NE(status.find("local 10.77.0.100:" + std::to_string(port) + "  external port 61716"),
            std::string::npos) << status;
  EXPECT_TRUE(svc.NetStop().exitCode == 0);
}

// The MAC text ("AA-BB-...") of one adapter of the calling thread's namespace.
std::string MacTextOf(const std::string& adapter) {
  const ProgramResult r = RunProgram({"/usr/sbin/ip", "-o", "link", "show", adapter});
  std::smatch m;
  if (!std::regex_search(r.output, m, std::regex(R"(link/ether ([0-9a-f:]{17}))"))) return "";
  std::string mac = m[1].str();
  for (char& c : mac) c = c == ':' ? '-' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return mac;
}

// A PC whose first adapter is down (it still holds 10.55.0.2) reports itself from the adapter
// that carries the traffic, at once, whether a router answers the port-mapping questions or not.
void ExpectReportsFromTheWorkingAdapter(const std::string& lanAddress, const std::string& adapter,
                                        NamespaceRouter* router) {
  const std::string mac = MacTextOf(adapter);
  ASSERT_EQ(mac.size(), 17u) << adapter;
  CentralProcess central;
  ASSERT_TRUE(central.AddAccount("owner@example.org", "secret1"));
  ASSERT_TRUE(central.Start());
  TempBase base;
  base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
  base.Exec("insert into qv_user (email, psw) values ('owner@example.org', '" +
            PcPasswordOf("secret1") + "');");
  ServiceProcess svc(base.Dir());
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  const uint16_t port = svc.WaitForPort();
  EXPECT_NE(svc.LogText().find("Mac:" + mac), std::string::npos) << svc.LogText();
  // Long before the first heartbeat (a minute): the start-up task sends both reports.
  EXPECT_TRUE(WaitFor([&] { return !central.Exchanges(0x1004).empty(); }, std::chrono::seconds(30)))
      << svc.LogText();
  EXPECT_TRUE(WaitFor([&] { return !central.Exchanges(0x100F).empty(); }, std::chrono::seconds(30)))
      << svc.LogText();
  const std::string local = "local " + lanAddress + ":" + std::to_string(port);
  EXPECT_TRUE(WaitFor(
      [&] { return central.Admin({"status"}).output.find(local) != std::string::npos; },
      std::chrono::seconds(30)))
      << central.Admin({"status"}).output;
  EXPECT_NE(central.Admin({"status"}).output.find("mac " + mac), std::string::npos)
      << central.Admin({"status"}).output;
  if (router) {
    // The mapping's result follows in a second report.
    EXPECT_TRUE(WaitFor(
        [&] {
          return central.Admin({"status"}).output.find(local + "  external port 61716") !=
                 std::string::npos;
        },
        std::chrono::seconds(30)))
        << central.Admin({"status"}).output << router->Listing();
  }
  EXPECT_EQ(svc.NetStop().exitCode, 0) << svc.LogText();
}

// A router that answers every search and then never finishes its description: it sends one
// byte of its HTTP answer every half second for as long as the PC listens. A stand-in for a
// broken gateway on 10.66.0.2 (the namespace of EnterNetworkWithDownFirstAdapter).
class CDrippingRouter {
 public:
  bool Start() {
    m_udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    m_tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(m_udp, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(1900);
    if (bind(m_udp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    ip_mreq group{};
    inet_pton(AF_INET, "239.255.255.250", &group.imr_multiaddr);
    inet_pton(AF_INET, "10.66.0.2", &group.imr_interface);
    if (setsockopt(m_udp, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) return false;
    inet_pton(AF_INET, "10.66.0.2", &a.sin_addr);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (bind(m_tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_tcp, 16) != 0 ||
        getsockname(m_tcp, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return false;
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Run(); });
    return true;
  }
  ~CDrippingRouter() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    for (int fd : {m_udp, m_tcp})
      if (fd >= 0) close(fd);
  }
  int Connections() const { return m_connections.load(); }
  int ClosedByThePc() const { return m_closed.load(); }

 private:
  void Run() {
    std::vector<int> held;
    auto last = std::chrono::steady_clock::now();
    while (!m_stop) {
      std::vector<pollfd> fds{{m_udp, POLLIN, 0}, {m_tcp, POLLIN, 0}};
      for (int c : held) fds.push_back({c, POLLIN, 0});
      poll(fds.data(), fds.size(), 100);
      if (fds[0].revents & POLLIN) Answer();
      if (fds[1].revents & POLLIN) {
        const int c = accept4(m_tcp, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          held.push_back(c);
          ++m_connections;
        }
      }
      for (size_t i = 2; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[2048];
        if (recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT) == 0 || (fds[i].revents & (POLLHUP | POLLERR))) {
          close(fds[i].fd);
          held.erase(std::find(held.begin(), held.end(), fds[i].fd));
          ++m_closed;
        }
      }
      if (std::chrono::steady_clock::now() - last > std::chrono::milliseconds(500)) {
        last = std::chrono::steady_clock::now();
        for (size_t i = 0; i < held.size(); ++i) {
          const char* text = "HTTP/1.1 200 OK\r\nX-Slow: ";
          const size_t at = m_sent[held[i]]++;
          const char byte = at < std::strlen(text) ? text[at] : 'a';
          send(held[i], &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
      }
    }
    for (int c : held) close(c);
  }
  void Answer() {
    char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(m_udp, buf, sizeof buf - 1, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) return;
    buf[n] = '\0';
    std::string st = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
    std::smatch m;
    const std::string request(buf);
    if (std::regex_search(request, m, std::regex(R"(ST:\s*([^\r]+))", std::regex::icase))) st = m[1].str();
    const std::string reply = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + st +
                              "\r\nUSN: uuid:5e1f0000-0000-4000-8000-000000000001::" + st +
                              "\r\nLOCATION: http://10.66.0.2:" + std::to_string(m_port) +
                              "/rootDesc.xml\r\n\r\n";
    sendto(m_udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
  }

  int m_udp = -1, m_tcp = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0}, m_closed{0};
  std::map<int, size_t> m_sent;
  std::thread m_thread;
};

TEST(FirstAdapterDown, ReportsGoOutWhileTheRouterNeverFinishesAnAnswer) {
  std::string why;
  if (!EnterNetworkWithDownFirstAdapter(why)) GTEST_SKIP() << why;
  CDrippingRouter router;
  ASSERT_TRUE(router.Start());
  CentralProcess central;
  ASSERT_TRUE(central.AddAccount("owner@example.org", "secret1"));
  ASSERT_TRUE(central.Start());
  TempBase base;
  base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
  base.Exec("insert into qv_user (email, psw) values ('owner@example.org', '" +
            PcPasswordOf("secret1") + "');");
  ServiceProcess svc(base.Dir());
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  EXPECT_TRUE(WaitFor([&] { return router.Connections() > 0; }, std::chrono::seconds(30)))
      << "the PC never asked the router";
  EXPECT_TRUE(WaitFor([&] { return !central.Exchanges(0x1004).empty(); }, std::chrono::seconds(30)))
      << svc.LogText();
  EXPECT_TRUE(WaitFor([&] { return !central.Exchanges(0x100F).empty(); }, std::chrono::seconds(30)))
      << svc.LogText();
  // The question that never ends is cut once the round's budget is spent.
  EXPECT_TRUE(WaitFor([&] { return router.ClosedByThePc() > 0; },
                      std::chrono::milliseconds(kUPnPRoundBudgetMs) + std::chrono::seconds(60)))
      << svc.LogText();
  EXPECT_EQ(svc.NetStop().exitCode, 0) << svc.LogText();
}

TEST(FirstAdapterDown, ReportsGoOutWithoutARouter) {
  std::string why;
  if (!EnterNetworkWithDownFirstAdapter(why)) GTEST_SKIP() << why;
  ExpectReportsFromTheWorkingAdapter("10.66.0.2", "qv0", nullptr);
}

TEST(FirstAdapterDown, ReportsGoOutAndTheMappingFollowsBehindARouter) {
  NamespaceRouter router;
  router.PutDownAdapterFirst();
  std::string why;
  if (!router.Start(why)) {
    ASSERT_FALSE(router.Failed()) << why;
    GTEST_SKIP() << why;
  }
  ASSERT_TRUE(router.EnterClient());
  const std::string s = router.ClientNs().substr(2);  // the link's name carries the suffix
  ExpectReportsFromTheWorkingAdapter(router.ClientAddress(), "ql" + s, &router);
}

}  // namespace
