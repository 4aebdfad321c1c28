#include "common/opcode_registry.h"

#include <map>

#include "common/log.h"

namespace {

struct Registered {
  OpcodeHandler handler = nullptr;
  RequestPlacer placer = nullptr;
};

// Filled during start-up before the command server accepts connections; read-only afterwards.
std::map<uint16_t, Registered>& Registry() {
  static std::map<uint16_t, Registered> registry;
  return registry;
}

}  // namespace

int OS_RegFunction(OpcodeHandler handler, uint16_t opcode, RequestPlacer placer) {
  if (handler == nullptr) {
    QV_LOG(kModCommLib, kLogError, " regFun is NULL.");
    return kErrRegister;
  }
  if (!Registry().emplace(opcode, Registered{handler, placer}).second) {
    QV_LOG(kModCommLib, kLogError, "Opcode(%d) already registered.", opcode);
    return kErrRegister;
  }
  return 0;
}

bool OS_IsRegistered(uint16_t opcode) { return Registry().count(opcode) != 0; }

bool OS_FindHandler(uint16_t opcode, OpcodeHandler& handler, RequestPlacer& placer) {
  const auto it = Registry().find(opcode);
  if (it == Registry().end()) return false;
  handler = it->second.handler;
  placer = it->second.placer;
  return true;
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
