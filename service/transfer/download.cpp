#include "service/transfer/download.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "common/command_server.h"
#include "common/log.h"
#include "common/md5.h"
#include "common/os_layer.h"
#include "common/proto_transfer.h"
#include "common/share_paths.h"
#include "common/sockets.h"
#include "common/wire.h"
#include "service/transfer/peer_send.h"
#include "service/transfer/pool_request.h"
#include "service/transfer/request_args.h"
#include "service/service_globals.h"
#include "service/transfer/transfer_sessions.h"

namespace {

constexpr size_t kDownloadOverSize = kDownloadEndSize;
constexpr size_t kPackageBytes = kTransHeaderSize + kDownloadPackageData;
// Room for a full batch plus the empty package that ends a file whose length is a multiple of
// the package size.
constexpr size_t kBatchBufferBytes = (kDownloadBatchPackages + 1) * kPackageBytes;
constexpr uint64_t kSizeLimit = 0xFFFFFFFFull;  // the u32 size field cannot say more
constexpr long kDiskRetryMicros = 2000;          // a mapped download waiting for the disk
constexpr int kDiskRetries = 500;                // then it stops waiting, about a second later

// Relay downloads that are sending now; only they read the stop list. Under
// g_StopDownLoadMutex, like the list.
std::multiset<uint32_t> g_relayRunning;

std::atomic<RelayDownloadStarter> g_relayStarter{nullptr};
std::atomic<size_t> g_peakPending{0};
std::atomic<int> g_refuseMappingAfter{-1};  // tests: a file system that cannot map files
std::atomic<bool> g_pagesNeverCached{false};  // tests: one that keeps no pages cached

void NotePending(size_t pending) {
  size_t seen = g_peakPending.load();
  while (pending > seen && !g_peakPending.compare_exchange_weak(seen, pending)) {
  }
}

// The 20-byte header of download package `number` carrying n bytes of the file.
void EncodePackageHeader(uint32_t sessionId, uint32_t number, size_t n, uint8_t* out) {
  TransHeader h;
  h.cmd.len = static_cast<uint16_t>(kTransHeaderSize + n);
  h.cmd.opcode = kOpDownloadPackage;
  h.cmd.param = sessionId;
  h.v1 = number;
  EncodeTransHeader(h, out);
}

// Reads a file into ready-made download packages: each package is a TransHeader followed by at
// most 1000 bytes, laid out back to back so one write can carry a whole batch. The last
// package is the first one shorter than 1000 bytes, which may be empty.
class CPackageReader {
 public:
  CPackageReader(int fd, uint32_t sessionId, uint64_t offset, uint64_t end)
      : CPackageReader(fd, sessionId, offset, end,
                       static_cast<uint32_t>(offset / kDownloadPackageData)) {}
  // Going on where another sender stopped: numberBefore is the number of its last package.
  CPackageReader(int fd, uint32_t sessionId, uint64_t offset, uint64_t end, uint32_t numberBefore)
      : m_fd(fd), m_sessionId(sessionId), m_pos(offset < end ? offset : end), m_end(end),
        m_number(numberBefore) {}

  uint32_t FirstNumberBefore() const { return m_number; }
  bool Done() const { return m_done; }

  // Fills the buffer with the next batch; the lengths of its packages go to sizes. False on a
  // read error.
  bool NextBatch(uint8_t* buffer, std::vector<size_t>& sizes) {
    sizes.clear();
    if (m_done) return true;
    const uint64_t left = m_end - m_pos;
    const size_t want = left < kDownloadBatchBytes ? static_cast<size_t>(left) : kDownloadBatchBytes;
    iovec iov[kDownloadBatchPackages];
    size_t slots = 0;
    for (size_t done = 0; done < want; done += kDownloadPackageData, ++slots) {
      iov[slots].iov_base = buffer + slots * kPackageBytes + kTransHeaderSize;
      iov[slots].iov_len = want - done < kDownloadPackageData ? want - done : kDownloadPackageData;
    }
    size_t got = 0;
    if (slots > 0) {
      ssize_t r;
      do {
        r = preadv(m_fd, iov, static_cast<int>(slots), static_cast<off_t>(m_pos));
      } while (r < 0 && errno == EINTR);
      if (r < 0) return false;
      got = static_cast<size_t>(r);
    }
    m_pos += got;
    // A short read means the file shrank: what came is the end.
    const bool last = got < want || m_pos >= m_end;
    size_t remaining = got;
    size_t index = 0;
    while (remaining >= kDownloadPackageData) {
      Emit(buffer, index++, kDownloadPackageData, sizes);
      remaining -= kDownloadPackageData;
    }
    if (last) {
      Emit(buffer, index, remaining, sizes);
      m_done = true;
    }
    return true;
  }

 private:
  void Emit(uint8_t* buffer, size_t index, size_t n, std::vector<size_t>& sizes) {
    EncodePackageHeader(m_sessionId, ++m_number, n, buffer + index * kPackageBytes);
    sizes.push_back(kTransHeaderSize + n);
  }

  int m_fd;
  uint32_t m_sessionId;
  uint64_t m_pos;
  uint64_t m_end;
  uint32_t m_number;
  bool m_done = false;
};

// A window of a file mapped read-only, shared by the downloads of that file that send from it
// at the same time, so sixteen downloads of one file fault its pages in once rather than each.
// Windows are 64 MiB on a 64 MiB grid of the file (so their starts are 2 MiB aligned, and the
// kernel needs far fewer mappings, faults and TLB shoot-downs than with small windows), plus a
// page so that a package that crosses the grid line fits. A window lives while a sender
// holds it: nothing keeps a deleted file's blocks once its downloads ended.
struct FileWindow {
  uint8_t* map = nullptr;
  uint64_t start = 0;    // file offset of map[0]
  uint64_t covered = 0;  // file offset up to which the mapping reaches (within the file then)
  size_t length = 0;
  ~FileWindow() {
    if (map != nullptr) munmap(map, length);
  }
};

constexpr uint64_t kWindowGrid = 64ull * 1024 * 1024;
constexpr uint64_t kWindowOverlap = 4096;  // more than one package
std::atomic<uint64_t> g_windowGrid{kWindowGrid};  // tests set smaller ones

struct WindowKey {
  dev_t dev;
  ino_t ino;
  uint64_t start;
  bool operator<(const WindowKey& o) const {
    if (dev != o.dev) return dev < o.dev;
    if (ino != o.ino) return ino < o.ino;
    return start < o.start;
  }
};

std::mutex g_windowsMutex;
std::map<WindowKey, std::weak_ptr<FileWindow>> g_windows;  // under g_windowsMutex

// The window of the file that holds pos, mapped up to at most fileSize: a live one another
// download maps already when it reaches past pos, else a new one. Null (errno set) when the
// file cannot be mapped.
std::shared_ptr<FileWindow> AcquireWindow(int fd, const struct stat& st, uint64_t pos,
                                          uint64_t fileSize) {
  const uint64_t grid = g_windowGrid.load();
  const uint64_t start = pos - pos % grid;
  const uint64_t covered = std::min(fileSize, start + grid + kWindowOverlap);
  const WindowKey key{st.st_dev, st.st_ino, start};
  std::lock_guard<std::mutex> lock(g_windowsMutex);
  auto it = g_windows.find(key);
  if (it != g_windows.end()) {
    std::shared_ptr<FileWindow> live = it->second.lock();
    // One mapped before the file grew covers less; a new one replaces it for later senders.
    if (live && live->covered >= std::min(covered, pos + kDownloadPackageData)) return live;
  }
  auto window = std::make_shared<FileWindow>();
  window->length = static_cast<size_t>(covered - start);
  void* map = mmap(nullptr, window->length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
  if (map == MAP_FAILED) return nullptr;
  window->map = static_cast<uint8_t*>(map);
  window->start = start;
  window->covered = covered;
  g_windows[key] = window;
  // Entries of windows no sender holds any more go, so the table stays as small as the
  // downloads running.
  if (g_windows.size() > 64) {
    for (auto e = g_windows.begin(); e != g_windows.end();) {
      e = e->second.expired() ? g_windows.erase(e) : std::next(e);
    }
  }
  return window;
}

// Sends a file's packages to a command connection's socket straight from a read-only mapping
// of the file: each send hands the socket iovecs that alternate our 20-byte headers with
// 1000-byte slices of the file's own pages, so every byte is copied once (into the socket)
// instead of twice (into our buffer, then into the socket). Our code never touches the
// mapping, only the kernel's copy does: if another program truncates the file meanwhile, that
// copy fails with EFAULT instead of raising SIGBUS in the service. The file is mapped a window
// at a time (see FileWindow), so the mapping stays bounded whatever the file's size.
class CMappedSender {
 public:
  enum class SendResult { kBatchSent, kBlocked, kBroken };

  CMappedSender(int fd, uint32_t sessionId, uint64_t offset, uint64_t end)
      : m_fd(fd), m_sessionId(sessionId), m_pos(offset < end ? offset : end), m_end(end),
        m_winEnd(m_pos), m_number(static_cast<uint32_t>(offset / kDownloadPackageData)) {}
  ~CMappedSender() { Unmap(); }
  CMappedSender(const CMappedSender&) = delete;
  CMappedSender& operator=(const CMappedSender&) = delete;

  bool InBatch() const { return m_iovAt < m_iovCount; }
  bool Done() const { return m_done && !InBatch(); }
  // Where the next batch would start: file offset, end, and the last package's number.
  uint64_t Position() const { return m_pos; }
  uint64_t End() const { return m_end; }
  uint32_t NumberBefore() const { return m_number; }

  enum class Prepared { kReady, kNotCached, kFailed };

  // Lays out the next batch of packages, mapping the next window of the file when the last one
  // is used up. Unless `anyPages`, only pages already in the page cache go into a batch, so the
  // loop never waits for the disk: kNotCached when none is, after asking the kernel to read
  // them (try again a little later). kFailed (errno set) when the file cannot be mapped.
  Prepared PrepareBatch(bool anyPages) {
    m_iovCount = m_iovAt = 0;
    if (m_done) return Prepared::kReady;
    if (m_pos >= m_winEnd && m_pos < m_end && !MapWindow()) return Prepared::kFailed;
    const uint64_t want = std::min<uint64_t>(m_winEnd - m_pos, kSendPackages * kDownloadPackageData);
    const uint64_t cached = anyPages ? m_pos + want : CachedFrom(m_pos, want);
    for (size_t n = 0; n < kSendPackages; ++n) {
      const uint64_t left = m_winEnd - m_pos;
      const size_t slice = left < kDownloadPackageData ? static_cast<size_t>(left)
                                                       : kDownloadPackageData;
      // Windows other than the last hold whole packages; only the file's end gives a short one
      // (empty when the length is a multiple of the package size).
      const bool last = slice < kDownloadPackageData && m_winEnd == m_end;
      if ((slice == 0 && !last) || m_pos + slice > cached) break;
      EncodePackageHeader(m_sessionId, ++m_number, slice, m_headers[n]);
      m_iov[m_iovCount++] = iovec{m_headers[n], kTransHeaderSize};
      if (slice > 0) m_iov[m_iovCount++] = iovec{m_map + (m_pos - m_mapStart), slice};
      m_pos += slice;
      if (last) {
        m_done = true;
        break;
      }
    }
    if (m_iovCount > 0) return Prepared::kReady;
    posix_fadvise(m_fd, static_cast<off_t>(m_pos), static_cast<off_t>(m_winEnd - m_pos),
                  POSIX_FADV_WILLNEED);
    return Prepared::kNotCached;
  }

  // Sends what is left of the batch until the socket would block. kBroken (errno set) when
  // the peer is gone, or the file shrank under a send.
  SendResult Send(int sock) {
    while (m_iovAt < m_iovCount) {
      msghdr msg{};
      msg.msg_iov = m_iov + m_iovAt;
      msg.msg_iovlen = static_cast<size_t>(std::min(m_iovCount - m_iovAt, IOV_MAX));
      const ssize_t sent = sendmsg(sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? SendResult::kBlocked
                                                       : SendResult::kBroken;
      }
      Advance(static_cast<size_t>(sent));
    }
    return SendResult::kBatchSent;
  }

 private:
  static constexpr size_t kSendPackages = 256;  // 512 iovecs per send, below IOV_MAX
  static const uint64_t s_page;

  bool MapWindow() {
    Unmap();
    struct stat st;
    if (fstat(m_fd, &st) != 0) return false;
    // A file that shrank since it was opened ends where it ends now, as a short read would.
    if (static_cast<uint64_t>(st.st_size) < m_end) {
      m_end = std::max<uint64_t>(static_cast<uint64_t>(st.st_size), m_pos);
    }
    if (m_end == m_pos) {
      m_winEnd = m_pos;
      return true;
    }
    const int refuseAfter = g_refuseMappingAfter.load();
    if (refuseAfter >= 0 && m_windowsMapped >= refuseAfter) {
      errno = ENODEV;
      return false;
    }
    ++m_windowsMapped;
    m_window = AcquireWindow(m_fd, st, m_pos, m_end);
    if (!m_window) return false;
    m_map = m_window->map;
    m_mapStart = m_window->start;
    // Windows other than the last end on a package boundary of this download.
    const uint64_t reach = std::min(m_end, m_window->covered);
    m_winEnd = reach == m_end ? m_end
                              : m_pos + (reach - m_pos) / kDownloadPackageData * kDownloadPackageData;
    // The next window is read from the disk while this one is sent.
    const uint64_t ahead = std::min<uint64_t>(m_end, m_winEnd + g_windowGrid.load());
    posix_fadvise(m_fd, static_cast<off_t>(m_pos), static_cast<off_t>(ahead - m_pos),
                  POSIX_FADV_WILLNEED);
    return true;
  }

  // The file offset up to which the want bytes from pos on are in the page cache. When that
  // cannot be told, all of them are taken as cached (the send then reads what is missing).
  uint64_t CachedFrom(uint64_t pos, uint64_t want) const {
    if (g_pagesNeverCached.load()) return pos;
    if (want == 0 || m_map == nullptr) return pos + want;
    const uint64_t first = (pos - m_mapStart) / s_page;
    const uint64_t last = (pos + want - 1 - m_mapStart) / s_page;
    unsigned char resident[kSendPackages * kDownloadPackageData / 4096 + 2];
    const uint64_t pages = std::min<uint64_t>(last - first + 1, sizeof resident);
    if (mincore(m_map + first * s_page, pages * s_page, resident) != 0) return pos + want;
    uint64_t n = 0;
    while (n < pages && (resident[n] & 1) != 0) ++n;
    const uint64_t end = m_mapStart + (first + n) * s_page;
    return std::max(pos, std::min(end, pos + want));
  }

  void Unmap() {
    m_window.reset();
    m_map = nullptr;
  }

  void Advance(size_t sent) {
    while (sent > 0 && m_iovAt < m_iovCount) {
      iovec& v = m_iov[m_iovAt];
      if (sent < v.iov_len) {
        v.iov_base = static_cast<uint8_t*>(v.iov_base) + sent;
        v.iov_len -= sent;
        return;
      }
      sent -= v.iov_len;
      ++m_iovAt;
    }
  }

  int m_fd;
  uint32_t m_sessionId;
  uint64_t m_pos;     // the next file byte to lay out
  uint64_t m_end;
  uint64_t m_winEnd;  // end of the mapped window (file offset)
  uint32_t m_number;
  bool m_done = false;
  std::shared_ptr<FileWindow> m_window;
  uint8_t* m_map = nullptr;  // m_window's
  uint64_t m_mapStart = 0;
  int m_windowsMapped = 0;
  uint8_t m_headers[kSendPackages][kTransHeaderSize];
  iovec m_iov[2 * kSendPackages];
  int m_iovCount = 0;
  int m_iovAt = 0;
};

const uint64_t CMappedSender::s_page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));

void EncodeDownloadOver(char status, uint32_t sessionId, uint8_t out[kDownloadOverSize]) {
  const Bytes b = EncodeDownloadEnd({sessionId, status});
  std::memcpy(out, b.data(), kDownloadOverSize);
}

// A streaming download over one command connection, refilled from the write callback.
struct DownloadJob {
  PeerRoute route;
  uint32_t sessionId = 0;
  std::string path;
  uint64_t size = 0;
  UniqueFd file;
  std::unique_ptr<CPackageReader> reader;
  std::unique_ptr<uint8_t[]> buffer;
  std::vector<size_t> sizes;
  // Set when the packages go straight from a mapping of the file to the socket.
  std::unique_ptr<CMappedSender> mapped;
  event* writable = nullptr;   // the socket can take more of a half-sent batch
  event* diskRetry = nullptr;  // pages of the file may have come from the disk
  int diskWaits = 0;           // retries for pages not yet cached; at the bound, none wait
  bool filling = false;
  bool connGone = false;

  DownloadJob() = default;
  DownloadJob(const DownloadJob&) = delete;
  DownloadJob& operator=(const DownloadJob&) = delete;
  ~DownloadJob() {
    if (writable != nullptr) event_free(writable);
    if (diskRetry != nullptr) event_free(diskRetry);
  }
};

// A job is only ever touched on the thread of its connection's event loop (its start, refills
// and close all come from there), so the lock covers only the map itself: loops refill their
// own jobs at the same time.
std::mutex g_jobsMutex;
std::map<bufferevent*, std::unique_ptr<DownloadJob>> g_jobs;

enum class FillResult { kWaiting, kFinished, kFailed };

void SendOver(DownloadJob& job, char status) {
  uint8_t over[kDownloadOverSize];
  EncodeDownloadOver(status, job.sessionId, over);
  if (SendToPeer(job.route, over, sizeof over) != 0) {
    QV_LOG(kModCommLib, kLogError, "Write return message error.");
  }
}

FillResult FillJob(DownloadJob& job);

// Sends mapped batches until the socket would block or the file is done.
FillResult PumpMapped(DownloadJob& job) {
  bufferevent* conn = job.route.conn;
  evbuffer* out = bufferevent_get_output(conn);
  CMappedSender& sender = *job.mapped;
  while (!job.connGone) {
    if (!sender.InBatch()) {
      if (evbuffer_get_length(out) > 0) {
        // What the connection queued itself goes first; its write callback brings us back.
        bufferevent_enable(conn, EV_WRITE);
        return FillResult::kWaiting;
      }
      if (sender.Done()) {
        SendOver(job, '0');
        return FillResult::kFinished;
      }
      // When pages do not show up in the page cache within a second (a file system that keeps
      // none there), the sends read the rest themselves: the download goes on.
      const CMappedSender::Prepared prepared =
          sender.PrepareBatch(job.diskWaits >= kDiskRetries);
      if (prepared == CMappedSender::Prepared::kFailed) {
        // Some file systems cannot map files: the rest is read instead, numbered on.
        QV_LOG(kModIntranet, kLogWarning, "map file %s error: %s; reading it instead.",
               job.path.c_str(), std::strerror(errno));
        job.reader.reset(new CPackageReader(job.file.fd, job.sessionId, sender.Position(),
                                            sender.End(), sender.NumberBefore()));
        job.mapped.reset();
        bufferevent_enable(conn, EV_WRITE);
        return FillJob(job);
      }
      if (prepared == CMappedSender::Prepared::kNotCached) {
        // The disk is reading the next pages; the loop serves others meanwhile.
        ++job.diskWaits;
        const timeval tv{0, kDiskRetryMicros};
        evtimer_add(job.diskRetry, &tv);
        return FillResult::kWaiting;
      }
      // Nothing else may reach the socket while a batch is half-sent.
      bufferevent_disable(conn, EV_WRITE);
    }
    switch (sender.Send(bufferevent_getfd(conn))) {
      case CMappedSender::SendResult::kBatchSent:
        break;
      case CMappedSender::SendResult::kBlocked: {
        const timeval tv{OS_ConnectionSendTimeout(conn), 0};
        event_add(job.writable, tv.tv_sec > 0 ? &tv : nullptr);
        return FillResult::kWaiting;
      }
      case CMappedSender::SendResult::kBroken:
        // A package may be half-sent: nothing more can follow on this connection.
        QV_LOG(kModIntranet, kLogError, "Send file %s error: %s.", job.path.c_str(),
               std::strerror(errno));
        OS_FailConnectionLater(conn, false);
        return FillResult::kWaiting;  // the close ends the job
    }
  }
  return FillResult::kFailed;
}

// Queues batches until the output holds at least the high-water mark or the file is done.
FillResult FillJob(DownloadJob& job) {
  if (job.mapped) return PumpMapped(job);
  // On a command connection the file is read straight into the connection's output buffer:
  // one copy less than reading into our own buffer and queuing that.
  const bool direct = job.route.direct && job.route.udtSock == -1 && job.route.conn;
  evbuffer* out = direct ? bufferevent_get_output(job.route.conn) : nullptr;
  while (!job.connGone && PendingOutput(job.route) < kDownloadHighWater) {
    evbuffer_iovec space{};
    uint8_t* target = job.buffer.get();
    if (direct) {
      if (evbuffer_reserve_space(out, kBatchBufferBytes, &space, 1) != 1 ||
          space.iov_len < kBatchBufferBytes) {
        QV_LOG(kModCommLib, kLogError, "Allocate memory error.");
        return FillResult::kFailed;
      }
      target = static_cast<uint8_t*>(space.iov_base);
    }
    if (!job.reader->NextBatch(target, job.sizes)) {
      QV_LOG(kModIntranet, kLogError, "Read file %s error: %s.", job.path.c_str(),
             std::strerror(errno));
      if (direct) {
        space.iov_len = 0;
        evbuffer_commit_space(out, &space, 1);
      }
      uint8_t over[kDownloadOverSize];
      EncodeDownloadOver('1', job.sessionId, over);
      SendToPeer(job.route, over, sizeof over);
      return FillResult::kFailed;
    }
    // Full packages sit at their slots; only the last may be short, so the batch is contiguous.
    size_t total = 0;
    for (size_t s : job.sizes) total += s;
    if (total > 0 && !direct && SendToPeer(job.route, job.buffer.get(), total) != 0) {
      QV_LOG(kModCommLib, kLogError, "Write return message error.");
      return FillResult::kFailed;
    }
    if (direct) {
      space.iov_len = total;
      evbuffer_commit_space(out, &space, 1);
    }
    NotePending(PendingOutput(job.route));
    if (job.reader->Done()) {
      uint8_t over[kDownloadOverSize];
      EncodeDownloadOver('0', job.sessionId, over);
      if (SendToPeer(job.route, over, sizeof over) != 0) {
        QV_LOG(kModCommLib, kLogError, "Write return message error.");
        return FillResult::kFailed;
      }
      return FillResult::kFinished;
    }
  }
  return job.connGone ? FillResult::kFailed : FillResult::kWaiting;
}

DownloadJob* FindJob(bufferevent* conn) {
  std::lock_guard<std::mutex> lock(g_jobsMutex);
  auto it = g_jobs.find(conn);
  return it == g_jobs.end() ? nullptr : it->second.get();
}

// Runs a refill and ends the job when it finished or failed. On the job's own loop thread.
void RefillAndSettle(bufferevent* conn, DownloadJob& job) {
  if (job.filling) return;
  job.filling = true;
  const FillResult result = FillJob(job);
  job.filling = false;
  if (result == FillResult::kWaiting) return;
  if (job.mapped && !job.connGone) bufferevent_enable(conn, EV_WRITE);  // the end goes out now
  std::unique_ptr<DownloadJob> done;
  {
    std::lock_guard<std::mutex> lock(g_jobsMutex);
    auto it = g_jobs.find(conn);
    if (it == g_jobs.end() || it->second.get() != &job) return;
    done = std::move(it->second);
    g_jobs.erase(it);
  }
  const bool connGone = done->connGone;
  const std::string path = done->path;
  const uint64_t size = done->size;
  // The file is closed (and unmapped) before the download counts as ended and before its row
  // is written.
  done.reset();
  DownloadCount_Add(-1);
  // Requests that waited behind the download are served now, after its end message.
  if (!connGone) OS_ReleaseConnection(conn);
  if (result == FillResult::kFinished) QueueTranLog(path, 1, size);
}

// The socket of a half-sent mapped batch can take more, or stayed full for the send time-out;
// or (the timer, fd -1) the next pages may have come from the disk.
void MappedWritable(evutil_socket_t fd, short what, void* arg) {
  auto* conn = static_cast<bufferevent*>(arg);
  DownloadJob* job = FindJob(conn);
  if (job == nullptr) return;
  if (fd >= 0 && (what & EV_TIMEOUT)) {
    QV_LOG(kModIntranet, kLogError, "download of %s stalled: the peer stopped reading.",
           job->path.c_str());
    OS_FailConnectionLater(conn, true);
    return;
  }
  RefillAndSettle(conn, *job);
}

struct OpenedFile {
  UniqueFd fd;
  uint64_t size = 0;
};

// Takes the descriptor that passed the download request's check out of its entry: the file
// sent is the file that was checked. Only regular files below the u32 size limit.
bool TakeCheckedFile(TransferEntry& entry, OpenedFile& out) {
  if (!entry.file) return false;
  out.fd.fd = fcntl(fileno(entry.file), F_DUPFD_CLOEXEC, 0);
  std::fclose(entry.file);
  entry.file = nullptr;
  if (out.fd.fd < 0) return false;
  struct stat st;
  if (fstat(out.fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<uint64_t>(st.st_size) > kSizeLimit) return false;
  out.size = static_cast<uint64_t>(st.st_size);
  return true;
}

int ReplyOver(char status, uint32_t sessionId, char** reply, int* replyLen, int result) {
  WriteInterDownLoadOverMsg(status, sessionId, reply, replyLen);
  return result;
}

// UDT: each package is one message, sent in a loop on the peer's own receive task.
int SendOverUdt(const PeerRoute& route, uint32_t sessionId, int fd, uint64_t offset,
                uint64_t size, const std::string& path, char** reply, int* replyLen) {
  CPackageReader reader(fd, sessionId, offset, size);
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kBatchBufferBytes]);
  if (!buffer) return ReplyOver('1', sessionId, reply, replyLen, kErrAllocate);
  QV_LOG(kModIntranet, kLogDebug, "begain download file %s, package count %d.", path.c_str(),
         static_cast<int>(reader.FirstNumberBefore()));
  DownloadCount_Add(1);
  std::vector<size_t> sizes;
  while (!reader.Done()) {
    if (g_ExitFlag.load() != 0 || !reader.NextBatch(buffer.get(), sizes)) {
      DownloadCount_Add(-1);
      QV_LOG(kModIntranet, kLogError, "download of %s stopped before its end.", path.c_str());
      return ReplyOver('1', sessionId, reply, replyLen, -1);
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
      if (SendToPeer(route, buffer.get() + i * kPackageBytes, sizes[i]) != 0) {
        QV_LOG(kModCommLib, kLogError, "Write return message error.");
        DownloadCount_Add(-1);
        return -1;
      }
    }
  }
  DownloadCount_Add(-1);
  QueueTranLog(path, 1, size);
  return ReplyOver('0', sessionId, reply, replyLen, 0);
}

void EncodeTransError(uint16_t opcode, uint32_t sessionId, uint16_t code, uint8_t* out) {
  const Bytes b = EncodeTransError(TransError{opcode, sessionId, code});
  std::memcpy(out, b.data(), kTransErrorReplySize);
}

int RefuseDownload(uint32_t sessionId, uint16_t code, char** reply, int* replyLen, int result) {
  if (!WriteTransErrorReply(kOpDownloadRefused, sessionId, code, reply, replyLen)) return kErrAllocate;
  return result;
}

}  // namespace

bool WriteTransErrorReply(uint16_t opcode, uint32_t sessionId, uint16_t code, char** reply,
                          int* replyLen) {
  uint8_t bytes[kTransErrorReplySize];
  EncodeTransError(opcode, sessionId, code, bytes);
  return PutReply(bytes, sizeof bytes, reply, replyLen);
}

void WriteInterDownLoadOverMsg(char status, uint32_t sessionId, char** reply, int* replyLen) {
  uint8_t bytes[kDownloadOverSize];
  EncodeDownloadOver(status, sessionId, bytes);
  if (!PutReply(bytes, sizeof bytes, reply, replyLen)) {
    QV_LOG(kModIntranet, kLogError, "Allocate memory error.");
  }
}

void EncodeDownloadInfo(uint32_t sessionId, uint32_t size, const unsigned char fingerprint[16],
                        uint8_t out[64]) {
  DownloadInfo info;
  info.param = sessionId;
  info.size = size;
  info.packages = PackageCount(size);
  std::memcpy(info.fingerprint, fingerprint, kFingerprintSize);
  const Bytes b = EncodeDownloadInfo(info);
  std::memcpy(out, b.data(), kDownloadInfoSize);
}

uint32_t DownloadPackageCount(uint32_t size) { return PackageCount(size); }

static int ReqDownLoadFileNow(const char* body, const CommandHeader* header, bufferevent* conn,
                    char** reply, int* replyLen, int* udtSock, char* direct) {
  if (!body) {
    QV_LOG(kModUser, kLogError, "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  const uint32_t sessionId = header->param;
  const int udt = UdtOf(udtSock);
  const size_t base = ViaRelay(udt, DirectOf(direct)) ? kRelayBodyOffset : 0;
  const wire::Reader in(reinterpret_cast<const uint8_t*>(body), HandlerBodyLength(header, base != 0));
  if (!in.Has(base, kFilePathRequestSize)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Download request of %zu bytes is too short.", in.Size());
    return RefuseDownload(sessionId, kErrTransOther, reply, replyLen, kErrNoBody);
  }
  if (Trans_HeldByOther(sessionId, conn, udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Session id %u is held by another connection.", sessionId);
    return RefuseDownload(sessionId, kErrTransOther, reply, replyLen, -1);
  }
  std::string wirePath;
  if (!ReadPathField(in, base + kFilePathOffset, kFilePathWidth, wirePath)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Download path without end refused.");
    return RefuseDownload(sessionId, kErrDownNotShared, reply, replyLen, kErrNotShared);
  }
  const std::string path = ResolvePeerPath(wirePath);
  if (path.empty()) {
    QV_LOG(kModIntranet, kLogDebug, "%s.", "def share dir is empty.");
    return RefuseDownload(sessionId, kErrDownNotShared, reply, replyLen, kErrDefaultEmpty);
  }
  QV_LOG(kModIntranet, kLogDebug, "DownLoad file :%s", path.c_str());

  // Opened once, here, beneath its share with no link on the way (a link inside a share may
  // not lead out of it): what is checked is what is hashed and later sent, whatever a local
  // program does to the names meanwhile; never blocking on a FIFO.
  std::string real;
  UniqueFd fd(OpenSharedPath(path, O_RDONLY | O_NONBLOCK, &real));
  const int openError = errno;
  if (fd.fd < 0) {
    // Only a refusal pays for the full check, to tell the phone why.
    const std::string canonical = CanonicalPath(path);
    int shareCode = canonical.empty() ? kErrNotShared : CheckSharePath(ParentOf(canonical));
    if (shareCode == 0 && openError == EACCES) shareCode = kErrNotShared;
    if (shareCode != 0) {
      QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                     "File %s not in share list.", path.c_str());
      return RefuseDownload(sessionId, kErrDownNotShared, reply, replyLen, shareCode);
    }
  }
  if (!Trans_RoomFor(sessionId, conn, udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Too many open transfers; download of %s refused.",
           path.c_str());
    return RefuseDownload(sessionId, kErrTransOther, reply, replyLen, -1);
  }
  struct stat st;
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // A phone asks for files that are not there yet (a relayed upload it waits for): no fault
    // of the service.
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet,
                   fd.fd < 0 && openError == ENOENT ? kLogDebug : kLogError,
                   "File %s not exits.", path.c_str());
    return RefuseDownload(sessionId, kErrDownNoFile, reply, replyLen, -1);
  }
  if (static_cast<uint64_t>(st.st_size) > kSizeLimit) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Get file %s size error.", path.c_str());
    return RefuseDownload(sessionId, kErrDownSize, reply, replyLen, -1);
  }
  // Reads of a regular file never block; the flag only guarded the open.
  fcntl(fd.fd, F_SETFL, fcntl(fd.fd, F_GETFL) & ~O_NONBLOCK);

  unsigned char fingerprint[16];
  if (!QuickFingerprintOf(fd.fd, static_cast<uint64_t>(st.st_size), fingerprint)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Get file %s size error.", path.c_str());
    return RefuseDownload(sessionId, kErrDownSize, reply, replyLen, -1);
  }
  FILE* file = fdopen(fd.fd, "rb");
  if (!file) return kErrAllocate;
  fd.fd = -1;
  uint8_t bytes[kDownloadInfoSize];
  EncodeDownloadInfo(sessionId, static_cast<uint32_t>(st.st_size), fingerprint, bytes);
  if (!PutReply(bytes, sizeof bytes, reply, replyLen)) {
    std::fclose(file);
    return kErrAllocate;
  }

  TransferEntry entry;
  entry.conn = conn;
  entry.udtSock = udt;
  entry.file = file;
  entry.targetPath = real;
  Trans_Add(sessionId, entry);
  return 0;
}

int ReqDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn, char** reply,
                   int* replyLen, int* udtSock, char* direct) {
  // Checking, opening and hashing the file touch the disk: worked on a pool task when the
  // request came in on an event thread.
  if (PoolRequest_Post(ReqDownLoadFileNow, body, header, conn, udtSock, direct)) return 0;
  return ReqDownLoadFileNow(body, header, conn, reply, replyLen, udtSock, direct);
}

int AllowDownLoadFile(const char* body, const CommandHeader* header, bufferevent* conn,
                      char** reply, int* replyLen, int* udtSock, char* direct) {
  if (!body) {
    QV_LOG(kModUser, kLogError, "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  QV_LOG(kModIntranet, kLogDebug, "AllowDownLoadFile.");
  const uint32_t sessionId = header->param;
  const int udt = UdtOf(udtSock);
  const char dir = DirectOf(direct);
  const size_t bodyLen = HandlerBodyLength(header, ViaRelay(udt, dir));
  const wire::Reader in(reinterpret_cast<const uint8_t*>(body), bodyLen);

  if (ViaRelay(udt, dir)) {
    uint32_t offset = 0;
    if (!in.U32(kRelayBodyOffset, offset)) {
      QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                     "Download start of %zu bytes is too short.", bodyLen);
      return kErrNoBody;
    }
    QV_LOG(kModIntranet, kLogDebug, "DownLoad File interline.");
    const RelayDownloadStarter starter = g_relayStarter.load();
    if (!starter) return ReplyOver('1', sessionId, reply, replyLen, -1);
    const int started = starter(sessionId, offset, RouteOf(body, bodyLen, conn, udt, dir).requester);
    if (started != 0) {
      // No worker to send it: the phone hears the end at once instead of waiting for its
      // entry to age out; the open entry stays for a later start.
      QV_LOG(kModIntranet, kLogError, "relay download %u: no free worker.", sessionId);
      return ReplyOver('1', sessionId, reply, replyLen, started);
    }
    return 0;
  }

  uint32_t offset = 0;
  if (!in.U32(0, offset)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Download start of %zu bytes is too short.", bodyLen);
    return ReplyOver('1', sessionId, reply, replyLen, kErrNoBody);
  }
  QV_LOG(kModIntranet, kLogDebug, udt == -1 ? "DownLoad File using tcp." : "DownLoad File using udt.");

  if (Trans_HeldByOther(sessionId, conn, udt)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Session id %u is held by another connection.", sessionId);
    return ReplyOver('1', sessionId, reply, replyLen, -1);
  }
  if (udt == -1) {
    // The command server holds a connection's later requests while its download streams, so
    // this only guards a caller that does not; the open entry is kept for a later start.
    std::lock_guard<std::mutex> lock(g_jobsMutex);
    if (g_jobs.count(conn)) {
      QV_LOG(kModIntranet, kLogError, "A download already runs on this connection; %u refused.",
             sessionId);
      return ReplyOver('1', sessionId, reply, replyLen, -1);
    }
  }
  TransferEntry entry;
  {
    // Only an open download starts; an upload under this id stays as it is.
    CMutexLock lock(g_MutexTransMap);
    auto it = g_TransMap.find(sessionId);
    if (it == g_TransMap.end() || !it->second.tmpPath.empty()) {
      return ReplyOver('1', sessionId, reply, replyLen, -1);
    }
    entry = std::move(it->second);
    g_TransMap.erase(it);
  }
  const PeerRoute route = RouteOf(body, bodyLen, conn, udt, dir);


  OpenedFile opened;
  if (!TakeCheckedFile(entry, opened)) {
    QV_LOG(kModIntranet, kLogError, "open file %s error.", entry.targetPath.c_str());
    return ReplyOver('1', sessionId, reply, replyLen, -1);
  }
  if (udt != -1) {
    return SendOverUdt(route, sessionId, opened.fd.fd, offset, opened.size, entry.targetPath,
                       reply, replyLen);
  }

  auto job = std::unique_ptr<DownloadJob>(new (std::nothrow) DownloadJob);
  uint8_t* buffer = new (std::nothrow) uint8_t[kBatchBufferBytes];
  if (!job || !buffer) {
    delete[] buffer;
    return ReplyOver('1', sessionId, reply, replyLen, kErrAllocate);
  }
  job->buffer.reset(buffer);
  job->route = route;
  job->sessionId = sessionId;
  job->path = entry.targetPath;
  job->size = opened.size;
  job->file.fd = opened.fd.fd;
  opened.fd.fd = -1;
  job->reader.reset(new CPackageReader(job->file.fd, sessionId, offset, job->size));
  // Large files go straight from a mapping to the socket; a small one is a single read.
  if (job->size > offset && job->size - offset >= kDownloadBatchBytes &&
      OS_IsCommandConnection(conn)) {
    event_base* base = bufferevent_get_base(conn);
    job->writable = event_new(base, bufferevent_getfd(conn), EV_WRITE, &MappedWritable, conn);
    job->diskRetry = evtimer_new(base, &MappedWritable, conn);
    if (job->writable != nullptr && job->diskRetry != nullptr) {
      job->mapped.reset(new (std::nothrow) CMappedSender(job->file.fd, sessionId, offset,
                                                         job->size));
    }
  }
  QV_LOG(kModIntranet, kLogDebug, "begain download file %s, package count %d.", job->path.c_str(),
         static_cast<int>(job->reader->FirstNumberBefore()));
  DownloadCount_Add(1);

  // The packages and the end message go out from the write callback; no reply here. Later
  // requests of the connection wait until the end message is queued.
  OS_HoldConnection(conn);
  DownloadJob* started = job.get();
  {
    std::lock_guard<std::mutex> lock(g_jobsMutex);
    g_jobs[conn] = std::move(job);
  }
  RefillAndSettle(conn, *started);
  return 0;
}

int RefuseDownLoadFile(const char* /*body*/, const CommandHeader* header, bufferevent* conn,
                       char** /*reply*/, int* /*replyLen*/, int* udtSock, char* /*direct*/) {
  const uint32_t sessionId = header->param;
  // Another phone's open download is not ours to drop.
  if (Trans_HeldByOther(sessionId, conn, UdtOf(udtSock))) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, UdtOf(udtSock)), kModIntranet, kLogError,
                   "Session id %u is held by another connection.", sessionId);
    return 0;
  }
  Trans_Remove(sessionId);
  return 0;
}

int StopDownLoad(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                 char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  const int sessionId = static_cast<int>(header->param);
  if (sessionId != 0) {
    // Answered at once: a running relay download takes the stop from the list on its own
    // thread; with none running under the id there is nothing to stop.
    bool queued = false;
    {
      CMutexLock lock(g_StopDownLoadMutex);
      if (g_relayRunning.count(static_cast<uint32_t>(sessionId)) != 0) {
        g_StopDownloadList.push_back(sessionId);
        queued = true;
      }
    }
    if (queued) QV_LOG(kModIntranet, kLogDebug, "stop download %d", sessionId);
  }
  const Bytes bytes = EncodeStopReply(header->opcode, header->param);
  return PutReply(bytes.data(), bytes.size(), reply, replyLen) ? 0 : -1;
}

void Download_RelayBegin(uint32_t sessionId) {
  CMutexLock lock(g_StopDownLoadMutex);
  g_relayRunning.insert(sessionId);
}

void Download_RelayEnd(uint32_t sessionId) {
  CMutexLock lock(g_StopDownLoadMutex);
  auto running = g_relayRunning.find(sessionId);
  if (running != g_relayRunning.end()) g_relayRunning.erase(running);
  if (g_relayRunning.count(sessionId) != 0) return;
  // Stops that came too late for it must not stop a later download under the same id.
  for (auto it = g_StopDownloadList.begin(); it != g_StopDownloadList.end();) {
    it = *it == static_cast<int>(sessionId) ? g_StopDownloadList.erase(it) : std::next(it);
  }
}

bool Download_RelayStopRequested(uint32_t sessionId) {
  bool found = false;
  {
    CMutexLock lock(g_StopDownLoadMutex);
    for (auto it = g_StopDownloadList.begin(); it != g_StopDownloadList.end(); ++it) {
      if (*it == static_cast<int>(sessionId)) {
        g_StopDownloadList.erase(it);
        found = true;
        break;
      }
    }
  }
  if (found) QV_LOG(kModIntranet, kLogDebug, "stop download OK %d", static_cast<int>(sessionId));
  return found;
}

void Download_OnConnectionClosed(bufferevent* conn) {
  std::unique_ptr<DownloadJob> gone;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_jobsMutex);
    auto it = g_jobs.find(conn);
    if (it == g_jobs.end()) return;
    path = it->second->path;
    if (it->second->filling) {
      // The refill under way ends the job when it returns.
      it->second->connGone = true;
    } else {
      gone = std::move(it->second);
      g_jobs.erase(it);
    }
  }
  QV_LOG(kModIntranet, kLogError, "download of %s failed: connection closed.", path.c_str());
  if (gone) {
    gone.reset();  // its file closed before it counts as ended
    DownloadCount_Add(-1);
  }
}

void Download_OnConnectionWritable(bufferevent* conn) {
  DownloadJob* job = FindJob(conn);
  if (!job || PendingOutput(job->route) >= kDownloadLowWater) return;
  RefillAndSettle(conn, *job);
}

void Download_InstallHooks() { OS_SetConnectionWritableHook(&Download_OnConnectionWritable); }

void Download_SetRelayStarter(RelayDownloadStarter starter) { g_relayStarter.store(starter); }

size_t Download_PeakPending() { return g_peakPending.load(); }
void Download_RefuseMappingAfter(int windows) { g_refuseMappingAfter.store(windows); }
void Download_PagesNeverCached(bool never) { g_pagesNeverCached.store(never); }
void Download_SetWindowGrid(uint64_t bytes) {
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  g_windowGrid.store(bytes >= page && bytes % page == 0 ? bytes : kWindowGrid);
}

size_t Download_LiveWindows() {
  std::lock_guard<std::mutex> lock(g_windowsMutex);
  size_t n = 0;
  for (const auto& e : g_windows) n += e.second.expired() ? 0 : 1;
  return n;
}

void Download_ResetPeakPending() { g_peakPending.store(0); }


size_t Download_RunningJobs() {
  std::lock_guard<std::mutex> lock(g_jobsMutex);
  return g_jobs.size();
}
