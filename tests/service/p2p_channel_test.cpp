// The peer-to-peer channel of the real service: the test plays the peer-to-peer server (it
// receives the heartbeat and sends the server's punches) and phones that punch the PC's port
// and talk UDT to it on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "common/md5.h"
#include "common/proto_p2p.h"
#include "common/proto_transfer.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/text_files.h"
#include "tests/support/udt_device_client.h"
#include "tests/support/wait_for.h"

namespace {

constexpr const char* kEmail = "owner@example.org";

int UdpSocket(uint16_t& port) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return s;
}

bool ReadDatagram(int sock, Bytes& out, sockaddr_in& from, std::chrono::milliseconds wait) {
  pollfd p{sock, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
  uint8_t buf[4096];
  socklen_t len = sizeof from;
  const ssize_t n = recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return false;
  out.assign(buf, buf + n);
  return true;
}

void SendTo(int sock, const uint8_t* data, size_t len, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  sendto(sock, data, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
  return s;
}

// A real service whose peer-to-peer server is a socket of the test.
class P2PService {
 public:
  P2PService() {
    m_server = UdpSocket(m_serverPort);
    TempBaseOptions opt;
    opt.p2pport = m_serverPort;
    m_base = std::make_unique<TempBase>(opt);
    m_share = m_base->MakeDir("share");
    m_base->AddShare(m_share);
    SetEmail(kEmail);
    m_svc = std::make_unique<ServiceProcess>(m_base->Dir());
    m_svc->CopyPrograms();
    m_svc->SetTestSettings("p2p_heartbeat_ms=200");
  }
  ~P2PService() { close(m_server); }

  // Starts the service and learns its P2P port from the first heartbeat.
  bool Start() {
    if (!m_svc->Start()) return false;
    Bytes hb;
    sockaddr_in from{};
    if (!ReadDatagram(m_server, hb, from, std::chrono::seconds(10))) return false;
    m_lastHeartBeat = hb;
    m_p2pPort = ntohs(from.sin_port);
    return true;
  }
  void SetEmail(const std::string& email) {
    m_base->Exec("delete from qv_user;");
    m_base->Exec("insert into qv_user (email, psw) values ('" + email + "', 'stored');");
  }
  bool LogHas(const std::string& text, std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    return WaitFor([&] { return m_svc->LogText().find(text) != std::string::npos; }, wait);
  }

  int m_server = -1;
  uint16_t m_serverPort = 0;
  uint16_t m_p2pPort = 0;
  Bytes m_lastHeartBeat;
  std::unique_ptr<TempBase> m_base;
  std::string m_share;
  std::unique_ptr<ServiceProcess> m_svc;
};

TEST(P2PChannel, HeartBeatIs150BytesWithTheCurrentEmail) {
  P2PService pc;
  ASSERT_TRUE(pc.Start()) << pc.m_svc->LogText();
  ASSERT_EQ(pc.m_lastHeartBeat.size(), kHeartBeatSize);
  EXPECT_EQ(DecodeP2PHeader(pc.m_lastHeartBeat.data()).command, kP2PCmdHeartBeat);
  EXPECT_EQ(DecodeHeartBeatBody(pc.m_lastHeartBeat.data() + kP2PHeaderSize).email, kEmail);
  pc.SetEmail("new-owner@example.org");
  EXPECT_TRUE(WaitFor([&] {
    Bytes hb;
    sockaddr_in from{};
    return ReadDatagram(pc.m_server, hb, from, std::chrono::milliseconds(500)) &&
           hb.size() == kHeartBeatSize &&
           DecodeHeartBeatBody(hb.data() + kP2PHeaderSize).email == "new-owner@example.org";
  }, std::chrono::seconds(10)));
}

TEST(P2PChannel, ServerPunchIsAnsweredThreeTimesToEachSideAndOnlyFromTheServer) {
  P2PService pc;
  ASSERT_TRUE(pc.Start()) << pc.m_svc->LogText();
  uint16_t phonePort = 0, strangerPort = 0;
  const int phone = UdpSocket(phonePort);
  const int stranger = UdpSocket(strangerPort);

  HolePunchBody punch;
  punch.source = 1;
  punch.addrA = 0x7F000001;
  punch.portA = phonePort;
  punch.addrB = 0x7F000001;
  punch.portB = pc.m_p2pPort;
  punch.extra = 0xDEADBEEF;  // marks the stranger's punch
  uint8_t bytes[kHolePunchSize];
  EncodeHolePunch(punch, bytes);
  SendTo(stranger, bytes, sizeof bytes, pc.m_p2pPort);  // not the server: must give nothing
  punch.extra = 0x11223344;
  punch.extraWords[2] = 0x5566;
  EncodeHolePunch(punch, bytes);
  SendTo(pc.m_server, bytes, sizeof bytes, pc.m_p2pPort);

  for (int side = 0; side < 2; ++side) {
    const int sock = side == 0 ? phone : pc.m_server;
    int answers = 0;
    while (answers < 3) {
      Bytes d;
      sockaddr_in from{};
      ASSERT_TRUE(ReadDatagram(sock, d, from, std::chrono::seconds(5))) << pc.m_svc->LogText();
      if (d.size() == kHeartBeatSize) continue;
      ASSERT_EQ(d.size(), kHolePunchSize);
      EXPECT_EQ(ntohs(from.sin_port), pc.m_p2pPort);
      const P2PHeader h = DecodeP2PHeader(d.data());
      EXPECT_EQ(h.len, 32);
      EXPECT_EQ(h.version, 7);
      EXPECT_EQ(h.command, kP2PCmdHolePunch);
      const HolePunchBody b = DecodeHolePunchBody(d.data() + kP2PHeaderSize);
      EXPECT_EQ(b.source, 0);
      EXPECT_EQ(b.portA, pc.m_p2pPort) << "B comes first";
      EXPECT_EQ(b.portB, phonePort);
      EXPECT_EQ(b.extra, 0x11223344u) << "the stranger's punch was answered";
      EXPECT_EQ(b.extraWords[2], 0x5566);
      ++answers;
    }
  }
  EXPECT_TRUE(pc.LogHas("is not from the p2p server, ignored."));
  close(phone);
  close(stranger);
}

struct Phone {
  std::unique_ptr<UdtDeviceClient> udt = std::make_unique<UdtDeviceClient>();
};

bool ListsShares(UdtDeviceClient& phone, const std::string& share, uint32_t session) {
  DeviceMessage m;
  if (!phone.Send(xfer::kOpShareList, session) || !phone.ReadMessage(m)) return false;
  Bytes whole(kCommandHeaderSize);
  EncodeCommandHeader(m.header, whole.data());
  whole.insert(whole.end(), m.body.begin(), m.body.end());
  std::vector<std::string> folders;
  return m.header.param == session && DecodeShareList(whole.data(), whole.size(), folders) &&
         folders.size() == 1 && folders[0] == share;
}

Bytes Whole(const DeviceMessage& m) {
  Bytes b(kCommandHeaderSize);
  EncodeCommandHeader(m.header, b.data());
  b.insert(b.end(), m.body.begin(), m.body.end());
  return b;
}

std::string Download(UdtDeviceClient& phone, const std::string& path, uint32_t offset, uint32_t session) {
  DeviceMessage m;
  if (!phone.Send(xfer::kOpReqDownload, session, EncodeFilePathRequest({path, true})) ||
      !phone.ReadMessage(m))
    return "no answer";
  DownloadInfo info;
  Bytes b = Whole(m);
  if (!DecodeDownloadInfo(b.data(), b.size(), info)) return "no download info";
  if (!phone.Send(xfer::kOpAllowDownload, session, EncodeStartOffset(offset))) return "cannot send";
  std::string got;
  for (;;) {
    if (!phone.ReadMessage(m)) return "broke off";
    b = Whole(m);
    Package p;
    DownloadEnd end;
    if (DecodePackage(b.data(), b.size(), p)) got.append(p.data.begin(), p.data.end());
    else if (DecodeDownloadEnd(b.data(), b.size(), end)) return end.status == '0' ? got : "failed";
  }
}

// Phones that punch the PC's port and talk UDT to it, as one table: one after another (the
// first one's close must not close the PC's socket), at once, the same phone twice, and more
// phones than the PC takes.
TEST(P2PChannel, PhonesOverUdtTable) {
  struct Case {
    const char* name;
    int phones;
    bool oneAfterAnother;
    bool punchTwice;
    int refused;
  } cases[] = {
      {"two phones at once", 2, false, false, 0},
      {"second phone after the first closes", 2, true, false, 0},
      {"the same phone punching twice", 1, false, true, 0},
      {"one phone more than the cap", 9, false, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    P2PService pc;
    ASSERT_TRUE(pc.Start()) << pc.m_svc->LogText();
    std::vector<Phone> phones(c.phones);
    const int accepted = c.phones - c.refused;
    for (int i = 0; i < c.phones; ++i) {
      UdtDeviceClient& ph = *phones[i].udt;
      ASSERT_NE(ph.Bind(), 0);
      ASSERT_TRUE(ph.Punch("127.0.0.1", pc.m_p2pPort));
      if (c.punchTwice) {
        ASSERT_TRUE(ph.Punch("127.0.0.1", pc.m_p2pPort));
      }
      if (i >= accepted) {
        EXPECT_TRUE(pc.LogHas("p2p peers full (8)"));
        continue;
      }
      ASSERT_TRUE(ph.ConnectUdt("127.0.0.1", pc.m_p2pPort)) << pc.m_svc->LogText();
      EXPECT_TRUE(ListsShares(ph, pc.m_share, 100 + i));
      if (c.oneAfterAnother) ph.Close();
    }
    for (int i = 0; i < accepted && !c.oneAfterAnother; ++i)
      EXPECT_TRUE(ListsShares(*phones[i].udt, pc.m_share, 200 + i)) << i;
    // One connection per phone, however often it punched (a punch that comes once the PC has
    // the phone's own socket goes to that socket's UDT instead of being refused by address).
    const std::string log = pc.m_svc->LogText();
    EXPECT_EQ(CountOccurrences(log, "init udt ok."), static_cast<size_t>(accepted)) << log;
    EXPECT_EQ(CountOccurrences(log, "add udt in thread"), static_cast<size_t>(accepted)) << log;
    // Stopping with phones connected is prompt: their blocked receives end with their sockets.
    EXPECT_EQ(pc.m_svc->NetStop().exitCode, 0);
  }
}

TEST(P2PChannel, DownloadsFromOffsetsAndUploadResumesOverUdt) {
  P2PService pc;
  const std::string content = Pattern(25000, 3);
  const std::string file = pc.m_base->WriteFile("share/big.bin", content);
  ASSERT_TRUE(pc.Start()) << pc.m_svc->LogText();
  UdtDeviceClient phone;
  ASSERT_TRUE(phone.Open("127.0.0.1", pc.m_p2pPort)) << pc.m_svc->LogText();
  EXPECT_EQ(Download(phone, file, 0, 11), content);
  EXPECT_EQ(Download(phone, file, 3000, 12), content.substr(3000));

  // Upload: half, then the phone goes away; a second phone resumes where the PC stands.
  const std::string up = Pattern(12000, 5);
  const std::string local = pc.m_base->WriteFile("up.bin", up);
  UploadRequest req;
  req.size = static_cast<uint32_t>(up.size());
  CMd5Hash fp(local);
  std::memcpy(req.fingerprint, fp.RawDigest(), kFingerprintSize);
  req.path = pc.m_share + "/up.bin";
  DeviceMessage m;
  ASSERT_TRUE(phone.Send(xfer::kOpReqUpload, 21, EncodeUploadRequest(req)));
  ASSERT_TRUE(phone.ReadMessage(m));
  uint32_t param = 0, allowed = 99;
  Bytes b = Whole(m);
  ASSERT_TRUE(DecodeUploadAllow(b.data(), b.size(), param, allowed));
  ASSERT_EQ(allowed, 0u);
  for (size_t off = 0; off < 6000; off += 1000)
    ASSERT_TRUE(phone.SendRaw(EncodeUploadData(21, reinterpret_cast<const uint8_t*>(up.data()) + off, 1000)));
  ASSERT_TRUE(ListsShares(phone, pc.m_share, 22));  // the data before it was handled
  phone.Close();
  ASSERT_TRUE(pc.LogHas("close p2p file trans"));

  UdtDeviceClient second;
  ASSERT_TRUE(second.Open("127.0.0.1", pc.m_p2pPort)) << pc.m_svc->LogText();
  ASSERT_TRUE(second.Send(xfer::kOpReqUpload, 31, EncodeUploadRequest(req)));
  ASSERT_TRUE(second.ReadMessage(m));
  b = Whole(m);
  ASSERT_TRUE(DecodeUploadAllow(b.data(), b.size(), param, allowed));
  EXPECT_EQ(allowed, 6000u);
  for (size_t off = allowed; off < up.size(); off += 1000)
    ASSERT_TRUE(second.SendRaw(EncodeUploadData(31, reinterpret_cast<const uint8_t*>(up.data()) + off,
                                                std::min<size_t>(1000, up.size() - off))));
  ASSERT_TRUE(second.Send(xfer::kOpUploadOver, 31, EncodeUploadOver(0)));
  ASSERT_TRUE(ListsShares(second, pc.m_share, 32));
  EXPECT_EQ(ReadFileText(pc.m_share + "/up.bin"), up);
}

TEST(P2PChannel, BadMessagesAndSilentPeers) {
  P2PService pc;
  ASSERT_TRUE(pc.Start()) << pc.m_svc->LogText();
  UdtDeviceClient phone;
  ASSERT_TRUE(phone.Open("127.0.0.1", pc.m_p2pPort)) << pc.m_svc->LogText();
  // A message whose header claims 3000 bytes in 1000 is not dispatched; the next one is.
  Bytes lying = BuildRawMessage({3000, xfer::kOpShareList, 41}, Bytes(992, 0));
  ASSERT_TRUE(phone.SendRaw(lying));
  ASSERT_TRUE(ListsShares(phone, pc.m_share, 42));
  EXPECT_TRUE(pc.LogHas("udu datasize more than 2048"));

  // A 31-byte punch is refused by its length.
  uint16_t port = 0;
  const int raw = UdpSocket(port);
  uint8_t shortPunch[kHolePunchSize];
  EncodeHolePunch(HolePunchBody{}, shortPunch);
  wire::PutU16(shortPunch, 31);
  SendTo(raw, shortPunch, 31, pc.m_p2pPort);
  EXPECT_TRUE(pc.LogHas("hole punch msg lens error: 31"));

  // A phone that punches but never makes its UDT connection is given up after about 6 s,
  // and its place is free again.
  UdtDeviceClient silent;
  ASSERT_NE(silent.Bind(), 0);
  ASSERT_TRUE(silent.Punch("127.0.0.1", pc.m_p2pPort));
  EXPECT_TRUE(pc.LogHas("recv p2p hole punch msg from client, init udt error.", std::chrono::seconds(20)));
  ASSERT_TRUE(silent.Punch("127.0.0.1", pc.m_p2pPort));
  ASSERT_TRUE(silent.ConnectUdt("127.0.0.1", pc.m_p2pPort)) << pc.m_svc->LogText();
  EXPECT_TRUE(ListsShares(silent, pc.m_share, 43));
  close(raw);
}

}  // namespace
