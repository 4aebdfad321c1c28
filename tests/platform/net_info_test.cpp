#include "platform/net_info.h"

#include <arpa/inet.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include <gtest/gtest.h>

namespace {

// Restores the real adapter source however the test ends.
class CSourceGuard {
 public:
  ~CSourceGuard() { Plat_SetAdapterSource(nullptr); }
};

// Runs check in a child process inside a network namespace of its own that holds a veth pair
// with a known address; the child's exit status is the result. 77: no namespace here.
int InOwnNetworkNamespace(const std::function<int()>& check) {
  const pid_t pid = fork();
  if (pid < 0) return 77;
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(77);
    const char* setup =
        "ip link add qvtest0 type veth peer name qvtest1 >/dev/null 2>&1 && "
        "ip addr add 10.9.8.7/24 dev qvtest0 && ip link set qvtest0 up && "
        "ip link set qvtest1 up && ip link set lo up";
    if (std::system(setup) != 0) _exit(77);
    _exit(check());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// On a host of known adapters the list is exactly them: the veth pair, in index order, with
// the address, its mask and a MAC, and never loopback.
TEST(Adapters, KnownAdaptersAreListedExactly) {
  const int rc = InOwnNetworkNamespace([] {
    std::vector<AdapterInfo> adapters;
    if (Plat_ListAdapters(adapters) != 0) return 1;
    if (adapters.size() != 2) return 2;
    const AdapterInfo* a = nullptr;
    for (const AdapterInfo& x : adapters) {
      if (x.name == "lo") return 3;
      if (x.name == "qvtest0") a = &x;
    }
    if (!a || !a->hasMac || a->ipv4.size() != 1) return 4;
    if (ntohl(a->ipv4[0].addr) != 0x0A090807u || ntohl(a->ipv4[0].mask) != 0xFFFFFF00u) return 5;
    if (adapters[0].index >= adapters[1].index) return 6;
    return 0;
  });
  if (rc == 77) GTEST_SKIP() << "no network namespace of our own here";
  EXPECT_EQ(rc, 0);
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
