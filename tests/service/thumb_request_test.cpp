// Thumbnail requests: the answer's chunking, the request's path rules, the relay framing over a
// real libevent connection pair, and phones fetching thumbnails from the real service.
#include <gtest/gtest.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <udt/udt.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <filesystem>
#include <algorithm>
#include <thread>

#include "common/os_layer.h"
#include "common/proto_thumb.h"
#include "common/share_paths.h"
#include "common/thread_pool.h"
#include "common/wire.h"
#include "service/core/request_args.h"
#include "service/service_globals.h"
#include "service/pictures/thumb_request.h"
#include "tests/support/device_client.h"
#include "tests/support/pictures.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/thumb_client.h"
#include "tests/support/wait_for.h"

namespace {

TEST(ThumbReply, ChunksOfAThousandInOrderThenTheEnd) {
  struct Case { size_t size; std::vector<size_t> chunks; };
  const Case cases[] = {
      {2500, {1000, 1000, 500}}, {2000, {1000, 1000}}, {1, {1}}, {1000, {1000}}, {999, {999}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::vector<uint8_t> thumb(c.size, 0x5A);
    const auto msgs = ThumbReplyMessages(0xCAFE0001, &thumb);
    ASSERT_EQ(msgs.size(), c.chunks.size() + 1);
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      ASSERT_GE(msgs[i].size(), kThumbChunkHeaderSize);
      const ThumbChunkHeader h = DecodeThumbChunkHeader(msgs[i].data());
      EXPECT_EQ(h.len, 16 + c.chunks[i]);
      EXPECT_EQ(msgs[i].size(), 16 + c.chunks[i]);
      EXPECT_EQ(wire::GetU16(msgs[i].data() + 2), kOpThumbnail);
      EXPECT_EQ(h.requestId, 0xCAFE0001u);
      EXPECT_EQ(h.total, c.size);
      EXPECT_EQ(h.offset, 1000 * i);
    }
    const ThumbEnd end = DecodeThumbEnd(msgs.back().data());
    EXPECT_EQ(msgs.back().size(), kThumbEndSize);
    EXPECT_EQ(end.requestId, 0xCAFE0001u);
    EXPECT_EQ(end.status, kThumbEndSent);
  }
  const std::vector<uint8_t> empty;
  for (const std::vector<uint8_t>* none : {static_cast<const std::vector<uint8_t>*>(nullptr), &empty}) {
    const auto msgs = ThumbReplyMessages(7, none);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(DecodeThumbEnd(msgs[0].data()).status, kThumbEndFailed);
    EXPECT_EQ(DecodeThumbEnd(msgs[0].data()).requestId, 7u);
  }
}

std::vector<uint8_t> Request(uint16_t w, uint16_t h, const std::string& path) {
  std::vector<uint8_t> b(kThumbRequestSize);
  EncodeThumbRequest(ThumbRequest{w, h, path}, b.data());
  return b;
}

TEST(ThumbParse, OnlyFilesInsideASharedFolder) {
  TempBase base;
  base.OpenGlobalDb();
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  const std::string inside = base.WriteFile("share/a.jpg", "x");
  const std::string outside = base.WriteFile("private/b.jpg", "x");
  ASSERT_EQ(symlink(outside.c_str(), (share + "/link.jpg").c_str()), 0);
  DefaultDirSet dirs;  // no default folders: the tokens expand to nothing

  struct Case { std::string path; int code; std::string resolved; };
  const Case cases[] = {
      {inside, 0, inside},
      {"\\" + inside.substr(1), 0, inside},  // backslashes from a phone
      {outside, kThumbParseNotShared, ""},
      {share + "/../private/b.jpg", kThumbParseNotShared, ""},
      {share + "/link.jpg", kThumbParseNotShared, ""},
      {"$DEFAULT_PIC$/a.jpg", kErrDefaultEmpty, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    uint16_t w = 0, h = 0;
    std::string path;
    const std::vector<uint8_t> req = Request(160, 120, c.path);
    EXPECT_EQ(Parse_ThumbTransStatusHead(req.data(), req.size(), w, h, path), c.code);
    if (c.code == 0) {
      EXPECT_EQ(path, c.resolved);
      EXPECT_EQ(w, 160);
      EXPECT_EQ(h, 120);
    }
  }
  uint16_t w = 0, h = 0;
  std::string path;
  const std::vector<uint8_t> req = Request(1, 1, inside);
  EXPECT_EQ(Parse_ThumbTransStatusHead(req.data(), kThumbRequestSize - 1, w, h, path), 1);
}

TEST(ThumbFile, FormatComesFromTheBytes) {
  TempBase base;
  const std::string d = base.Dir() + "/";
  MakePicture({"-size", "64x48", "plasma:", "JPEG:" + d + "jpeg.bmp"});
  MakePicture({"-size", "64x48", "plasma:", "BMP:" + d + "v5.jpg"});
  MakePicture({"-size", "64x48", "plasma:", "PPM:" + d + "p.ppm"});
  MakePicture({"-size", "64x48", "plasma:", "GIF:" + d + "gif.bmp"});
  MakePicture({"-size", "64x48", "plasma:", "PNG:" + d + "png.jpg"});
  const std::pair<const char*, bool> cases[] = {
      {"jpeg.bmp", true}, {"v5.jpg", true}, {"p.ppm", true}, {"gif.bmp", false}, {"png.jpg", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    UniqueFd fd(::open((d + c.first).c_str(), O_RDONLY));
    std::vector<uint8_t> out;
    EXPECT_EQ(ThunmbNailIt(fd.fd, d + c.first, 12, 16, out), c.second);
    if (c.second) {
      WriteBytes(d + "out.jpg", out);
      EXPECT_EQ(Identify(d + "out.jpg", "%m %w %h"), "JPEG 16 12");
    } else {
      EXPECT_TRUE(out.empty());
    }
  }
}

// A request that came through the relay is answered with relay frames on the relay
// connection: every chunk 150 + n bytes, the end 146, each with the two identities.
TEST(ThumbRelay, EveryMessageCarriesTheRelayPrefix) {
  TempBase base;
  base.OpenGlobalDb();
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  MakePicture({"-size", "640x480", "plasma:", "-seed", "2", share + "/p.jpg"});
  std::strcpy(g_szUUID, "pc-identity");
  ThreadPool* savedPool = g_pThreadPool;
  g_pThreadPool = ThreadPool_Create(4);

  event_base* evb = event_base_new();
  bufferevent* pair[2];
  ASSERT_EQ(bufferevent_pair_new(evb, 0, pair), 0);
  // A connection in use has callbacks; the answer is only written to a live one.
  bufferevent_setcb(pair[0], [](bufferevent*, void*) {}, nullptr, nullptr, nullptr);
  bufferevent_enable(pair[0], EV_READ | EV_WRITE);
  bufferevent_enable(pair[1], EV_READ | EV_WRITE);

  // Relay body: 64-byte requester identity, the inner header, then the request.
  std::vector<uint8_t> body(64 + kCommandHeaderSize, 0);
  std::memcpy(body.data(), "phone-7", 7);
  const std::vector<uint8_t> req = Request(160, 120, share + "/p.jpg");
  EncodeCommandHeader(CommandHeader{uint16_t(8 + req.size()), kOpThumbnail, 0x11223344}, body.data() + 64);
  body.insert(body.end(), req.begin(), req.end());
  const CommandHeader outer{uint16_t(8 + req.size()), kOpThumbnail, 0x11223344};  // the inner one
  char* reply = nullptr;
  int replyLen = 0, udt = -1;
  char direct = 0;
  EXPECT_EQ(ReqDownloadThumbNial(reinterpret_cast<const char*>(body.data()), &outer, pair[0], &reply,
                                 &replyLen, &udt, &direct), 0);
  EXPECT_EQ(replyLen, 0);

  // Run the loop until the end frame arrived on the other side.
  evbuffer* in = bufferevent_get_input(pair[1]);
  std::vector<uint8_t> got;
  bool ended = false;
  const bool done = WaitFor([&] {
    event_base_loop(evb, EVLOOP_NONBLOCK);
    const size_t n = evbuffer_get_length(in);
    got.resize(n);
    evbuffer_copyout(in, got.data(), n);
    size_t p = 0;
    ended = false;
    while (p + 2 <= got.size()) {
      const size_t len = wire::GetU16(got.data() + p);
      if (len == 0 || p + len > got.size()) break;
      if (len == 146) ended = true;
      p += len;
    }
    return ended;
  }, std::chrono::seconds(20));
  ASSERT_TRUE(done);

  size_t p = 0, data = 0, total = 0;
  while (p < got.size()) {
    const size_t len = wire::GetU16(got.data() + p);
    ASSERT_GE(len, 134u + kThumbEndSize);
    EXPECT_EQ(wire::GetU16(got.data() + p + 2), 7);
    EXPECT_EQ(wire::GetU16(got.data() + p + 4), 0x1009);
    EXPECT_EQ(wire::GetFixedText(got.data() + p + 6, 64), "pc-identity");
    EXPECT_EQ(wire::GetFixedText(got.data() + p + 70, 64), "phone-7");
    const uint8_t* m = got.data() + p + 134;
    EXPECT_EQ(wire::GetU32(m + 4), 0x11223344u) << "request id on every message";
    if (wire::GetU16(m + 2) == kOpThumbnail) {
      const ThumbChunkHeader h = DecodeThumbChunkHeader(m);
      EXPECT_EQ(len, 150u + (h.len - 16));
      EXPECT_EQ(h.offset, data);
      total = h.total;
      data += h.len - 16;
    } else {
      EXPECT_EQ(len, 146u);
      EXPECT_EQ(DecodeThumbEnd(m).status, kThumbEndSent);
    }
    p += len;
  }
  EXPECT_GT(data, 0u);
  EXPECT_EQ(data, total);
  EXPECT_TRUE(WaitFor([] { return Thumb_JobsInFlight() == 0; }, std::chrono::seconds(5)));

  bufferevent_free(pair[0]);
  bufferevent_free(pair[1]);
  event_base_free(evb);
  g_pThreadPool = savedPool;  // the test pool's workers stay parked; pools are never destroyed
}

// Over UDT the answer is sent from the pool worker as messages, in order.
TEST(ThumbUdt, ChunksArriveInOrderThenTheEnd) {
  TempBase base;
  base.OpenGlobalDb();
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  MakePicture({"-size", "800x600", "plasma:", "-seed", "8", share + "/p.jpg"});
  ThreadPool* savedPool = g_pThreadPool;
  g_pThreadPool = ThreadPool_Create(4);

  ASSERT_EQ(UDT::startup(), 0);
  UDTSOCKET listener = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_NE(UDT::bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof sin), UDT::ERROR);
  int len = sizeof sin;
  ASSERT_NE(UDT::getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len), UDT::ERROR);
  ASSERT_NE(UDT::listen(listener, 1), UDT::ERROR);
  UDTSOCKET phone = UDT::socket(AF_INET, SOCK_DGRAM, 0);
  // UDT 4.11's recvmsg sits out its whole time-out even when a message is queued, so it polls
  // in short slices up to a deadline.
  const int sliceMs = 20;
  UDT::setsockopt(phone, 0, UDT_RCVTIMEO, &sliceMs, sizeof sliceMs);
  int connected = UDT::ERROR;
  std::thread connector([&] {
    connected = UDT::connect(phone, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  });
  sockaddr_in peer{};
  int plen = sizeof peer;
  UDTSOCKET pc = UDT::accept(listener, reinterpret_cast<sockaddr*>(&peer), &plen);
  connector.join();
  ASSERT_NE(connected, UDT::ERROR);
  ASSERT_NE(pc, UDT::INVALID_SOCK);

  const std::vector<uint8_t> req = Request(400, 300, share + "/p.jpg");
  const CommandHeader header{uint16_t(8 + req.size()), kOpThumbnail, 0x0BADCAFE};
  char* reply = nullptr;
  int replyLen = 0, udt = pc;
  char direct = 1;
  EXPECT_EQ(ReqDownloadThumbNial(reinterpret_cast<const char*>(req.data()), &header, nullptr,
                                 &reply, &replyLen, &udt, &direct), 0);

  std::vector<uint8_t> thumb;
  uint16_t status = 0xFFFF;
  size_t chunks = 0;
  for (;;) {
    char buf[2048];
    int got = UDT::ERROR;
    ASSERT_TRUE(WaitFor([&] { return (got = UDT::recvmsg(phone, buf, sizeof buf)) > 0; },
                        std::chrono::seconds(20), std::chrono::milliseconds(0)));
    const uint8_t* m = reinterpret_cast<const uint8_t*>(buf);
    ASSERT_EQ(wire::GetU16(m), got) << "one message, one frame";
    EXPECT_EQ(wire::GetU32(m + 4), 0x0BADCAFEu);
    if (wire::GetU16(m + 2) == kOpThumbnailEnd) {
      status = DecodeThumbEnd(m).status;
      break;
    }
    const ThumbChunkHeader h = DecodeThumbChunkHeader(m);
    EXPECT_EQ(h.offset, thumb.size());
    thumb.insert(thumb.end(), m + 16, m + got);
    ++chunks;
  }
  EXPECT_EQ(status, kThumbEndSent);
  EXPECT_GT(chunks, 1u);
  WriteBytes(base.Dir() + "/t.jpg", thumb);
  EXPECT_EQ(Identify(base.Dir() + "/t.jpg", "%m %w %h"), "JPEG 400 300");

  EXPECT_TRUE(WaitFor([] { return Thumb_JobsInFlight() == 0; }, std::chrono::seconds(5)));
  UDT::close(phone);
  UDT::close(pc);
  UDT::close(listener);
  UDT::cleanup();
  g_pThreadPool = savedPool;
}

// ---- the real service ----

TEST(ThumbService, PhonesFetchThumbnailsAtOnce) {
  TempBase base;
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  const DefaultDirSet dirs = base.MakeDefaultDirs();
  MakePicture({"-seed", "4", "-size", "200x150", "plasma:", "-resize", "4000x3000!", share + "/big.jpg"});
  MakePicture({"-size", "320x240", "plasma:", "-type", "TrueColor", "BMP3:" + share + "/a.bmp"});
  MakePicture({"-size", "320x240", "plasma:", "JPEG:" + share + "/named.bmp"});
  MakePicture({"-size", "320x240", "plasma:", "GIF:" + share + "/gif.bmp"});
  MakePicture({"-size", "320x240", "plasma:", "-colorspace", "Gray", dirs.pic + "/grey.jpg"});
  std::vector<uint8_t> huge = ReadBytes(share + "/named.bmp");
  const long sof = FindMarker(huge, 0xC0);
  ASSERT_GT(sof, 0);
  huge[size_t(sof) + 5] = 0xFF; huge[size_t(sof) + 6] = 0xDC;
  huge[size_t(sof) + 7] = 0xFF; huge[size_t(sof) + 8] = 0xDC;
  WriteBytes(share + "/huge.jpg", huge);
  const std::string outside = base.WriteFile("private/secret.jpg", "x");

  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  const uint16_t port = svc.WaitForPort();
  ASSERT_NE(port, 0);

  struct Case {
    std::string path;
    uint16_t w, h;
    uint16_t status;
    const char* size;  // identify's "%w %h" of the thumbnail
  };
  const std::vector<Case> cases = {
      {share + "/big.jpg", 160, 120, 0, "160 120"},
      {share + "/a.bmp", 100, 50, 0, "100 50"},
      {share + "/named.bmp", 32, 32, 0, "32 32"},
      {"$DEFAULT_PIC$/grey.jpg", 800, 800, 0, "320 240"},
      {share + "/gif.bmp", 16, 16, 1, nullptr},
      {share + "/huge.jpg", 16, 16, 1, nullptr},
      {share + "/missing.jpg", 16, 16, 1, nullptr},
      {outside, 16, 16, 1, nullptr},
      {"$DEFAULT_MUSIC$/../../private/secret.jpg", 16, 16, 1, nullptr},
  };

  // Three phones at once, each asking for every case back to back on one connection.
  constexpr int kPhones = 3;
  std::vector<std::vector<ThumbAnswer>> answers(kPhones, std::vector<ThumbAnswer>(cases.size()));
  std::vector<char> ok(kPhones, 0);  // not vector<bool>: its bits share words across threads
  std::vector<std::thread> phones;
  for (int p = 0; p < kPhones; ++p) {
    phones.emplace_back([&, p] {
      DeviceClient phone;  // each from an address of its own: one address holds two slots
      if (!phone.ConnectFrom("127.0.0." + std::to_string(10 + p), "127.0.0.1", port)) return;
      for (size_t i = 0; i < cases.size(); ++i) {
        if (!phone.Send(kOpThumbnail, uint32_t(p * 1000 + i),
                        Request(cases[i].w, cases[i].h, cases[i].path)))
          return;
      }
      for (size_t i = 0; i < cases.size(); ++i) {
        if (!ReadThumbAnswer(phone, uint32_t(p * 1000 + i), answers[size_t(p)][i])) return;
      }
      ok[size_t(p)] = true;
    });
  }
  for (auto& t : phones) t.join();

  for (int p = 0; p < kPhones; ++p) {
    ASSERT_TRUE(ok[size_t(p)]) << "phone " << p << "\n" << svc.LogText();
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(cases[i].path);
      const ThumbAnswer& a = answers[size_t(p)][i];
      EXPECT_TRUE(a.wellFormed);
      EXPECT_EQ(a.status, cases[i].status);
      if (cases[i].size) {
        const std::string file = base.Dir() + "/t" + std::to_string(p) + "_" + std::to_string(i) + ".jpg";
        WriteBytes(file, a.thumbnail);
        EXPECT_EQ(Identify(file, "%m %w %h"), std::string("JPEG ") + cases[i].size);
      } else {
        EXPECT_TRUE(a.thumbnail.empty());
      }
    }
  }

  // Phones that hang up while their pictures are being scaled leave no slot taken: with every
  // slot still counted, the fetches below would be refused.
  for (int p = 0; p < 2 * kMaxThumbJobs; ++p) {
    DeviceClient leaver;
    ASSERT_TRUE(leaver.Connect("127.0.0.1", port));
    ASSERT_TRUE(leaver.Send(kOpThumbnail, uint32_t(7000 + p), Request(160, 120, share + "/big.jpg")));
  }

  // A short body still gets its end message, and the service keeps answering.
  DeviceClient phone;
  ASSERT_TRUE(phone.Connect("127.0.0.1", port));
  ASSERT_TRUE(phone.Send(kOpThumbnail, 99, {0, 16, 0, 16}));
  ThumbAnswer shortAnswer;
  ASSERT_TRUE(ReadThumbAnswer(phone, 99, shortAnswer));
  EXPECT_EQ(shortAnswer.status, 1);
  ThumbAnswer again;
  ASSERT_TRUE(FetchThumbnail(phone, 100, 8, 8, share + "/big.jpg", again));
  // Once the leavers' pictures are done, every slot serves again: as many phones as there are
  // slots, at once, are all answered.
  const auto allServed = [&] {
    std::vector<int> status(kMaxThumbJobs, -1);
    std::vector<std::thread> fetchers;
    for (int p = 0; p < kMaxThumbJobs; ++p) {
      fetchers.emplace_back([&, p] {
        DeviceClient c;
        ThumbAnswer a;
        if (c.ConnectFrom("127.0.0." + std::to_string(20 + p), "127.0.0.1", port) &&
            FetchThumbnail(c, uint32_t(8000 + p), 8, 8, share + "/big.jpg", a))
          status[size_t(p)] = a.status;
      });
    }
    for (auto& t : fetchers) t.join();
    return std::all_of(status.begin(), status.end(), [](int st) { return st == 0; });
  };
  EXPECT_TRUE(WaitFor(allServed, std::chrono::seconds(60))) << svc.LogText();
  EXPECT_EQ(svc.NetStop().exitCode, 0);
}

// A phone that asks for more pictures at once than the slots hold (eight connections from one
// address, each asking for a real JPEG of its own) has them all answered: past the slots they
// wait their turn. Past the waiting bound of one peer a request is refused, never lost: it
// still gets its end message.
TEST(ThumbService, OnePhonesBurstWaitsForTheSlotsInsteadOfBeingRefused) {
  TempBase base;
  const std::string share = base.MakeDir("share");
  base.AddShare(share);
  constexpr int kBurst = 8;
  for (int i = 0; i < kBurst; ++i) {
    MakePicture({"-seed", std::to_string(i + 1), "-size", "200x150", "plasma:", "-resize",
                 "2400x1800!", share + "/p" + std::to_string(i) + ".jpg"});
  }
  ServiceProcess svc(base.Dir());
  svc.CopyPrograms();
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  const uint16_t port = svc.WaitForPort();
  ASSERT_NE(port, 0);

  // The service is paused while the phone sends, so the whole burst lies waiting when it goes
  // on: the first pictures cannot be done before the last requests are read, however slowly
  // a busy machine lets the phone send.
  const int pid = svc.Pid();
  ASSERT_GT(pid, 0);
  const auto burst = [&](int count, std::vector<ThumbAnswer>& answers) {
    std::vector<std::unique_ptr<DeviceClient>> phone;
    for (int i = 0; i < count; ++i) {
      phone.push_back(std::make_unique<DeviceClient>());
      if (!phone.back()->ConnectFrom("127.0.0.30", "127.0.0.1", port)) return false;
    }
    if (kill(pid, SIGSTOP) != 0) return false;
    bool sent = true;
    for (int i = 0; i < count && sent; ++i) {
      sent = phone[size_t(i)]->Send(kOpThumbnail, uint32_t(500 + i),
                                    Request(160, 120, share + "/p" + std::to_string(i % kBurst) + ".jpg"));
    }
    kill(pid, SIGCONT);
    if (!sent) return false;
    answers.assign(size_t(count), ThumbAnswer());
    for (int i = 0; i < count; ++i) {
      if (!ReadThumbAnswer(*phone[size_t(i)], uint32_t(500 + i), answers[size_t(i)])) return false;
    }
    return true;
  };
  std::vector<ThumbAnswer> answers;
  ASSERT_TRUE(burst(kBurst, answers)) << svc.LogText();
  for (int i = 0; i < kBurst; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(answers[size_t(i)].wellFormed);
    EXPECT_EQ(answers[size_t(i)].status, 0);
    const std::string file = base.Dir() + "/t" + std::to_string(i) + ".jpg";
    WriteBytes(file, answers[size_t(i)].thumbnail);
    EXPECT_EQ(Identify(file, "%m %w %h"), "JPEG 160 120");
  }

  // More than the slots and the waiting bound of one peer: every request is answered, the
  // ones past the bound with a refusal.
  const int many = kMaxThumbJobsPerPeer + kMaxThumbWaitingPerPeer + 6;
  ASSERT_TRUE(burst(many, answers)) << svc.LogText();
  int served = 0;
  for (const ThumbAnswer& a : answers) {
    EXPECT_TRUE(a.wellFormed);
    if (a.status == 0) ++served;
  }
  EXPECT_GE(served, kMaxThumbJobsPerPeer + kMaxThumbWaitingPerPeer);
  EXPECT_TRUE(WaitFor([&] { return svc.LogText().find("Too many thumbnails for one peer at once") !=
                                   std::string::npos; },
                      std::chrono::seconds(10)));
  EXPECT_EQ(svc.NetStop().exitCode, 0);
}

}  // namespace
