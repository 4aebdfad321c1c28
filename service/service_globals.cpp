#include "service/service_globals.h"

#include <cstdlib>
#include <mutex>

#include "common/os_layer.h"

std::string g_strBaseDir;
std::string g_strCodePage = "en";
std::string g_strMacAddr;
std::string g_strOSName;
uint16_t g_nSysType = 2;
char g_szUUID[64] = {};
// Not logged on until the first log-on says otherwise: the relay and the port mapping wait.
std::atomic<int> g_nLogOnRtn{-1};

namespace {
constexpr const char* kUtf8 = "UTF-8";
constexpr const char* kNoConversion = "en";
}  // namespace

std::string WireToLocal(const std::string& utf8) {
  if (g_strCodePage == kNoConversion || utf8.empty()) return utf8;
  // Characters without a local form are dropped rather than failing the whole name.
  return OS_ConvertEncoding(kUtf8, g_strCodePage + "//IGNORE", utf8);
}

std::string LocalToWire(const std::string& local) {
  if (g_strCodePage == kNoConversion || local.empty()) return local;
  return OS_ConvertEncoding(g_strCodePage, kUtf8, local);
}

namespace {
std::mutex g_localIpMutex;  // guards g_localIp only; never held across a call
std::string g_localIp;
}  // namespace

std::string GetLocalIpText() {
  std::lock_guard<std::mutex> lock(g_localIpMutex);
  return g_localIp;
}

void SetLocalIpText(const std::string& ip) {
  std::lock_guard<std::mutex> lock(g_localIpMutex);
  g_localIp = ip;
}
