#include "service/transfers/upload_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/os_layer.h"
#include "common/share_paths.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "service/core/deferred_reply.h"
#include "service/core/ordered_worker.h"
#include "service/core/request_args.h"
#include "service/transfers/upload_names.h"

std::map<uint32_t, UploadState> g_uploads;
std::multimap<uint32_t, std::pair<std::string, std::string>> g_ending;

namespace {

constexpr size_t kQueuedHigh = 4 * 1024 * 1024;
constexpr size_t kQueuedLow = 1024 * 1024;

std::atomic<size_t> g_peakQueued{0};

// Cuts the temporary file back to what really landed, so a resume continues from bytes that
// are there. Under g_MutexTransMap.
void CutBack(int fd, uint64_t length, const std::string& tmpPath, const std::string& target,
             const FolderRef& folder) {
  if (ftruncate(fd, static_cast<off_t>(length)) != 0) {
    // Its length cannot be trusted: without the side file no resume believes it.
    if (folder) RemoveAt(folder->fd, SidePathOf(target));
    QV_LOG(kModIntranet, kLogError, "cut file %s back error: %s.", tmpPath.c_str(),
           std::strerror(errno));
  }
}

// On the writer: one data message of the upload `serial`. It lands even when the upload's
// entry closed meanwhile (a resume waits for the writer, then goes on from the file's length),
// never after a failed write.
void WriteQueued(uint32_t sessionId, uint64_t serial, const std::shared_ptr<UploadPipe>& pipe,
                 const std::vector<char>& data) {
  if (!pipe->failed) {
    // Written outside the map's mutex: the event threads take it for every message.
    const bool ok = Plat_WriteAll(pipe->fd.fd, data.data(), data.size());
    const int error = errno;
    if (ok) {
      pipe->landed += data.size();
    } else {
      pipe->failed = true;
    }
    CMutexLock lock(g_MutexTransMap);
    auto st = g_uploads.find(sessionId);
    UploadState* up = st != g_uploads.end() && st->second.serial == serial ? &st->second : nullptr;
    if (up) up->goodLength = pipe->landed;
    if (!ok) {
      QV_LOG(kModIntranet, kLogError, "write file %s error: %s.", pipe->tmpPath.c_str(),
             std::strerror(error));
      if (up) {
        FailUploadLocked(*up, pipe->tmpPath, pipe->target);
      } else {
        CutBack(pipe->fd.fd, pipe->landed, pipe->tmpPath, pipe->target, pipe->folder);
      }
    }
  }
  uint64_t release = 0;
  {
    std::lock_guard<std::mutex> lock(pipe->mutex);
    pipe->queued -= data.size();
    if (pipe->holdToken != 0 && pipe->queued <= kQueuedLow) std::swap(release, pipe->holdToken);
  }
  if (release != 0) DeferredReply_Finish(release, {});
}

}  // namespace

std::mutex& UploadDecisionMutex() {
  // Immortal, like the service's other mutexes.
  static std::mutex* m = new std::mutex;
  return *m;
}

bool TargetBusyLocked(const std::string& target, uint32_t exceptId) {
  const std::string tmp = TemporaryPathOf(target);
  const std::string side = SidePathOf(target);
  for (const auto& kv : g_TransMap) {
    if (kv.first == exceptId || kv.second.tmpPath.empty()) continue;
    const TransferEntry& e = kv.second;
    if (e.targetPath == target || e.tmpPath == tmp || e.tmpPath == side) return true;
  }
  for (const auto& kv : g_ending) {
    if (kv.first == exceptId) continue;
    const auto& e = kv.second;
    if (e.first == target || e.second == tmp || e.second == side) return true;
  }
  return false;
}

void FailUploadLocked(UploadState& state, const std::string& tmpPath, const std::string& target) {
  state.writeFailed = true;
  CutBack(state.pipe ? state.pipe->fd.fd : fileno(state.file), state.goodLength, tmpPath, target,
          state.folder);
}

COrderedWorker& UploadWriter() {
  static COrderedWorker* writer = new COrderedWorker("upload writer");
  return *writer;
}

void UploadWriter_Queue(uint32_t sessionId, uint64_t serial,
                        const std::shared_ptr<UploadPipe>& pipe, const char* data, size_t n,
                        bufferevent* conn, int udt, char direct) {
  bool hold = false;
  {
    std::lock_guard<std::mutex> lock(pipe->mutex);
    pipe->queued += n;
    hold = pipe->queued > kQueuedHigh && pipe->holdToken == 0;
    size_t seen = g_peakQueued.load();
    while (pipe->queued > seen && !g_peakQueued.compare_exchange_weak(seen, pipe->queued)) {
    }
  }
  std::vector<char> bytes(data, data + n);
  if (!UploadWriter().Post([sessionId, serial, pipe, bytes] {
        WriteQueued(sessionId, serial, pipe, bytes);
      })) {
    CMutexLock lock(g_MutexTransMap);
    auto st = g_uploads.find(sessionId);
    if (st != g_uploads.end() && st->second.serial == serial) st->second.writeFailed = true;
    return;
  }
  if (hold) {
    // The disk is slower than the phone: its next messages wait in the socket.
    const uint64_t token = DeferredReply_BeginFor(conn, udt, direct);
    bool releaseNow = false;
    {
      std::lock_guard<std::mutex> lock(pipe->mutex);
      if (pipe->queued > kQueuedLow && pipe->holdToken == 0) {
        pipe->holdToken = token;
      } else {
        releaseNow = true;
      }
    }
    if (releaseNow && token != 0) DeferredReply_Finish(token, {});
  }
}

bool TakeUploadLocked(uint32_t sessionId, bufferevent* conn, int udt, EndingUpload& out) {
  auto it = g_TransMap.find(sessionId);
  if (it == g_TransMap.end() || it->second.tmpPath.empty() || it->second.conn != conn ||
      it->second.udtSock != udt) {
    QV_LOG(kModIntranet, kLogDebug, "===over upload session id %u not in map.....===\n",
           sessionId);
    return false;
  }
  out.sessionId = sessionId;
  out.entry = std::move(it->second);
  g_TransMap.erase(it);
  auto s = g_uploads.find(sessionId);
  if (s != g_uploads.end()) {
    out.haveState = s->second.file == out.entry.file && s->second.tmpPath == out.entry.tmpPath;
    out.state = s->second;
    g_uploads.erase(s);
  }
  return true;
}

void FinishUpload(uint8_t status, EndingUpload& ending) {
  const uint32_t sessionId = ending.sessionId;
  TransferEntry& entry = ending.entry;
  const UploadState& state = ending.state;
  const bool haveState = ending.haveState;
  bool targetBusy = false;
  {
    CMutexLock lock(g_MutexTransMap);
    if (ending.recorded) {
      auto range = g_ending.equal_range(sessionId);
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second.first == entry.targetPath && it->second.second == entry.tmpPath) {
          g_ending.erase(it);
          break;
        }
      }
    }
    targetBusy = TargetBusyLocked(entry.targetPath, sessionId);
  }

  bool failed = haveState && (state.writeFailed || state.overrun);
  uint64_t received = 0;
  if (entry.file) {
    struct stat st;
    if (std::fflush(entry.file) != 0) failed = true;
    if (fstat(fileno(entry.file), &st) == 0) received = static_cast<uint64_t>(st.st_size);
    if (std::fclose(entry.file) != 0) failed = true;
  }

  // Files are only touched beside the upload's own folder descriptor; without it (an entry
  // whose record went away) they stay, hidden, for the start-up cleaning.
  const int dirFd = haveState && state.folder ? state.folder->fd : -1;
  // Another phone's upload of the same target keeps its side file.
  auto cleanSide = [&] {
    if (!targetBusy && dirFd >= 0) RemoveAt(dirFd, SidePathOf(entry.targetPath));
  };
  if (status != 0) {
    // The side file of a temporary path that was not made unique keeps it for a resume.
    if (entry.file && dirFd >= 0 && !ExistsAt(dirFd, entry.tmpPath + "tmp"))
      RemoveAt(dirFd, entry.tmpPath);
    return;
  }
  if (haveState && state.alreadyPresent) {
    cleanSide();
    return;
  }
  if (!haveState || dirFd < 0 || failed || received != state.announced) {
    // Published only whole: the temporary file stays for the phone to resume.
    QV_LOG(kModIntranet, kLogError, "upload of %s incomplete: %llu of %u bytes.",
           entry.targetPath.c_str(), static_cast<unsigned long long>(received),
           static_cast<unsigned>(state.announced));
    return;
  }
  const std::string finalName =
      RenameUploadFileAt(dirFd, NameOf(entry.tmpPath), NameOf(entry.targetPath));
  if (finalName.empty()) {
    QV_LOG(kModIntranet, kLogError, "rename %s to %s error: %s.", entry.tmpPath.c_str(),
           entry.targetPath.c_str(), std::strerror(errno));
    return;
  }
  const std::string finalPath = InFolder(ParentOf(entry.targetPath), finalName);
  uint64_t length = 0;
  if (FileSizeAt(dirFd, finalName, length) != 0) length = 0;
  QueueTranLog(finalPath, 0, length);
  cleanSide();
}

void Upload_Flush() { UploadWriter().Drain(); }

void Upload_SetBeforeWriteHook(void (*hook)()) { UploadWriter().SetBeforeEachHook(hook); }

size_t Upload_PeakQueued() { return g_peakQueued.load(); }
