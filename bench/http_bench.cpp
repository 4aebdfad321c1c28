// The HTTP file server against lighttpd and nginx serving the same folder in the same run: one
// large file fetched with curl (MB/s, best of three), small files with ab (requests per
// second), and small files for many clients at once, each from its own loopback address
// (requests per second, against nginx). Then small downloads of many phones over the command
// port of the real service: their 99th-percentile latency against nginx's for the same number
// of kept-alive HTTP clients. Our HTTP server runs in this process on a free port, the peers on
// others. Never fails: it reports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/os_layer.h"
#include "common/thread_pool.h"
#include "service/roads/http_server.h"
#include "bench/ab_rate.h"
#include "bench/bench_util.h"
#include "bench/service_base.h"
#include "bench/small_load.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace {

using bench::MakeFile;
using bench::Seconds;
using bench::WarmCache;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr int kRounds = 3;
constexpr int kSmallFiles = 100;
constexpr size_t kSmallSize = 4096;
constexpr int kManyClients = 32;
constexpr int kRequestsPerClient = 150;
constexpr int kPhones = 50;
constexpr int kDownloadsPerPhone = 100;

// MB/s of one curl download of url to /dev/null; 0 when it failed.
double CurlOnce(const std::string& url) {
  const ProgramResult r = RunProgram(
      {"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{speed_download}", url}, {},
      std::chrono::minutes(5));
  return r.exitCode == 0 ? std::atof(r.output.c_str()) / 1e6 : 0;
}

double AbRate(const std::string& url) { return bench::AbRate(url, 5000, 8); }

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Rounds alternate between the two sides; the medians of the rounds are compared.
struct Side {
  std::vector<double> rate, p50, p99;
  size_t failed = 0;
  void Add(const bench::LoadResult& r) {
    rate.push_back(r.Rate());
    p50.push_back(r.PercentileMs(50));
    p99.push_back(r.PercentileMs(99));
    failed += r.failed;
  }
};

// The service's own HTTP server, run in this process, against lighttpd and nginx: one large
// file, then small files with ab.
void InProcessRows(const std::string& share, uint64_t mib, const bench::Nginx& nginx,
                   const std::string& dir) {
  Http_SetPort(0);
  std::thread server([] { StartHttpServer(nullptr); });
  WaitFor([] { return Http_BoundPort() != 0; }, std::chrono::seconds(10));
  const uint16_t oursPort = Http_BoundPort();

  const bench::Lighttpd lighttpd(dir);
  const uint16_t theirs = lighttpd.Port();

  const std::string oursBase = "http://127.0.0.1:" + std::to_string(oursPort) + share;
  const std::string theirsBase = "http://127.0.0.1:" + std::to_string(theirs) + share;
  // Rounds alternate between the two servers, so a busy moment of the machine falls on both.
  double oursLarge = 0, theirsLarge = 0;
  for (int i = 0; i < kRounds; ++i) {
    oursLarge = std::max(oursLarge, CurlOnce(oursBase + "/large.bin"));
    theirsLarge = std::max(theirsLarge, CurlOnce(theirsBase + "/large.bin"));
  }
  const std::string nginxBase = "http://127.0.0.1:" + std::to_string(nginx.Port()) + share;
  const double oursSmall = AbRate(oursBase + "/s7");
  const double theirsSmall = AbRate(theirsBase + "/s7");
  const double nginxSmall = nginx.Up() ? AbRate(nginxBase + "/s7") : 0;

  std::printf("HTTP large file (%llu MiB, curl, best of %d): ours %.1f MB/s, lighttpd %.1f MB/s, "
              "ratio %.2f\n",
              static_cast<unsigned long long>(mib), kRounds, oursLarge, theirsLarge,
              Ratio(oursLarge, theirsLarge));
  std::printf("HTTP small files (%zu bytes, ab -n 5000 -c 8): ours %.0f req/s, lighttpd %.0f "
              "req/s (keep-alive off), ratio %.2f; nginx %.0f req/s, ratio %.2f\n",
              kSmallSize, oursSmall, theirsSmall, Ratio(oursSmall, theirsSmall), nginxSmall,
              Ratio(oursSmall, nginxSmall));
  if (!nginx.Up()) std::printf("nginx did not start (make deps): no figures against it\n");

  Http_Stop();
  server.join();
}

// The real service's HTTP server for many clients, each of its own address, against nginx.
void ManyClientsRow(uint16_t svcHttp, int svcPid, const std::string& share,
                    const bench::Nginx& nginx) {
  Side oursMany, nginxMany;
  double oursCpu = 0, nginxCpu = 0;
  for (int i = 0; i < kRounds; ++i) {
    double before = bench::ProcessTreeCpuSeconds(svcPid);
    oursMany.Add(bench::HttpLoad(svcHttp, share + "/s7", kSmallSize, kManyClients,
                             kRequestsPerClient, false));
    oursCpu += bench::ProcessTreeCpuSeconds(svcPid) - before;
    before = bench::ProcessTreeCpuSeconds(nginx.Pid());
    nginxMany.Add(bench::HttpLoad(nginx.Port(), share + "/s7", kSmallSize, kManyClients,
                               kRequestsPerClient, false));
    nginxCpu += bench::ProcessTreeCpuSeconds(nginx.Pid()) - before;
  }
  const double requests = static_cast<double>(kRounds * kManyClients * kRequestsPerClient);
  std::printf("HTTP small files, many clients (%zu bytes, %d clients of their own address, a "
              "connection per request, median of %d rounds): ours %.0f req/s (p99 %.2f ms), "
              "nginx %.0f req/s (p99 %.2f ms), ratio %.2f (aim >= 0.7); CPU per request "
              "ours %.0f us, nginx %.0f us%s\n",
              kSmallSize, kManyClients, kRounds, Median(oursMany.rate), Median(oursMany.p99),
              Median(nginxMany.rate), Median(nginxMany.p99),
              Ratio(Median(oursMany.rate), Median(nginxMany.rate)), oursCpu / requests * 1e6,
              nginxCpu / requests * 1e6, oursMany.failed + nginxMany.failed ? " (some requests failed)" : "");
}

// Phones downloading a small file over their kept command connections, against nginx's
// kept-alive clients: latency, CPU and context switches per download.
void PhonesRow(uint16_t port, int svcPid, const std::string& share, const std::string& dir) {
  // Phones keep their connection: so do nginx's clients here.
  const bench::Nginx keptAlive(dir, true);
  Side phones, clients;
  double phonesCpu = 0, clientsCpu = 0;
  bench::ContextSwitches phonesSwitches, clientsSwitches;
  const auto add = [](bench::ContextSwitches& sum, const bench::ContextSwitches& after,
                      const bench::ContextSwitches& before) {
    sum.voluntary += after.voluntary - before.voluntary;
    sum.involuntary += after.involuntary - before.involuntary;
  };
  for (int i = 0; i < kRounds; ++i) {
    double before = bench::ProcessTreeCpuSeconds(svcPid);
    bench::ContextSwitches switches = bench::ProcessTreeContextSwitches(svcPid);
    phones.Add(bench::PhoneDownloadLoad(port, share + "/s7", kSmallSize, kPhones,
                                        kDownloadsPerPhone));
    phonesCpu += bench::ProcessTreeCpuSeconds(svcPid) - before;
    add(phonesSwitches, bench::ProcessTreeContextSwitches(svcPid), switches);
    before = bench::ProcessTreeCpuSeconds(keptAlive.Pid());
    switches = bench::ProcessTreeContextSwitches(keptAlive.Pid());
    clients.Add(bench::HttpLoad(keptAlive.Port(), share + "/s7", kSmallSize, kPhones,
                                kDownloadsPerPhone, true));
    clientsCpu += bench::ProcessTreeCpuSeconds(keptAlive.Pid()) - before;
    add(clientsSwitches, bench::ProcessTreeContextSwitches(keptAlive.Pid()), switches);
  }
  const double downloads = static_cast<double>(kRounds * kPhones * kDownloadsPerPhone);
  std::printf("%d phones downloading %zu-byte files (command port, %d each, median of %d "
              "rounds): p50 %.2f ms, p99 %.2f ms, %.0f /s; nginx (kept-alive clients): p50 %.2f "
              "ms, p99 %.2f ms, %.0f /s; p50 ratio %.2f (aim <= 2), p99 ratio %.2f (aim <= 3); "
              "load %s; CPU per download ours %.0f us, nginx %.0f us; context switches per "
              "download ours %.2f (%.2f involuntary), nginx %.2f (%.2f involuntary)%s\n",
              kPhones, kSmallSize, kDownloadsPerPhone, kRounds, Median(phones.p50),
              Median(phones.p99), Median(phones.rate), Median(clients.p50), Median(clients.p99),
              Median(clients.rate), Ratio(Median(phones.p50), Median(clients.p50)),
              Ratio(Median(phones.p99), Median(clients.p99)), bench::LoadText().c_str(),
              phonesCpu / downloads * 1e6, clientsCpu / downloads * 1e6,
              phonesSwitches.Total() / downloads, phonesSwitches.involuntary / downloads,
              clientsSwitches.Total() / downloads, clientsSwitches.involuntary / downloads,
              phones.failed + clients.failed ? " (some downloads failed)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  bench::StartRun(argc, argv,
                  "usage: http_bench [MIB|phones]\n"
                  "  The service's HTTP server and command port against lighttpd and nginx, with a\n"
                  "  MIB-MiB file (default 1024); \"phones\": the phones' small downloads alone.\n", 1);
  const bool phonesOnly = argc > 1 && std::strcmp(argv[1], "phones") == 0;
  const uint64_t mib = phonesOnly ? 1 : argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  if (access("/usr/sbin/lighttpd", X_OK) != 0 || access("/usr/bin/ab", X_OK) != 0) {
    std::printf("http benchmark: lighttpd or ab missing (make deps)\n");
    return 0;
  }
  // The service logs as a user's does (info, not the tests' debug lines): the peers log no
  // request either.
  TempBaseOptions opt;
  opt.logPriority = static_cast<int>(kLogDefaultPriority);
  opt.localport = bench::FreePort();
  TempBase base(opt);
  const std::string share = bench::SetUpServiceBase(base);
  if (!MakeFile(share + "/large.bin", mib * kMiB)) {
    std::printf("http benchmark: cannot write %llu MiB\n", static_cast<unsigned long long>(mib));
    return 0;
  }
  for (int i = 0; i < kSmallFiles; ++i) MakeFile(share + "/s" + std::to_string(i), kSmallSize);

  const bench::Nginx nginx(base.Dir());
  if (!phonesOnly) InProcessRows(share, mib, nginx, base.Dir());

  // The real service: its HTTP server for many clients, then phones over its command port,
  // each against nginx.
  ServiceProcess svc(base.Dir());
  svc.SetTestSettings("http_port=0");
  svc.CopyPrograms();
  const uint16_t port = svc.Install().exitCode == 0 && svc.NetStart().exitCode == 0 &&
                                WaitFor([&] { return bench::PortAnswers(opt.localport); },
                                        std::chrono::seconds(60))
                            ? static_cast<uint16_t>(opt.localport)
                            : 0;
  uint16_t svcHttp = 0;
  const std::regex httpLine(R"(httpServer running on port (\d+))");
  WaitFor([&] {
    std::smatch m;
    const std::string log = svc.LogText();
    if (!std::regex_search(log, m, httpLine)) return false;
    svcHttp = static_cast<uint16_t>(std::stoi(m[1].str()));
    return true;
  }, std::chrono::seconds(60));
  if (port == 0 || svcHttp == 0 || !nginx.Up()) {
    const std::string log = svc.LogText();
    std::printf("service (command port %u, HTTP port %u) or nginx (%s) did not start; no "
                "figures for many clients or phones. Log tail:\n%s\n",
                port, svcHttp, nginx.Up() ? "up" : "down",
                log.substr(log.size() > 1500 ? log.size() - 1500 : 0).c_str());
    return 0;
  }
  // For a profiler: QUARLO_BENCH_SHOW_PID=1 names the service's process and waits a moment.
  if (std::getenv("QUARLO_BENCH_SHOW_PID")) {
    std::printf("service pid %d\n", svc.Pid());
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  if (!phonesOnly) ManyClientsRow(svcHttp, svc.Pid(), share, nginx);
  PhonesRow(port, svc.Pid(), share, base.MakeDir("kept-alive"));
  return 0;
}
