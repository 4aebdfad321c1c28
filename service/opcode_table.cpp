// The opcode table: every handler of the service, registered in this order at start-up.
#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/proto_local_api.h"
#include "service/account/device_requests.h"
#include "service/transfers/download.h"
#include "service/transfers/folder_listing.h"
#include "service/local_api/local_api.h"
#include "service/core/pool_request.h"
#include "service/service_shell.h"
#include "service/pictures/thumb_request.h"
#include "service/transfers/upload.h"

namespace {

// Handlers whose work reads folders or the settings database are registered as
// OnPool<Handler>: worked on a pool task, never on an event thread.
struct OpcodeRow {
  uint16_t opcode;
  const char* name;  // the registration name, used in the failure message
  OpcodeHandler handler;
};

// Device and file-transfer operations, thumbnails, the device requests and the auto-sorting
// switch (open to phones).
const OpcodeRow kBusinessRows[] = {
    {0x2002, "GetShareInfo", OnPool<GetShareInfo>},
    {0x2003, "GetAllSubFile", OnPool<GetAllSubFile>},
    {0x0001, "ReqUpLoadFile", ReqUpLoadFile},
    {0x0002, "UpLoadFile", UpLoadFile},
    {0x0003, "OverUpLoadFile", OverUpLoadFile},
    {0x0004, "ReqDownLoadFile", ReqDownLoadFile},
    {0x0005, "AllowDownLoadFile", AllowDownLoadFile},
    {0x0011, "RefuseDownLoadFile", RefuseDownLoadFile},
    {0x100E, "StopDownLoad", StopDownLoad},
    {0x3001, "ReqDownloadThumbNial", ReqDownloadThumbNial},
    {kOpDeviceHeartBeat, "ReqDeviceHeartBeat", ReqDeviceHeartBeat},
    {kOpShutDownSystem, "ReqShutDownSystem", ReqShutDownSystem},
    {kOpDeviceLogin, "ReqDeviceLogin", ReqDeviceLogin},
    {kOpGetAutoTiding, "Show_AutoTiding", OnPool<Show_AutoTiding>},
    {kOpSetAutoTiding, "Show_AutoTiding", OnPool<Show_AutoTiding>},
};

// The desktop program's local API (answered to loopback peers only) and the version record.
const OpcodeRow kShowRows[] = {
    {kOpGetLogOnInfo, "Show_GetLogOnInfo", Show_GetLogOnInfo},
    {kOpLogOnStatues, "Show_LogOnStatues", Show_LogOnStatues},
    {kOpLogOn, "Show_LogOn", Show_LogOn},
    {kOpGetDefShare, "Show_GetDefShare", OnPool<Show_GetDefShare>},
    {kOpSetDefShare, "Show_SetDefShare", OnPool<Show_SetDefShare>},
    {kOpGetShare, "Show_GetShare", OnPool<Show_GetShare>},
    {kOpSetShare, "Show_SetShare", OnPool<Show_SetShare>},
    {kOpGetPath, "Show_GetPath", OnPool<Show_GetPath>},
    {kOpGetTransLog, "Show_GetTransLog", OnPool<Show_GetTransLog>},
    {kOpGetIsTraning, "Show_GetIsTraning", Show_GetIsTraning},
    {kOpGetIsMobileLinked, "Show_GetIsMobileLinked", Show_GetIsMobileLinked},
    {kOpGetSysType, "Show_GetSysType", Show_GetSysType},
    {kOpLogOut, "Show_LogOut", Show_LogOut},
    {kOpClearLog, "Show_ClearLog", OnPool<Show_ClearLog>},
    {kOpGetPwd, "Show_GetPwd", OnPool<Show_GetPwd>},
    {kOpSetPwd, "Show_SetPwd", OnPool<Show_SetPwd>},
    {kOpGetMac, "Show_GetMac", Show_GetMac},
    {kOpGetVerAndType, "GetVerAndType", GetVerAndType},
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

int RegShowFun() { return RegisterRows(kShowRows, sizeof(kShowRows) / sizeof(kShowRows[0])); }
