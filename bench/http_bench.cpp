// The HTTP file server against lighttpd serving the same folder in the same run: one large
// file fetched with curl (MB/s, best of three) and many small files with ab (requests per
// second). Our server runs in this process on a free port; lighttpd on another. Never fails:
// it reports.
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

// MB/s of one curl download of url to /dev/null; 0 when it failed.
double CurlOnce(const std::string& url) {
  const ProgramResult r = RunProgram(
      {"/usr/bin/curl", "-s", "-o", "/dev/null", "-w", "%{speed_download}", url}, {},
      std::chrono::minutes(5));
  return r.exitCode == 0 ? std::atof(r.output.c_str()) / 1e6 : 0;
}

double AbRate(const std::string& url) { return bench::AbRate(url, 5000, 8); }

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  if (access("/usr/sbin/lighttpd", X_OK) != 0 || access("/usr/bin/ab", X_OK) != 0) {
    std::printf("http benchmark: lighttpd or ab missing (make deps)\n");
    return 0;
  }
  TempBase base;
  const std::string share = bench::SetUpServiceBase(base);
  if (!MakeFile(share + "/large.bin", mib * kMiB)) {
    std::printf("http benchmark: cannot write %llu MiB\n", static_cast<unsigned long long>(mib));
    return 0;
  }
  for (int i = 0; i < kSmallFiles; ++i) MakeFile(share + "/s" + std::to_string(i), kSmallSize);

  Http_SetPort(0);
  std::thread server([] { StartHttpServer(nullptr); });
  WaitFor([] { return Http_BoundPort() != 0; }, std::chrono::seconds(10));
  const uint16_t ours = Http_BoundPort();

  const bench::Lighttpd lighttpd(base.Dir());
  const uint16_t theirs = lighttpd.Port();

  const std::string oursBase = "http://127.0.0.1:" + std::to_string(ours) + share;
  const std::string theirsBase = "http://127.0.0.1:" + std::to_string(theirs) + share;
  // Rounds alternate between the two servers, so a busy moment of the machine falls on both.
  double oursLarge = 0, theirsLarge = 0;
  for (int i = 0; i < kRounds; ++i) {
    oursLarge = std::max(oursLarge, CurlOnce(oursBase + "/large.bin"));
    theirsLarge = std::max(theirsLarge, CurlOnce(theirsBase + "/large.bin"));
  }
  const double oursSmall = AbRate(oursBase + "/s7");
  const double theirsSmall = AbRate(theirsBase + "/s7");

  std::printf("HTTP large file (%llu MiB, curl, best of %d): ours %.1f MB/s, lighttpd %.1f MB/s, "
              "ratio %.2f\n",
              static_cast<unsigned long long>(mib), kRounds, oursLarge, theirsLarge,
              Ratio(oursLarge, theirsLarge));
  std::printf("HTTP small files (%zu bytes, ab -n 5000 -c 8): ours %.0f req/s, lighttpd %.0f "
              "req/s (keep-alive off), ratio %.2f\n",
              kSmallSize, oursSmall, theirsSmall, Ratio(oursSmall, theirsSmall));

  Http_Stop();
  server.join();
  return 0;
}
