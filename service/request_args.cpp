#include "service/request_args.h"

#include <unistd.h>

#include <cstring>
#include <new>

#include "common/share_paths.h"
#include "service/service_globals.h"

size_t HandlerBodyLength(const CommandHeader* header, bool viaRelay) {
  if (!header) return 0;
  if (viaRelay) return 64 + size_t(header->len);
  return header->len > kCommandHeaderSize ? header->len - kCommandHeaderSize : 0;
}

bool ReadPathField(const wire::Reader& in, size_t offset, size_t width, std::string& out) {
  if (!in.Has(offset, width)) return false;
  if (!std::memchr(in.At(offset), 0, width)) return false;
  return in.Text(offset, width, out);
}

std::string ResolvePeerPath(const std::string& wirePath) {
  return ExpandDefaultPath(NormalizePeerPath(WireToLocal(wirePath)));
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool PutReply(const uint8_t* bytes, size_t n, char** reply, int* replyLen) {
  char* out = new (std::nothrow) char[n];
  if (!out) return false;
  std::memcpy(out, bytes, n);
  *reply = out;
  *replyLen = static_cast<int>(n);
  return true;
}

UniqueFd::~UniqueFd() {
  if (fd >= 0) ::close(fd);
}
