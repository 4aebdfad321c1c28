#pragma once
// Many small requests at once, each client a thread of its own on a loopback address of its own
// (127.0.1.x, as phones on a LAN each have theirs, so no per-address share of a server binds):
// HTTP GETs of one file (a connection per request, or one kept-alive connection per client)
// and phone downloads of one file over the command port. Each request's latency is taken from
// its first byte sent to its last byte received.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct LoadResult {
  double seconds = 0;
  size_t done = 0;    // requests answered with the whole file
  size_t failed = 0;  // refused, cut short or not connected
  std::vector<double> latenciesMs;  // of the requests done
  double Rate() const { return seconds > 0 ? static_cast<double>(done) / seconds : 0; }
  double PercentileMs(double p) const;  // 0 when nothing was done
};

// `size`: the file's length, to tell a whole answer from a cut one.
LoadResult HttpLoad(uint16_t port, const std::string& path, size_t size, int clients,
                    int perClient, bool keepAlive);
// Each phone keeps one command connection and downloads the file perPhone times in a row:
// request, information reply, allow from offset 0, packages up to the end message.
LoadResult PhoneDownloadLoad(uint16_t port, const std::string& path, size_t size, int phones,
                             int perPhone);

// CPU seconds (user + system) used so far by a process and its children still running (nginx's
// workers); 0 when it is gone.
double ProcessTreeCpuSeconds(int pid);

// Context switches (voluntary, involuntary) of every thread of a process and of its children
// still running, from /proc: each is a thread handing its core to another, or losing it.
struct ContextSwitches {
  double voluntary = 0, involuntary = 0;
  double Total() const { return voluntary + involuntary; }
};
ContextSwitches ProcessTreeContextSwitches(int pid);

}  // namespace bench
