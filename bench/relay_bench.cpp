// Relay download throughput: a file downloaded through the real QuarloCentral's cache from the
// real service, against the same file downloaded over the service's command connection in the
// same round, three rounds; beside them, in the same round, a bare exchange of the same sizes
// over loopback TCP (one 1154-byte package, one 8-byte answer, the next package only after the
// answer), the most a relay download can reach while one package is in flight. A relay upload of a file against the relay download of the
// same file (the phone leaves 32 KiB messages, one per answer of the server, as phones do; the
// PC fetches them from its cache). Then the same pair with 10 ms added to the PC's road
// (tc netem on a veth pair between two namespaces), where one package in flight per download
// shows; where the kernel has no netem, that part says so and prints the bound it implies.
// Runs in a network namespace of its own. Never fails: it reports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "common/md5.h"
#include "common/wire.h"
#include "tests/support/central_process.h"
#include "tests/support/device_client.h"
#include "tests/support/net_namespace.h"
#include "tests/support/relay_phone.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

extern char** environ;

namespace {

// Exit status of a helper command (tc, unshare); its output is not needed.
int Run(const std::vector<std::string>& args) { return RunProgram(args).exitCode; }

using bench::FreePort;
using bench::MakeFile;
using bench::Seconds;
using bench::WarmCache;

using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr int kRounds = 3;
constexpr uint16_t kOpReqUpload = 0x0001, kOpUploadData = 0x0002, kOpUploadOver = 0x0003;
constexpr uint16_t kOpUploadAllow = 0x1001;
constexpr size_t kUploadMessageData = 32 * 1024;
constexpr uint16_t kOpReqDownload = 0x0004, kOpAllowDownload = 0x0005;
constexpr uint16_t kOpPackage = 0x1002, kOpOver = 0x1003, kOpInfo = 0x1004;

Bytes PathBody(const std::string& path) {
  Bytes body(356, 0);
  std::memcpy(body.data() + 1, path.data(), std::min<size_t>(path.size(), 255));
  body[256] = '1';
  return body;
}

Bytes Offset0() { return Bytes(4, 0); }

// Seconds for one download over the command connection; negative on failure.
double Direct(const std::string& host, uint16_t port, const std::string& path, uint64_t size) {
  DeviceClient c;
  if (!c.Connect(host, port)) return -1;
  const auto start = Clock::now();
  DeviceMessage m;
  if (!c.Send(kOpReqDownload, 1, PathBody(path)) || !c.ReadMessage(m) || m.header.opcode != kOpInfo)
    return -1;
  if (!c.Send(kOpAllowDownload, 1, Offset0())) return -1;
  uint64_t got = 0;
  for (;;) {
    if (!c.ReadMessage(m, std::chrono::seconds(120))) return -1;
    if (m.header.opcode == kOpOver) break;
    if (m.header.opcode == kOpPackage && m.body.size() >= 12) got += m.body.size() - 12;
  }
  if (got != size) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds for one download through the relay and the cache; negative on failure.
double Relayed(RelayPhone& phone, const std::string& pc, uint32_t id, const std::string& path,
               uint64_t size) {
  const auto start = Clock::now();
  DeviceMessage m;
  if (!phone.Request(pc, BuildMessage(kOpReqDownload, id, PathBody(path))) || !phone.ReadMessage(m) ||
      m.header.opcode != kOpInfo)
    return -1;
  if (!phone.Request(pc, BuildMessage(kOpAllowDownload, id, Offset0()))) return -1;
  uint64_t got = 0;
  for (;;) {
    if (!phone.ReadMessage(m, nullptr, std::chrono::seconds(600))) return -1;
    if (m.header.opcode == kOpOver) break;
    if (m.header.opcode == kOpPackage && m.body.size() >= 12) got += m.body.size() - 12;
  }
  if (got != size) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds for one upload through the relay, from the request until the PC has the whole file
// in place; negative on failure.
double RelayedUpload(RelayPhone& phone, const std::string& pc, uint32_t id, const std::string& content,
                     const std::string& path) {
  const auto start = Clock::now();
  Bytes body(380, 0);
  wire::PutU32(body.data(), static_cast<uint32_t>(content.size()));
  CMd5Hash md5;
  md5.Update(reinterpret_cast<const unsigned char*>(content.data()), content.size());
  std::memcpy(body.data() + 8, md5.RawDigest(), 16);
  std::memcpy(body.data() + 25, path.data(), std::min<size_t>(path.size(), 354));
  DeviceMessage m;
  if (!phone.Request(pc, BuildMessage(kOpReqUpload, id, body)) || !phone.ReadMessage(m) ||
      m.header.opcode != kOpUploadAllow || m.body.size() < 4 || wire::GetU32(m.body.data()) != 0)
    return -1;
  for (size_t at = 0; at < content.size(); at += kUploadMessageData) {
    const size_t n = std::min<size_t>(kUploadMessageData, content.size() - at);
    const Bytes payload(content.begin() + at, content.begin() + at + n);
    if (phone.Leave(pc, BuildTransMessage(kOpUploadData, id, 0, 0, 0, payload), std::chrono::seconds(60)) != 0)
      return -1;
  }
  if (phone.Leave(pc, BuildMessage(kOpUploadOver, id, Bytes{0})) != 0) return -1;
  const bool placed = WaitFor(
      [&] {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == content.size();
      },
      std::chrono::seconds(120), std::chrono::milliseconds(1));
  return placed ? std::chrono::duration<double>(Clock::now() - start).count() : -1;
}

// Seconds for `packages` exchanges of a cache package and its answer between two threads over
// loopback TCP, with nothing else done; negative on failure.
double BareRoundTrips(uint64_t packages) {
  constexpr size_t kPackage = 154 + 1000, kAnswer = 8;
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (listener >= 0) close(listener);
    return -1;
  }
  auto exact = [](int fd, uint8_t* p, size_t n) {
    for (size_t got = 0; got < n;) {
      const ssize_t r = recv(fd, p + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  };
  const int on = 1;
  std::thread server([&] {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    uint8_t buf[kPackage] = {};
    while (exact(fd, buf, kPackage) && send(fd, buf, kAnswer, MSG_NOSIGNAL) == kAnswer) {
    }
    close(fd);
  });
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (ok) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  uint8_t buf[kPackage] = {};
  const auto start = Clock::now();
  for (uint64_t i = 0; ok && i < packages; ++i)
    ok = send(fd, buf, kPackage, MSG_NOSIGNAL) == static_cast<ssize_t>(kPackage) && exact(fd, buf, kAnswer);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (fd >= 0) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
  }
  if (!ok) shutdown(listener, SHUT_RDWR);  // an accept still waiting ends
  server.join();
  close(listener);
  return ok ? seconds : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

double Best(const std::vector<double>& runs) {
  double best = -1;
  for (double r : runs)
    if (r > 0 && (best < 0 || r < best)) best = r;
  return best;
}

void Report(const char* what, uint64_t size, double direct, double relayed) {
  const double mib = static_cast<double>(size) / kMiB;
  if (direct <= 0 || relayed <= 0) {
    std::printf("%s: a download failed (direct %.3f s, relay %.3f s)\n", what, direct, relayed);
    return;
  }
  std::printf("%s: direct %.1f MiB/s, relay %.1f MiB/s, relay/direct %.3f (aim >= 0.2); load %s\n",
              what, mib / direct, mib / relayed, direct / relayed, bench::LoadText().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  bench::StartRun(argc, argv,
                  "usage: relay_bench [MIB]\n"
                  "  Downloads a MIB-MiB file (default 64) through QuarloCentral's relay against the\n"
                  "  command connection (needs root: a network namespace of its own).\n", 1);
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
  const uint64_t size = (mib ? mib : 64) * kMiB;
  std::string why;
  if (!EnterPrivateNetwork(why)) {
    std::printf("relay benchmark skipped: %s\n", why.c_str());
    return 0;
  }
  CentralProcess central;
  TempBase base;
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  const std::string file = share + "/big.bin";
  if (!central.AddAccount("bench@example.org", "secret1") || !central.Start() || !MakeFile(file, size)) {
    std::printf("relay benchmark: set-up failed\n");
    return 0;
  }
  base.Exec("update qv_conf set svport = " + std::to_string(central.Port()) + ";");
  base.Exec("delete from qv_user;");
  base.Exec("insert into qv_user (email, psw) values ('bench@example.org', '" + PcPasswordOf("secret1") + "');");
  ServiceProcess svc(base.Dir());
  svc.SetTestSettings("relay_retry_ms=300");
  if (!svc.Start()) {
    std::printf("relay benchmark: the service did not start\n");
    return 0;
  }
  const uint16_t port = svc.WaitForPort();
  RelayPhone phone;
  std::string pc;
  if (phone.SignIn(central.Port(), "bench@example.org", PcPasswordOf("secret1")) != 0 ||
      !WaitFor(
          [&] {
            std::vector<PcEntry> pcs;
            if (phone.ListPcs(central.Port(), pcs) != 0 || pcs.empty() || !pcs[0].online) return false;
            pc = pcs[0].identity;
            return true;
          },
          std::chrono::seconds(30), std::chrono::milliseconds(100))) {
    std::printf("relay benchmark: the PC never came online at the server\n");
    return 0;
  }
  std::printf("relay benchmark, %llu MiB, %d rounds; load %s\n",
              static_cast<unsigned long long>(size / kMiB), kRounds, bench::LoadText().c_str());
  std::vector<double> ratios, bounds;
  for (int r = 0; r < kRounds; ++r) {
    const double d = Direct("127.0.0.1", port, file, size);
    const double rl = Relayed(phone, pc, 10 + r, file, size);
    const double bare = BareRoundTrips((size + 999) / 1000 + 1);
    const double m = static_cast<double>(size) / kMiB;
    if (d <= 0 || rl <= 0 || bare <= 0) {
      std::printf("round %d: a transfer failed (direct %.3f s, relay %.3f s, bare %.3f s)\n", r + 1,
                  d, rl, bare);
      continue;
    }
    ratios.push_back(d / rl);
    bounds.push_back(bare / rl);
    std::printf("round %d: direct %.1f MiB/s, relay %.1f MiB/s, relay/direct %.3f; bare one-in-flight "
                "exchange %.1f MiB/s (relay/bare %.3f, bare/direct %.3f); load %s\n",
                r + 1, m / d, m / rl, d / rl, m / bare, bare / rl, d / bare, bench::LoadText().c_str());
  }
  if (!ratios.empty())
    std::printf("loopback: relay/direct median %.3f of %zu rounds (aim >= 0.2); relay/bare median %.3f\n",
                Median(ratios), ratios.size(), Median(bounds));

  {
    // The phone waits for the server's answer to each message it leaves: a smaller file keeps
    // the row short; the download it is compared with is of the same file.
    const uint64_t upSize = std::min<uint64_t>(size, 16 * kMiB);
    const std::string upSource = share + "/up-source.bin";
    MakeFile(upSource, upSize);
    std::ifstream in(upSource, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<double> up, down;
    for (int r = 0; r < kRounds; ++r) {
      const std::string target = share + "/up-" + std::to_string(r) + ".bin";
      up.push_back(RelayedUpload(phone, pc, 200 + static_cast<uint32_t>(r), content, target));
      down.push_back(Relayed(phone, pc, 300 + static_cast<uint32_t>(r), upSource, upSize));
    }
    const double u = Best(up), d = Best(down);
    const double upMib = static_cast<double>(upSize) / kMiB;
    if (u <= 0 || d <= 0) {
      std::printf("relay upload: a transfer failed (upload %.3f s, download %.3f s)\n", u, d);
    } else {
      std::printf("relay upload of %.0f MiB: upload %.1f MiB/s, download of the same file %.1f MiB/s, "
                  "upload/download %.3f (aim >= 0.5)\n",
                  upMib, upMib / u, upMib / d, d / u);
    }
  }

  // One package of at most 1000 bytes per round trip between the PC and the server.
  const bool netem = Run({"unshare", "--net", "sh", "-c",
                          "ip link set lo up && tc qdisc add dev lo root netem delay 10ms"}) == 0;
  if (!netem) {
    std::printf("10 ms delay: this kernel has no netem (tc qdisc ... netem refused); one package of "
                "1000 bytes per 10 ms round trip bounds a relay download at %.3f MiB/s\n",
                1000.0 / 0.010 / kMiB);
    return 0;
  }
  // The same pair with the PC's road to the server and the phone's direct road delayed.
  Run({"tc", "qdisc", "add", "dev", "lo", "root", "netem", "delay", "5ms"});
  const uint64_t small = std::min<uint64_t>(size, 4 * kMiB);
  const std::string smallFile = share + "/small.bin";
  MakeFile(smallFile, small);
  const double d = Direct("127.0.0.1", port, smallFile, small);
  const double rl = Relayed(phone, pc, 99, smallFile, small);
  Run({"tc", "qdisc", "del", "dev", "lo", "root"});
  Report("10 ms round trip (netem 5 ms each way on loopback)", small, d, rl);
  return 0;
}
