#include "common/request_pipeline.h"

#include <memory>

#include "common/log.h"
#include "common/proto_central.h"
#include "common/proto_local_api.h"

size_t Request_BodyNeeded(const CommandHeader& header, bool viaRelay) {
  if (viaRelay) return kIdentityFieldSize + size_t(header.len);
  return header.len > kCommandHeaderSize ? header.len - kCommandHeaderSize : 0;
}

bool Request_Parse(const PeerRequest& request) {
  const CommandHeader& h = request.header;
  const size_t needed = Request_BodyNeeded(h, request.direct == 0);
  if (h.len >= kCommandHeaderSize && (needed == 0 || request.body != nullptr) &&
      request.bodyLen >= needed) {
    return true;
  }
  QV_LOG_REFUSAL(request.trust.peer, kModCommLib, kLogError,
                 "Message 0x%04X of length %u from %s holds %zu body bytes; refused.",
                 static_cast<unsigned>(h.opcode), static_cast<unsigned>(h.len),
                 request.trust.peer, request.bodyLen);
  return false;
}

bool PeerAdmitted(const CallerTrust& trust, uint16_t opcode, const void* conn, int udtSock) {
  if (IsLocalOnlyOpcode(opcode)) return trust.road == Road::kCommand && trust.sameUser;
  // The relay's phones signed in at the central server, so they need no log-in; one the
  // desktop program refused is served nothing more, as on the other roads. Fetched data is
  // theirs.
  if (trust.road == Road::kRelay) return RelayLogin_Get(trust.requester) != LoginState::kRefused;
  if (trust.road != Road::kCommand && trust.road != Road::kUdt) return true;
  const LoginState state = PeerLogin_Get(conn, udtSock);
  if (state == LoginState::kRefused) return false;
  if (trust.ownSubnet || state == LoginState::kAccepted) return true;
  return opcode == kOpDeviceLogin || opcode == kOpDeviceHeartBeat || opcode == kOpGetVerAndType;
}

int Dispatch(OpcodeHandler handler, const PeerRequest& request, char** reply, int* replyLen) {
  // Handlers take their arguments by pointer and may change them; the request stays as it came.
  CommandHeader header = request.header;
  int sock = request.udtSock;
  char direct = request.direct;
  try {
    return handler(request.body, &header, request.conn, reply, replyLen, &sock, &direct);
  } catch (...) {
    // A half-built reply must not reach the peer.
    if (reply != nullptr) {
      delete[] *reply;
      *reply = nullptr;
    }
    if (replyLen != nullptr) *replyLen = 0;
    QV_LOG(kModCommLib, kLogError, "Do request exception.");
    return kErrHandlerException;
  }
}

int Dispatch(const PeerRequest& request, char** reply, int* replyLen) {
  const CallerTrust& trust = request.trust;
  const uint16_t opcode = request.header.opcode;
  if (!PeerAdmitted(trust, opcode, request.conn, request.udtSock)) {
    QV_LOG_REFUSAL(trust.peer, kModCommLib, kLogError, "Refuse %sopcode 0x%04X from %s.",
                   IsLocalOnlyOpcode(opcode) ? "local API " : "",
                   static_cast<unsigned>(opcode), trust.peer);
    return kErrPeerRefused;
  }
  OpcodeHandler handler = nullptr;
  RequestPlacer placer = nullptr;
  if (!OS_FindHandler(opcode, handler, placer)) {
    QV_LOG(kModCommLib, kLogError, "Type(%d) not registe.", opcode);
    return kErrNotRegistered;
  }
  if (placer != nullptr && placer(handler, request)) return 0;
  return Dispatch(handler, request, reply, replyLen);
}

int Request_Run(const PeerRequest& request, IReplyChannel& channel) {
  if (!Request_Parse(request)) return kErrNoBody;
  char* raw = nullptr;
  int replyLen = 0;
  const int rc = Dispatch(request, &raw, &replyLen);
  std::unique_ptr<char[]> reply(raw);
  if (replyLen > 0 && reply) channel.Send(reply.get(), static_cast<size_t>(replyLen));
  return rc;
}
