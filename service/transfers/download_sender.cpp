#include "service/transfers/download_sender.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/command_server.h"
#include "common/log.h"
#include "common/os_layer.h"
#include "common/proto_transfer.h"
#include "common/sockets.h"
#include "common/wire.h"
#include "service/core/request_args.h"
#include "service/service_globals.h"
#include "service/transfers/transfer_sessions.h"

namespace {

constexpr size_t kDownloadOverSize = kDownloadEndSize;
constexpr size_t kPackageBytes = kTransHeaderSize + kDownloadPackageData;
// Room for a full batch plus the empty package that ends a file whose length is a multiple of
// the package size.
constexpr size_t kBatchBufferBytes = (kDownloadBatchPackages + 1) * kPackageBytes;
constexpr long kDiskRetryMicros = 2000;          // a download waiting for the disk
constexpr int kDiskRetries = 500;                // then it stops waiting, about a second later
// What one download sends before its loop turns to its other connections: a fast reader never
// fills the socket, so without a bound it would keep the loop to itself until its file ends.
constexpr size_t kTurnBytes = 2 * 1024 * 1024;
// ... and for at most this long: on a busy machine 2 MiB can take several milliseconds, and a
// small download waits for a turn at each of its steps.
constexpr std::chrono::microseconds kTurnTime{1000};

std::atomic<size_t> g_peakPending{0};
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

// Sends a large file's packages to a command connection's socket from one buffer of the
// download's own, refilled in place: the file is read into it with one call per batch (headers
// laid out between the slices) and the batch goes to the socket straight from there. A reused
// buffer stays in the CPU's cache and in memory that is already mapped: fresh mappings of the
// file cost a page fault and a mapping change per window, which on a virtual machine or a
// loaded laptop cost more than the second copy saves. Memory stays one batch per download,
// whatever the file's size.
class CBufferedSender {
 public:
  enum class SendResult { kBatchSent, kBlocked, kBroken };
  enum class Prepared { kReady, kNotCached, kFailed };

  CBufferedSender(int fd, uint32_t sessionId, uint64_t offset, uint64_t end)
      : m_fd(fd), m_sessionId(sessionId), m_pos(offset < end ? offset : end), m_end(end),
        m_number(static_cast<uint32_t>(offset / kDownloadPackageData)) {}
  CBufferedSender(const CBufferedSender&) = delete;
  CBufferedSender& operator=(const CBufferedSender&) = delete;

  bool Allocated() const { return m_buffer != nullptr; }
  bool InBatch() const { return m_sent < m_filled; }
  bool Done() const { return m_done && !InBatch(); }

  // Reads the next batch of packages into the buffer. Unless `anyPages`, only what the page
  // cache holds is taken, so the loop never waits for the disk: kNotCached when none of it is,
  // after asking the kernel to read it (try again a little later). kFailed (errno set) on a
  // read error.
  Prepared PrepareBatch(bool anyPages) {
    m_filled = m_sent = 0;
    if (m_done) return Prepared::kReady;
    const uint64_t left = m_end - m_pos;
    const size_t want = left < kBatchData ? static_cast<size_t>(left) : kBatchData;
    iovec iov[kSendPackages];
    int slots = 0;
    for (size_t done = 0; done < want; done += kDownloadPackageData, ++slots) {
      iov[slots].iov_base = m_buffer.get() + slots * kPackageBytes + kTransHeaderSize;
      iov[slots].iov_len = std::min(want - done, kDownloadPackageData);
    }
    size_t got = 0;
    bool last = false;
    if (slots > 0) {
      ssize_t r = -1;
      bool tryCacheOnly = !anyPages && m_cacheOnlyWorks;
      if (tryCacheOnly && g_pagesNeverCached.load()) {
        r = 0;  // tests: as if nothing were ever in the page cache
      } else if (tryCacheOnly) {
        do {
          r = preadv2(m_fd, iov, slots, static_cast<off_t>(m_pos), RWF_NOWAIT);
        } while (r < 0 && errno == EINTR);
        if (r < 0 && errno == EAGAIN) r = 0;
        if (r < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)) {
          m_cacheOnlyWorks = false;  // this file system cannot tell: plain reads from now on
          tryCacheOnly = false;
        }
      }
      if (tryCacheOnly && r >= 0 && static_cast<size_t>(r) < want) {
        // Short: the rest is not cached yet, or the file shrank. Whole packages go now.
        struct stat st;
        const bool shrank =
            fstat(m_fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < m_pos + want;
        if (shrank) {
          tryCacheOnly = false;  // the plain read below finds the new end
        } else {
          got = static_cast<size_t>(r) / kDownloadPackageData * kDownloadPackageData;
          if (got == 0) {
            posix_fadvise(m_fd, static_cast<off_t>(m_pos),
                          static_cast<off_t>(std::min<uint64_t>(left, kReadAhead)),
                          POSIX_FADV_WILLNEED);
            return Prepared::kNotCached;
          }
        }
      }
      if (!tryCacheOnly) {
        do {
          r = preadv(m_fd, iov, slots, static_cast<off_t>(m_pos));
        } while (r < 0 && errno == EINTR);
        if (r < 0) return Prepared::kFailed;
        got = static_cast<size_t>(r);
        last = got < want;  // a short read means the file shrank: what came is the end
      } else if (r < 0) {
        return Prepared::kFailed;
      } else if (static_cast<size_t>(r) >= want) {
        got = want;
      }
    }
    m_pos += got;
    if (m_pos >= m_end) last = true;
    size_t index = 0;
    size_t remaining = got;
    while (remaining >= kDownloadPackageData) {
      Emit(index++, kDownloadPackageData);
      remaining -= kDownloadPackageData;
    }
    if (last) {
      // The first package shorter than 1000 bytes ends the file; it may be empty.
      Emit(index, remaining);
      m_done = true;
    }
    return Prepared::kReady;
  }

  // Sends what is left of the batch, at most about `budget` bytes, until the socket would
  // block. kBroken (errno set) when the peer is gone. `sent` grows by what went out.
  SendResult Send(int sock, size_t budget, size_t& sent) {
    while (m_sent < m_filled) {
      if (sent >= budget) return SendResult::kBatchSent;
      const ssize_t n = send(sock, m_buffer.get() + m_sent, m_filled - m_sent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? SendResult::kBlocked
                                                       : SendResult::kBroken;
      }
      m_sent += static_cast<size_t>(n);
      sent += static_cast<size_t>(n);
    }
    return SendResult::kBatchSent;
  }

  // The buffer, allocated once per download and reused for every batch.
  void Allocate() { m_buffer.reset(new (std::nothrow) uint8_t[kBufferBytes]); }

 private:
  static constexpr size_t kSendPackages = 256;  // about 256 KiB: stays in the CPU's cache
  static constexpr size_t kBatchData = kSendPackages * kDownloadPackageData;
  // Room for a full batch plus the empty package that ends a file whose length is a multiple
  // of the package size.
  static constexpr size_t kBufferBytes = (kSendPackages + 1) * kPackageBytes;
  static constexpr uint64_t kReadAhead = 8ull * 1024 * 1024;  // asked of the disk at once

  void Emit(size_t index, size_t n) {
    EncodePackageHeader(m_sessionId, ++m_number, n, m_buffer.get() + index * kPackageBytes);
    m_filled = index * kPackageBytes + kTransHeaderSize + n;
  }

  int m_fd;
  uint32_t m_sessionId;
  uint64_t m_pos;  // the next file byte to read
  uint64_t m_end;
  uint32_t m_number;
  bool m_done = false;
  bool m_cacheOnlyWorks = true;
  std::unique_ptr<uint8_t[]> m_buffer;
  size_t m_filled = 0;  // bytes of the batch in the buffer
  size_t m_sent = 0;    // of which already sent
};


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
  // Set when the packages go from the download's own buffer straight to the socket.
  std::unique_ptr<CBufferedSender> buffered;
  event* writable = nullptr;   // the socket can take more, or the loop served the others
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

// Sends buffered batches until the socket would block, the file is done, or this turn's share
// (bytes or time) went out: then the loop serves its other connections (and their requests)
// before this one goes on, however fast its reader is.
FillResult PumpBuffered(DownloadJob& job) {
  bufferevent* conn = job.route.conn;
  evbuffer* out = bufferevent_get_output(conn);
  CBufferedSender& sender = *job.buffered;
  size_t sentThisTurn = 0;
  const auto turnEnds = std::chrono::steady_clock::now() + kTurnTime;
  while (!job.connGone) {
    if (sentThisTurn >= kTurnBytes ||
        (sentThisTurn > 0 && std::chrono::steady_clock::now() >= turnEnds)) {
      const timeval tv{OS_ConnectionSendTimeout(conn), 0};
      event_add(job.writable, tv.tv_sec > 0 ? &tv : nullptr);
      return FillResult::kWaiting;
    }
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
      // none there), the reads wait for the disk themselves: the download goes on.
      const CBufferedSender::Prepared prepared =
          sender.PrepareBatch(job.diskWaits >= kDiskRetries);
      if (prepared == CBufferedSender::Prepared::kFailed) {
        QV_LOG(kModIntranet, kLogError, "Read file %s error: %s.", job.path.c_str(),
               std::strerror(errno));
        bufferevent_enable(conn, EV_WRITE);
        SendOver(job, '1');
        return FillResult::kFailed;
      }
      if (prepared == CBufferedSender::Prepared::kNotCached) {
        // The disk is reading the next pages; the loop serves others meanwhile.
        ++job.diskWaits;
        const timeval tv{0, kDiskRetryMicros};
        evtimer_add(job.diskRetry, &tv);
        return FillResult::kWaiting;
      }
      // Nothing else may reach the socket while a batch is half-sent.
      if (bufferevent_get_enabled(conn) & EV_WRITE) bufferevent_disable(conn, EV_WRITE);
    }
    switch (sender.Send(bufferevent_getfd(conn), kTurnBytes, sentThisTurn)) {
      case CBufferedSender::SendResult::kBatchSent:
        break;
      case CBufferedSender::SendResult::kBlocked: {
        const timeval tv{OS_ConnectionSendTimeout(conn), 0};
        event_add(job.writable, tv.tv_sec > 0 ? &tv : nullptr);
        return FillResult::kWaiting;
      }
      case CBufferedSender::SendResult::kBroken:
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
  if (job.buffered) return PumpBuffered(job);
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
  if (job.buffered && !job.connGone) bufferevent_enable(conn, EV_WRITE);  // the end goes out now
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
  // The file is closed before the download counts as ended and before its row
  // is written.
  done.reset();
  DownloadCount_Add(-1);
  // Requests that waited behind the download are served now, after its end message.
  if (!connGone) OS_ReleaseConnection(conn);
  if (result == FillResult::kFinished) QueueTranLog(path, 1, size);
}

// The socket of a buffered download can take more, or stayed full for the send time-out; or
// (the timer, fd -1) the next pages may have come from the disk.
void BufferedWritable(evutil_socket_t fd, short what, void* arg) {
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

}  // namespace

int ReplyDownloadOver(char status, uint32_t sessionId, char** reply, int* replyLen, int result) {
  WriteInterDownLoadOverMsg(status, sessionId, reply, replyLen);
  return result;
}

void EncodeDownloadOver(char status, uint32_t sessionId, uint8_t out[12]) {
  const Bytes b = EncodeDownloadEnd({sessionId, status});
  std::memcpy(out, b.data(), kDownloadEndSize);
}

void WriteInterDownLoadOverMsg(char status, uint32_t sessionId, char** reply, int* replyLen) {
  uint8_t bytes[kDownloadOverSize];
  EncodeDownloadOver(status, sessionId, bytes);
  if (!PutReply(bytes, sizeof bytes, reply, replyLen)) {
    QV_LOG(kModIntranet, kLogError, "Allocate memory error.");
  }
}

// UDT: each package is one message, sent in a loop on the peer's own receive task.
int SendDownloadOverUdt(const PeerRoute& route, uint32_t sessionId, int fd, uint64_t offset,
                        uint64_t size, const std::string& path, char** reply, int* replyLen) {
  CPackageReader reader(fd, sessionId, offset, size);
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kBatchBufferBytes]);
  if (!buffer) return ReplyDownloadOver('1', sessionId, reply, replyLen, kErrAllocate);
  QV_LOG(kModIntranet, kLogDebug, "begain download file %s, package count %d.", path.c_str(),
         static_cast<int>(reader.FirstNumberBefore()));
  DownloadCount_Add(1);
  std::vector<size_t> sizes;
  while (!reader.Done()) {
    if (g_ExitFlag.load() != 0 || !reader.NextBatch(buffer.get(), sizes)) {
      DownloadCount_Add(-1);
      QV_LOG(kModIntranet, kLogError, "download of %s stopped before its end.", path.c_str());
      return ReplyDownloadOver('1', sessionId, reply, replyLen, -1);
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
  return ReplyDownloadOver('0', sessionId, reply, replyLen, 0);
}

// A file that fits one batch, on the loop that got its start: read straight into the
// connection's output and ended by the reply. Nothing is held, queued for a later turn or
// handed to another thread, and the loop is busy for one read of at most one batch.
int SendSmallDownloadNow(const PeerRoute& route, uint32_t sessionId, UniqueFd& fd,
                         uint64_t offset, uint64_t size, const std::string& path, char** reply,
                         int* replyLen) {
  CPackageReader reader(fd.fd, sessionId, offset, size);
  const uint64_t left = size > offset ? size - offset : 0;
  // Every package but the last is full: room for them and the last, which may be empty.
  const size_t room = static_cast<size_t>(left / kDownloadPackageData + 1) * kPackageBytes;
  QV_LOG(kModIntranet, kLogDebug, "begain download file %s, package count %d.", path.c_str(),
         static_cast<int>(reader.FirstNumberBefore()));
  DownloadCount_Add(1);
  evbuffer* out = bufferevent_get_output(route.conn);
  evbuffer_iovec space{};
  if (evbuffer_reserve_space(out, room, &space, 1) != 1 || space.iov_len < room) {
    QV_LOG(kModCommLib, kLogError, "Allocate memory error.");
    DownloadCount_Add(-1);
    return ReplyDownloadOver('1', sessionId, reply, replyLen, kErrAllocate);
  }
  std::vector<size_t> sizes;
  const bool read = reader.NextBatch(static_cast<uint8_t*>(space.iov_base), sizes);
  const int readError = errno;
  size_t total = 0;
  for (size_t n : sizes) total += n;
  space.iov_len = read ? total : 0;
  evbuffer_commit_space(out, &space, 1);
  NotePending(evbuffer_get_length(out));
  // The file is closed before the download counts as ended and before its row is written.
  ::close(fd.fd);
  fd.fd = -1;
  DownloadCount_Add(-1);
  if (!read) {
    QV_LOG(kModIntranet, kLogError, "Read file %s error: %s.", path.c_str(),
           std::strerror(readError));
    return ReplyDownloadOver('1', sessionId, reply, replyLen, -1);
  }
  QueueTranLog(path, 1, size);
  return ReplyDownloadOver('0', sessionId, reply, replyLen, 0);
}

bool DownloadRunsOn(bufferevent* conn) {
  std::lock_guard<std::mutex> lock(g_jobsMutex);
  return g_jobs.count(conn) != 0;
}

int StartStreamingDownload(const PeerRoute& route, uint32_t sessionId, UniqueFd& fd,
                           uint64_t offset, uint64_t size, const std::string& path, char** reply,
                           int* replyLen) {
  bufferevent* conn = route.conn;
  auto job = std::unique_ptr<DownloadJob>(new (std::nothrow) DownloadJob);
  uint8_t* buffer = new (std::nothrow) uint8_t[kBatchBufferBytes];
  if (!job || !buffer) {
    delete[] buffer;
    return ReplyDownloadOver('1', sessionId, reply, replyLen, kErrAllocate);
  }
  job->buffer.reset(buffer);
  job->route = route;
  job->sessionId = sessionId;
  job->path = path;
  job->size = size;
  job->file.fd = fd.fd;
  fd.fd = -1;
  job->reader.reset(new CPackageReader(job->file.fd, sessionId, offset, job->size));
  // Large files go from the download's own buffer to the socket; a small one is a single read
  // into the connection's output.
  if (job->size > offset && job->size - offset >= kDownloadBatchBytes &&
      OS_IsCommandConnection(conn)) {
    event_base* base = bufferevent_get_base(conn);
    job->writable = event_new(base, bufferevent_getfd(conn), EV_WRITE, &BufferedWritable, conn);
    job->diskRetry = evtimer_new(base, &BufferedWritable, conn);
    if (job->writable != nullptr && job->diskRetry != nullptr) {
      job->buffered.reset(new (std::nothrow) CBufferedSender(job->file.fd, sessionId, offset,
                                                             job->size));
      if (job->buffered) job->buffered->Allocate();
      if (job->buffered && !job->buffered->Allocated()) job->buffered.reset();
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

size_t Download_PeakPending() { return g_peakPending.load(); }
void Download_PagesNeverCached(bool never) { g_pagesNeverCached.store(never); }
bool Download_PagesNeverCachedSet() { return g_pagesNeverCached.load(); }
void Download_ResetPeakPending() { g_peakPending.store(0); }


size_t Download_RunningJobs() {
  std::lock_guard<std::mutex> lock(g_jobsMutex);
  return g_jobs.size();
}
