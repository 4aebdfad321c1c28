// The opcode table: every handler of the service, registered in this order at start-up.
#include "common/log.h"
#include "common/opcode_registry.h"
#include "service/download.h"
#include "service/folder_listing.h"
#include "service/service_shell.h"
#include "service/thumb_request.h"
#include "service/upload.h"

namespace {

struct OpcodeRow {
  uint16_t opcode;
  const char* name;  // the registration name, used in the failure message
  OpcodeHandler handler;
};

// Device and file-transfer operations. Rows of parts this build does not have yet
// (thumbnails, device requests, the auto-sorting switch) are added with those parts.
const OpcodeRow kBusinessRows[] = {
    {0x2002, "GetShareInfo", GetShareInfo},
    {0x2003, "GetAllSubFile", GetAllSubFile},
    {0x0001, "ReqUpLoadFile", ReqUpLoadFile},
    {0x0002, "UpLoadFile", UpLoadFile},
    {0x0003, "OverUpLoadFile", OverUpLoadFile},
    {0x0004, "ReqDownLoadFile", ReqDownLoadFile},
    {0x0005, "AllowDownLoadFile", AllowDownLoadFile},
    {0x0011, "RefuseDownLoadFile", RefuseDownLoadFile},
    {0x100E, "StopDownLoad", StopDownLoad},
    {0x3001, "ReqDownloadThumbNial", ReqDownloadThumbNial},
};

int RegisterRows(const OpcodeRow* rows, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const int rc = OS_RegFunction(rows[i].handler, rows[i].opcode);
    if (rc != 0) {
      QV_LOG(kModClient, kLogInfo, "Reg %s function error.", rows[i].name);
      return rc;
    }
  }
  return 0;
}

}  // namespace

int RegBusinessFun() {
  const int rc = RegisterRows(kBusinessRows, sizeof(kBusinessRows) / sizeof(kBusinessRows[0]));
  if (rc != 0) return rc;
  return RegShowFun();
}

// The desktop program's local API arrives with its own part; nothing to register yet.
int RegShowFun() { return 0; }
