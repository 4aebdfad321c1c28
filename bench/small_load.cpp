#include "bench/small_load.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <memory>
#include <mutex>
#include <thread>

#include "bench/bench_util.h"
#include "common/wire.h"
#include "tests/support/device_client.h"

namespace bench {

namespace {

constexpr uint16_t kOpReqDownload = 0x0004, kOpAllowDownload = 0x0005;
constexpr uint16_t kOpDownloadOver = 0x1003, kOpDownloadInfo = 0x1004;
constexpr int kReceiveTimeoutSeconds = 20;

std::string SourceOf(int client) {
  return "127.0.1." + std::to_string(1 + client % 250);
}

int ConnectFrom(const std::string& source, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const timeval tv{kReceiveTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &src.sin_addr);
  sockaddr_in dst{};
  dst.sin_family = AF_INET;
  dst.sin_port = htons(port);
  dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Bytes from the socket kept between messages.
class Reader {
 public:
  explicit Reader(int fd) : m_fd(fd) {}
  // At least `want` bytes buffered; false on close or time-out.
  bool Fill(size_t want) {
    while (m_data.size() - m_pos < want) {
      if (m_pos > 0 && m_pos == m_data.size()) {
        m_data.clear();
        m_pos = 0;
      }
      char buf[65536];
      const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      m_data.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  const char* At() const { return m_data.data() + m_pos; }
  size_t Buffered() const { return m_data.size() - m_pos; }
  void Take(size_t n) { m_pos += n; }
  // Reads until the peer closes; false on a time-out.
  bool ToEnd() {
    for (;;) {
      char buf[65536];
      const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
      if (n == 0) return true;
      if (n < 0) return false;
      m_data.append(buf, static_cast<size_t>(n));
    }
  }
  const std::string& All() const { return m_data; }

 private:
  int m_fd;
  std::string m_data;
  size_t m_pos = 0;
};

double MsSince(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

// The body length of a response head, or -1.
long long ContentLength(const std::string& head) {
  std::string lower = head;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = lower.find("content-length:");
  if (at == std::string::npos) return -1;
  return std::atoll(lower.c_str() + at + 15);
}

// One request over a kept-alive connection: the head up to its empty line, then the body by its
// length.
bool KeptAliveGet(int fd, Reader& in, const std::string& request, size_t size) {
  if (!SendAll(fd, request.data(), request.size())) return false;
  size_t end = std::string::npos;
  while ((end = std::string(in.At(), in.Buffered()).find("\r\n\r\n")) == std::string::npos) {
    if (!in.Fill(in.Buffered() + 1)) return false;
  }
  const std::string head(in.At(), end + 4);
  in.Take(end + 4);
  const long long length = ContentLength(head);
  if (head.compare(0, 12, "HTTP/1.1 200") != 0 || length != static_cast<long long>(size))
    return false;
  if (!in.Fill(size)) return false;
  in.Take(size);
  return true;
}

void Merge(LoadResult& total, const LoadResult& part, std::mutex& m) {
  std::lock_guard<std::mutex> lock(m);
  total.done += part.done;
  total.failed += part.failed;
  total.latenciesMs.insert(total.latenciesMs.end(), part.latenciesMs.begin(),
                           part.latenciesMs.end());
}

template <class Client>
LoadResult Run(int clients, Client client) {
  LoadResult total;
  std::mutex m;
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] { Merge(total, client(c), m); });
  }
  for (auto& t : threads) t.join();
  total.seconds = Seconds(start);
  return total;
}

}  // namespace

double LoadResult::PercentileMs(double p) const {
  if (latenciesMs.empty()) return 0;
  std::vector<double> sorted = latenciesMs;
  std::sort(sorted.begin(), sorted.end());
  const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(p / 100.0 * sorted.size()));
  return sorted[i];
}

LoadResult HttpLoad(uint16_t port, const std::string& path, size_t size, int clients,
                    int perClient, bool keepAlive) {
  return Run(clients, [=](int c) {
    LoadResult mine;
    const std::string source = SourceOf(c);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
    int fd = -1;
    std::unique_ptr<Reader> in;
    for (int i = 0; i < perClient; ++i) {
      const auto start = Clock::now();
      bool ok = false;
      if (keepAlive) {
        if (fd < 0) {
          fd = ConnectFrom(source, port);
          in = std::make_unique<Reader>(fd);
        }
        ok = fd >= 0 && KeptAliveGet(fd, *in, request, size);
        if (!ok && fd >= 0) {
          close(fd);
          fd = -1;
        }
      } else {
        const int one = ConnectFrom(source, port);
        if (one >= 0) {
          Reader all(one);
          ok = SendAll(one, request.data(), request.size()) && all.ToEnd() &&
               all.All().compare(0, 12, "HTTP/1.1 200") == 0 &&
               all.All().size() > size && all.All().find("\r\n\r\n") == all.All().size() - size - 4;
          close(one);
        }
      }
      if (ok) {
        ++mine.done;
        mine.latenciesMs.push_back(MsSince(start));
      } else {
        ++mine.failed;
      }
    }
    if (fd >= 0) close(fd);
    return mine;
  });
}

LoadResult PhoneDownloadLoad(uint16_t port, const std::string& path, size_t size, int phones,
                             int perPhone) {
  return Run(phones, [=](int c) {
    LoadResult mine;
    const int fd = ConnectFrom(SourceOf(c), port);
    if (fd < 0) {
      mine.failed = static_cast<size_t>(perPhone);
      return mine;
    }
    Reader in(fd);
    const Bytes ask = PathRequestBody(path);
    const Bytes fromStart = U32RequestBody(0);
    for (int i = 0; i < perPhone; ++i) {
      const uint32_t id = static_cast<uint32_t>(c * 100000 + i + 1);
      const auto start = Clock::now();
      const Bytes request = BuildMessage(kOpReqDownload, id, ask);
      bool ok = SendAll(fd, request.data(), request.size());
      bool allowed = false, ended = false;
      size_t bytes = 0;
      while (ok && !ended) {
        if (!in.Fill(kCommandHeaderSize)) {
          ok = false;
          break;
        }
        const CommandHeader h = DecodeCommandHeader(reinterpret_cast<const uint8_t*>(in.At()));
        if (h.len < kCommandHeaderSize || !in.Fill(h.len)) {
          ok = false;
          break;
        }
        if (h.param == id && h.opcode == kOpDownloadInfo && !allowed) {
          const Bytes allow = BuildMessage(kOpAllowDownload, id, fromStart);
          allowed = true;
          ok = SendAll(fd, allow.data(), allow.size());
        } else if (h.param == id && h.opcode == kOpDownloadOver) {
          ended = true;
          ok = allowed && h.len > kCommandHeaderSize && in.At()[kCommandHeaderSize] == '0';
        } else if (h.param == id && allowed && h.len >= 20) {
          bytes += h.len - 20;  // a package: its 20-byte head, then data
        } else if (h.param == id) {
          ok = false;  // refused
        }
        in.Take(h.len);
      }
      if (ok && bytes == size) {
        ++mine.done;
        mine.latenciesMs.push_back(MsSince(start));
      } else {
        ++mine.failed;
        if (!ok) break;
      }
    }
    close(fd);
    return mine;
  });
}

double ProcessTreeCpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  // After the command's ")": state is field 3, utime 14 and stime 15.
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());
  }
  double seconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  int child = 0;
  while (children >> child) seconds += ProcessTreeCpuSeconds(child);
  return seconds;
}

ContextSwitches ProcessTreeContextSwitches(int pid) {
  ContextSwitches total;
  const std::string dir = "/proc/" + std::to_string(pid);
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(dir + "/task", error)) {
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        total.voluntary += std::atof(line.c_str() + 24);
      } else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        total.involuntary += std::atof(line.c_str() + 27);
      }
    }
  }
  std::ifstream children(dir + "/task/" + std::to_string(pid) + "/children");
  int child = 0;
  while (children >> child) {
    const ContextSwitches theirs = ProcessTreeContextSwitches(child);
    total.voluntary += theirs.voluntary;
    total.involuntary += theirs.involuntary;
  }
  return total;
}

}  // namespace bench
