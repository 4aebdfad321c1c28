// quarlo-phone: a phone on the command line, for trying the PC side without the phone app and
// for black-box tests. It speaks the device protocol to a PC: over TCP to its command port,
// through QuarloCentral's relay (--via relay), or peer to peer over UDT (--via udt); and it
// finds PCs on a LAN by broadcast (discover). The usage text below lists the commands.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/local_api_ops.h"
#include "common/md5.h"
#include "common/proto_central.h"
#include "common/proto_p2p.h"
#include "common/proto_thumb.h"
#include "common/proto_transfer.h"
#include "common/share_paths.h"
#include "service/transfers/download.h"
#include "tests/support/central_process.h"
#include "tests/support/device_client.h"
#include "tests/support/relay_phone.h"
#include "tests/support/thumb_client.h"
#include "tests/support/udt_device_client.h"

namespace {

constexpr auto kWait = std::chrono::seconds(30);
constexpr size_t kUploadChunk = 32768;
constexpr uint16_t kThumbWidth = 160;
constexpr uint16_t kThumbHeight = 120;
constexpr int kDiscoverSeconds = 3;

const char kUsage[] =
    "usage: quarlo-phone [ROAD] ls [PATH]           the shared folders, or one folder's entries\n"
    "       quarlo-phone [ROAD] get PATH [FILE]     download (FILE: the file's name, here)\n"
    "       quarlo-phone [ROAD] put FILE PATH       upload (resumes what the PC holds)\n"
    "       quarlo-phone [ROAD] thumb PATH OUT.jpg  a 160x120 thumbnail of a picture\n"
    "       quarlo-phone [ROAD] sort [on|off]       shows or switches the photo sorting\n"
    "       quarlo-phone discover INTERFACE [SECONDS]\n"
    "                              the PCs that answer a broadcast on INTERFACE's network\n"
    "                              (within SECONDS, 3 by default)\n"
    "ROAD is one of\n"
    "       [--host HOST] [--port PORT]             the PC's command port (127.0.0.1:15002)\n"
    "       --via relay [--host HOST] [--port PORT] --account EMAIL [--pc ID]\n"
    "                              through QuarloCentral (127.0.0.1:15100) to the account's PC\n"
    "                              ID, by default the first one online\n"
    "       --via udt [--host HOST] --port P2PPORT  peer to peer, straight to the PC\n"
    "       --via udt [--host HOST] [--port PORT] --account EMAIL\n"
    "                              peer to peer, introduced by QuarloCentral (127.0.0.1:15101)\n"
    "HOST is a name or an address. With --account the password is read from standard input.\n"
    "PATH is a whole path on the PC (\"$PWD/run-base/share\") or begins with $DEFAULT$,\n"
    "$DEFAULT_PIC$, $DEFAULT_MUSIC$, $DEFAULT_VIDEO$, $DEFAULT_DOC$ or $DEFAULT_INSTANT$.\n";

int Fail(const std::string& text) {
  std::fprintf(stderr, "quarlo-phone: %s\n", text.c_str());
  return 1;
}

int Usage(const std::string& why) {
  if (!why.empty()) std::fprintf(stderr, "quarlo-phone: %s\n", why.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

// What the PC and QuarloCentral mean by their codes, in one place for every command.
struct CodeWords {
  uint32_t code;
  const char* words;
};
const CodeWords kCodeWords[] = {
    {kStatusUnknownAccount, "unknown account"},
    {kStatusWrongPassword, "wrong password"},
    {kStatusNotLoggedOn, "the PC is not logged on"},
    {kStatusBadRequest, "bad request"},
    {kStatusUnknownCommand, "unknown command"},
    {kStatusServerError, "the server could not store or read"},
    {kStatusTooMany, "too many new identities from this address"},
    {kErrNotFolder, "no such folder"},
    {kErrNotShared, "not shared"},
    {kErrDownNoFile, "no such file"},
    {kErrDownSize, "the file's size cannot be read"},
    {kErrTransOther, "refused (session in use, bad request or no room on the PC)"},
};

// "not shared (code 0x1016)"
std::string CodeText(uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%04X", code);
  for (const CodeWords& c : kCodeWords)
    if (c.code == code) return std::string(c.words) + " (code " + hex + ")";
  return std::string("code ") + hex;
}

// A path on the PC is whole, or begins with a default-folder token: a relative one would be
// read on the PC against some folder the phone cannot know.
bool PcPathOk(const std::string& path) {
  return !path.empty() && (path[0] == '/' || path[0] == '\\' || path[0] == '$');
}

int RelativePath(const std::string& path) {
  char cwd[4096];
  const std::string here = getcwd(cwd, sizeof cwd) ? cwd : ".";
  return Fail("\"" + path + "\" is not a whole path on the PC: give it as \"" + here + "/" + path +
              "\", or begin it with a default folder such as $DEFAULT$");
}

Bytes WholeMessage(const DeviceMessage& m) {
  Bytes b(kCommandHeaderSize);
  EncodeCommandHeader(m.header, b.data());
  b.insert(b.end(), m.body.begin(), m.body.end());
  return b;
}

// The road to the PC: its command port, or the relay through the central server.
class PhoneRoad {
 public:
  virtual ~PhoneRoad() = default;
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

class DirectRoad : public PhoneRoad {
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
class UdtRoad : public PhoneRoad {
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

class RelayRoad : public PhoneRoad {
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

int List(PhoneRoad& pc, const std::string& path) {
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

int Get(PhoneRoad& pc, const std::string& path, std::string file) {
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
    return Fail("refused: " + CodeText(error.code));
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

int Put(PhoneRoad& pc, const std::string& file, const std::string& path) {
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
    return Fail("refused: " + CodeText(error.code));
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

int Thumb(PhoneRoad& pc, const std::string& path, const std::string& out) {
  const uint32_t id = NewSession();
  if (!pc.Send(kOpThumbnail, id, ThumbRequestBody(kThumbWidth, kThumbHeight, path)))
    return Fail("cannot send");
  std::vector<uint8_t> thumbnail;
  for (;;) {
    DeviceMessage m;
    if (!pc.ReadMessage(m, kWait)) return Fail("no answer");
    if (m.header.param != id) continue;
    if (m.header.opcode == kOpThumbnailEnd) {
      const uint16_t status = m.body.size() >= 2 ? wire::GetU16(m.body.data()) : 0xFFFF;
      if (status != kThumbEndSent || thumbnail.empty())
        return Fail("no thumbnail of " + path +
                    " (not a JPEG, BMP or PBM/PGM/PPM picture inside a shared folder)");
      break;
    }
    if (m.header.opcode != kOpThumbnail || m.body.size() < 8) return Fail("malformed answer");
    const uint32_t offset = wire::GetU32(m.body.data() + 4);
    if (offset != thumbnail.size()) return Fail("thumbnail chunks out of order");
    thumbnail.insert(thumbnail.end(), m.body.begin() + 8, m.body.end());
  }
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(thumbnail.data()),
             static_cast<std::streamsize>(thumbnail.size()));
  file.close();
  if (!file) return Fail("cannot write " + out);
  std::printf("%s  %zu bytes, %ux%u\n", out.c_str(), thumbnail.size(), kThumbWidth, kThumbHeight);
  return 0;
}

// The switch is set without an answer; reading it back shows what the PC now holds.
int Sort(PhoneRoad& pc, const std::string& want) {
  if (!want.empty() && !pc.Send(kOpSetAutoTiding, NewSession(), Bytes{static_cast<uint8_t>(want == "on" ? '1' : '0')}))
    return Fail("cannot send");
  const uint32_t param = NewSession();
  if (!pc.Send(kOpGetAutoTiding, param)) return Fail("cannot send");
  DeviceMessage m;
  for (;;) {
    if (!pc.ReadMessage(m, kWait)) return Fail("no answer (the PC could not read its settings)");
    if (m.header.opcode == kOpGetAutoTiding && m.header.param == param) break;
  }
  if (m.body.size() != 1) return Fail("malformed answer");
  const bool on = m.body[0] == '1';
  std::printf("photo sorting is %s\n", on ? "on" : "off");
  if (!want.empty() && on != (want == "on")) return Fail("the PC did not take the switch");
  return 0;
}

// LAN discovery as a phone does it: a broadcast on the interface's network, answered by each
// PC with a broadcast of its own to the discovery port.
int Discover(const std::string& interface, int seconds) {
  ifaddrs* list = nullptr;
  bool found = false;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* a = list; a; a = a->ifa_next)
      if (a->ifa_name && interface == a->ifa_name && a->ifa_addr && a->ifa_addr->sa_family == AF_INET)
        found = true;
    freeifaddrs(list);
  }
  if (!found) return Fail("no interface " + interface + " with an IPv4 address");
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return Fail(std::string("no UDP socket: ") + std::strerror(errno));
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  // The PC's own discovery socket may share the port when this runs on the PC itself.
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(),
                 static_cast<socklen_t>(interface.size())) != 0) {
    close(s);
    return Fail("cannot bind to " + interface + ": " + std::strerror(errno));
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kDiscoveryPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(s);
    return Fail("cannot listen on UDP port " + std::to_string(kDiscoveryPort) + ": " +
                std::strerror(errno));
  }
  uint8_t request[kDiscoveryReplySize] = {'q', 'v'};
  wire::PutU16(request + 2, 7);
  wire::PutU16(request + 4, 4);  // a phone
  sockaddr_in all{};
  all.sin_family = AF_INET;
  all.sin_port = htons(kDiscoveryPort);
  all.sin_addr.s_addr = htonl(INADDR_BROADCAST);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  auto end = deadline;              // moves to a second after the latest answer
  auto nextAsk = Clock::now();      // asked again each second until someone answers
  std::set<std::string> seen;
  while (Clock::now() < end) {
    if (seen.empty() && Clock::now() >= nextAsk) {
      if (sendto(s, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&all), sizeof all) !=
          static_cast<ssize_t>(sizeof request)) {
        const std::string why = std::strerror(errno);
        close(s);
        return Fail("cannot broadcast on " + interface + ": " + why);
      }
      nextAsk = Clock::now() + std::chrono::seconds(1);
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min(end, seen.empty() ? nextAsk : end) - Clock::now());
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::max<int64_t>(1, left.count()))) <= 0) continue;
    uint8_t reply[1024];
    const ssize_t n = recv(s, reply, sizeof reply, 0);
    // Our own request comes back too: only a PC's answer (system type 2) counts.
    if (n != static_cast<ssize_t>(kDiscoveryReplySize) || reply[0] != 'q' || reply[1] != 'v' ||
        wire::GetU16(reply + 4) != 2)
      continue;
    auto text = [&](size_t at, size_t width) {
      return std::string(reinterpret_cast<const char*>(reply + at), strnlen(reinterpret_cast<const char*>(reply + at), width));
    };
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, reply + kDiscoveryAddrOffset, address, sizeof address);
    const std::string line = "PC \"" + text(78, 64) + "\"  " + address + ":" +
                             std::to_string(wire::GetU16(reply + 74)) + "  account " +
                             text(6, 32) + "  identity " + text(142, 64);
    if (seen.insert(line).second) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
      end = std::min(deadline, Clock::now() + std::chrono::seconds(1));
    }
  }
  close(s);
  if (seen.empty())
    return Fail("no PC answered on " + interface + " within " + std::to_string(seconds) + " s");
  return 0;
}

// A host name or address as the IPv4 text the UDT client takes.
bool ResolveIpv4(const std::string& host, std::string& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(res);
  out = text;
  return true;
}

bool ParseNumber(const std::string& text, long low, long high, long& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || errno != 0 || *end != '\0' || v < low || v > high) return false;
  out = v;
  return true;
}

// Whether the words after the options make a command; why not, when they do not.
bool CommandShape(const std::vector<std::string>& args, std::string& why) {
  const std::string& cmd = args[0];
  const size_t n = args.size();
  bool ok = false;
  if (cmd == "ls") ok = n <= 2;
  else if (cmd == "get") ok = n == 2 || n == 3;
  else if (cmd == "put" || cmd == "thumb") ok = n == 3;
  else if (cmd == "sort") ok = n == 1 || (n == 2 && (args[1] == "on" || args[1] == "off"));
  else if (cmd == "discover") ok = n == 2 || n == 3;
  else {
    why = "unknown command " + cmd;
    return false;
  }
  if (!ok) why = "wrong arguments for " + cmd;
  return ok;
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
    if (a == "--host" || a == "--port" || a == "--via" || a == "--account" || a == "--pc") {
      if (i + 1 >= argc) return Usage(a + " needs a value");
      const std::string v = argv[++i];
      if (a == "--host") host = v;
      else if (a == "--port" && !ParseNumber(v, 1, 65535, port)) return Usage("bad port " + v);
      else if (a == "--via") via = v;
      else if (a == "--account") account = v;
      else if (a == "--pc") pcId = v;
      continue;
    }
    if (a.size() > 1 && a[0] == '-' && a[1] == '-') return Usage("unknown option " + a);
    args.push_back(a);
  }
  const bool relay = via == "relay";
  const bool udt = via == "udt";
  if (args.empty()) return Usage("");
  std::string why;
  if (!CommandShape(args, why)) return Usage(why);
  if (!via.empty() && !relay && !udt) return Usage("--via takes relay or udt, not " + via);
  if (relay && account.empty()) return Usage("--via relay needs --account");
  const std::string& cmd = args[0];
  if (cmd == "discover") {
    long seconds = kDiscoverSeconds;
    if (args.size() == 3 && !ParseNumber(args[2], 1, 3600, seconds))
      return Usage("SECONDS from 1 to 3600, not " + args[2]);
    return Discover(args[1], static_cast<int>(seconds));
  }
  // Paths on the PC are checked before anything is sent.
  const std::string pcPath = cmd == "put" ? args[2] : args.size() >= 2 && cmd != "sort" ? args[1] : "";
  if (!pcPath.empty() && !PcPathOk(pcPath)) return RelativePath(pcPath);
  if (port == 0) port = relay ? 15100 : udt ? 15101 : 15002;

  std::unique_ptr<PhoneRoad> road;
  if (relay) {
    auto r = std::make_unique<RelayRoad>();
    r->phone.SetHost(host);
    std::string password;
    std::getline(std::cin, password);
    const int status = r->phone.SignIn(static_cast<uint16_t>(port), account, PcPasswordOf(password));
    if (status < 0) return Fail("no answer from QuarloCentral at " + host + ":" + std::to_string(port));
    if (status != 0) return Fail("sign-in refused: " + CodeText(static_cast<uint32_t>(status)));
    std::vector<PcEntry> pcs;
    if (r->phone.ListPcs(static_cast<uint16_t>(port), pcs) != 0) return Fail("no PC list");
    for (const PcEntry& e : pcs)
      if (e.online && (pcId.empty() || e.identity == pcId) && r->pc.empty()) r->pc = e.identity;
    if (r->pc.empty()) return Fail("no PC of the account is online");
    road = std::move(r);
  } else if (udt) {
    auto u = std::make_unique<UdtRoad>();
    std::string address;
    if (!ResolveIpv4(host, address)) return Fail("unknown host " + host);
    std::string pcHost = address;
    uint16_t pcPort = static_cast<uint16_t>(port);
    if (u->udt.Bind(address.rfind("127.", 0) == 0 ? "127.0.0.1" : "0.0.0.0") == 0)
      return Fail("cannot bind a UDP socket");
    if (!account.empty()) {
      std::string password;
      std::getline(std::cin, password);
      if (!u->udt.Rendezvous(address, static_cast<uint16_t>(port), account, PcPasswordOf(password),
                             pcHost, pcPort))
        return Fail("the rendezvous at " + host + ":" + std::to_string(port) +
                    " introduced no PC (wrong password, or no PC of the account online)");
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
  PhoneRoad& pc = *road;
  if (cmd == "ls") return List(pc, args.size() == 2 ? args[1] : "");
  if (cmd == "get") return Get(pc, args[1], args.size() == 3 ? args[2] : "");
  if (cmd == "put") return Put(pc, args[1], args[2]);
  if (cmd == "thumb") return Thumb(pc, args[1], args[2]);
  return Sort(pc, args.size() == 2 ? args[1] : "");
}
