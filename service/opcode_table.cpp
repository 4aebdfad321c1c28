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

// Handlers whose work reads folders or the settings database are placed by kPool: worked on a
// pool task, never on an event thread.
constexpr RequestPlacer kPool = PoolRequest_Place;

struct OpcodeRow {
  uint16_t opcode;
  const char* name;  // the registration name, used in the failure message
  OpcodeHandler handler;
  RequestPlacer placer = nullptr;  // null: on the road's own thread
};

// Device and file-transfer operations, thumbnails, the device requests and the auto-sorting
// switch (open to phones).
const OpcodeRow kBusinessRows[] = {
    {0x2002, "GetShareInfo", GetShareInfo, kPool},
    {0x2003, "GetAllSubFile", GetAllSubFile, kPool},
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
    {kOpGetAutoTiding, "Show_AutoTiding", Show_AutoTiding, kPool},
    {kOpSetAutoTiding, "Show_AutoTiding", Show_AutoTiding, kPool},
};

// The desktop program's local API (answered to loopback peers only) and the version record.
const OpcodeRow kShowRows[] = {
    {kOpGetLogOnInfo, "Show_GetLogOnInfo", Show_GetLogOnInfo},
    {kOpLogOnStatues, "Show_LogOnStatues", Show_LogOnStatues},
    {kOpLogOn, "Show_LogOn", Show_LogOn},
    {kOpGetDefShare, "Show_GetDefShare", Show_GetDefShare, kPool},
    {kOpSetDefShare, "Show_SetDefShare", Show_SetDefShare, kPool},
    {kOpGetShare, "Show_GetShare", Show_GetShare, kPool},
    {kOpSetShare, "Show_SetShare", Show_SetShare, kPool},
    {kOpGetPath, "Show_GetPath", Show_GetPath, kPool},
    {kOpGetTransLog, "Show_GetTransLog", Show_GetTransLog, kPool},
    {kOpGetIsTraning, "Show_GetIsTraning", Show_GetIsTraning},
    {kOpGetIsMobileLinked, "Show_GetIsMobileLinked", Show_GetIsMobileLinked},
    {kOpGetSysType, "Show_GetSysType", Show_GetSysType},
    {kOpLogOut, "Show_LogOut", Show_LogOut},
    {kOpClearLog, "Show_ClearLog", Show_ClearLog, kPool},
    {kOpGetPwd, "Show_GetPwd", Show_GetPwd, kPool},
    {kOpSetPwd, "Show_SetPwd", Show_SetPwd, kPool},
    {kOpGetMac, "Show_GetMac", Show_GetMac},
    {kOpGetVerAndType, "GetVerAndType", GetVerAndType},
};

int RegisterRows(const OpcodeRow* rows, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const int rc = OS_RegFunction(rows[i].handler, rows[i].opcode, rows[i].placer);
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
