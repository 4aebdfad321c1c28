// Bodies of the local API and the device requests as a peer sends them. The first byte picks
// the operation; the rest is the body, handed over with the length the header would carry.
// The handlers run against a scratch settings database of their own.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/opcode_registry.h"
#include "common/proto_local_api.h"
#include "common/sqlite_wrapper.h"
#include "service/account/device_requests.h"
#include "service/local_api/local_api.h"
#include "tools/dbinit/schema.h"

namespace {

bool OpenScratchDatabase() {
  static const bool opened = [] {
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarlo_fuzz_api_" +
                            std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    SchemaOptions opt;
    opt.overwrite = true;
    std::string error;
    if (CreateSettingsDatabase(dir + "/Quarlo.db", opt, error) != 0) return false;
    static const std::string kept = dir;
    std::atexit([] {
      unlink((kept + "/Quarlo.db").c_str());
      rmdir(kept.c_str());
    });
    try {
      g_DB.Open(dir + "/Quarlo.db");
      // A scratch file: no waiting for the disk on every commit.
      g_DB.ExecDML("pragma synchronous=off;");
      g_DB.ExecDML("pragma journal_mode=memory;");
    } catch (...) {
      return false;
    }
    return true;
  }();
  return opened;
}

struct Op {
  uint16_t opcode;
  OpcodeHandler handler;
};

const Op kOps[] = {
    {kOpSetShare, Show_SetShare},         {kOpSetDefShare, Show_SetDefShare},
    {kOpGetPath, Show_GetPath},           {kOpSetPwd, Show_SetPwd},
    {kOpSetAutoTiding, Show_AutoTiding},  {kOpGetAutoTiding, Show_AutoTiding},
    {kOpDeviceHeartBeat, ReqDeviceHeartBeat}, {kOpGetShare, Show_GetShare},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || !OpenScratchDatabase()) return 0;
  const Op& op = kOps[data[0] % (sizeof kOps / sizeof kOps[0])];
  const size_t bodyLen = std::min<size_t>(size - 1, kMaxMessage - kCommandHeaderSize);
  // Exactly the body's bytes, as the transport hands them over (plus its spare zero byte).
  std::unique_ptr<char[]> body(new char[bodyLen + 1]);
  std::memcpy(body.get(), data + 1, bodyLen);
  body[bodyLen] = 0;
  CommandHeader h;
  h.len = static_cast<uint16_t>(kCommandHeaderSize + bodyLen);
  h.opcode = op.opcode;
  char* reply = nullptr;
  int replyLen = 0;
  int udt = -1;
  char direct = 1;
  op.handler(bodyLen ? body.get() : nullptr, &h, nullptr, &reply, &replyLen, &udt, &direct);
  std::unique_ptr<char[]> owned(reply);
  if (replyLen < 0 || replyLen > static_cast<int>(kMaxMessage)) __builtin_trap();
  if (replyLen > 0) {
    const CommandHeader r = DecodeCommandHeader(reinterpret_cast<const uint8_t*>(owned.get()));
    if (r.len != replyLen) __builtin_trap();
  }

  // The log-in body's parts and the push built from it.
  std::string email, password;
  DecodeAccountInfo(wire::Reader(data, size), email, password);
  const WireBytes push = EncodeDeviceLoginPush(1, data, size);
  if (push.size() != kLoginPushSize) __builtin_trap();
  for (size_t i = 40; i < 72; ++i)
    if (push[i] != 0) __builtin_trap();
  uint32_t answer = 0;
  DecodeDeviceLoginAnswer(data, size, answer);
  return 0;
}
