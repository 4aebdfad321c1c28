// UDT downloads of the real service, started black-box and reached by a hole punch on its
// peer-to-peer port, against a bare libudt sender of 1020-byte messages (a package's size) to
// the same kind of receiver in the same run; and the time from a phone's first punch to its
// first listing reply. Never fails: it reports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <udt/udt.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/proto_transfer.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/udt_device_client.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1024 * 1024;
constexpr size_t kMessage = 1020;
constexpr int kPunchTries = 5;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

bool MakeFile(const std::string& path, uint64_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::vector<char> chunk(kMiB);
  for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 31 + 7);
  bool ok = true;
  for (uint64_t done = 0; ok && done < size; done += chunk.size())
    ok = std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size();
  return std::fclose(f) == 0 && ok;
}

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

// A bare libudt pair on loopback: one thread sends `messages` messages of 1020 bytes.
double BareSeconds(uint64_t messages) {
  UDTSOCKET listener = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (UDT::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == UDT::ERROR) return -1;
  int len = sizeof a;
  UDT::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  UDT::listen(listener, 1);
  UDTSOCKET receiver = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  if (UDT::connect(receiver, reinterpret_cast<sockaddr*>(&a), sizeof a) == UDT::ERROR) return -1;
  sockaddr_in peer{};
  int plen = sizeof peer;
  UDTSOCKET sender = UDT::accept(listener, reinterpret_cast<sockaddr*>(&peer), &plen);
  const bool no = false;
  UDT::setsockopt(receiver, 0, UDT_RCVSYN, &no, sizeof no);
  const auto start = Clock::now();
  std::thread send([&] {
    std::vector<char> msg(kMessage, 'x');
    for (uint64_t i = 0; i < messages; ++i)
      if (UDT::sendmsg(sender, msg.data(), static_cast<int>(msg.size()), -1, true) <= 0) return;
  });
  const bool ok = Drain(receiver, messages * kMessage);
  const double s = Seconds(start);
  send.join();
  UDT::close(sender);
  UDT::close(receiver);
  UDT::close(listener);
  return ok ? s : -1;
}

Bytes Whole(const DeviceMessage& m) {
  Bytes b(kCommandHeaderSize);
  EncodeCommandHeader(m.header, b.data());
  b.insert(b.end(), m.body.begin(), m.body.end());
  return b;
}

}  // namespace

int main(int argc, char** argv) {
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
  // The peer after the service's phone is gone, best of two: UDT's timers spin while sockets
  // are open, and nothing else of the service should share the CPU with it.
  const uint64_t messages = (mib * kMiB + 999) / 1000;
  double bare = -1;
  for (int i = 0; i < 2; ++i) {
    const double s = BareSeconds(messages);
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
