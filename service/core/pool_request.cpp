#include "service/core/pool_request.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "common/log.h"
#include "common/os_layer.h"
#include "common/thread_pool.h"
#include "service/core/deferred_reply.h"
#include "service/core/peer_send.h"
#include "service/core/request_args.h"

namespace {

struct PostedRequest {
  OpcodeHandler work = nullptr;
  CommandHeader header{};
  std::unique_ptr<char[]> body;
  size_t bodyLen = 0;
  char direct = 1;
  PostedWork posted;  // connection, deferred reply, peer key
};

std::atomic<void (*)()> g_beforeWork{nullptr};

int WorkPosted(void* arg) {
  std::unique_ptr<PostedRequest> r(static_cast<PostedRequest*>(arg));
  if (void (*hook)() = g_beforeWork.load()) hook();
  char* reply = nullptr;
  int replyLen = 0;
  PeerRequest request;
  request.header = r->header;
  request.body = r->body.get();
  request.bodyLen = r->bodyLen;
  request.conn = r->posted.conn;
  request.direct = r->direct;
  PostedWork_SetCurrent(&r->posted);
  // The same handle step as on the loop: a throwing handler finishes with no reply, so the
  // connection it held is released.
  Dispatch(r->work, request, &reply, &replyLen);
  PostedWork_SetCurrent(nullptr);
  std::unique_ptr<char[]> owned(reply);
  WireBytes bytes;
  if (owned && replyLen > 0) bytes.assign(owned.get(), owned.get() + replyLen);
  DeferredReply_Finish(r->posted.outbox, std::move(bytes));
  return 0;
}

}  // namespace

bool PoolRequest_Post(OpcodeHandler work, const char* body, const CommandHeader* header,
                      bufferevent* conn, int* udtSock, char* direct) {
  if (!work || !body || !header || !conn || UdtOf(udtSock) != -1 || !g_pThreadPool) return false;
  const char dir = DirectOf(direct);
  const size_t bodyLen = HandlerBodyLength(header, ViaRelay(-1, dir));
  std::unique_ptr<PostedRequest> r(new (std::nothrow) PostedRequest);
  if (!r) return false;
  // One spare zero byte, as the transports give it.
  r->body.reset(new (std::nothrow) char[bodyLen + 1]);
  if (!r->body) return false;
  if (bodyLen > 0) std::memcpy(r->body.get(), body, bodyLen);
  r->body[bodyLen] = 0;
  r->bodyLen = bodyLen;
  r->work = work;
  r->header = *header;
  r->posted.conn = conn;
  r->direct = dir;
  r->posted.peerKey = PeerKeyOf(conn, -1);
  r->posted.outbox = DeferredReply_Begin(RouteOf(body, bodyLen, conn, -1, dir));
  if (r->posted.outbox == 0) return false;
  const uint64_t token = r->posted.outbox;
  if (ThreadPool_TryAddTask(g_pThreadPool, WorkPosted, r.get()) != 0) {
    // Every worker is busy: the request is worked here rather than refused.
    QV_LOG(kModCommLib, kLogError, "%s", "Add request task to thread error.");
    DeferredReply_Finish(token, {});
    return false;
  }
  r.release();
  return true;
}

bool PoolRequest_Place(OpcodeHandler work, const PeerRequest& request) {
  if (request.direct == 0) return false;
  int udt = request.udtSock;
  char direct = request.direct;
  return PoolRequest_Post(work, request.body, &request.header, request.conn, &udt, &direct);
}

bool PoolRequest_ConnectionGone(bufferevent* conn) {
  const PostedWork* posted = PostedWork_Of(conn);
  return posted != nullptr && !DeferredReply_Live(posted->outbox);
}

void PoolRequest_SetBeforeWorkHook(void (*hook)()) { g_beforeWork.store(hook); }
