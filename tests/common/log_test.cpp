#include "common/log.h"

#include <dirent.h>
#include <event2/event.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>
#include "tests/support/text_files.h"

namespace {

namespace fs = std::filesystem;

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/quarlo-log-XXXXXX";
    if (mkdtemp(tmpl)) path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};


std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

std::string TimeSuffix(time_t t) {
  struct tm local {};
  localtime_r(&t, &local);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &local);
  return buf;
}

// Names of the rotated logs (Log.txt.<14 digits>) in the folder.
std::vector<std::string> RotatedLogs(const std::string& dir) {
  static const std::regex rotated(R"(Log\.txt\.\d{14})");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (std::regex_match(name, rotated)) names.push_back(name);
  }
  return names;
}

const std::regex kLineShape(
    R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\]\[[^\]]+ [^ \]]+ \d+\]\[\d+\]\[(ERROR|WARNING|INFO|DEBUG|OTHER)\] .*)");

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    path = dir.path + "/Log.txt";
    log.SetPath(path);
  }
  TempDir dir;
  std::string path;
  CLog log;
};

TEST_F(LogTest, LineHasTimeModuleFunctionLineThreadAndLevel) {
  ASSERT_TRUE(log.Open());
  log.WriteLog(kModCommLib, kLogDebug, "OS_RunEvent", 273, "Bind port %d.", 15002);  // above 600
  log.WriteLog(kModCommLib, kLogInfo, "OS_RunEvent", 273, "Bind port %d.", 15002);
  log.Close();

  const std::string text = ReadFileText(path);
  std::smatch m;
  const std::regex line(
      R"(^\[(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\]\[CommLib OS_RunEvent 273\]\[(\d+)\]\[INFO\] Bind port 15002\.\n$)");
  ASSERT_TRUE(std::regex_match(text, m, line)) << text;
  EXPECT_EQ(std::to_string(static_cast<unsigned>(gettid())), m[7].str());
}

TEST_F(LogTest, PriorityAgainstLevel) {
  struct Case {
    unsigned priority;
    unsigned level;
    const char* name;  // null: nothing written
  };
  const Case cases[] = {
      {600, 700, nullptr},   {600, 300, "ERROR"},   {600, 400, "WARNING"},
      {600, 600, "INFO"},    {600, 500, "OTHER"},   {700, 700, "DEBUG"},
      {700, 500, "OTHER"},   {300, 400, nullptr},   {300, 300, "ERROR"},
      {0xFFFFFFFFu, 1000, "OTHER"}, {0, 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "priority " << c.priority << " level " << c.level);
    std::error_code ec;
    fs::remove(path, ec);
    log.SetPriority(c.priority);
    ASSERT_TRUE(log.Open());
    log.WriteLog(kModShow, c.level, "F", 1, "x");
    log.Close();
    const std::string text = ReadFileText(path);
    if (!c.name) {
      EXPECT_EQ("", text);
    } else {
      EXPECT_NE(std::string::npos, text.find(std::string("][") + c.name + "] x\n")) << text;
    }
  }
}

TEST(LogLevelName, Table) {
  EXPECT_EQ("ERROR", CLog::GetLevelName(300));
  EXPECT_EQ("WARNING", CLog::GetLevelName(400));
  EXPECT_EQ("INFO", CLog::GetLevelName(600));
  EXPECT_EQ("DEBUG", CLog::GetLevelName(700));
  for (unsigned other : {0u, 299u, 500u, 601u, 800u}) EXPECT_EQ("OTHER", CLog::GetLevelName(other));
}

TEST_F(LogTest, NothingIsWrittenBeforeTheFileIsOpen) {
  log.SetConsole(true);
  ::testing::internal::CaptureStdout();
  log.WriteLog(kModCommLib, kLogError, "F", 1, "install %s", "early");
  const std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ("", console);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(LogTest, ConsoleGetsTheSameLine) {
  log.SetConsole(true);
  ASSERT_TRUE(log.Open());
  ::testing::internal::CaptureStdout();
  log.WriteLog(kModUser, kLogWarning, "HeartBeat", 9, "relogin , return code %d", 7);
  const std::string console = ::testing::internal::GetCapturedStdout();
  log.Close();
  EXPECT_EQ(ReadFileText(path), console);
}

TEST_F(LogTest, NullArgumentsWriteNothing) {
  ASSERT_TRUE(log.Open());
  log.WriteLog(nullptr, kLogError, "F", 1, "a");
  log.WriteLog(kModCommLib, kLogError, nullptr, 1, "b");
  log.Close();
  EXPECT_EQ("", ReadFileText(path));
}

TEST_F(LogTest, RotatesPastTheLimitAndStartsANewFile) {
  log.SetSizeLimit(100);
  {
    std::ofstream seed(path, std::ios::binary);
    seed << std::string(101, 'x');
  }
  ASSERT_TRUE(log.Open());
  const time_t before = time(nullptr);
  log.WriteLog(kModCommLib, kLogError, "F", 1, "after rotation");
  const time_t after = time(nullptr);
  log.Close();

  const auto rotated = RotatedLogs(dir.path);
  ASSERT_EQ(1u, rotated.size());
  const std::string suffix = rotated[0].substr(strlen("Log.txt."));
  EXPECT_TRUE(suffix == TimeSuffix(before) || suffix == TimeSuffix(after)) << suffix;
  EXPECT_EQ(std::string(101, 'x'), ReadFileText(dir.path + "/" + rotated[0]));
  const auto lines = Lines(ReadFileText(path));
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("] after rotation"));
}

// Only the newest rotated logs are kept; files that merely look similar are left alone.
TEST_F(LogTest, OnlyTheNewestRotatedLogsAreKept) {
  log.SetSizeLimit(100);
  log.SetKeepRotated(3);
  for (const char* old : {"Log.txt.20200101000001", "Log.txt.20200101000002",
                          "Log.txt.20200101000003", "Log.txt.20200101000004"}) {
    std::ofstream(dir.path + "/" + old) << "old";
  }
  std::ofstream(dir.path + "/Log.txt.keep") << "not ours";
  std::ofstream(path, std::ios::binary) << std::string(101, 'x');
  ASSERT_TRUE(log.Open());
  log.WriteLog(kModCommLib, kLogError, "F", 1, "after rotation");
  log.Close();
  auto rotated = RotatedLogs(dir.path);
  std::sort(rotated.begin(), rotated.end());
  ASSERT_EQ(rotated.size(), 3u);
  EXPECT_EQ(rotated[0], "Log.txt.20200101000003");
  EXPECT_EQ(rotated[1], "Log.txt.20200101000004");
  EXPECT_EQ(ReadFileText(dir.path + "/" + rotated[2]), std::string(101, 'x'));
  EXPECT_TRUE(fs::exists(dir.path + "/Log.txt.keep"));
}

// Refusals of one peer are written in a burst, the rest left out and counted; another peer
// keeps its own burst.
TEST_F(LogTest, RefusalsArePacedPerPeer) {
  ASSERT_TRUE(log.Open());
  unsigned allowedA = 0, allowedB = 0;
  for (int i = 0; i < 1000; ++i) allowedA += log.RefusalAllowed("10.0.0.1") ? 1 : 0;
  for (int i = 0; i < 10; ++i) allowedB += log.RefusalAllowed("10.0.0.2") ? 1 : 0;
  log.Close();
  EXPECT_EQ(allowedA, 20u);
  EXPECT_EQ(allowedB, 10u);
}

TEST_F(LogTest, AFileAtTheLimitIsNotRotated) {
  log.SetSizeLimit(100);
  {
    std::ofstream seed(path, std::ios::binary);
    seed << std::string(100, 'x');
  }
  ASSERT_TRUE(log.Open());
  log.WriteLog(kModCommLib, kLogError, "F", 1, "appended");
  log.Close();
  EXPECT_TRUE(RotatedLogs(dir.path).empty());
  EXPECT_EQ(0u, ReadFileText(path).find(std::string(100, 'x') + "["));
}

TEST_F(LogTest, RotationNeverOverwritesAnOlderRotatedLog) {
  log.SetSizeLimit(100);
  {
    std::ofstream seed(path, std::ios::binary);
    seed << std::string(101, 'x');
  }
  // Occupy every rotated name of the next minute.
  const time_t start = time(nullptr);
  for (int s = 0; s < 60; ++s) {
    std::ofstream older(path + "." + TimeSuffix(start + s));
    older << "older " << s;
  }
  ASSERT_TRUE(log.Open());
  log.WriteLog(kModCommLib, kLogError, "F", 1, "first");
  log.WriteLog(kModCommLib, kLogError, "F", 2, "second");
  log.Close();
  ASSERT_LT(time(nullptr), start + 60);

  for (int s = 0; s < 60; ++s)
    EXPECT_EQ("older " + std::to_string(s), ReadFileText(path + "." + TimeSuffix(start + s)));
  EXPECT_EQ(60u, RotatedLogs(dir.path).size());
  // The same file keeps growing.
  const std::string text = ReadFileText(path);
  EXPECT_EQ(0u, text.find(std::string(101, 'x')));
  EXPECT_NE(std::string::npos, text.find("] first\n"));
  EXPECT_NE(std::string::npos, text.find("] second\n"));
}

TEST_F(LogTest, ConcurrentWritersNeitherInterleaveNorLoseLinesAcrossRotations) {
  log.SetSizeLimit(4096);
  ASSERT_TRUE(log.Open());
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < kLinesEach; ++i)
        log.WriteLog(kModIntranet, kLogInfo, "Writer", t, "thread %d line %d %s", t, i,
                     std::string(40, 'a' + t).c_str());
    });
  }
  for (auto& w : writers) w.join();
  log.Close();

  std::vector<std::string> files = RotatedLogs(dir.path);
  EXPECT_FALSE(files.empty());
  files.push_back("Log.txt");
  int total = 0;
  for (const std::string& name : files) {
    for (const std::string& line : Lines(ReadFileText(dir.path + "/" + name))) {
      EXPECT_TRUE(std::regex_match(line, kLineShape)) << line;
      ++total;
    }
  }
  EXPECT_EQ(kThreads * kLinesEach, total);
}

TEST_F(LogTest, LongMessagesAreWrittenWhole) {
  ASSERT_TRUE(log.Open());
  const std::string big(5000, 'z');
  log.WriteLog(kModCommLib, kLogError, "F", 1, "%s|%d|%s", big.c_str(), 42, "end");
  log.Close();
  EXPECT_NE(std::string::npos, ReadFileText(path).find("] " + big + "|42|end\n"));
}

class GlobalLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    path = dir.path + "/Log.txt";
    g_Log.SetPath(path);
    g_Log.SetPriority(kLogDefaultPriority);
    ASSERT_TRUE(g_Log.Open());
  }
  void TearDown() override {
    event_set_log_callback(nullptr);
    g_Log.Close();
  }
  TempDir dir;
  std::string path;
};

TEST_F(GlobalLogTest, MacroPassesTheCallersFunctionAndLine) {
  const int line = __LINE__ + 1;
  QV_LOG(kModClient, kLogInfo, "value %u", 5u);
  QV_LOG(kModClient, kLogDebug, "filtered");
  g_Log.Flush();
  const std::string text = ReadFileText(path);
  EXPECT_NE(std::string::npos, text.find("][QuarloClient TestBody " + std::to_string(line) + "]["))
      << text;
  EXPECT_NE(std::string::npos, text.find("[INFO] value 5\n"));
  EXPECT_EQ(std::string::npos, text.find("filtered"));
}

TEST_F(GlobalLogTest, LibeventMessagesArriveAsCommLib) {
  Log_RouteLibevent();
  event_base_free(nullptr);  // libevent warns that there is no base to free
  g_Log.Flush();
  const std::string text = ReadFileText(path);
  EXPECT_NE(std::string::npos, text.find("[CommLib ")) << text;
  EXPECT_NE(std::string::npos, text.find("[WARNING] ")) << text;
  EXPECT_NE(std::string::npos, text.find("no base to free")) << text;
}

}  // namespace
