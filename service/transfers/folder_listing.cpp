#include "service/transfers/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/os_layer.h"
#include "common/proto_transfer.h"
#include "common/settings.h"
#include "common/share_paths.h"
#include "common/share_table.h"
#include "service/core/deferred_reply.h"
#include "service/core/peer_send.h"
#include "service/core/request_args.h"
#include "service/service_globals.h"
#include "platform/files.h"

namespace {

constexpr int kErrAllocate = 273;
constexpr size_t kEntriesPerPackage = 4;
constexpr size_t kMaxShareMessage = 0xFFFF;

void StoreReply(char* buffer, size_t len, char** reply, int* replyLen) {
  if (reply) *reply = buffer;
  if (replyLen) *replyLen = int(len);
}

// Nothing listed: the device still gets a 0x2003 answer so it stops waiting.
int Refuse(int code, uint32_t param, char** reply, int* replyLen) {
  const Bytes bytes = EncodeFileListRefusal(param);
  char* buffer = new (std::nothrow) char[bytes.size()];
  if (!buffer) {
    QV_LOG(kModIntranet, kLogError, "Allocate memory error.");
    return kErrAllocate;
  }
  std::memcpy(buffer, bytes.data(), bytes.size());
  StoreReply(buffer, bytes.size(), reply, replyLen);
  return code;
}

// A name holding one of these would break the tab-separated, CRLF-ended line format.
bool FitsLineFormat(const std::string& name) {
  return name.find_first_of("\t\r\n") == std::string::npos;
}

std::string EntryLine(const SubFileInfo& entry) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "\t%d\t%" PRIu64 "\t", entry.type, entry.size);
  return entry.time + numbers + LocalToWire(entry.name) + "\r\n";
}

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// The visible folders, then the visible files, of the opened folder (its descriptor is taken
// over), each looked at once beside that descriptor. A link is listed with what it leads to only
// when that lies inside the shares, judged by opening it: a link to an outside file must not
// show the outside file's size and time, whatever the names do meanwhile.
void ListForDevice(int folderFd, const std::string& folder, std::vector<SubFileInfo>& out) {
  std::unique_ptr<DIR, DirCloser> dir(fdopendir(folderFd));
  if (!dir) {
    ::close(folderFd);
    return;
  }
  const int dirFd = dirfd(dir.get());
  std::vector<SubFileInfo> files;
  for (;;) {
    struct dirent* e = readdir(dir.get());
    if (!e) break;
    const std::string name = e->d_name;
    if (name == "." || name == ".." || Plat_IsHiddenName(name)) continue;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      UniqueFd target(OpenSharedPath(folder + "/" + name, O_PATH));
      if (target.fd < 0 || fstat(target.fd, &st) != 0) continue;
    }
    SubFileInfo info;
    info.name = name;
    info.time = OS_TimeToStr(static_cast<int64_t>(st.st_mtime));
    if (S_ISDIR(st.st_mode)) {
      info.type = 0;
      out.push_back(std::move(info));
    } else if (S_ISREG(st.st_mode)) {
      info.type = 1;
      info.size = static_cast<uint64_t>(st.st_size);
      files.push_back(std::move(info));
    }
  }
  for (auto& f : files) out.push_back(std::move(f));
}

// The listing's packages go out as the connection takes them, made one at a time on its loop:
// a big folder never queues its whole answer for a peer that does not read. Off the loop
// (a pool task) they go through the request's deferred reply; on the loop through one of their
// own, which holds the connection until the last one is out. Over UDT they are sent here.
void SendPackages(const PeerRoute& route, std::vector<FileListPackage> packages) {
  auto all = std::make_shared<std::vector<FileListPackage>>(std::move(packages));
  auto next = std::make_shared<size_t>(0);
  DeferredStream stream = [all, next](WireBytes& out) {
    if (*next >= all->size()) return false;
    out = EncodeFileListPackage((*all)[*next]);
    (*all)[*next].lines = std::string();  // sent: its memory goes now
    ++*next;
    return true;
  };
  if (route.outbox != 0) {
    DeferredReply_Stream(route.outbox, std::move(stream));
    return;
  }
  const uint64_t token = route.conn ? DeferredReply_Begin(route) : 0;
  if (token != 0) {
    DeferredReply_Stream(token, std::move(stream));
    DeferredReply_Finish(token, {});
    return;
  }
  // Send results are not acted on: a peer that went away is noticed by its transport.
  WireBytes message;
  while (stream(message)) SendToPeer(route, message.data(), message.size(), false);
}

}  // namespace

int GetShareInfo(const char* /*body*/, const CommandHeader* header, bufferevent* /*conn*/,
                 char** reply, int* replyLen, int* /*udtSock*/, char* /*direct*/) {
  QV_LOG(kModIntranet, kLogDebug, "get share dir");

  const std::shared_ptr<const ShareSnapshot> table = ShareTable_Current();
  std::vector<std::string> folders = table->shares;
  const DefaultDirSet& defaults = table->defaults;
  if (!defaults.def.empty()) {
    bool listed = false;
    for (const auto& folder : folders) listed = listed || folder == defaults.def;
    if (!listed) folders.push_back(defaults.def);
  }

  // The total length is a u16: folders that would not fit are left out rather than wrapping it.
  std::string text;
  uint16_t count = 0;
  std::vector<std::string> sent;
  for (const auto& folder : folders) {
    std::string line = LocalToWire(folder) + "\r\n";
    if (kTransHeaderSize + text.size() + line.size() > kMaxShareMessage) {
      QV_LOG(kModIntranet, kLogWarning, "share list too long, %zu of %zu folders sent",
             size_t(count), folders.size());
      break;
    }
    text += line;
    sent.push_back(LocalToWire(folder));
    ++count;
  }
  QV_LOG(kModIntranet, kLogDebug, "share dir size: %d info :%s", int(count), text.c_str());

  const size_t len = kTransHeaderSize + text.size();
  char* buffer = new (std::nothrow) char[len];
  if (!buffer) {
    QV_LOG(kModIntranet, kLogError, "Allocate memory error.");
    return kErrAllocate;
  }
  const Bytes bytes = EncodeShareList(header ? header->param : 0, sent);
  std::memcpy(buffer, bytes.data(), len);
  StoreReply(buffer, len, reply, replyLen);
  return 0;
}

int GetAllSubFile(const char* body, const CommandHeader* header, bufferevent* conn,
                  char** reply, int* replyLen, int* udtSock, char* direct) {
  const bool isDirect = !direct || *direct != 0;
  const int sock = udtSock ? *udtSock : -1;
  const uint32_t param = header ? header->param : 0;
  const size_t bodyLen = body ? HandlerBodyLength(header, !isDirect) : 0;

  const size_t start = isDirect ? 0 : kRelayBodyOffset;
  wire::Reader reader(reinterpret_cast<const uint8_t*>(body), bodyLen);
  if (!body) {
    QV_LOG(kModIntranet, kLogError, "Input msg buffer pointer is null.");
    return Refuse(kErrNoBody, param, reply, replyLen);
  }
  if (!reader.Has(start, kFilePathRequestSize)) {
    QV_LOG_REFUSAL(PeerKeyOf(conn, sock), kModIntranet, kLogError,
                   "file list request of %zu bytes is too short", bodyLen);
    return Refuse(kErrNoBody, param, reply, replyLen);
  }
  std::string wirePath;
  if (!ReadPathField(reader, start + kFilePathOffset, kFilePathWidth, wirePath)) {
    // Cutting it would name a different folder than the device asked for.
    QV_LOG_REFUSAL(PeerKeyOf(conn, sock), kModIntranet, kLogError,
                   "file list path longer than its field, refused");
    return Refuse(kErrNoBody, param, reply, replyLen);
  }
  const bool bigEndianTotal = body[start + kFilePathOrderOffset] == '1';

  QV_LOG(kModIntranet, kLogDebug, "get file list in dir:%s", WireToLocal(wirePath).c_str());
  const std::string path = ResolvePeerPath(wirePath);
  if (path.empty()) {
    QV_LOG(kModIntranet, kLogDebug, "%s.", "def share dir is empty.");
    return Refuse(kErrDefaultEmpty, param, reply, replyLen);
  }

  QV_LOG(kModIntranet, kLogDebug, "get %s sub file.", path.c_str());
  // Listed from what is opened here, beneath its share: a folder swapped for a link after the
  // check is not. Only a refusal pays for the full check, to tell the phone why.
  std::string opened;
  const int folderFd = OpenSharedPath(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK, &opened);
  if (folderFd < 0) {
    const int access = CheckSharePath(path);
    if (access != 0) return Refuse(access, param, reply, replyLen);
    QV_LOG_REFUSAL(PeerKeyOf(conn, sock), kModIntranet, kLogError,
                   "folder %s not opened beneath its share.", path.c_str());
    return Refuse(kErrNotShared, param, reply, replyLen);
  }
  std::vector<SubFileInfo> entries;
  ListForDevice(folderFd, opened, entries);
  std::vector<FileListPackage> packages;
  uint32_t total = 0;
  for (const auto& entry : entries) {
    if (!FitsLineFormat(entry.name)) continue;
    if (packages.empty() || packages.back().count == kEntriesPerPackage) {
      packages.emplace_back();
      packages.back().param = param;
      packages.back().totalBigEndian = bigEndianTotal;
    }
    packages.back().lines += EntryLine(entry);
    ++packages.back().count;
    ++total;
  }
  if (total == 0) return Refuse(0, param, reply, replyLen);

  QV_LOG(kModIntranet, kLogDebug, "share size %d.package number %d", int(total),
         int(packages.size()));

  for (auto& pkg : packages) pkg.total = total;
  const PeerRoute route = RouteOf(body, bodyLen, conn, sock, isDirect ? 1 : 0);
  SendPackages(route, std::move(packages));
  StoreReply(nullptr, 0, reply, replyLen);
  return 0;
}
