// UDT downloads of the real service, started black-box and reached by a hole punch on its
// peer-to-peer port, against a bare libudt sender process of 1020-byte messages (a package's
// size) to the same kind of receiver in the same run; and the time from a phone's first punch to its
// first listing reply. Never fails: it reports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/proto_transfer.h"
#include "bench/bench_util.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/udt_device_client.h"

namespace {

using bench::FreePort;
using bench::MakeFile;
using bench::Seconds;
using bench::WarmCache;

using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr size_t kMessage = 1020;
constexpr int kPunchTries = 5;

// Counts what a UDT socket receives until `total` bytes came, polling the way the phone does.
bool Drain(UDTSOCKET u, uint64_t total) {
  std::vector<char> buf(65536);
  uint64_t got = 0;
  const auto end = Clock::now() + std::chrono::minutes(10);
  while (got < total && Clock::now() < end) {
    const int n = UDT::recvmsg(u, buf.data(), static_cast<int>(buf.size()));
    if (n > 0) {
      got += static_cast<uint64_t>(n);
      continue;
    }
    if (UDT::getlasterror().getErrorCode() != 6002) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return got >= total;
}

// The bare sender, run as a process of its own (like the service) and set up as the service's
// UDT is (its own UDP socket, rendezvous, message mode): prints its port, reads the receiver's,
// and sends `messages` messages of 1020 bytes.
int BareSender(uint64_t messages) {
  UDT::startup();
  const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t alen = sizeof a;
  if (bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(udp, reinterpret_cast<sockaddr*>(&a), &alen) != 0)
    return 1;
  std::printf("%u\n", static_cast<unsigned>(ntohs(a.sin_port)));
  std::fflush(stdout);
  unsigned peerPort = 0;
  if (std::scanf("%u", &peerPort) != 1) return 1;
  sockaddr_in peer = a;
  peer.sin_port = htons(static_cast<uint16_t>(peerPort));
  UDTSOCKET u = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  const bool yes = true;
  UDT::setsockopt(u, 0, UDT_RENDEZVOUS, &yes, sizeof yes);
  if (UDT::bind2(u, udp) == UDT::ERROR ||
      UDT::connect(u, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == UDT::ERROR)
    return 1;
  std::vector<char> msg(kMessage, 'x');
  for (uint64_t i = 0; i < messages; ++i)
    if (UDT::sendmsg(u, msg.data(), static_cast<int>(msg.size()), -1, true) <= 0) return 1;
  // The receiver closes once it has everything; wait for that before closing this end.
  char b[16];
  UDT::recvmsg(u, b, sizeof b);
  UDT::close(u);
  return 0;
}

// Receives from a bare sender process the way the phone receives from the service.
double BareSeconds(const char* self, uint64_t messages) {
  int out[2], in[2];
  if (pipe(out) != 0 || pipe(in) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(in[0], 0);
    close(out[0]);
    close(in[1]);
    const std::string count = std::to_string(messages);
    execl(self, self, "--bare-sender", count.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(in[0]);
  char line[32] = {};
  FILE* f = fdopen(out[0], "r");
  double s = -1;
  if (f && std::fgets(line, sizeof line, f)) {
    UdtDeviceClient receiver;
    const std::string port = std::to_string(receiver.Bind()) + "\n";
    if (write(in[1], port.data(), port.size()) == static_cast<ssize_t>(port.size())) {
      if (receiver.ConnectUdt("127.0.0.1", static_cast<uint16_t>(std::atoi(line)))) {
        const auto start = Clock::now();
        if (Drain(receiver.Socket(), messages * kMessage)) s = Seconds(start);
      }
    }
  }
  close(in[1]);
  if (f) std::fclose(f);
  int status = 0;
  waitpid(pid, &status, 0);
  return s;
}

Bytes Whole(const DeviceMessage& m) {
  Bytes b(kCommandHeaderSize);
  EncodeCommandHeader(m.header, b.data());
  b.insert(b.end(), m.body.begin(), m.body.end());
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--bare-sender") return BareSender(std::strtoull(argv[2], nullptr, 10));
  bench::StartRun(argc, argv,
                  "usage: udt_bench [MIB]\n"
                  "  Downloads a MIB-MiB file (default 256) over UDT after a hole punch against a bare\n"
                  "  libudt sender, and the punch-to-reply time.\n", 1);
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  UDT::startup();
  const int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // the peer-to-peer server
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t slen = sizeof sa;
  getsockname(server, reinterpret_cast<sockaddr*>(&sa), &slen);

  TempBaseOptions opt;
  opt.p2pport = ntohs(sa.sin_port);
  TempBase base(opt);
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  const std::string file = share + "/big.bin";
  if (!MakeFile(file, mib * kMiB)) {
    std::printf("udt bench: cannot write %s\n", file.c_str());
    return 0;
  }
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  svc.SetTestSettings("p2p_heartbeat_ms=200");
  if (!svc.Start()) {
    std::printf("udt bench: the service did not start\n");
    return 0;
  }
  pollfd p{server, POLLIN, 0};
  sockaddr_in from{};
  socklen_t flen = sizeof from;
  char hb[256];
  if (poll(&p, 1, 10000) <= 0 || recvfrom(server, hb, sizeof hb, 0, reinterpret_cast<sockaddr*>(&from), &flen) < 0) {
    std::printf("udt bench: no heartbeat from the service\n");
    return 0;
  }
  const uint16_t p2pPort = ntohs(from.sin_port);

  // First punch to first listing reply, fresh phones one after another.
  std::vector<double> firsts;
  for (int i = 0; i < kPunchTries; ++i) {
    UdtDeviceClient phone;
    const auto start = Clock::now();
    DeviceMessage m;
    if (phone.Open("127.0.0.1", p2pPort) && phone.Send(xfer::kOpShareList, 1) && phone.ReadMessage(m))
      firsts.push_back(Seconds(start) * 1000);
  }
  std::sort(firsts.begin(), firsts.end());
  if (!firsts.empty())
    std::printf("udt bench: first punch to first listing reply: median %.1f ms, min %.1f, max %.1f (%zu phones)\n",
                firsts[firsts.size() / 2], firsts.front(), firsts.back(), firsts.size());

  UdtDeviceClient phone;
  if (!phone.Open("127.0.0.1", p2pPort)) {
    std::printf("udt bench: no UDT connection\n");
    return 0;
  }
  DeviceMessage m;
  DownloadInfo info;
  Bytes b;
  const auto start = Clock::now();
  if (!phone.Send(xfer::kOpReqDownload, 7, EncodeFilePathRequest({file, true})) || !phone.ReadMessage(m) ||
      (b = Whole(m), !DecodeDownloadInfo(b.data(), b.size(), info)) ||
      !phone.Send(xfer::kOpAllowDownload, 7, EncodeStartOffset(0))) {
    std::printf("udt bench: the download did not start\n");
    return 0;
  }
  uint64_t got = 0;
  bool ended = false;
  while (!ended && phone.ReadMessage(m, std::chrono::seconds(30))) {
    if (m.header.opcode == xfer::kOpPackage) got += m.body.size() > 12 ? m.body.size() - 12 : 0;
    else if (m.header.opcode == xfer::kOpDownloadEnd) ended = true;
  }
  const double service = Seconds(start);
  phone.Close();
  // The peer after the service's phone is gone, best of two, its sender a process of its own
  // as the service is: UDT's timers spin, and the two ends should not share one process.
  const uint64_t messages = (mib * kMiB + 999) / 1000;
  double bare = -1;
  for (int i = 0; i < 2; ++i) {
    const double s = BareSeconds("/proc/self/exe", messages);
    if (s > 0 && (bare < 0 || s < bare)) bare = s;
  }
  std::printf("udt bench: %llu MiB over UDT from the service: %.2f s (%.1f MiB/s)%s\n",
              static_cast<unsigned long long>(mib), service, mib / service,
              ended && got == mib * kMiB ? "" : " (incomplete)");
  if (bare > 0) {
    std::printf("udt bench: bare libudt, %llu messages of %zu bytes: %.2f s (%.1f MiB/s)\n",
                static_cast<unsigned long long>(messages), kMessage, bare, mib / bare);
    std::printf("udt bench: service / bare throughput ratio %.2f\n", bare / service);
  }
  svc.NetStop();
  return 0;
}
