#include "service/pictures/thumb_request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "common/command_server.h"
#include "common/log.h"
#include "common/os_layer.h"
#include "common/proto_thumb.h"
#include "common/share_paths.h"
#include "common/thread_pool.h"
#include "common/wire.h"
#include "service/pictures/jpeg_convert.h"
#include "service/core/deferred_reply.h"
#include "service/core/peer_send.h"
#include "service/core/request_args.h"
#include "service/pictures/thumb_scaler.h"

namespace {

constexpr int kThumbQuality = 75;
std::atomic<int> g_jobs{0};

// Jobs in flight per peer, so one address cannot hold every slot.
std::mutex g_peerJobsMutex;
std::map<std::string, int> g_peerJobs;

bool TakePeerSlot(const std::string& peer) {
  std::lock_guard<std::mutex> lock(g_peerJobsMutex);
  int& mine = g_peerJobs[peer];
  if (mine >= kMaxThumbJobsPerPeer) return false;
  ++mine;
  return true;
}

void ReleasePeerSlot(const std::string& peer) {
  std::lock_guard<std::mutex> lock(g_peerJobsMutex);
  auto it = g_peerJobs.find(peer);
  if (it != g_peerJobs.end() && --it->second <= 0) g_peerJobs.erase(it);
}

// A job's slots, given back once, whichever way the job ends.
struct ThumbSlots {
  std::string peer;
  bool held = false;
  void Release() {
    if (!held) return;
    held = false;
    ReleasePeerSlot(peer);
    g_jobs.fetch_sub(1);
  }
  ~ThumbSlots() { Release(); }
};

// One request on its way through the pool. The answer goes back as a deferred reply: written on
// the connection's own loop while it lives (its later requests wait meanwhile), dropped when it
// closed first, whether it was a command connection or the relay.
struct ThumbJob {
  PeerRoute route;
  uint64_t token = 0;
  uint32_t requestId = 0;
  UniqueFd fd;  // the picture, opened and checked before the job was made
  std::string path;
  int width = 0, height = 0;
  ThumbSlots slots;
};

// Sends the whole answer; after a failed chunk only the end message with status 1 follows.
void SendAnswer(const PeerRoute& route, uint32_t requestId, const std::vector<uint8_t>* thumb) {
  const auto messages = ThumbReplyMessages(requestId, thumb);
  for (size_t i = 0; i < messages.size(); ++i) {
    if (SendToPeer(route, messages[i].data(), messages[i].size(), true) == 0) continue;
    if (i + 1 < messages.size()) {
      SendThumbEnd(route, kThumbEndFailed, requestId);
      QV_LOG(kModCommLib, kLogError, "%s", "Write return message error.");
    }
    return;
  }
}

// Requests past the slots wait here, in order, each holding its open file and its deferred
// reply; a peer past its own bound of waiting requests is refused.
std::mutex g_waitingMutex;
std::deque<ThumbJob*> g_waiting;        // under g_waitingMutex; owned
std::map<std::string, int> g_waitingByPeer;  // under g_waitingMutex

void StartWaiting();

int ThumbTask(void* arg) {
  std::unique_ptr<ThumbJob> job(static_cast<ThumbJob*>(arg));
  auto thumb = std::make_shared<std::vector<uint8_t>>();
  const uint64_t token = job->token;
  const bool ok = DeferredReply_Live(token) &&
                  ThunmbNailIt(job->fd.fd, job->path, job->height, job->width, *thumb,
                               [token] { return DeferredReply_Live(token); });
  job->fd.Close();
  // The slot is free once the picture is scaled, whatever becomes of the connection.
  job->slots.Release();
  StartWaiting();
  const PeerRoute route = job->route;
  const uint32_t requestId = job->requestId;
  DeferredReply_Finish(job->token, {}, [route, requestId, ok, thumb] {
    SendAnswer(route, requestId, ok ? thumb.get() : nullptr);
  });
  return 0;
}

// Takes both slots for the peer, or none.
bool TakeSlots(ThumbSlots& slots, const std::string& peer) {
  if (g_jobs.fetch_add(1) >= kMaxThumbJobs) {
    g_jobs.fetch_sub(1);
    return false;
  }
  if (!TakePeerSlot(peer)) {
    g_jobs.fetch_sub(1);
    return false;
  }
  slots.peer = peer;
  slots.held = true;
  return true;
}

// A job that holds its slots, handed to a worker; with none free it is answered at once
// rather than stall the transport.
void Launch(std::unique_ptr<ThumbJob> job) {
  ThumbJob* raw = job.release();
  if (ThreadPool_TryAddTask(g_pThreadPool, ThumbTask, raw) == 0) return;
  const uint64_t token = raw->token;
  const PeerRoute route = raw->route;
  const uint32_t requestId = raw->requestId;
  delete raw;  // gives its slots back
  QV_LOG(kModIntranet, kLogError, "%s", "Add thumbnail task to thread error.");
  DeferredReply_Finish(token, {}, [route, requestId] {
    SendThumbEnd(route, kThumbEndFailed, requestId);
  });
}

// Waiting requests, oldest first, that the slots now allow; a peer still at its share waits on
// while the others go.
void StartWaiting() {
  std::vector<std::unique_ptr<ThumbJob>> ready;
  {
    std::lock_guard<std::mutex> lock(g_waitingMutex);
    for (auto it = g_waiting.begin(); it != g_waiting.end() && g_jobs.load() < kMaxThumbJobs;) {
      ThumbJob* job = *it;
      const std::string peer = job->slots.peer;
      if (!TakeSlots(job->slots, peer)) {
        ++it;
        continue;
      }
      auto mine = g_waitingByPeer.find(peer);
      if (mine != g_waitingByPeer.end() && --mine->second <= 0) g_waitingByPeer.erase(mine);
      ready.emplace_back(job);
      it = g_waiting.erase(it);
    }
  }
  for (auto& job : ready) Launch(std::move(job));
}

// Queues a job whose slots are taken; false when the peer (or the server) has as many waiting
// as it may.
bool Wait(std::unique_ptr<ThumbJob>& job, const std::string& peer) {
  {
    std::lock_guard<std::mutex> lock(g_waitingMutex);
    int& mine = g_waitingByPeer[peer];
    if (mine >= kMaxThumbWaitingPerPeer || g_waiting.size() >= kMaxThumbWaiting) {
      if (mine == 0) g_waitingByPeer.erase(peer);
      return false;
    }
    ++mine;
    job->slots.peer = peer;  // not held: the peer it waits for
    g_waiting.push_back(job.release());
  }
  // A job that ended while this one was being queued has already looked at the queue.
  StartWaiting();
  return true;
}

}  // namespace

int SendThumbEnd(const PeerRoute& route, uint16_t status, uint32_t requestId) {
  uint8_t end[kThumbEndSize];
  EncodeThumbEnd(ThumbEnd{requestId, status}, end);
  return SendToPeer(route, end, sizeof end, true);
}

int Parse_ThumbTransStatusHead(const uint8_t* request, size_t len, uint16_t& width,
                               uint16_t& height, std::string& path) {
  ThumbRequest req;
  if (!DecodeThumbRequest(request, len, req)) return kThumbParseMissing;
  width = req.width;
  height = req.height;
  path = ResolvePeerPath(req.path);
  if (path.empty()) {
    QV_LOG(kModIntranet, kLogDebug, "%s.", "def share dir is empty.");
    return kErrDefaultEmpty;
  }
  // Only files inside a share, judged where they really lie.
  const std::string real = CanonicalPath(path);
  if (real.empty() || CheckSharePath(ParentOf(real)) != 0) {
    path = real.empty() ? path : real;
    return kThumbParseNotShared;
  }
  path = real;
  return kThumbParseExists;
}

bool ThunmbNailIt(int fd, const std::string& path, int height, int width,
                  std::vector<uint8_t>& out, std::function<bool()> stillWanted) {
  out.clear();
  ThumbImage* img = nullptr;
  // The reader is chosen by the file's bytes, never by its name.
  switch (SelectInputFormatFd(fd)) {
    case PictureFormat::kJpeg:
      img = ThumbOpenFd(fd, path);
      break;
    case PictureFormat::kBmp:
    case PictureFormat::kPnm: {
      std::vector<uint8_t> jpeg;
      std::string why;
      if (!ConvertFdToJpeg(fd, jpeg, &why)) {
        QV_LOG(kModIntranet, kLogDebug, "convert %s error: %s", path.c_str(), why.c_str());
        return false;
      }
      img = ThumbOpenMemory(jpeg.data(), jpeg.size(), path);
      break;
    }
    default:
      break;
  }
  if (!img) {
    QV_LOG(kModIntranet, kLogDebug, "open jpeg %s error", path.c_str());
    return false;
  }
  ThumbSetDecodeSize(img, width, height);
  ThumbSetQuality(img, kThumbQuality);
  ThumbEnableInfo(img, true);
  ThumbSetStillWanted(img, std::move(stillWanted));
  const int rc = ThumbGenerate(img);
  if (rc == kThumbOk) out = ThumbTakeOutput(img);
  ThumbClose(img);
  // Partial output is never sent as a thumbnail.
  return rc == kThumbOk && !out.empty();
}

std::vector<std::vector<uint8_t>> ThumbReplyMessages(uint32_t requestId,
                                                     const std::vector<uint8_t>* thumbnail) {
  std::vector<std::vector<uint8_t>> out;
  uint16_t status = kThumbEndFailed;
  if (thumbnail && !thumbnail->empty() && thumbnail->size() <= 0xFFFFFFFFull) {
    status = kThumbEndSent;
    const size_t total = thumbnail->size();
    for (size_t off = 0; off < total; off += kThumbChunkData) {
      const size_t n = total - off < kThumbChunkData ? total - off : kThumbChunkData;
      std::vector<uint8_t> m(kThumbChunkHeaderSize + n);
      ThumbChunkHeader h;
      h.len = static_cast<uint16_t>(kThumbChunkHeaderSize + n);
      h.requestId = requestId;
      h.total = static_cast<uint32_t>(total);
      h.offset = static_cast<uint32_t>(off);
      EncodeThumbChunkHeader(h, m.data());
      std::copy(thumbnail->begin() + long(off), thumbnail->begin() + long(off + n),
                m.begin() + kThumbChunkHeaderSize);
      out.push_back(std::move(m));
    }
  }
  std::vector<uint8_t> end(kThumbEndSize);
  EncodeThumbEnd(ThumbEnd{requestId, status}, end.data());
  out.push_back(std::move(end));
  return out;
}

int Thumb_JobsInFlight() { return g_jobs.load(); }

int ReqDownloadThumbNial(const char* body, const CommandHeader* header, bufferevent* conn,
                         char** /*reply*/, int* /*replyLen*/, int* udtSock, char* direct) {
  if (!body) {
    QV_LOG(kModIntranet, kLogError, "%s", "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  const int udt = UdtOf(udtSock);
  const char dir = DirectOf(direct);
  const bool relay = ViaRelay(udt, dir);
  const size_t bodyLen = HandlerBodyLength(header, relay);
  const PeerRoute route = RouteOf(body, bodyLen, conn, udt, dir);
  const uint32_t requestId = header->param;
  if (!route.conn && route.udtSock == -1) return 0;  // nobody to answer

  const size_t start = relay ? kRelayBodyOffset : 0;
  uint16_t width = 0, height = 0;
  std::string path;
  const int parsed = bodyLen < start
                         ? kThumbParseMissing
                         : Parse_ThumbTransStatusHead(
                               reinterpret_cast<const uint8_t*>(body) + start, bodyLen - start,
                               width, height, path);
  if (parsed == kThumbParseNotShared) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError, "File %s not in share list.",
                   path.c_str());
  }
  if (parsed != kThumbParseExists) return SendThumbEnd(route, kThumbEndFailed, requestId);

  // Opened here, once, beneath its share with no link on the way: the file that passed the
  // check is the one scaled, whatever a folder above it became meanwhile.
  UniqueFd fd(OpenSharedPath(path, O_RDONLY | O_NONBLOCK));
  struct stat st;
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError, "File %s not exits.", path.c_str());
    return SendThumbEnd(route, kThumbEndFailed, requestId);
  }
  if (!g_pThreadPool) return SendThumbEnd(route, kThumbEndFailed, requestId);
  // A relay request is judged by the phone that sent it, not by the relay connection.
  const std::string peer = relay ? "relay " + route.requester : PeerKeyOf(conn, udt);
  std::unique_ptr<ThumbJob> job(new (std::nothrow) ThumbJob);
  if (!job) return SendThumbEnd(route, kThumbEndFailed, requestId);
  job->route = route;
  job->requestId = requestId;
  job->path = path;
  job->width = width;
  job->height = height;
  if (TakeSlots(job->slots, peer)) {
    job->token = DeferredReply_Begin(route);
    if (job->token == 0) return SendThumbEnd(route, kThumbEndFailed, requestId);
    job->fd = std::move(fd);
    Launch(std::move(job));
    return 0;
  }
  // Every slot taken: the request waits its turn, within a small bound per peer.
  job->token = DeferredReply_Begin(route);
  if (job->token == 0) return SendThumbEnd(route, kThumbEndFailed, requestId);
  job->fd = std::move(fd);
  const uint64_t token = job->token;
  if (!Wait(job, peer)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, udt), kModIntranet, kLogError,
                   "Too many thumbnails for one peer at once; %s refused.", path.c_str());
    job.reset();  // closes the file
    DeferredReply_Finish(token, {}, [route, requestId] {
      SendThumbEnd(route, kThumbEndFailed, requestId);
    });
  }
  return 0;
}
