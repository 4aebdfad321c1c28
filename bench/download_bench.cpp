// Download throughput of the real service, started black-box, against nginx and lighttpd (both
// sendfile) serving the same file to the same C++ client in the same run: 1, 4 and 16 downloads
// of one file at once and 16 different files at once (best of three, the three alternating; for
// one download also a bare sender of the same packages: what one copying sender of this format
// reaches), and the 90th percentile of the time from the request to the first package of a
// 2500-byte file while 4 large downloads stream (the first body byte for the web servers; the
// median of five rounds). The client reads as fast as it can: device
// mode walks the message headers, HTTP mode counts the body. The service's resident memory is
// read from /proc after the concurrent rounds. Never fails: it reports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/wire.h"
#include "bench/bench_util.h"
#include "bench/small_load.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"

namespace {

using bench::MakeFile;
using bench::Seconds;
using bench::WarmCache;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr size_t kReceiveBuffer = 4 * kMiB;
constexpr int kRounds = 3;  // best of, each side
constexpr int kPollMs = 30000;
constexpr uint64_t kSmallSize = 2500;
constexpr int kLatencyTries = 50;
// The first-package figure swings with the machine's load from one round to the next: more
// rounds, and their median.
constexpr int kLatencyRounds = 5;
constexpr uint16_t kOpReqDownload = 0x0004, kOpAllowDownload = 0x0005;
constexpr uint16_t kOpPackage = 0x1002, kOpOver = 0x1003, kOpInfo = 0x1004;

using Clock = std::chrono::steady_clock;

int ConnectTo(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
  }
  if (s >= 0) close(s);
  return -1;
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t w = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (w <= 0) return false;
    off += static_cast<size_t>(w);
  }
  return true;
}

std::vector<uint8_t> Message(uint16_t opcode, uint32_t param, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> out(kCommandHeaderSize + body.size());
  EncodeCommandHeader(CommandHeader{static_cast<uint16_t>(out.size()), opcode, param}, out.data());
  std::copy(body.begin(), body.end(), out.begin() + kCommandHeaderSize);
  return out;
}

// The device client: reads whole messages from a buffer it refills with large reads.
class DeviceReader {
 public:
  explicit DeviceReader(int fd) : m_fd(fd), m_buf(kReceiveBuffer) {}
  // Calls onMessage for each message until it returns false; false on close or time-out.
  bool Run(const std::function<bool(const CommandHeader&)>& onMessage) {
    for (;;) {
      while (m_end - m_start >= kCommandHeaderSize) {
        const CommandHeader h = DecodeCommandHeader(m_buf.data() + m_start);
        if (h.len < kCommandHeaderSize) return false;
        if (m_end - m_start < h.len) break;
        m_start += h.len;
        if (!onMessage(h)) return true;
      }
      std::memmove(m_buf.data(), m_buf.data() + m_start, m_end - m_start);
      m_end -= m_start;
      m_start = 0;
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, kPollMs) <= 0) return false;
      const ssize_t r = recv(m_fd, m_buf.data() + m_end, m_buf.size() - m_end, 0);
      if (r <= 0) return false;
      m_end += static_cast<size_t>(r);
    }
  }

 private:
  int m_fd;
  std::vector<uint8_t> m_buf;
  size_t m_start = 0, m_end = 0;
};

std::vector<uint8_t> PathBody(const std::string& path) {
  std::vector<uint8_t> body(356, 0);
  std::memcpy(body.data() + 1, path.data(), std::min<size_t>(path.size(), 254));
  body[256] = '1';
  return body;
}

// One device download: request, start, packages to the end. Bytes of file data received.
uint64_t DeviceDownload(uint16_t port, const std::string& path, uint32_t id) {
  const int fd = ConnectTo(port);
  if (fd < 0) return 0;
  DeviceReader reader(fd);
  uint64_t data = 0;
  bool ok = SendAll(fd, Message(kOpReqDownload, id, PathBody(path)));
  bool info = false;
  ok = ok && reader.Run([&](const CommandHeader& h) {
    info = h.opcode == kOpInfo;
    return false;
  });
  ok = ok && info && SendAll(fd, Message(kOpAllowDownload, id, {0, 0, 0, 0}));
  bool ended = false;
  ok = ok && reader.Run([&](const CommandHeader& h) {
    if (h.opcode == kOpPackage) data += h.len - kTransHeaderSize;
    ended = h.opcode == kOpOver;
    return !ended;
  });
  close(fd);
  return ok && ended ? data : 0;
}

// One HTTP download by the same client: GET, then count the body up to the close.
uint64_t HttpDownload(uint16_t port, const std::string& path) {
  const int fd = ConnectTo(port);
  if (fd < 0) return 0;
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (!SendAll(fd, std::vector<uint8_t>(request.begin(), request.end()))) {
    close(fd);
    return 0;
  }
  std::vector<char> buf(kReceiveBuffer);
  uint64_t total = 0;
  size_t headerEnd = 0;
  std::string head;
  for (;;) {
    const ssize_t r = recv(fd, buf.data(), buf.size(), 0);
    if (r <= 0) break;
    if (headerEnd == 0 && head.size() < 65536) {
      head.append(buf.data(), static_cast<size_t>(std::min<ssize_t>(r, 65536)));
      const size_t at = head.find("\r\n\r\n");
      if (at != std::string::npos) headerEnd = at + 4;
    }
    total += static_cast<uint64_t>(r);
  }
  close(fd);
  return total > headerEnd ? total - headerEnd : 0;
}

// MiB/s of one round of n downloads at once; 0 when any came short.
double Concurrent(int n, uint64_t size, const std::function<uint64_t(int)>& one) {
  std::vector<uint64_t> got(static_cast<size_t>(n), 0);
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) threads.emplace_back([&, i] { got[static_cast<size_t>(i)] = one(i); });
  for (auto& t : threads) t.join();
  const double secs = Seconds(start);
  for (uint64_t g : got) {
    if (g != size) return 0;
  }
  return static_cast<double>(size) * n / kMiB / secs;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// What one copying sender of this wire format reaches on one stream: a sender of our own, no service around it,
// that sends the same packages the way the service does (a mapping of the file, iovecs that
// alternate headers and 1000-byte slices, one copy per byte into the socket), read by the
// same device client. MiB/s of one download; 0 on failure. cpuSeconds: what the sender's thread
// used (with the loopback's delivery, which runs on the sending thread for both).
double BareMappedSender(const std::string& path, uint64_t size, double& cpuSeconds) {
  cpuSeconds = 0;
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (listener >= 0) close(listener);
    return 0;
  }
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  void* map = file >= 0 ? mmap(nullptr, size, PROT_READ, MAP_SHARED, file, 0) : MAP_FAILED;
  std::thread sender([&] {
    const double cpuStart = ThreadCpuSeconds();
    struct CountCpu {
      double start;
      double& out;
      ~CountCpu() { out = ThreadCpuSeconds() - start; }
    } countCpu{cpuStart, cpuSeconds};
    const int s = accept(listener, nullptr, nullptr);
    if (s < 0 || map == MAP_FAILED) {
      if (s >= 0) close(s);
      return;
    }
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    constexpr size_t kPer = 256;
    std::vector<uint8_t> headers(kPer * kTransHeaderSize);
    std::vector<iovec> iov(2 * kPer);
    uint64_t pos = 0;
    uint32_t number = 0;
    bool last = false;
    while (!last) {
      size_t count = 0;
      for (size_t n = 0; n < kPer && !last; ++n) {
        const size_t slice = static_cast<size_t>(std::min<uint64_t>(1000, size - pos));
        last = slice < 1000;
        TransHeader h;
        h.cmd = CommandHeader{static_cast<uint16_t>(kTransHeaderSize + slice), kOpPackage, 1};
        h.v1 = ++number;
        EncodeTransHeader(h, &headers[n * kTransHeaderSize]);
        iov[count++] = iovec{&headers[n * kTransHeaderSize], kTransHeaderSize};
        if (slice > 0) iov[count++] = iovec{static_cast<uint8_t*>(map) + pos, slice};
        pos += slice;
      }
      size_t at = 0;
      while (at < count) {
        msghdr msg{};
        msg.msg_iov = &iov[at];
        msg.msg_iovlen = count - at;
        ssize_t sent = sendmsg(s, &msg, MSG_NOSIGNAL);
        if (sent <= 0) {
          close(s);
          return;
        }
        while (sent > 0) {
          if (static_cast<size_t>(sent) >= iov[at].iov_len) {
            sent -= static_cast<ssize_t>(iov[at++].iov_len);
          } else {
            iov[at].iov_base = static_cast<uint8_t*>(iov[at].iov_base) + sent;
            iov[at].iov_len -= static_cast<size_t>(sent);
            sent = 0;
          }
        }
      }
    }
    uint8_t over[12] = {0, 12, 0x10, 0x03, 0, 0, 0, 1, '0', 0, 0, 0};
    SendAll(s, std::vector<uint8_t>(over, over + sizeof over));
    close(s);
  });
  const auto start = Clock::now();
  const int fd = ConnectTo(ntohs(a.sin_port));
  uint64_t data = 0;
  bool ended = false;
  if (fd >= 0) {
    DeviceReader reader(fd);
    reader.Run([&](const CommandHeader& h) {
      if (h.opcode == kOpPackage) data += h.len - kTransHeaderSize;
      ended = h.opcode == kOpOver;
      return !ended;
    });
    close(fd);
  }
  const double secs = Seconds(start);
  sender.join();
  if (map != MAP_FAILED) munmap(map, size);
  if (file >= 0) close(file);
  close(listener);
  return ended && data == size ? static_cast<double>(size) / kMiB / secs : 0;
}

// The 90th percentile of milliseconds to the first package (device) or first body byte (HTTP)
// of the small file while four large downloads stream.
double FirstByteP90Ms(const std::function<double()>& once, const std::function<void()>& background) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> streams;
  for (int i = 0; i < 4; ++i) {
    streams.emplace_back([&] {
      while (!stop.load()) background();
    });
  }
  std::vector<double> samples;
  for (int i = 0; i < kLatencyTries; ++i) {
    const double ms = once();
    if (ms > 0) samples.push_back(ms);
  }
  stop = true;
  for (auto& t : streams) t.join();
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, samples.size() * 9 / 10)];
}

double DeviceFirstPackageMs(uint16_t port, const std::string& path, uint32_t id) {
  const int fd = ConnectTo(port);
  if (fd < 0) return 0;
  DeviceReader reader(fd);
  bool info = false;
  const auto start = Clock::now();
  bool ok = SendAll(fd, Message(kOpReqDownload, id, PathBody(path))) &&
            reader.Run([&](const CommandHeader& h) {
              info = h.opcode == kOpInfo;
              return false;
            });
  bool first = false;
  ok = ok && info && SendAll(fd, Message(kOpAllowDownload, id, {0, 0, 0, 0})) &&
       reader.Run([&](const CommandHeader& h) {
         first = h.opcode == kOpPackage;
         return false;
       });
  const double ms = Seconds(start) * 1000;
  close(fd);
  return ok && first ? ms : 0;
}

double HttpFirstByteMs(uint16_t port, const std::string& path) {
  const int fd = ConnectTo(port);
  if (fd < 0) return 0;
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  const auto start = Clock::now();
  if (!SendAll(fd, std::vector<uint8_t>(request.begin(), request.end()))) {
    close(fd);
    return 0;
  }
  std::string head;
  char buf[8192];
  bool body = false;
  while (!body) {
    const ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    head.append(buf, static_cast<size_t>(r));
    const size_t at = head.find("\r\n\r\n");
    body = at != std::string::npos && head.size() > at + 4;
  }
  const double ms = Seconds(start) * 1000;
  close(fd);
  return body ? ms : 0;
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// "1.20/0.90/3.10": each round's figure in milliseconds.
std::string Joined(const std::vector<double>& v) {
  std::string text;
  char one[32];
  for (double x : v) {
    std::snprintf(one, sizeof one, "%s%.2f", text.empty() ? "" : "/", x);
    text += one;
  }
  return text;
}

// CPU seconds (user and system) a process used so far, from /proc.
double CpuSeconds(int pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return 0;
  char buf[1024] = {0};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  const char* at = std::strrchr(buf, ')');  // the name may hold spaces
  unsigned long long utime = 0, stime = 0;
  if (!at || std::sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                         &stime) != 2)
    return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident memory of a process from /proc: total, file pages mapped, anonymous (kB).
struct Rss {
  long total = 0, file = 0, anon = 0;
};
Rss RssOf(int pid) {
  Rss r;
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!f) return r;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    std::sscanf(line, "VmRSS: %ld", &r.total);
    std::sscanf(line, "RssFile: %ld", &r.file);
    std::sscanf(line, "RssAnon: %ld", &r.anon);
  }
  std::fclose(f);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  bench::StartRun(argc, argv,
                  "usage: download_bench [MIB [LEVELS|first]]\n"
                  "  Downloads a MIB-MiB file (default 1024) from the real service at each level of\n"
                  "  concurrency in LEVELS (default 1,4,16,16d; \"16d\": 16 different files of\n"
                  "  MIB/16 each) against nginx and lighttpd; \"first\" measures the small-file\n"
                  "  figure alone.\n", 2);
  const uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024) * kMiB;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The levels of concurrency to measure: "1,4,16" and the small-file figure unless levels
  // are given (e.g. "1" to profile one download alone; "first" for the small-file figure alone).
  const bool firstOnly = argc > 2 && std::strcmp(argv[2], "first") == 0;
  const bool allFigures = argc <= 2 || firstOnly;
  // A level written "16d": that many different files at once, each 1/n of MIB.
  struct Level {
    int n;
    bool different;
  };
  std::vector<Level> levels;
  for (const char* at = firstOnly ? "" : argc > 2 ? argv[2] : "1,4,16,16d"; *at;) {
    char* end = nullptr;
    const long n = std::strtol(at, &end, 10);
    if (end == at) break;
    const bool different = *end == 'd';
    if (different) ++end;
    if (n > 0 && n <= 64) levels.push_back(Level{static_cast<int>(n), different});
    at = *end == ',' ? end + 1 : end;
  }
  if (access("/usr/sbin/lighttpd", X_OK) != 0) {  // nginx, when missing, only empties its columns
    std::printf("download benchmark: lighttpd missing (make deps)\n");
    return 0;
  }
  TempBase base;
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  const std::string file = share + "/bench.bin";
  const std::string small = share + "/small.bin";
  std::printf("download benchmark: %llu MiB file, %u cores\n",
              static_cast<unsigned long long>(size / kMiB), std::thread::hardware_concurrency());
  if (!MakeFile(file, size) || !MakeFile(small, kSmallSize)) {
    std::printf("could not write the files; no figures.\n");
    return 0;
  }
  WarmCache(file);

  ServiceProcess svc(base.Dir());
  const uint16_t port = svc.Start() ? svc.WaitForPort() : 0;
  const bench::Lighttpd lighttpd(base.Dir());
  const uint16_t web = lighttpd.Port();
  const bool webUp = lighttpd.Up();
  const bool haveNginx = bench::Nginx::Installed();
  std::unique_ptr<bench::Nginx> nginx;
  if (haveNginx) nginx.reset(new bench::Nginx(base.Dir()));
  const uint16_t ngx = nginx && nginx->Up() ? nginx->Port() : 0;
  if (!haveNginx) std::printf("nginx missing (make deps): its columns read 0\n");
  if (port == 0 || !webUp || (haveNginx && ngx == 0)) {
    std::printf("service (port %u), lighttpd (%s) or nginx (port %u) did not start; no figures.\n",
                port, webUp ? "up" : "down", ngx);
  } else {
    std::printf("peers: nginx and lighttpd (sendfile) serving the same file to the same client's "
                "HTTP mode\n");
    std::atomic<uint32_t> id{1};
    const int svcPid = svc.Pid();
    for (const Level& level : levels) {
      const int n = level.n;
      const uint64_t each = level.different ? size / static_cast<uint64_t>(n) : size;
      std::vector<std::string> files(static_cast<size_t>(n), file);
      if (level.different) {
        for (int i = 0; i < n; ++i) {
          files[static_cast<size_t>(i)] = share + "/part" + std::to_string(i) + ".bin";
          if (!MakeFile(files[static_cast<size_t>(i)], each)) {
            std::printf("could not write %s; no figures for it.\n", files[static_cast<size_t>(i)].c_str());
          }
          WarmCache(files[static_cast<size_t>(i)]);
        }
      }
      // Rounds alternate between the three, so a busy moment of the machine falls on all.
      double ours = 0, theirs = 0, ngxRate = 0, bare = 0, cpu = 0, ngxCpu = 0, bareCpu = 0;
      Rss peak;  // the service's largest resident set during its rounds
      for (int round = 0; round < kRounds; ++round) {
        const double cpuBefore = CpuSeconds(svcPid);
        std::atomic<bool> sampling{true};
        std::thread sampler([&] {
          while (sampling.load()) {
            const Rss now = RssOf(svcPid);
            if (now.total > peak.total) peak = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        });
        ours = std::max(ours, Concurrent(n, each, [&](int i) {
          return DeviceDownload(port, files[static_cast<size_t>(i)], id++);
        }));
        sampling = false;
        sampler.join();
        cpu += CpuSeconds(svcPid) - cpuBefore;
        if (ngx != 0) {
          const double ngxBefore = bench::ProcessTreeCpuSeconds(nginx->Pid());
          ngxRate = std::max(ngxRate, Concurrent(n, each, [&](int i) {
            return HttpDownload(ngx, files[static_cast<size_t>(i)]);
          }));
          ngxCpu += bench::ProcessTreeCpuSeconds(nginx->Pid()) - ngxBefore;
        }
        theirs = std::max(theirs, Concurrent(n, each, [&](int i) {
          return HttpDownload(web, files[static_cast<size_t>(i)]);
        }));
        if (n == 1) {
          double roundCpu = 0;
          bare = std::max(bare, BareMappedSender(file, size, roundCpu));
          bareCpu += roundCpu;
        }
      }
      const double gib = static_cast<double>(each) * n * kRounds / (1024.0 * kMiB);
      if (level.different) {
        std::printf("%2d different files of %llu MiB at once: ", n,
                    static_cast<unsigned long long>(each / kMiB));
      }
      std::printf("%2d at once: service %6.0f MiB/s, nginx %6.0f MiB/s, lighttpd %6.0f MiB/s; "
                  "service/nginx %.2f (aim %s), service/lighttpd %.2f; load %s\n",
                  n, ours, ngxRate, theirs, Ratio(ours, ngxRate),
                  n == 1 ? ">= 0.9" : n == 16 && level.different ? ">= 1.0" : "-", Ratio(ours, theirs),
                  bench::LoadText().c_str());
      std::printf("   CPU per GiB sent: service %.2f s, nginx %.2f s, service/nginx %.2f (aim <= 1.5); "
                  "service resident at most %ld kB while sending (file pages %ld kB, anonymous "
                  "%ld kB)\n",
                  cpu / gib, ngxCpu / gib, Ratio(cpu, ngxCpu), peak.total, peak.file, peak.anon);
      if (n == 1) {
        // The bare sender copies each byte once, as any sender of this format must (a header
        // every 1000 bytes rules out sendfile): its CPU is the floor the service is held to.
        std::printf("   the same packages from a bare copying sender (no service): %6.0f MiB/s, CPU "
                    "per GiB %.2f s; service/bare %.2f (CPU %.2f), bare/nginx %.2f (CPU %.2f)\n",
                    bare, bareCpu / gib, Ratio(ours, bare), Ratio(cpu, bareCpu),
                    Ratio(bare, ngxRate), Ratio(bareCpu, ngxCpu));
      }
    }
    const Rss rss = RssOf(svcPid);
    std::printf("service resident memory after the rounds: %ld kB (file pages mapped %ld kB, "
                "anonymous %ld kB)\n", rss.total, rss.file, rss.anon);
    if (allFigures) {
      // Rounds alternate between the three; the medians of their 90th percentiles are compared.
      std::vector<double> oursMs, ngxMs, theirsMs;
      for (int round = 0; round < kLatencyRounds; ++round) {
        oursMs.push_back(FirstByteP90Ms([&] { return DeviceFirstPackageMs(port, small, id++); },
                                        [&] { DeviceDownload(port, file, id++); }));
        ngxMs.push_back(ngx == 0 ? 0
                                 : FirstByteP90Ms([&] { return HttpFirstByteMs(ngx, small); },
                                                  [&] { HttpDownload(ngx, file); }));
        theirsMs.push_back(FirstByteP90Ms([&] { return HttpFirstByteMs(web, small); },
                                          [&] { HttpDownload(web, file); }));
      }
      std::printf("first package of a 2500-byte file from its request while 4 large downloads "
                  "stream (p90 of %d, median of %d rounds): service %.3f ms (aim <= 5), nginx "
                  "%.3f ms, lighttpd %.3f ms; service/nginx %.2f; rounds: service %s, nginx %s; "
                  "load %s\n",
                  kLatencyTries, kLatencyRounds, Median(oursMs), Median(ngxMs), Median(theirsMs),
                  Ratio(Median(oursMs), Median(ngxMs)), Joined(oursMs).c_str(),
                  Joined(ngxMs).c_str(), bench::LoadText().c_str());
    }
  }
  return 0;
}
