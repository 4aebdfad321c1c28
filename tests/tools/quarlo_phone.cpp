// quarlo-phone: a phone on the command line, for trying the PC side without the phone app and
// for black-box tests. It speaks the device protocol over TCP to a PC's command port.
//   quarlo-phone [--host H] [--port P] ls [PATH]      shared folders, or one folder's entries
//   quarlo-phone [--host H] [--port P] get PATH [FILE] download (FILE defaults to the name)
//   quarlo-phone [--host H] [--port P] put FILE PATH   upload (resumes what the PC holds)
// With --via relay the same requests go through QuarloCentral at --host/--port (default
// 127.0.0.1:15100), signed in as --account with the password read from standard input, to
// the account's PC named by --pc (default: the first one online).
// With --via udt the requests go peer to peer over UDT: to the PC's peer-to-peer port
// (--host/--port) after a hole punch, or, with --account, to the account's PC that
// QuarloCentral's rendezvous at --host/--port (default 127.0.0.1:15101) introduces.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>
#include <memory>

#include "common/md5.h"
#include "common/proto_transfer.h"
#include "tests/support/central_process.h"
#include "tests/support/device_client.h"
#include "tests/support/relay_phone.h"
#include "tests/support/udt_device_client.h"
#include <iostream>
#include <thread>

namespace {

constexpr auto kWait = std::chrono::seconds(30);
constexpr size_t kUploadChunk = 32768;

const char kUsage[] =
    "usage: quarlo-phone [--host HOST] [--port PORT] ls [PATH]\n"
    "       quarlo-phone [--host HOST] [--port PORT] get PATH [FILE]\n"
    "       quarlo-phone [--host HOST] [--port PORT] put FILE PATH\n"
    "       quarlo-phone --via relay [--host HOST] [--port PORT] --account EMAIL [--pc ID] ...\n"
    "       quarlo-phone --via udt [--host HOST] --port P2PPORT ...\n"
    "       quarlo-phone --via udt [--host HOST] [--port PORT] --account EMAIL ...\n"
    "HOST defaults to 127.0.0.1, PORT to 15002 (15100 through the relay). PATH is a path on\n"
    "the PC, or begins with $DEFAULT$, $DEFAULT_PIC$, ... for the default folders. Through the\n"
    "relay the account's password is read from standard input.\n";

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

// The road to the PC: its command port, or the relay through the central server.
class Road {
 public:
  virtual ~Road() = default;
  virtual bool SendRaw(const Bytes& message) = 0;
  bool Send(uint16_t op, uint32_t param, const Bytes& body = {}) {
    return SendRaw(BuildMessage(op, param, body));
  }
  virtual bool ReadMessage(DeviceMessage& m, std::chrono::seconds wait) = 0;
  // Returns once the PC has handled everything of the upload sent before.
  virtual bool Settle(uint32_t session, const std::string& path, uint32_t size) = 0;
  // Upload data per message.
  virtual size_t Chunk() const { return kUploadChunk; }
};

class DirectRoad : public Road {
 public:
  DeviceClient conn;
  bool SendRaw(const Bytes& message) override { return conn.SendRaw(message); }
  bool ReadMessage(DeviceMessage& m, std::chrono::seconds wait) override {
    return conn.ReadMessage(m, wait);
  }
  bool Settle(uint32_t session, const std::string&, uint32_t) override {
    // The end has no answer: a share-list request behind it returns once it was handled.
    DeviceMessage m;
    return Send(xfer::kOpShareList, session) && conn.ReadMessage(m, kWait);
  }
};

// UDT: one message per request, at most 2048 bytes each.
class UdtRoad : public Road {
 public:
  UdtDeviceClient udt;
  bool SendRaw(const Bytes& message) override { return udt.SendRaw(message); }
  bool ReadMessage(DeviceMessage& m, std::chrono::seconds wait) override {
    return udt.ReadMessage(m, wait);
  }
  bool Settle(uint32_t session, const std::string&, uint32_t) override {
    DeviceMessage m;
    return Send(xfer::kOpShareList, session) && udt.ReadMessage(m, kWait);
  }
  size_t Chunk() const override { return 1000; }
};

class RelayRoad : public Road {
 public:
  RelayPhone phone;
  std::string pc;
  bool SendRaw(const Bytes& message) override {
    if (message.size() < kCommandHeaderSize) return false;
    const uint16_t op = wire::GetU16(message.data() + 2);
    // Upload data and ends are left in the server's cache for the PC to fetch.
    if (op == xfer::kOpUploadData || op == xfer::kOpUploadOver) {
      return phone.Leave(pc, message, std::chrono::milliseconds(60000)) == 0;
    }
    return phone.Request(pc, message);
  }
  bool ReadMessage(DeviceMessage& m, std::chrono::seconds wait) override {
    return phone.ReadMessage(m, nullptr, wait);
  }
  bool Settle(uint32_t session, const std::string& path, uint32_t size) override {
    // The PC fetches on its own time: asks until the finished file is there.
    for (int i = 0; i < 600; ++i) {
      DeviceMessage m;
      if (!Send(xfer::kOpReqDownload, session + 1, EncodeFilePathRequest({path, true})) ||
          !ReadMessage(m, kWait))
        return false;
      Send(xfer::kOpRefuseDownload, session + 1);
      const Bytes b = WholeMessage(m);
      DownloadInfo info;
      if (DecodeDownloadInfo(b.data(), b.size(), info) && info.size == size) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
};

uint32_t NewSession() { return std::random_device()() & 0x7FFFFFFF; }

int List(Road& pc, const std::string& path) {
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

int Get(Road& pc, const std::string& path, std::string file) {
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

int Put(Road& pc, const std::string& file, const std::string& path) {
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
  std::vector<uint8_t> chunk(pc.Chunk());
  uint64_t sent = allowed;
  while (sent < req.size) {
    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    const size_t n = static_cast<size_t>(in.gcount());
    if (n == 0) return Fail(file + " changed while it was sent");
    if (!pc.SendRaw(EncodeUploadData(session, chunk.data(), n))) return Fail("upload broke off");
    sent += n;
  }
  if (!pc.Send(xfer::kOpUploadOver, session, EncodeUploadOver(0))) return Fail("upload broke off");
  if (!pc.Settle(session, path, req.size)) return Fail("no confirmation");
  std::printf("%s  %llu bytes (%u were there already)\n", path.c_str(),
              static_cast<unsigned long long>(req.size), allowed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  long port = 0;
  std::string via, account, pcId;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if ((a == "--host" || a == "--port" || a == "--via" || a == "--account" || a == "--pc") &&
        i + 1 < argc) {
      const std::string v = argv[++i];
      if (a == "--host") host = v;
      else if (a == "--port") port = std::strtol(v.c_str(), nullptr, 10);
      else if (a == "--via") via = v;
      else if (a == "--account") account = v;
      else pcId = v;
      continue;
    }
    args.push_back(a);
  }
  const bool relay = via == "relay";
  const bool udt = via == "udt";
  if (port == 0) port = relay ? 15100 : udt ? 15101 : 15002;
  if (args.empty() || port <= 0 || port > 65535 || (!via.empty() && !relay && !udt) ||
      (relay && (account.empty() || host != "127.0.0.1"))) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::unique_ptr<Road> road;
  if (relay) {
    auto r = std::make_unique<RelayRoad>();
    r->phone.SetHost(host);
    std::string password;
    std::getline(std::cin, password);
    const int status = r->phone.SignIn(static_cast<uint16_t>(port), account, PcPasswordOf(password));
    if (status != 0) return Fail("sign-in refused (status " + std::to_string(status) + ")");
    std::vector<PcEntry> pcs;
    if (r->phone.ListPcs(static_cast<uint16_t>(port), pcs) != 0) return Fail("no PC list");
    for (const PcEntry& e : pcs)
      if (e.online && (pcId.empty() || e.identity == pcId) && r->pc.empty()) r->pc = e.identity;
    if (r->pc.empty()) return Fail("no PC of the account is online");
    road = std::move(r);
  } else if (udt) {
    auto u = std::make_unique<UdtRoad>();
    std::string pcHost = host;
    uint16_t pcPort = static_cast<uint16_t>(port);
    if (u->udt.Bind(host == "127.0.0.1" ? "127.0.0.1" : "0.0.0.0") == 0) return Fail("cannot bind a UDP socket");
    if (!account.empty()) {
      std::string password;
      std::getline(std::cin, password);
      if (!u->udt.Rendezvous(host, static_cast<uint16_t>(port), account, PcPasswordOf(password),
                             pcHost, pcPort))
        return Fail("the rendezvous at " + host + ":" + std::to_string(port) + " introduced no PC");
    }
    if (!u->udt.Punch(pcHost, pcPort)) return Fail("no answer to the hole punch from " + pcHost + ":" + std::to_string(pcPort));
    if (!u->udt.ConnectUdt(pcHost, pcPort)) return Fail("no UDT connection to " + pcHost + ":" + std::to_string(pcPort));
    road = std::move(u);
  } else {
    auto d = std::make_unique<DirectRoad>();
    if (!d->conn.Connect(host, static_cast<uint16_t>(port)))
      return Fail("cannot connect to " + host + ":" + std::to_string(port));
    road = std::move(d);
  }
  Road& pc = *road;
  const std::string& cmd = args[0];
  if (cmd == "ls" && args.size() <= 2) return List(pc, args.size() == 2 ? args[1] : "");
  if (cmd == "get" && (args.size() == 2 || args.size() == 3))
    return Get(pc, args[1], args.size() == 3 ? args[2] : "");
  if (cmd == "put" && args.size() == 3) return Put(pc, args[1], args[2]);
  std::fputs(kUsage, stderr);
  return 2;
}
