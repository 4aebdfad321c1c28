#pragma once
// Shared set-up of the download and upload tests: a temporary base folder whose database
// shares <base>/share (and not <base>/outside), the transfer handlers registered, the real
// command server on an ephemeral loopback port, and the log written into the base folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/command_server.h"
#include "common/log.h"
#include "common/opcode_registry.h"
#include "common/os_layer.h"
#include "common/thread_pool.h"
#include "common/wire.h"
#include "service/transfers/download.h"
#include "service/transfers/transfer_sessions.h"
#include "service/transfers/upload.h"
#include "service/transfers/upload_writer.h"
#include "tests/service/transfer_test_support.h"
#include "tests/support/device_client.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace updown {

constexpr auto kWait = std::chrono::seconds(20);

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Output of a shell pipeline (test tools only: md5sum, head, tail).
inline std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

inline std::string Md5Sum(const std::string& path) {
  return Shell("md5sum < '" + path + "' | cut -c1-32");
}

// Deterministic bytes that differ at every offset of a package.
inline std::string Pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

inline void WriteAt(const std::string& path, uint64_t offset, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(bytes.size()));
  close(fd);
}

// A sparse file of the given size with some real bytes at its start, middle and end.
inline void MakeSparse(const std::string& path, uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  close(fd);
  const std::string bytes = Pattern(70000, 7);
  WriteAt(path, 0, bytes);
  WriteAt(path, size / 2 + 333, bytes);
  WriteAt(path, size - bytes.size(), bytes);
}

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

class UpDownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureServiceMutexes();
    m_base = std::make_unique<TempBase>();
    m_base->OpenGlobalDb();
    // Requests that touch the disk are worked on pool tasks, as in the service.
    if (!g_pThreadPool) g_pThreadPool = ThreadPool_Create();
    m_share = m_base->MakeDir("share");
    m_outside = m_base->MakeDir("outside");
    m_base->SetShares({m_share});
    m_logPath = m_base->LogDir() + "/Log.txt";
    g_Log.Close();
    g_Log.SetPath(m_logPath);
    g_Log.SetPriority(kLogDebug);
    g_Log.Open();
    g_Log.ForgetRefusals();

    OS_ClearRegistry();
    const struct { OpcodeHandler handler; uint16_t opcode; } rows[] = {
        {ReqUpLoadFile, kOpReqUpLoadFile},         {UpLoadFile, kOpUpLoadFile},
        {OverUpLoadFile, kOpOverUpLoadFile},       {ReqDownLoadFile, kOpReqDownLoadFile},
        {AllowDownLoadFile, kOpAllowDownLoadFile}, {RefuseDownLoadFile, kOpRefuseDownLoadFile},
        {StopDownLoad, kOpStopDownLoad},
    };
    for (const auto& row : rows) ASSERT_EQ(OS_RegFunction(row.handler, row.opcode), 0);
    Trans_InstallHooks(&Download_OnConnectionClosed);
    Download_InstallHooks();
    ASSERT_TRUE(m_server.Start());
  }

  void TearDown() override {
    m_server.Stop();
    Upload_Flush();
    TransLog_Flush();  // the writer is done with this base's database before it goes
    OS_ClearRegistry();
    g_Log.Close();
    m_base.reset();
  }

  bool Connect(DeviceClient& c) { return c.Connect("127.0.0.1", m_server.Port()); }

  // Sends a cheap request and waits for its answer: everything sent before it on this
  // connection has been handled.
  static bool Sync(DeviceClient& c) {
    if (!c.Send(kOpStopDownLoad, 0)) return false;
    DeviceMessage m;
    while (c.ReadMessage(m, kWait)) {
      if (m.header.opcode == kOpStopDownLoad) return true;
    }
    return false;
  }

  // Sixteen other phones, all connected at once, are answered. A new connection goes to the
  // loop with the fewest, at most eight loops run: so at least one of them shares the loop of
  // any connection already open.
  void ExpectOthersAnswered() {
    std::vector<std::unique_ptr<DeviceClient>> others;
    for (int i = 0; i < 16; ++i) {
      others.push_back(std::make_unique<DeviceClient>());
      ASSERT_TRUE(Connect(*others.back()));
    }
    for (auto& other : others) EXPECT_TRUE(Sync(*other));
  }

  bool LogHas(const std::string& text) const {
    g_Log.Flush();
    return ReadWhole(m_logPath).find(text) != std::string::npos;
  }

  std::vector<TransLogRecord> LogRows() const {
    TransLog_Flush();
    std::vector<TransLogRecord> rows;
    GetTransLog(rows);
    return rows;
  }

  std::unique_ptr<TempBase> m_base;
  std::string m_share;
  std::string m_outside;
  std::string m_logPath;
  TestCommandServer m_server;
};

}  // namespace updown
