#include "platform/net_info.h"

#include <arpa/inet.h>
#include <set>

#include <gtest/gtest.h>

namespace {

// Restores the real adapter source however the test ends.
class CSourceGuard {
 public:
  ~CSourceGuard() { Plat_SetAdapterSource(nullptr); }
};

TEST(Adapters, RealListHasNoLoopbackAndPlausibleAddresses) {
  std::vector<AdapterInfo> adapters;
  ASSERT_EQ(Plat_ListAdapters(adapters), 0);
  std::set<std::string> names;
  unsigned lastIndex = 0;
  for (const AdapterInfo& a : adapters) {
    EXPECT_NE(a.name, "lo");
    EXPECT_FALSE(a.name.empty());
    EXPECT_TRUE(names.insert(a.name).second) << "listed twice: " << a.name;
    EXPECT_GT(a.index, 0u) << a.name;
    EXPECT_GE(a.index, lastIndex) << "not in index order: " << a.name;
    lastIndex = a.index;
    for (const AdapterAddress& addr : a.ipv4) {
      const uint32_t host = ntohl(addr.addr);
      EXPECT_NE(host, 0u) << a.name;
      EXPECT_NE(host >> 24, 127u) << "loopback address on " << a.name;
      // A netmask is ones from the top: its complement is 2^k - 1.
      const uint32_t inverse = ~ntohl(addr.mask);
      EXPECT_EQ(inverse & (inverse + 1), 0u) << a.name;
    }
  }
}

TEST(Adapters, SeamReplacesAndRestoresTheSource) {
  std::vector<AdapterInfo> real;
  ASSERT_EQ(Plat_ListAdapters(real), 0);
  CSourceGuard guard;

  AdapterInfo fake;
  fake.name = "fake0";
  fake.index = 7;
  fake.running = true;
  fake.ipv4.push_back({htonl(0xC0A80105), htonl(0xFFFFFF00)});
  fake.hasMac = true;
  fake.mac[0] = 0x02;
  Plat_SetAdapterSource([fake](std::vector<AdapterInfo>& out) {
    out.push_back(fake);
    return 0;
  });

  std::vector<AdapterInfo> got;
  got.push_back(AdapterInfo{});  // stale content must not survive
  ASSERT_EQ(Plat_ListAdapters(got), 0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, "fake0");
  EXPECT_EQ(got[0].index, 7u);
  EXPECT_EQ(Plat_Ipv4Text(got[0].ipv4.at(0).addr), "192.168.1.5");

  Plat_SetAdapterSource(nullptr);
  std::vector<AdapterInfo> again;
  ASSERT_EQ(Plat_ListAdapters(again), 0);
  ASSERT_EQ(again.size(), real.size());
  for (size_t i = 0; i < real.size(); ++i) EXPECT_EQ(again[i].name, real[i].name);
}

TEST(Adapters, NetworkAliveNeedsARunningAdapterWithAnAddress) {
  CSourceGuard guard;
  struct Case {
    const char* what;
    int result;
    bool running;
    uint32_t addr;  // host order; 0: no address at all
    bool alive;
  };
  const Case cases[] = {
      {"running with address", 0, true, 0x0A000002, true},
      {"down with address", 0, false, 0x0A000002, false},
      {"running without address", 0, true, 0, false},
      {"list unreadable", -1, true, 0x0A000002, false},
  };
  for (const Case& c : cases) {
    Plat_SetAdapterSource([c](std::vector<AdapterInfo>& out) {
      AdapterInfo a;
      a.name = "eth9";
      a.index = 3;
      a.running = c.running;
      if (c.addr) a.ipv4.push_back({htonl(c.addr), htonl(0xFF000000)});
      out.push_back(a);
      return c.result;
    });
    EXPECT_EQ(Plat_IsNetworkAlive(), c.alive) << c.what;
  }
  Plat_SetAdapterSource([](std::vector<AdapterInfo>&) { return 0; });
  EXPECT_FALSE(Plat_IsNetworkAlive()) << "no adapters";
}

TEST(Adapters, Ipv4TextIsDottedDecimal) {
  EXPECT_EQ(Plat_Ipv4Text(htonl(0xC0000202)), "192.0.2.2");
  EXPECT_EQ(Plat_Ipv4Text(0), "0.0.0.0");
  EXPECT_EQ(Plat_Ipv4Text(0xFFFFFFFFu), "255.255.255.255");
}

}  // namespace
