// Download throughput over the command connection on loopback, against a plain TCP copy of
// the same file measured in the same run. The service side runs in this process: the real
// command server on its own thread with the real download handlers; the phone side reads as
// fast as it can and walks the message headers to find the end. Never fails: it reports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/wire.h"
#include "service/download.h"
#include "service/transfer_sessions.h"
#include "tests/support/device_client.h"
#include "tests/support/temp_base.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr size_t kReceiveBuffer = 4 * kMiB;
constexpr size_t kCopyChunk = 256 * 1024;
constexpr int kRounds = 3;
constexpr int kPollMs = 30000;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

bool MakeFile(const std::string& path, uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<uint8_t> chunk(kMiB);
  uint64_t x = 88172645463325252ull;
  bool ok = true;
  for (uint64_t done = 0; ok && done < size; done += chunk.size()) {
    for (size_t i = 0; i + 8 <= chunk.size(); i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      std::memcpy(&chunk[i], &x, 8);
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - done));
    ok = write(fd, chunk.data(), n) == static_cast<ssize_t>(n);
  }
  close(fd);
  return ok;
}

void WarmCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<char> buf(kMiB);
  while (read(fd, buf.data(), buf.size()) > 0) {
  }
  close(fd);
}

// The peer: a plain sender that reads the file and writes it to a loopback TCP socket.
double RawCopyMBps(const std::string& path, uint64_t size) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(listener);
    return 0;
  }
  std::thread sender([&] {
    const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> buf(kCopyChunk);
    ssize_t r;
    while (conn >= 0 && fd >= 0 && (r = read(fd, buf.data(), buf.size())) > 0) {
      for (ssize_t off = 0; off < r;) {
        const ssize_t w = send(conn, buf.data() + off, static_cast<size_t>(r - off), MSG_NOSIGNAL);
        if (w <= 0) break;
        off += w;
      }
    }
    if (fd >= 0) close(fd);
    if (conn >= 0) close(conn);
  });
  const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::vector<char> buf(kReceiveBuffer);
  uint64_t got = 0;
  const auto start = Clock::now();
  if (connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    ssize_t r;
    while (got < size && (r = recv(client, buf.data(), buf.size(), 0)) > 0) got += static_cast<uint64_t>(r);
  }
  const double secs = Seconds(start);
  close(client);
  sender.join();
  close(listener);
  return got == size ? static_cast<double>(size) / kMiB / secs : 0;
}

// One download through the command server: the info request, the start, then every package
// up to the end message.
double DownloadMBps(uint16_t port, const std::string& path, uint64_t size, uint32_t id) {
  DeviceClient c;
  if (!c.Connect("127.0.0.1", port)) return 0;
  Bytes req(356, 0);
  std::memcpy(req.data() + 1, path.data(), std::min<size_t>(path.size(), 255));
  DeviceMessage info;
  if (!c.Send(kOpReqDownLoadFile, id, req) || !c.ReadMessage(info) ||
      info.header.opcode != kOpDownloadInfo) {
    return 0;
  }
  Bytes offset(4, 0);
  std::vector<uint8_t> buf(kReceiveBuffer);
  size_t start = 0, end = 0;
  uint64_t data = 0;
  bool ended = false;
  const auto t0 = Clock::now();
  if (!c.Send(kOpAllowDownLoadFile, id, offset)) return 0;
  while (!ended) {
    while (end - start >= kCommandHeaderSize) {
      const CommandHeader h = DecodeCommandHeader(buf.data() + start);
      if (h.len < kCommandHeaderSize || end - start < h.len) break;
      if (h.opcode == kOpDownloadOver) ended = true;
      if (h.opcode == kOpDownloadPackage) data += h.len - kTransHeaderSize;
      start += h.len;
    }
    if (ended) break;
    std::memmove(buf.data(), buf.data() + start, end - start);
    end -= start;
    start = 0;
    pollfd p{c.Fd(), POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) break;
    const ssize_t r = recv(c.Fd(), buf.data() + end, buf.size() - end, 0);
    if (r <= 0) break;
    end += static_cast<size_t>(r);
  }
  const double secs = Seconds(t0);
  return ended && data == size ? static_cast<double>(size) / kMiB / secs : 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024) * kMiB;

  g_MutexTransMap = Plat_CreateMutex();
  g_MutexDownLoadCount = Plat_CreateMutex();
  g_StopDownLoadMutex = Plat_CreateMutex();
  TempBase base;
  base.OpenGlobalDb();
  const std::string share = base.MakeDir("share");
  base.SetShares({share});
  const std::string file = share + "/bench.bin";
  std::printf("download benchmark: %llu MiB file in %s\n",
              static_cast<unsigned long long>(size / kMiB), share.c_str());
  if (!MakeFile(file, size)) {
    std::printf("could not write the file; no figures.\n");
    return 0;
  }
  WarmCache(file);

  OS_RegFunction(ReqDownLoadFile, kOpReqDownLoadFile);
  OS_RegFunction(AllowDownLoadFile, kOpAllowDownLoadFile);
  Trans_InstallHooks();
  Download_InstallHooks();
  TestCommandServer server;
  if (!server.Start()) {
    std::printf("command server did not start; no figures.\n");
    return 0;
  }

  double bestRaw = 0, bestOurs = 0;
  for (int round = 0; round < kRounds; ++round) {
    const double raw = RawCopyMBps(file, size);
    const double ours = DownloadMBps(server.Port(), file, size, static_cast<uint32_t>(round + 1));
    std::printf("round %d: raw TCP copy %.0f MiB/s, download %.0f MiB/s\n", round + 1, raw, ours);
    bestRaw = std::max(bestRaw, raw);
    bestOurs = std::max(bestOurs, ours);
  }
  server.Stop();
  std::printf("peer: plain C++ sender (read %zu KiB + send) over loopback TCP, same file, same run\n",
              kCopyChunk / 1024);
  std::printf("best raw TCP copy: %.0f MiB/s\n", bestRaw);
  std::printf("best download:     %.0f MiB/s (1000-byte packages, 20-byte headers)\n", bestOurs);
  if (bestRaw > 0) std::printf("ratio download/raw: %.2f (aim: >= 0.50)\n", bestOurs / bestRaw);
  return 0;
}
