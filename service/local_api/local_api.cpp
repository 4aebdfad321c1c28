#include "service/local_api/local_api.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/log.h"
#include "common/os_layer.h"
#include "common/proto_local_api.h"
#include "common/settings.h"
#include "common/sockets.h"
#include "platform/disk.h"
#include "service/pictures/auto_sort.h"
#include "service/account/device_requests.h"
#include "service/core/request_args.h"
#include "service/service_globals.h"
#include "service/transfers/transfer_sessions.h"

namespace {

constexpr size_t kTextMax = kDefShareFieldSize - 1;  // a path field holds 259 bytes
constexpr size_t kFieldTextMax = kAccountTextSize - 1;
constexpr int kLinkedSeconds = 60;

// The body as text up to its first zero byte, never past the received length.
std::string BodyText(const char* body, const CommandHeader* header) {
  const size_t len = body ? HandlerBodyLength(header, false) : 0;
  return body ? std::string(body, strnlen(body, len)) : std::string();
}

std::string Cut(const std::string& text, size_t max) {
  return text.size() > max ? text.substr(0, max) : text;
}

uint16_t Saturate16(long long v) {
  return static_cast<uint16_t>(std::min<long long>(std::max<long long>(v, 0), 0xFFFF));
}

// Lines "text\r\n" in wire form, as many whole ones as fit one message.
WireBytes LinesBody(const std::vector<std::string>& localLines) {
  std::vector<std::string> wireLines;
  wireLines.reserve(localLines.size());
  for (const std::string& line : localLines) wireLines.push_back(LocalToWire(line));
  const std::string text = JoinLinesWithin(wireLines, kMaxMessage - kCommandHeaderSize);
  return WireBytes(text.begin(), text.end());
}

}  // namespace

// ---- account and status ----

int Show_GetLogOnInfo(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                      char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  std::string email, password;
  GetUsernfo(email, password);
  QV_LOG(kModShow, kLogDebug, "Show_GetLogOnInfo username %s pwd ", email.c_str());
  return LocalApiReply(EncodeAccountReply(header->opcode, header->param, Cut(email, kFieldTextMax),
                                          Cut(password, kFieldTextMax)),
                       reply, replyLen);
}

int Show_LogOnStatues(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                      char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  int result = 0;
  {
    CMutexLock lock(g_MutexLogOnRtn);
    result = g_nLogOnRtn.load();
  }
  QV_LOG(kModShow, kLogDebug, "Show_LogOnStatues statues %d ", result);
  return LocalApiReply(EncodeU32Reply(header->opcode, header->param, static_cast<uint32_t>(result)),
                       reply, replyLen);
}

int Show_GetIsTraning(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                      char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  // Saturated rather than cut: 65536 open transfers must not read as none.
  const uint16_t open = Saturate16(static_cast<long long>(Trans_Count()));
  const uint16_t running = Saturate16(DownloadCount_Get());
  QV_LOG(kModShow, kLogDebug, "Show_GetIsTraning DownLoad %d UpLoad %d", running, open);
  return LocalApiReply(EncodeU16PairReply(header->opcode, header->param, open, running), reply,
                       replyLen);
}

bool IsMobileLinkedAt(const std::string& last, const std::string& now) {
  if (last.empty()) return false;
  const long long diff = std::llabs(static_cast<long long>(OS_StrToTime(now) - OS_StrToTime(last)));
  return diff <= kLinkedSeconds;
}

int Show_GetIsMobileLinked(const char* /*body*/, const CommandHeader* header,
                           bufferevent* /*conn*/, char** reply, int* replyLen, int* /*udtSock*/,
                           char* /*direct*/) {
  const std::string last = GetLastHeartBeatTime();
  bool linked = false;
  if (last.empty()) {
    QV_LOG(kModShow, kLogDebug, "%s", "Show_GetIsMobileLinked no recv any heart beat.");
  } else {
    const std::string now = OS_GetCurTimeStr();
    QV_LOG(kModShow, kLogDebug, "Show_GetIsMobileLinked time diff %d",
           static_cast<int>(std::llabs(static_cast<long long>(OS_StrToTime(now) - OS_StrToTime(last)))));
    linked = IsMobileLinkedAt(last, now);
  }
  const int value = linked ? 0 : -1;
  QV_LOG(kModShow, kLogDebug, "Show_GetIsMobileLinked  iIsMobileLineked %d", value);
  return LocalApiReply(EncodeU32Reply(header->opcode, header->param, static_cast<uint32_t>(value)),
                       reply, replyLen);
}

int Show_GetSysType(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                    char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  QV_LOG(kModShow, kLogDebug, "Show_GetSysType DownLoad %d ", g_nSysType);
  return LocalApiReply(EncodeU32Reply(header->opcode, header->param, g_nSysType), reply, replyLen);
}

int Show_GetPwd(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  return LocalApiReply(EncodeTextFieldReply(header->opcode, header->param,
                                            Cut(GetPsw(), kFieldTextMax), kAccountTextSize),
                       reply, replyLen);
}

int Show_SetPwd(const char* body, const CommandHeader* header, bufferevent* /*conn*/,
                char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  const size_t len = body ? HandlerBodyLength(header, false) : 0;
  const std::string password =
      body ? std::string(body, strnlen(body, std::min(len, kAccountTextSize))) : std::string();
  const int result = SetPsw(password);
  return LocalApiReply(EncodeU32Reply(header->opcode, header->param, static_cast<uint32_t>(result)),
                       reply, replyLen);
}

int Show_GetMac(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  return LocalApiReply(EncodeTextFieldReply(header->opcode, header->param,
                                            Cut(g_strMacAddr, kFieldTextMax), kAccountTextSize),
                       reply, replyLen);
}

int GetVerAndType(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                  char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  std::string host;
  OS_GetHostName(host);
  VerAndTypeInfo info;
  info.sysType = g_nSysType;
  info.identity = std::string(g_szUUID, strnlen(g_szUUID, sizeof g_szUUID));
  info.hostName = Cut(LocalToWire(host), 63);
  return LocalApiReply(EncodeVerAndTypeReply(header->param, info), reply, replyLen);
}

// ---- folders, shares, transfer log, auto-sorting switch ----

int Show_GetDefShare(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                     char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  DefShareInfo dirs;
  GetDefShareInfo(dirs);
  std::vector<std::string> six;
  for (const char* field : {dirs.def, dirs.pic, dirs.music, dirs.video, dirs.doc, dirs.instant}) {
    std::string folder = LocalToWire(FixedField(field, kDefShareFieldSize));
    // A folder cut to its field would name another folder; the desktop gets none instead.
    if (folder.size() > kTextMax) folder.clear();
    six.push_back(folder);
  }
  QV_LOG(kModShow, kLogDebug,
         "Show_GetDefShare Default %s, DefaultDoc %s, DefaultMusic %s, DefaultPic %s, "
         "DefaultVideo %s, DefInstant %s",
         six[0].c_str(), six[4].c_str(), six[2].c_str(), six[1].c_str(), six[3].c_str(),
         six[5].c_str());
  return LocalApiReply(EncodeDefShareReply(header->param, six), reply, replyLen);
}

int Show_SetDefShare(const char* body, const CommandHeader* header, bufferevent* /*conn*/,
                     char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  if (!body) {
    QV_LOG(kModShow, kLogError, "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  const wire::Reader in(reinterpret_cast<const uint8_t*>(body),
                        HandlerBodyLength(header, false));
  std::vector<std::string> six;
  int result = -1;
  if (!DecodeDefShareInfo(in, six)) {
    QV_LOG(kModShow, kLogError, "set def dir error: %zu bytes are no folder set.", in.Size());
  } else {
    bool fits = true;
    for (std::string& folder : six) {
      folder = WireToLocal(folder);
      // A folder cut to its field would name another folder: refuse the whole set instead.
      fits = fits && folder.size() <= kTextMax;
    }
    QV_LOG(kModShow, kLogDebug,
           "Show_SetDefShare Default %s, DefaultDoc %s, DefaultMusic %s, DefaultPic %s, "
           "DefaultVideo %s, DefInstant %s",
           six[0].c_str(), six[4].c_str(), six[2].c_str(), six[1].c_str(), six[3].c_str(),
           six[5].c_str());
    if (fits) {
      DefShareInfo dirs{};
      char* fields[] = {dirs.def, dirs.pic, dirs.music, dirs.video, dirs.doc, dirs.instant};
      for (size_t i = 0; i < 6; ++i) std::memcpy(fields[i], six[i].data(), six[i].size());
      result = SetDefaultDir(dirs);
    }
    if (result != 0) QV_LOG(kModShow, kLogError, "set def dir error.");
  }
  return LocalApiReply(EncodeU32Reply(header->opcode, header->param, static_cast<uint32_t>(result)),
                       reply, replyLen);
}

int Show_GetShare(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                  char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  std::vector<std::string> shares;
  ParseShareInfo(shares);
  const WireBytes text = LinesBody(shares);
  QV_LOG(kModShow, kLogDebug, "Show_GetShare %s", std::string(text.begin(), text.end()).c_str());
  return LocalApiReply(EncodeLocalReply(header->opcode, header->param, text), reply, replyLen);
}

int Show_SetShare(const char* body, const CommandHeader* header, bufferevent* /*conn*/,
                  char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  const std::string text = WireToLocal(BodyText(body, header));
  std::vector<std::string> lines;
  OS_SplitStr(text, "\r\n", lines);
  QV_LOG(kModShow, kLogDebug, "%s", "Show_SetShare:");
  std::vector<std::string> folders;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    QV_LOG(kModShow, kLogDebug, "%s", line.c_str());
    folders.push_back(line);
  }
  const int result = SetShareInfo(folders);
  return LocalApiReply(EncodeU32Reply(header->opcode, header->param, static_cast<uint32_t>(result)),
                       reply, replyLen);
}

void GetLogicalDriveList(std::vector<std::string>& out) {
  for (const std::string& root : Plat_DriveRoots()) {
    if (!root.empty()) out.push_back(root);
  }
}

int Show_GetPath(const char* body, const CommandHeader* header, bufferevent* /*conn*/,
                 char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  std::vector<std::string> lines;
  if (body) {
    const std::string folder = WireToLocal(BodyText(body, header));
    if (folder.size() > kTextMax) {
      QV_LOG(kModShow, kLogError, "Show_GetPath path of %zu bytes is too long.", folder.size());
    } else {
      std::vector<std::string> subs;
      OS_GetSubDirs(folder, subs);
      // The folder as asked, one separator, the name: "/" asked gives "/etc", not "//etc".
      const std::string prefix = (!folder.empty() && folder.back() == '/') ? folder : folder + "/";
      for (const std::string& sub : subs) lines.push_back(prefix + sub);
    }
  } else {
    GetLogicalDriveList(lines);
  }
  const WireBytes text = LinesBody(lines);
  QV_LOG(kModShow, kLogDebug, "Show_GetPath %s", std::string(text.begin(), text.end()).c_str());
  return LocalApiReply(EncodeLocalReply(header->opcode, header->param, text), reply, replyLen);
}

int Show_GetTransLog(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                     char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  std::vector<TransLogRecord> rows;
  GetTransLog(rows);
  QV_LOG(kModShow, kLogDebug, "Show_GetTransLog log count %d", static_cast<int>(rows.size()));
  const size_t fit = (kMaxMessage - kCommandHeaderSize) / kTransLogRecordSize;
  const size_t count = std::min(rows.size(), fit);
  WireBytes records(count * kTransLogRecordSize, 0);
  for (size_t i = 0; i < count; ++i) {
    TransLogWire rec;
    rec.type = rows[i].type;
    rec.status = rows[i].status;
    rec.size = rows[i].size;
    rec.time = Cut(FixedField(rows[i].time, sizeof rows[i].time), sizeof rows[i].time - 1);
    rec.file = Cut(LocalToWire(FixedField(rows[i].file, sizeof rows[i].file)), kTextMax);
    EncodeTransLogRecord(rec, records.data() + i * kTransLogRecordSize);
  }
  return LocalApiReply(EncodeLocalReply(header->opcode, header->param, records), reply, replyLen);
}

int Show_ClearLog(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                  char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  const int result = ClearLog();
  QV_LOG(kModShow, kLogDebug, "Show_ClearLog %d ", result);
  return LocalApiReply(EncodeU32Reply(header->opcode, header->param, static_cast<uint32_t>(result)),
                       reply, replyLen);
}

int Show_AutoTiding(const char* body, const CommandHeader* header, bufferevent* /*conn*/,
                    char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  if (header->opcode == kOpGetAutoTiding) {
    std::string status;
    if (GetTidingStatusByType(kTidingByDate, status) != 0) return -1;
    return LocalApiReply(EncodeAutoTidingReply(header->param, status.empty() ? '\0' : status[0]),
                         reply, replyLen);
  }
  if (header->opcode == kOpSetAutoTiding) {
    if (!body || HandlerBodyLength(header, false) == 0) return -1;
    if (body[0] != '0' && body[0] != '1') return 0;
    return SetTidingStatusByType(kTidingByDate, std::string(1, body[0])) == 0 ? 0 : -1;
  }
  return 0;
}

int LocalApiReply(const WireBytes& bytes, char** reply, int* replyLen) {
  if (!PutReply(bytes.data(), bytes.size(), reply, replyLen)) {
    QV_LOG(kModShow, kLogError, "%s", "Allocate memory error.");
    return kErrAllocate;
  }
  return 0;
}
