// What one address's slow-reader attack leaves the others: the HTTP small-file rate and the
// command port's folder-listing rate of a phone on 127.0.0.1 while sixteen connections from
// 127.0.0.2 ask for a large file and never read, each as a ratio to the same rate without the
// attack, measured in the same run (aim: at least 0.5). Never fails: it reports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/ab_rate.h"
#include "bench/bench_util.h"
#include "bench/service_base.h"
#include "common/log.h"
#include "common/os_layer.h"
#include "common/thread_pool.h"
#include "service/roads/http_server.h"
#include "tests/support/device_client.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace {

using bench::Clock;
using bench::MakeFile;
using bench::Seconds;

constexpr uint64_t kLargeMiB = 256;
constexpr int kSlowReaders = 16;
constexpr int kListings = 300;
constexpr uint16_t kOpReqDownload = 0x0004, kOpAllowDownload = 0x0005, kOpListing = 0x2003;

// A connection from 127.0.0.2 with a small receive buffer, so it holds its answer up soon.
int SlowReaderSocket(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int rcvbuf = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &src.sin_addr);
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The attack: each reader asks once and then never reads. Closed when this goes.
class CSlowReaders {
 public:
  ~CSlowReaders() {
    for (int fd : m_fds) close(fd);
  }
  void AddHttp(uint16_t port, const std::string& path) {
    const int fd = SlowReaderSocket(port);
    if (fd < 0) return;
    const std::string get = "GET " + path + " HTTP/1.1\r\n\r\n";
    (void)!send(fd, get.data(), get.size(), MSG_NOSIGNAL);
    m_fds.push_back(fd);
  }
  void AddDownload(uint16_t port, const std::string& path, uint32_t id) {
    const int fd = SlowReaderSocket(port);
    if (fd < 0) return;
    DeviceClient c;
    c.Adopt(fd);
    DeviceMessage info;
    if (c.Send(kOpReqDownload, id, PathRequestBody(path)) && c.ReadMessage(info)) {
      c.Send(kOpAllowDownload, id, {0, 0, 0, 0});
    }
    m_fds.push_back(dup(c.Fd()));
  }
  size_t Count() const { return m_fds.size(); }

 private:
  std::vector<int> m_fds;
};

double AbRate(const std::string& url) { return bench::AbRate(url, 3000, 4); }

// Listings per second of one phone asking for the same folder again and again; 0 on failure.
double ListingRate(uint16_t port, const std::string& folder) {
  DeviceClient phone;
  if (!phone.Connect("127.0.0.1", port)) return 0;
  const auto start = Clock::now();
  for (int i = 0; i < kListings; ++i) {
    if (!phone.Send(kOpListing, static_cast<uint32_t>(i + 1), PathRequestBody(folder))) return 0;
    uint32_t seen = 0, total = 1;
    while (seen < total) {
      DeviceMessage msg;
      if (!phone.ReadMessage(msg, std::chrono::seconds(30)) || msg.body.size() < 12) return 0;
      const uint32_t count = wire::GetU32(msg.body.data());
      total = wire::GetU32(msg.body.data() + 4);
      seen += count;
      if (count == 0) break;
    }
  }
  return kListings / Seconds(start);
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

}  // namespace

int main(int argc, char** argv) {
  bench::StartRun(argc, argv,
                  "usage: fair_bench\n"
                  "  What one address's slow readers leave the other clients of the service.\n", 0);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (access("/usr/bin/ab", X_OK) != 0) {
    std::printf("fairness benchmark: ab missing (make deps)\n");
    return 0;
  }
  TempBase base;
  const std::string share = bench::SetUpServiceBase(base);
  const std::string folder = base.MakeDir("share/folder");
  if (!MakeFile(share + "/large.bin", kLargeMiB * bench::kMiB) || !MakeFile(share + "/s7", 4096)) {
    std::printf("fairness benchmark: cannot write the files; no figures.\n");
    return 0;
  }
  for (int i = 0; i < 20; ++i) MakeFile(folder + "/f" + std::to_string(i), 100);

  // The HTTP server in this process, as in the HTTP benchmark.
  Http_SetPort(0);
  std::thread server([] { StartHttpServer(nullptr); });
  WaitFor([] { return Http_BoundPort() != 0; }, std::chrono::seconds(10));
  const uint16_t http = Http_BoundPort();
  const std::string small = "http://127.0.0.1:" + std::to_string(http) + share + "/s7";
  const double calm = AbRate(small);
  double attacked = 0;
  {
    CSlowReaders attack;
    for (int i = 0; i < kSlowReaders; ++i) attack.AddHttp(http, share + "/large.bin");
    attacked = AbRate(small);
  }
  std::printf("HTTP small files (4096 bytes, ab -n 3000 -c 4) while one address runs %d slow "
              "readers: %.0f req/s, without them %.0f req/s, ratio %.2f (aim >= 0.5)\n",
              kSlowReaders, attacked, calm, Ratio(attacked, calm));
  Http_Stop();
  server.join();

  // The command port of the real service.
  ServiceProcess svc(base.Dir());
  const uint16_t port = svc.Start() ? svc.WaitForPort() : 0;
  if (port == 0) {
    std::printf("service did not start; no listing figures.\n");
    return 0;
  }
  const double calmListings = ListingRate(port, folder);
  double attackedListings = 0;
  {
    CSlowReaders attack;
    for (int i = 0; i < kSlowReaders; ++i)
      attack.AddDownload(port, share + "/large.bin", static_cast<uint32_t>(9000 + i));
    attackedListings = ListingRate(port, folder);
  }
  std::printf("command-port listings (20 files, %d in a row) while one address runs %d slow "
              "readers: %.0f /s, without them %.0f /s, ratio %.2f (aim >= 0.5)\n",
              kListings, kSlowReaders, attackedListings, calmListings,
              Ratio(attackedListings, calmListings));
  return 0;
}
