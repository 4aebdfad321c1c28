// Frames from the network on both ends of the central-server road: a request as QuarloCentral
// reads it (RelayHeader, then the body of its command) and an answer as the service reads it
// (ServerReplyHeader, identity text).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/proto_central.h"
#include "service/account/identity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= kRelayHeaderSize) {
    const RelayHeader h = DecodeRelayHeader(data);
    if (h.len >= kRelayHeaderSize && h.len <= size) {
      const uint8_t* body = data + kRelayHeaderSize;
      const size_t len = h.len - kRelayHeaderSize;
      LogOnRequest logon;
      SVInfo sv;
      PowerOnInfo on;
      AccountText account;
      std::vector<DiskInfo> disks;
      switch (h.command) {
        case kCmdLogOn: DecodeLogOnRequest(body, len, logon); break;
        case kCmdLogOut: DecodeAccountText(body, len, account); break;
        case kCmdServerInfo: DecodeSVInfo(body, len, sv); break;
        case kCmdPowerOn: DecodePowerOnInfo(body, len, on); break;
        case kCmdDiskInfo: DecodeDiskInfoList(body, len, disks); break;
        default: break;
      }
    }
  }
  if (size >= kServerReplyHeaderSize) {
    const ServerReplyHeader r = DecodeServerReplyHeader(data);
    if (r.len >= kServerReplyHeaderSize && r.len <= size) {
      const std::string id = DecodeIdentityReply(data + kServerReplyHeaderSize,
                                                 r.len - kServerReplyHeaderSize);
      const std::string valid = ValidIdentity(id);
      if (valid.size() > kIdentityMax) __builtin_trap();
    }
  }
  return 0;
}
