#pragma once
// What every benchmark needs around its measurement: a file of incompressible bytes, its pages
// in the cache, a free loopback port and a stopwatch.
#include <chrono>
#include <cstdint>
#include <string>

#include "tests/support/free_port.h"

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1024 * 1024;

// The first line of every benchmark's main. --help and -h print the usage and end the program;
// an option it does not know, or more than maxArgs arguments, print the usage on standard error
// and end it with status 2. SIGPIPE is ignored from then on. The run goes on in a child while
// this process watches: the user's settings folder is one of the run's own (autostart entries of the services it
// installs land there), and when the run ends, or Ctrl-C, SIGTERM or SIGHUP ends it, every
// process it left (services, central servers, web servers) is stopped and its temporary
// folders go. As root the run's /tmp is a folder of its own under $TMPDIR (default /tmp).
void StartRun(int argc, char** argv, const char* usage, int maxArgs);

double Seconds(Clock::time_point from);
// Writes `size` pseudo-random bytes; false on any write error.
bool MakeFile(const std::string& path, uint64_t size);
// Reads the file once so that every peer is measured from the page cache.
void WarmCache(const std::string& path);
using ::FreePort;  // tests/support/free_port.h
// The machine's load averages (1, 5, 15 minutes) as /proc/loadavg gives them, for the report.
std::string LoadText();
// Whether something accepts connections on 127.0.0.1:port.
bool PortAnswers(uint16_t port);

// The web-server peer: lighttpd serving / on a free loopback port (its configuration and
// error log in dir), without keep-alive; stopped when this goes.
class Lighttpd {
 public:
  explicit Lighttpd(const std::string& dir);
  ~Lighttpd();
  Lighttpd(const Lighttpd&) = delete;
  Lighttpd& operator=(const Lighttpd&) = delete;
  bool Up() const { return m_up; }
  uint16_t Port() const { return m_port; }

 private:
  int m_pid = -1;
  uint16_t m_port = 0;
  bool m_up = false;
};

// The second web-server peer: nginx (sendfile on, one worker per core) serving / on a free
// loopback port, an unprivileged instance of its own (configuration, logs, pid and temporary
// folders in dir), without keep-alive unless asked (clients that keep their connection, as
// phones keep theirs); stopped when this goes.
class Nginx {
 public:
  explicit Nginx(const std::string& dir, bool keepAlive = false);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;
  bool Up() const { return m_up; }
  uint16_t Port() const { return m_port; }
  int Pid() const { return m_pid; }  // the master; its workers are its children
  static bool Installed();

 private:
  int m_pid = -1;
  uint16_t m_port = 0;
  bool m_up = false;
};

}  // namespace bench
