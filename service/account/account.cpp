#include "service/account/account.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "common/log.h"
#include "common/os_layer.h"
#include "common/periods.h"
#include "common/settings.h"
#include "common/sockets.h"
#include "platform/disk.h"
#include "platform/sync.h"
#include "service/roads/http_server.h"
#include "service/roads/p2p_channel.h"
#include "service/service_globals.h"
#include "service/roads/upnp.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// The real period, unless the test setting names a shorter one in milliseconds.
int PeriodMs(const char* key, int defaultMs) {
  long v = 0;
  if (Service_TestSetting(key, v) && v > 0 && v < defaultMs) return static_cast<int>(v);
  return defaultMs;
}

bool ReadServer(ServerAddress& out) {
  std::string host;
  uint16_t port = 0;
  GetServerInfo(host, port);
  if (MakeServerAddress(host, port, out) != 0) {
    QV_LOG(kModUser, kLogWarning, "server host name longer than %d characters.",
           static_cast<int>(kServerHostMax));
    return false;
  }
  return true;
}

// One exchange under this PC's identity; the reply body is not used by any caller.
int Exchange(const ServerAddress& server, uint16_t command, const std::vector<uint8_t>& body,
             ServerReplyHeader& reply) {
  RelayHeader h;
  h.command = command;
  h.identity = g_szUUID;
  std::vector<uint8_t> replyBody;
  return SendServerRequest(h, server, body.empty() ? nullptr : body.data(), body.size(), reply,
                           replyBody);
}

std::string ComputerName() {
  std::string name;
  if (OS_GetHostName(name) != 0) return "";
  return LocalToWire(name);
}

// The local address as a number a.b.c.d -> a << 24 | ...; 0 when unknown (never the
// broadcast address that an empty text would give).
uint32_t LocalIpNumber() {
  in_addr a{};
  const std::string ip = GetLocalIpText();
  if (ip.empty() || inet_pton(AF_INET, ip.c_str(), &a) != 1) return 0;
  return ntohl(a.s_addr);
}

// The server-info report and the port mappings. The report goes out at once with what the
// last round of mappings gave; a round that ends with another external port sends it again.
// The send mutex (never destroyed) keeps the two senders in order, so the server's last word is
// always the newest value.
std::mutex& SVInfoSendMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::atomic<uint16_t> g_mappedExternal{0};   // the last round's command-port mapping, 0: none
std::atomic<int> g_reportedExternal{-1};     // the external port of the last report sent

int SendSVInfo(bool withMapping) {
  ServerAddress server;
  if (!ReadServer(server)) return kErrServerExchange;
  std::string name;
  if (OS_GetHostName(name) != 0) return -1;
  std::lock_guard<std::mutex> lock(SVInfoSendMutex());
  SVInfo info;
  info.localIp = LocalIpNumber();
  info.externalPort = withMapping ? g_mappedExternal.load() : 0;
  info.commandPort = g_LocalPort.load();
  info.sysType = g_nSysType;
  info.computerName = LocalToWire(name);
  ServerReplyHeader reply;
  if (Exchange(server, kCmdServerInfo, EncodeSVInfo(info), reply) != 0) {
    QV_LOG(kModCommLib, kLogWarning, "connect net work error.");
    g_reportedExternal = -1;
    return kErrServerExchange;
  }
  g_reportedExternal = info.externalPort;
  return reply.status;
}

void OnMappingRound(uint16_t external) {
  g_mappedExternal = external;
  if (g_nLogOnRtn.load() != 0 || g_reportedExternal.load() == external) return;
  QV_LOG(kModUser, kLogDebug, "external port now %u: server info again.", unsigned(external));
  SendSVInfo(true);
}

// Whether this run's power-on report went out: a PC that started while the central server was
// unreachable sends it after its first log-on that succeeds.
std::atomic<bool> g_powerOnSent{false};

}  // namespace

std::recursive_mutex& AccountExchangeMutex() {
  static std::recursive_mutex* m = new std::recursive_mutex;  // immortal: tasks may hold it
  return *m;
}

void StoreLogOnResult(int result) {
  CMutexLock lock(g_MutexLogOnRtn);
  g_nLogOnRtn = result;
}

int LogOn() {
  std::lock_guard<std::recursive_mutex> exchange(AccountExchangeMutex());
  std::string email, password;
  GetUsernfo(email, password);
  if (email.empty() || password.empty()) {
    QV_LOG(kModUser, kLogWarning, "user name or passworld is empty.");
    return kErrNoAccount;
  }
  ServerAddress server;
  if (!ReadServer(server)) return kErrServerExchange;
  LogOnRequest req;
  req.email = email;
  req.password = password;
  req.sysType = g_nSysType;
  req.osName = g_strOSName;
  req.mac = g_strMacAddr;
  ServerReplyHeader reply;
  if (Exchange(server, kCmdLogOn, EncodeLogOnRequest(req), reply) != 0) {
    QV_LOG(kModCommLib, kLogWarning, "connect net work error.");
    return kErrServerExchange;
  }
  return reply.status;
}

int LogOut() {
  std::lock_guard<std::recursive_mutex> exchange(AccountExchangeMutex());
  std::string email, password;
  GetUsernfo(email, password);
  if (email.empty() || password.empty()) return kErrNoAccount;
  ServerAddress server;
  if (!ReadServer(server)) return -1;
  ServerReplyHeader reply;
  if (Exchange(server, kCmdLogOut, EncodeAccountText({email, password}), reply) != 0) return -1;
  return reply.status;
}

int SendHeartBeatToSV(const ServerAddress& server) {
  ServerReplyHeader reply;
  if (Exchange(server, kCmdHeartBeat, {}, reply) != 0) return -1;
  return reply.status;
}

int SetSVInfo() {
  const bool loggedOn = g_nLogOnRtn.load() == 0;
  if (loggedOn) {
    UPnPMapAllAsync(g_LocalPort.load(), P2P_BoundPort(), Http_BoundPort(), OnMappingRound);
  }
  return SendSVInfo(loggedOn);
}

void SetPowerOnInfo() {
  std::string email, password;
  GetUsernfo(email, password);
  ServerAddress server;
  if (!ReadServer(server)) return;
  PowerOnInfo info;
  info.sysType = g_nSysType;
  info.email = email;
  info.mac = g_strMacAddr;
  info.computerName = ComputerName();
  ServerReplyHeader reply;
  if (Exchange(server, kCmdPowerOn, EncodePowerOnInfo(info), reply) != 0) {
    QV_LOG(kModCommLib, kLogWarning, "connect net work error.");
    return;
  }
  g_powerOnSent = true;
}

void CollectDiskInfo(std::vector<DiskInfo>& out) {
  out.clear();
  std::vector<std::string> folders;
  ParseShareInfo(folders);
  GetDefaultDirList(folders);
  // Folders are grouped by the file system that holds them: its device and mount point.
  std::vector<std::pair<dev_t, std::string>> seen;
  for (const std::string& folder : folders) {
    if (folder.empty()) continue;
    const std::string mount = Plat_MountPointOf(folder);
    if (mount.empty()) continue;
    struct stat st {};
    const dev_t dev = stat(mount.c_str(), &st) == 0 ? st.st_dev : 0;
    bool known = false;
    for (const auto& s : seen) known = known || (s.first == dev && s.second == mount);
    if (known) continue;
    seen.emplace_back(dev, mount);
    DiskInfo d;
    d.sysType = g_nSysType;
    uint64_t freeBytes = 0;
    if (Plat_DiskFreeBytes(mount, freeBytes) == 0) {
      const uint64_t mib = freeBytes / kMiB;
      d.freeMiB = mib > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mib);
    }
    d.mac = g_strMacAddr;
    d.drive = mount;
    out.push_back(d);
  }
}

int SetDiskInfo(void*) {
  ServerAddress server;
  const bool haveServer = ReadServer(server);
  while (!g_ExitFlag.load()) {
    std::vector<DiskInfo> disks;
    CollectDiskInfo(disks);
    if (haveServer && !disks.empty()) {
      ServerReplyHeader reply;
      Exchange(server, kCmdDiskInfo, EncodeDiskInfoList(disks), reply);
    }
    if (WaitOrExit(PeriodMs("diskinfo_ms", kDiskInfoPeriodMs), g_ExitFlag)) break;
  }
  return 0;
}

int HeartBeat(void*) {
  ServerAddress server;
  const bool haveServer = ReadServer(server);
  while (!g_ExitFlag.load()) {
    if (WaitOrExit(PeriodMs("heartbeat_ms", kHeartBeatPeriodMs), g_ExitFlag)) break;
    std::string ip;
    if (GetLoaclIp(ip) == 0 && !ip.empty()) SetLocalIpText(ip);
    // The log-on and its result as one step: a log-out or a switch of accounts in between
    // would otherwise be undone by a log-on of the account that was just let go.
    std::unique_lock<std::recursive_mutex> exchange(AccountExchangeMutex());
    const int rc = LogOn();
    // 0x1017: the server did not check the account this time (too many checks of it were
    // waiting); that says nothing about the log-on it already has, so a PC logged on stays so
    // and keeps its relay.
    if (rc == kStatusWaitToRetry) {
      CMutexLock lock(g_MutexLogOnRtn);
      if (g_nLogOnRtn.load() != 0) g_nLogOnRtn = rc;
    } else {
      StoreLogOnResult(rc);
    }
    exchange.unlock();
    QV_LOG(kModUser, kLogDebug, "relogin , return code %d", rc);
    if (haveServer) SendHeartBeatToSV(server);
    SetSVInfo();
    if (rc == 0 && !g_powerOnSent.load()) SetPowerOnInfo();
  }
  return 0;
}

int UserOp(void*) {
  QV_LOG(kModClient, kLogInfo, "start log in.");
  const int rc = LogOn();
  StoreLogOnResult(rc);
  if (rc != 0) {
    QV_LOG(kModClient, kLogWarning, "log on return code %d", rc);
    return 0;
  }
  QV_LOG(kModClient, kLogInfo, "log on successfully.");
  const int sv = SetSVInfo();
  if (sv != 0) {
    QV_LOG(kModClient, kLogError, "set server info error.");
    return sv;
  }
  SetPowerOnInfo();
  return 0;
}
