// The transfer handlers' request parsers: any bytes as the body of a listing, download or
// upload message, direct or through the relay, against a real settings database with one share.
// Byte 0 picks the handler, byte 1 the road (odd: through the relay), byte 2 the session id;
// the rest is the body. Whatever the bytes, a handler returns, and any reply it gives carries
// its own length in its first two bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/settings.h"
#include "common/sqlite_wrapper.h"
#include "service/transfers/download.h"
#include "service/transfers/folder_listing.h"
#include "service/transfers/upload.h"
#include "tools/dbinit/schema.h"

namespace {

const OpcodeHandler kHandlers[] = {GetShareInfo,   GetAllSubFile,      ReqUpLoadFile,
                                   UpLoadFile,     OverUpLoadFile,     ReqDownLoadFile,
                                   AllowDownLoadFile, RefuseDownLoadFile, StopDownLoad};

std::string* g_root = nullptr;

void RemoveRoot() {
  std::error_code ec;
  if (g_root) std::filesystem::remove_all(*g_root, ec);
}

void Setup() {
  static const bool done = [] {
    const char* tmp = std::getenv("TMPDIR");
    const std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarlo_fuzz_transfer_" +
                             std::to_string(getpid());
    g_root = new std::string(root);
    std::atexit(RemoveRoot);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    std::filesystem::create_directories(root + "/share/sub", ec);
    if (ec) std::abort();
    FILE* f = std::fopen((root + "/share/a.txt").c_str(), "wb");
    if (!f) std::abort();
    std::fputs("some content of a shared file\n", f);
    std::fclose(f);
    SchemaOptions options;
    std::string error;
    if (CreateSettingsDatabase(root + "/Quarlo.db", options, error) != 0) std::abort();
    g_DB.Open(root + "/Quarlo.db");
    g_DB.ExecDML(("insert into qv_share (path) values ('" + root + "/share')").c_str());
    // Seeds name files as "$DEFAULT$/...": the share is also the default data folder.
    g_DB.ExecDML(("insert into qv_defshare (def) values ('" + root + "/share')").c_str());
    g_MutexTransMap = Plat_CreateMutex();
    g_MutexDownLoadCount = Plat_CreateMutex();
    g_StopDownLoadMutex = Plat_CreateMutex();
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  if (size < 3) return 0;
  const OpcodeHandler handler = kHandlers[data[0] % (sizeof kHandlers / sizeof kHandlers[0])];
  const bool viaRelay = (data[1] & 1) != 0;
  std::vector<char> body(data + 3, data + size);
  if (body.size() > 0xFFFF - 8) body.resize(0xFFFF - 8);
  // Through the relay the body holds the requester identity beyond what the header counts.
  if (viaRelay && body.size() < 64 + 8) return 0;
  CommandHeader header;
  header.opcode = 0;
  header.param = data[2];
  header.len = static_cast<uint16_t>(viaRelay ? body.size() - 64 : body.size() + 8);
  body.push_back(0);  // the command server's spare zero byte

  char* reply = nullptr;
  int replyLen = 0;
  int udt = -1;
  char direct = viaRelay ? 0 : 1;
  handler(body.data(), &header, nullptr, &reply, &replyLen, &udt, &direct);
  if (replyLen < 0 || (reply == nullptr && replyLen != 0)) std::abort();
  if (reply != nullptr && replyLen >= 2) {
    const int stated = (static_cast<uint8_t>(reply[0]) << 8) | static_cast<uint8_t>(reply[1]);
    if (stated != replyLen) std::abort();
  }
  delete[] reply;
  return 0;
}
