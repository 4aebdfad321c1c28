// quarlo-phone: a phone on the command line, for trying the PC side without the phone app and
// for black-box tests. It speaks the device protocol over TCP to a PC's command port.
//   quarlo-phone [--host H] [--port P] ls [PATH]      shared folders, or one folder's entries
//   quarlo-phone [--host H] [--port P] get PATH [FILE] download (FILE defaults to the name)
//   quarlo-phone [--host H] [--port P] put FILE PATH   upload (resumes what the PC holds)
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/md5.h"
#include "common/proto_transfer.h"
#include "tests/support/device_client.h"

namespace {

constexpr auto kWait = std::chrono::seconds(30);
constexpr size_t kUploadChunk = 32768;

const char kUsage[] =
    "usage: quarlo-phone [--host HOST] [--port PORT] ls [PATH]\n"
    "       quarlo-phone [--host HOST] [--port PORT] get PATH [FILE]\n"
    "       quarlo-phone [--host HOST] [--port PORT] put FILE PATH\n"
    "HOST defaults to 127.0.0.1, PORT to 15002. PATH is a path on the PC, or begins with\n"
    "$DEFAULT$, $DEFAULT_PIC$, ... for the default folders.\n";

int Fail(const std::string& text) {
  std::fprintf(stderr, "quarlo-phone: %s\n", text.c_str());
  return 1;
}

Bytes WholeMessage(const DeviceMessage& m) {
  Bytes b(kCommandHeaderSize);
  EncodeCommandHeader(m.header, b.data());
  b.insert(b.end(), m.body.begin(), m.body.end());
  return b;
}

uint32_t NewSession() { return std::random_device()() & 0x7FFFFFFF; }

int List(DeviceClient& pc, const std::string& path) {
  const uint32_t session = NewSession();
  if (path.empty()) {
    if (!pc.Send(xfer::kOpShareList, session)) return Fail("cannot send");
    DeviceMessage m;
    std::vector<std::string> folders;
    if (!pc.ReadMessage(m, kWait)) return Fail("no answer");
    const Bytes b = WholeMessage(m);
    if (!DecodeShareList(b.data(), b.size(), folders)) return Fail("malformed share list");
    for (const std::string& f : folders) std::printf("%s\n", f.c_str());
    return 0;
  }
  if (!pc.Send(xfer::kOpFileList, session, EncodeFilePathRequest({path, true})))
    return Fail("cannot send");
  uint32_t seen = 0;
  for (;;) {
    DeviceMessage m;
    if (!pc.ReadMessage(m, kWait)) return Fail("no answer");
    const Bytes b = WholeMessage(m);
    if (b.size() == kFileListRefusalSize) {
      if (seen == 0) return Fail("nothing listed (empty, missing or not shared): " + path);
      return 0;
    }
    FileListPackage p;
    std::vector<FileListEntry> entries;
    if (!DecodeFileListPackage(b.data(), b.size(), p) || !ParseFileListLines(p.lines, entries))
      return Fail("malformed listing");
    for (const FileListEntry& e : entries)
      std::printf("%s  %s  %12llu  %s\n", e.time.c_str(), e.type == 0 ? "dir " : "file",
                  static_cast<unsigned long long>(e.size), e.name.c_str());
    seen += p.count;
    if (seen >= p.total) return 0;
  }
}

int Get(DeviceClient& pc, const std::string& path, std::string file) {
  if (file.empty()) {
    const size_t slash = path.find_last_of("/\\");
    file = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  const uint32_t session = NewSession();
  if (!pc.Send(xfer::kOpReqDownload, session, EncodeFilePathRequest({path, true})))
    return Fail("cannot send");
  DeviceMessage m;
  if (!pc.ReadMessage(m, kWait)) return Fail("no answer");
  Bytes b = WholeMessage(m);
  TransError error;
  if (DecodeTransError(b.data(), b.size(), error))
    return Fail("refused with code 0x" + [&] { char t[8]; std::snprintf(t, sizeof t, "%04X", error.code); return std::string(t); }());
  DownloadInfo info;
  if (!DecodeDownloadInfo(b.data(), b.size(), info)) return Fail("malformed answer");
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) return Fail("cannot write " + file);
  if (!pc.Send(xfer::kOpAllowDownload, session, EncodeStartOffset(0))) return Fail("cannot send");
  uint64_t got = 0;
  for (;;) {
    if (!pc.ReadMessage(m, kWait)) return Fail("download broke off");
    b = WholeMessage(m);
    Package p;
    DownloadEnd end;
    if (DecodePackage(b.data(), b.size(), p)) {
      out.write(reinterpret_cast<const char*>(p.data.data()), static_cast<std::streamsize>(p.data.size()));
      got += p.data.size();
    } else if (DecodeDownloadEnd(b.data(), b.size(), end)) {
      out.close();
      if (end.status != '0' || got != info.size) return Fail("download failed");
      CMd5Hash check(file);
      if (std::memcmp(check.RawDigest(), info.fingerprint, kFingerprintSize) != 0)
        return Fail("fingerprint differs: " + file + " is damaged");
      std::printf("%s  %llu bytes\n", file.c_str(), static_cast<unsigned long long>(got));
      return 0;
    }
  }
}

int Put(DeviceClient& pc, const std::string& file, const std::string& path) {
  std::ifstream in(file, std::ios::binary);
  struct stat st {};
  if (!in || stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail("cannot read " + file);
  if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) return Fail("files up to 4 GiB only");
  UploadRequest req;
  req.size = static_cast<uint32_t>(st.st_size);
  CMd5Hash fp(file);
  std::memcpy(req.fingerprint, fp.RawDigest(), kFingerprintSize);
  req.path = path;
  const uint32_t session = NewSession();
  if (!pc.Send(xfer::kOpReqUpload, session, EncodeUploadRequest(req))) return Fail("cannot send");
  DeviceMessage m;
  if (!pc.ReadMessage(m, kWait)) return Fail("no answer");
  const Bytes b = WholeMessage(m);
  TransError error;
  uint32_t param = 0, allowed = 0;
  if (DecodeTransError(b.data(), b.size(), error))
    return Fail("refused with code " + std::to_string(error.code));
  if (!DecodeUploadAllow(b.data(), b.size(), param, allowed) || allowed > req.size)
    return Fail("malformed answer");
  in.seekg(allowed);
  std::vector<uint8_t> chunk(kUploadChunk);
  uint64_t sent = allowed;
  while (sent < req.size) {
    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    const size_t n = static_cast<size_t>(in.gcount());
    if (n == 0) return Fail(file + " changed while it was sent");
    if (!pc.SendRaw(EncodeUploadData(session, chunk.data(), n))) return Fail("upload broke off");
    sent += n;
  }
  if (!pc.Send(xfer::kOpUploadOver, session, EncodeUploadOver(0))) return Fail("upload broke off");
  // The end has no answer: a share-list request behind it returns once it was handled.
  if (!pc.Send(xfer::kOpShareList, session) || !pc.ReadMessage(m, kWait))
    return Fail("no confirmation");
  std::printf("%s  %llu bytes (%u were there already)\n", path.c_str(),
              static_cast<unsigned long long>(req.size), allowed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  long port = 15002;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if ((a == "--host" || a == "--port") && i + 1 < argc) {
      if (a == "--host") host = argv[++i];
      else port = std::strtol(argv[++i], nullptr, 10);
      continue;
    }
    args.push_back(a);
  }
  if (args.empty() || port <= 0 || port > 65535) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  DeviceClient pc;
  if (!pc.Connect(host, static_cast<uint16_t>(port)))
    return Fail("cannot connect to " + host + ":" + std::to_string(port));
  const std::string& cmd = args[0];
  if (cmd == "ls" && args.size() <= 2) return List(pc, args.size() == 2 ? args[1] : "");
  if (cmd == "get" && (args.size() == 2 || args.size() == 3))
    return Get(pc, args[1], args.size() == 3 ? args[2] : "");
  if (cmd == "put" && args.size() == 3) return Put(pc, args[1], args[2]);
  std::fputs(kUsage, stderr);
  return 2;
}
