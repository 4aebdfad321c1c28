#pragma once
// Test helpers for the transfer tests: a temporary folder, the process-wide mutexes that
// OS_Init would create, whether a file is still held open, and a connection the test can
// read from the other end of.
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/os_layer.h"
#include "common/thread_pool.h"
#include "tests/support/wait_for.h"

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quarlo_transfer_XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (made) m_path = made;
  }
  ~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

inline void EnsureServiceMutexes() {
  if (!g_MutexTransMap) g_MutexTransMap = Plat_CreateMutex();
  if (!g_MutexDownLoadCount) g_MutexDownLoadCount = Plat_CreateMutex();
  if (!g_StopDownLoadMutex) g_StopDownLoadMutex = Plat_CreateMutex();
}

// Also what the device-request and local-API handlers use: the heartbeat and log-on mutexes
// and the thread pool their slow work runs on.
inline void EnsureDeviceGlobals() {
  EnsureServiceMutexes();
  if (!g_MutexLastHBTime) g_MutexLastHBTime = Plat_CreateMutex();
  if (!g_MutexLogOnRtn) g_MutexLogOnRtn = Plat_CreateMutex();
  if (!g_pThreadPool) g_pThreadPool = ThreadPool_Create();
}

// Whether this process holds a descriptor open on the file.
inline bool ProcessHoldsOpen(const std::string& file) {
  std::error_code ec;
  const std::string want = std::filesystem::canonical(file, ec).string();
  if (ec) return false;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code lec;
    if (std::filesystem::read_symlink(fd.path(), lec).string() == want) return true;
  }
  return false;
}

// A bufferevent over one end of a socket pair; the test reads the other end.
class SocketPairConn {
 public:
  SocketPairConn() {
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds);
    fcntl(m_fds[1], F_SETFL, O_NONBLOCK);
    m_base = event_base_new();
    m_bev = bufferevent_socket_new(m_base, m_fds[0], BEV_OPT_CLOSE_ON_FREE);
    bufferevent_enable(m_bev, EV_WRITE);
  }
  ~SocketPairConn() {
    bufferevent_free(m_bev);
    event_base_free(m_base);
    close(m_fds[1]);
  }
  bufferevent* Bev() { return m_bev; }
  // Runs the loop until n bytes arrived at the other end.
  std::vector<uint8_t> Receive(size_t n) {
    std::vector<uint8_t> got;
    WaitFor(
        [&] {
          event_base_loop(m_base, EVLOOP_NONBLOCK);
          uint8_t buf[4096];
          ssize_t r = read(m_fds[1], buf, sizeof buf);
          if (r > 0) got.insert(got.end(), buf, buf + r);
          return got.size() >= n;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(1));
    return got;
  }

 private:
  int m_fds[2] = {-1, -1};
  event_base* m_base = nullptr;
  bufferevent* m_bev = nullptr;
};
