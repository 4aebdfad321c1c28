#include "service/account/power_off.h"

#include "common/log.h"
#include "common/os_layer.h"
#include "platform/power.h"
#include "service/account/account.h"

int PowerOffSystem() { return Plat_PowerOff(); }

int PowerOffTask(void* /*unused*/) {
  const int rc = PowerOffSystem();
  if (rc != 0) {
    QV_LOG(kModIntranet, kLogWarning, "shutdown error.");
    return rc;
  }
  // The machine is going down: the central server hears of it now, not by a missed heartbeat.
  LogOut();
  g_ExitFlag = 1;
  return 0;
}
