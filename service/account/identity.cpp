#include "service/account/identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/log.h"
#include "common/server_client.h"
#include "common/settings.h"
#include "service/service_globals.h"

std::string UUIDFilePath() { return g_strBaseDir + "/bin/.uuid"; }

std::string ValidIdentity(const std::string& text) {
  std::string id = text;
  while (!id.empty() && (id.back() == '\r' || id.back() == '\n')) id.pop_back();
  if (id.empty() || id.size() > kIdentityMax) return "";
  for (const char c : id)
    if (c < 0x21 || c > 0x7E) return "";
  return id;
}

std::string ReadUUIDFile() {
  FILE* f = std::fopen(UUIDFilePath().c_str(), "r");
  if (!f) return "";
  char buf[kIdentityMax + 1] = {};
  const size_t n = std::fread(buf, 1, kIdentityMax, f);
  std::fclose(f);
  return std::string(buf, strnlen(buf, n));
}

void WriteUUIDFile(const std::string& identity) {
  const std::string path = UUIDFilePath();
  const std::string tmp = path + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    QV_LOG(kModUser, kLogError, "cannot write identity file %s.", path.c_str());
    return;
  }
  // A crash between write and rename leaves the old file (or none), never half an identity.
  bool ok = write(fd, identity.data(), identity.size()) == static_cast<ssize_t>(identity.size());
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    QV_LOG(kModUser, kLogError, "cannot write identity file %s.", path.c_str());
  }
}

std::string GetUUIDFromSV() {
  std::string host;
  uint16_t port = 0;
  GetServerInfo(host, port);
  if (host.empty()) {
    QV_LOG(kModUser, kLogWarning, "host is empty.");
    return "";
  }
  ServerAddress server;
  if (MakeServerAddress(host, port, server) != 0) {
    QV_LOG(kModUser, kLogWarning, "server host name too long.");
    return "";
  }
  RelayHeader h;
  h.command = kCmdIdentity;  // no identity yet: the field stays zero
  ServerReplyHeader reply;
  std::vector<uint8_t> body;
  if (SendServerRequest(h, server, nullptr, 0, reply, body) != 0 || reply.status != 0 ||
      body.empty())
    return "";
  const std::string id = ValidIdentity(DecodeIdentityReply(body.data(), body.size()));
  if (id.empty()) QV_LOG(kModUser, kLogWarning, "server sent an unusable identity.");
  return id;
}

std::string GetDeviceUUID() {
  std::string id = ReadUUIDFile();
  if (!id.empty()) return id;
  id = GetUUIDFromSV();
  if (!id.empty()) WriteUUIDFile(id);
  return id;
}
