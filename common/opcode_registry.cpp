#include "common/opcode_registry.h"

#include <map>

#include "common/log.h"

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

int Dispatch(const CommandHeader* header, const char* body, bufferevent* conn, char** reply,
             int* replyLen, int udtSock, int direct) {
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
