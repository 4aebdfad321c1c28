#include "common/opcode_registry.h"

#include <map>

#include "common/local_api_ops.h"
#include "common/log.h"
#include "common/proto_local_api.h"

namespace {

// Filled during start-up before the command server accepts connections; read-only afterwards.
std::map<uint16_t, OpcodeHandler>& Registry() {
  static std::map<uint16_t, OpcodeHandler> registry;
  return registry;
}

}  // namespace

int OS_RegFunction(OpcodeHandler handler, uint16_t opcode) {
  if (handler == nullptr) {
    QV_LOG(kModCommLib, kLogError, " regFun is NULL.");
    return kErrRegister;
  }
  if (!Registry().emplace(opcode, handler).second) {
    QV_LOG(kModCommLib, kLogError, "Opcode(%d) already registered.", opcode);
    return kErrRegister;
  }
  return 0;
}

bool OS_IsRegistered(uint16_t opcode) { return Registry().count(opcode) != 0; }

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

int Dispatch(const CallerTrust& trust, const CommandHeader* header, const char* body,
             bufferevent* conn, char** reply, int* replyLen, int udtSock, int direct) {
  if (!PeerAdmitted(trust, header->opcode, conn, udtSock)) {
    QV_LOG_REFUSAL(trust.peer, kModCommLib, kLogError, "Refuse %sopcode 0x%04X from %s.",
                   IsLocalOnlyOpcode(header->opcode) ? "local API " : "",
                   static_cast<unsigned>(header->opcode), trust.peer);
    return kErrPeerRefused;
  }
  const auto it = Registry().find(header->opcode);
  if (it == Registry().end()) {
    QV_LOG(kModCommLib, kLogError, "Type(%d) not registe.", header->opcode);
    return kErrNotRegistered;
  }
  int sock = udtSock;
  char directFlag = static_cast<char>(direct);
  try {
    return it->second(body, header, conn, reply, replyLen, &sock, &directFlag);
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

void OS_ClearRegistry() { Registry().clear(); }

bool IsLocalOnlyOpcode(uint16_t opcode) {
  switch (opcode) {
    case 0x5000: case 0x5001: case 0x5002:
    case 0x5004: case 0x5005: case 0x5006: case 0x5007: case 0x5008:
    case 0x5009: case 0x500A: case 0x500B: case 0x500C:
    case 0x500E: case 0x500F: case 0x5010: case 0x5011: case 0x5012:
      return true;
    default:
      return false;
  }
}
