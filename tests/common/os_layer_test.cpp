#include "common/os_layer.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/os_init.h"
#include "common/thread_pool.h"
#include "tests/support/text_files.h"

namespace {

namespace fs = std::filesystem;

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/quarlo-os-XXXXXX";
    if (mkdtemp(tmpl)) path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}


// Sets TZ for one test and restores it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    const char* old = getenv("TZ");
    m_had = old != nullptr;
    if (old) m_old = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (m_had)
      setenv("TZ", m_old.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool m_had = false;
  std::string m_old;
};

std::string FormatVia(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatVia(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = OS_FormatStr(format, args);
  va_end(args);
  return s;
}

// --- time texts ---

TEST(OsTime, StrToTimeRoundTripsThroughTimeToStr) {
  const int64_t t = OS_StrToTime("2012-10-12 13:05:07");
  struct tm expected {};
  expected.tm_year = 112;
  expected.tm_mon = 9;
  expected.tm_mday = 12;
  expected.tm_hour = 13;
  expected.tm_min = 5;
  expected.tm_sec = 7;
  expected.tm_isdst = -1;
  EXPECT_EQ(static_cast<int64_t>(mktime(&expected)), t);
  EXPECT_EQ("2012-10-12 13:05:07", OS_TimeToStr(t));
}

TEST(OsTime, SummerTimeIsTakenFromTheDate) {
  ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ("2012-07-01 12:00:00", OS_TimeToStr(OS_StrToTime("2012-07-01 12:00:00")));
  EXPECT_EQ("2012-12-01 12:00:00", OS_TimeToStr(OS_StrToTime("2012-12-01 12:00:00")));
  // 2012-07-01 10:00:00 UTC.
  EXPECT_EQ(1341136800, OS_StrToTime("2012-07-01 12:00:00"));
}

TEST(OsTime, StrToTimeShapes) {
  EXPECT_EQ(0, OS_StrToTime("2012/10/12"));
  EXPECT_EQ(0, OS_StrToTime("2012-10"));
  EXPECT_EQ(0, OS_StrToTime(""));
  EXPECT_EQ("2012-10-12 00:00:00", OS_TimeToStr(OS_StrToTime("2012-10-12")));
  EXPECT_EQ("2012-10-12 13:00:00", OS_TimeToStr(OS_StrToTime("2012-10-12 13")));
  EXPECT_EQ("2012-10-12 13:05:00", OS_TimeToStr(OS_StrToTime("2012-10-12 13:05")));
}

TEST(OsTime, CurrentTimeText) {
  const time_t before = time(nullptr);
  const std::string now = OS_GetCurTimeStr();
  const time_t after = time(nullptr);
  EXPECT_TRUE(now == OS_TimeToStr(before) || now == OS_TimeToStr(after)) << now;
}

// --- strings ---

TEST(OsStrings, IntTexts) {
  EXPECT_EQ("-5", OS_IntToStr(-5));
  EXPECT_EQ("2147483647", OS_IntToStr(INT32_MAX));
  EXPECT_EQ("4294967295", OS_UIntToStr(UINT32_MAX));
}

TEST(OsStrings, SplitStr) {
  struct Case {
    const char* text;
    const char* delim;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"abc", "\r\n", {"abc"}},
      {"", "\r\n", {}},
      {"abc", "", {}},
      {"a,,b,", ",", {"a", "", "b", ""}},
      {",", ",", {"", ""}},
      {"one\r\ntwo\r\n\r\nthree", "\r\n", {"one", "two", "", "three"}},
      {"/home/u/a", "/", {"", "home", "u", "a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string> out = {"stale"};
    OS_SplitStr(c.text, c.delim, out);
    EXPECT_EQ(c.pieces, out);
  }
}

TEST(OsStrings, ReplaceStr) {
  struct Case {
    const char* text;
    const char* from;
    const char* to;
    const char* result;
  };
  const Case cases[] = {
      {"aaa", "a", "aa", "aaaaaa"},  // inserted text is not scanned again
      {"", "a", "b", ""},
      {"abc", "", "x", "abc"},
      {"abc", "abc", "", ""},
      {"$DEFAULT$/x/$DEFAULT$", "$DEFAULT$", "/home/u", "/home/u/x//home/u"},
      {"abab", "ba", "X", "aXb"},
      {"xyz", "q", "r", "xyz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.result, OS_ReplaceStr(c.text, c.from, c.to));
  }
}

TEST(OsStrings, FormatStrGrowsPastTheFirstBufferWithAllArguments) {
  const std::string big(3000, 'q');
  EXPECT_EQ(big + "|42|tail", FormatVia("%s|%d|%s", big.c_str(), 42, "tail"));
  const std::string exact(1023, 'e');  // fits the first buffer with its zero byte
  EXPECT_EQ(exact + "7", FormatVia("%s%d", exact.c_str(), 7));
}

// --- encodings ---

TEST(OsEncoding, Utf8ToGb2312AndBack) {
  const std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87\xE6\xB5\x8B\xE8\xAF\x95 ok";  // 中文测试 ok
  const std::string gb = OS_ConvertEncoding("UTF-8", "GB2312//IGNORE", utf8);
  EXPECT_EQ("\xD6\xD0\xCE\xC4\xB2\xE2\xCA\xD4 ok", gb);
  EXPECT_EQ(utf8, OS_ConvertEncoding("GB2312", "UTF-8", gb));
}

TEST(OsEncoding, IgnoreDropsWhatTheTargetCannotHold) {
  // 中€文: the euro sign has no GB2312 code.
  const std::string utf8 = "\xE4\xB8\xAD\xE2\x82\xAC\xE6\x96\x87";
  EXPECT_EQ("\xD6\xD0\xCE\xC4", OS_ConvertEncoding("UTF-8", "GB2312//IGNORE", utf8));
}

TEST(OsEncoding, InvalidInputOrUnknownCodeGivesTheInput) {
  const std::string bad = "ab\xFF\xFE" "cd";
  EXPECT_EQ(bad, OS_ConvertEncoding("UTF-8", "GB2312", bad));
  const std::string truncated = "ab\xE4\xB8";  // incomplete sequence at the end
  EXPECT_EQ(truncated, OS_ConvertEncoding("UTF-8", "GB2312", truncated));
  EXPECT_EQ("text", OS_ConvertEncoding("NO-SUCH-CODE", "UTF-8", "text"));
  EXPECT_EQ("", OS_ConvertEncoding("UTF-8", "GB2312", ""));
}

TEST(OsEncoding, LongTextConverts) {
  std::string utf8;
  for (int i = 0; i < 5000; ++i) utf8 += "\xE4\xB8\xAD";
  const std::string big5 = OS_ConvertEncoding("UTF-8", "BIG5//IGNORE", utf8);
  EXPECT_EQ(10000u, big5.size());
  EXPECT_EQ(utf8, OS_ConvertEncoding("BIG5", "UTF-8", big5));
}

// --- paths ---

TEST(OsPaths, GetParentDir) {
  struct Case {
    const char* input;
    const char* parent;  // null: null result
  };
  const Case cases[] = {
      {"/a/b/", "/a"}, {"/a/b", "/a"},     {"/a", "/"},        {"/", "/"},
      {"/a/", "/"},    {"//", "/"},        {"/a//b", "/a"},    {"/a/b//", "/a"},
      {"ab", "ab"},    {"a", nullptr},     {"", nullptr},      {"a/b", "a"},
      {"C:\\a\\b\\", "C:\\a"}, {"C:\\a\\b", "C:\\a"}, {"C:\\", "C:\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    char buffer[260] = {};
    strcpy(buffer, c.input);
    char* result = OS_GetParentDir(buffer);
    if (!c.parent) {
      EXPECT_EQ(nullptr, result);
    } else {
      ASSERT_EQ(buffer, result);
      EXPECT_STREQ(c.parent, buffer);
    }
  }
  EXPECT_EQ(nullptr, OS_GetParentDir(nullptr));
}

class OsFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir.path.empty()); }
  std::string P(const std::string& name) const { return dir.path + "/" + name; }
  TempDir dir;
};

TEST_F(OsFilesTest, DirExists) {
  WriteFile(P("file"), "x");
  ASSERT_EQ(0, symlink(dir.path.c_str(), P("link").c_str()));
  EXPECT_EQ(0, OS_DirExists(dir.path));
  EXPECT_EQ(0, OS_DirExists(dir.path + "/"));
  EXPECT_EQ(0, OS_DirExists("/"));
  EXPECT_EQ(0, OS_DirExists(P("link")));
  EXPECT_EQ(-1, OS_DirExists(P("file")));
  EXPECT_EQ(-1, OS_DirExists(P("missing")));
  EXPECT_EQ(-1, OS_DirExists(""));
}

TEST_F(OsFilesTest, SubDirsAndSubFilesLeaveOutHiddenSpecialAndDanglingEntries) {
  ASSERT_EQ(0, mkdir(P("dir").c_str(), 0755));
  ASSERT_EQ(0, mkdir(P(".hiddendir").c_str(), 0755));
  WriteFile(P("file.jpg"), "x");
  WriteFile(P(".hidden"), "x");
  WriteFile(P("a.jpgquarlo.rename"), "x");
  WriteFile(P("a.jpgquarlo.renametmp"), "x");
  ASSERT_EQ(0, mkfifo(P("fifo").c_str(), 0644));
  ASSERT_EQ(0, symlink(P("dir").c_str(), P("dirlink").c_str()));
  ASSERT_EQ(0, symlink(P("file.jpg").c_str(), P("filelink").c_str()));
  ASSERT_EQ(0, symlink(P("gone").c_str(), P("dangling").c_str()));

  std::vector<std::string> dirs = {"stale"};
  ASSERT_EQ(0, OS_GetSubDirs(dir.path, dirs));
  std::sort(dirs.begin(), dirs.end());
  EXPECT_EQ((std::vector<std::string>{"dir", "dirlink"}), dirs);

  std::vector<std::string> files = {"stale"};
  ASSERT_EQ(0, OS_GetSubFiles(dir.path + "/", files));
  std::sort(files.begin(), files.end());
  EXPECT_EQ((std::vector<std::string>{"file.jpg", "filelink"}), files);
}

TEST_F(OsFilesTest, ListingAMissingFolderFails) {
  std::vector<std::string> out = {"stale"};
  EXPECT_EQ(-1, OS_GetSubDirs(P("missing"), out));
  EXPECT_TRUE(out.empty());
  out = {"stale"};
  EXPECT_EQ(-1, OS_GetSubFiles(P("missing"), out));
  EXPECT_TRUE(out.empty());
}

TEST_F(OsFilesTest, ExistsRemoveRename) {
  WriteFile(P("a"), "A");
  WriteFile(P("b"), "B");
  EXPECT_EQ(0, OS_FileExists(P("a")));
  EXPECT_EQ(-1, OS_FileExists(P("missing")));

  EXPECT_EQ(-1, OS_RenameFile(P("missing"), P("c")));
  // An existing target is never replaced.
  EXPECT_EQ(-1, OS_RenameFile(P("a"), P("b")));
  EXPECT_EQ("A", ReadFileText(P("a")));
  EXPECT_EQ("B", ReadFileText(P("b")));
  EXPECT_EQ(0, OS_RenameFile(P("a"), P("c")));
  EXPECT_EQ(-1, OS_FileExists(P("a")));
  EXPECT_EQ("A", ReadFileText(P("c")));

  EXPECT_EQ(0, OS_RemoveFile(P("c")));
  EXPECT_EQ(-1, OS_FileExists(P("c")));
  EXPECT_EQ(0, OS_RemoveFile(P("c")));  // absent counts as removed
  ASSERT_EQ(0, symlink(P("gone").c_str(), P("dangling").c_str()));
  EXPECT_EQ(0, OS_RemoveFile(P("dangling")));
  EXPECT_FALSE(fs::is_symlink(P("dangling")));
}

TEST_F(OsFilesTest, CopyFile) {
  std::string content;
  for (int i = 0; i < 200000; ++i) content += static_cast<char>(i * 7);
  WriteFile(P("src"), content);
  WriteFile(P("dst"), std::string(500000, 'o'));  // an older, longer target is replaced whole
  EXPECT_EQ(0, OS_CopyFile(P("src"), P("dst")));
  EXPECT_EQ(content, ReadFileText(P("dst")));

  WriteFile(P("empty"), "");
  EXPECT_EQ(0, OS_CopyFile(P("empty"), P("empty2")));
  EXPECT_EQ("", ReadFileText(P("empty2")));

  EXPECT_EQ(-1, OS_CopyFile(P("missing"), P("x")));
  EXPECT_FALSE(fs::exists(P("x")));
  EXPECT_EQ(-1, OS_CopyFile(P("src"), P("nofolder/x")));
  EXPECT_EQ(-1, OS_CopyFile(dir.path, P("x")));  // a folder is not a file to copy
  EXPECT_FALSE(fs::exists(P("x")));
}

TEST_F(OsFilesTest, CopyOntoItselfLeavesTheFileIntact) {
  WriteFile(P("src"), "precious");
  ASSERT_EQ(0, symlink(P("src").c_str(), P("alias").c_str()));
  EXPECT_EQ(-1, OS_CopyFile(P("src"), P("src")));
  EXPECT_EQ(-1, OS_CopyFile(P("src"), P("alias")));
  EXPECT_EQ("precious", ReadFileText(P("src")));
}

TEST_F(OsFilesTest, CopyRefusesFifosAtEitherEnd) {
  WriteFile(P("src"), "data");
  ASSERT_EQ(0, mkfifo(P("fifo").c_str(), 0644));
  EXPECT_EQ(-1, OS_CopyFile(P("fifo"), P("x")));  // returns at once: nobody writes the FIFO
  EXPECT_FALSE(fs::exists(P("x")));
  EXPECT_EQ(-1, OS_CopyFile(P("src"), P("fifo")));
  EXPECT_TRUE(fs::is_fifo(P("fifo")));  // not ours to remove
}

// A small tmpfs of our own; skipped where mounting is not allowed.
class FullFileSystemTest : public OsFilesTest {
 protected:
  void SetUp() override {
    OsFilesTest::SetUp();
    mountPoint = P("small");
    ASSERT_EQ(0, mkdir(mountPoint.c_str(), 0755));
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); needs root";
    mounted = true;
  }
  void TearDown() override {
    if (mounted) umount2(mountPoint.c_str(), MNT_DETACH);
  }
  std::string mountPoint;
  bool mounted = false;
};

TEST_F(FullFileSystemTest, CopyThatDoesNotFitFailsAndLeavesNoPartialTarget) {
  WriteFile(P("big"), std::string(1 << 20, 'b'));
  EXPECT_EQ(-1, OS_CopyFile(P("big"), mountPoint + "/big"));
  EXPECT_FALSE(fs::exists(mountPoint + "/big"));
  // The source is untouched and a copy that fits still works.
  EXPECT_EQ(1u << 20, fs::file_size(P("big")));
  WriteFile(P("little"), "fits");
  EXPECT_EQ(0, OS_CopyFile(P("little"), mountPoint + "/little"));
  EXPECT_EQ("fits", ReadFileText(mountPoint + "/little"));
}

TEST_F(FullFileSystemTest, DriveIsTheMountPointAndFreeSpaceIsItsOwn) {
  ASSERT_EQ(0, mkdir((mountPoint + "/sub").c_str(), 0755));
  EXPECT_EQ(mountPoint, OS_GetDriveName(mountPoint + "/sub"));
  uint32_t kb = 0;
  ASSERT_EQ(0, OS_GetDiskFreeKB(mountPoint + "/sub", kb));
  EXPECT_LE(kb, 64u);
  EXPECT_GT(kb, 0u);
}

TEST_F(OsFilesTest, DiskFree) {
  uint32_t kb = 0;
  EXPECT_EQ(0, OS_GetDiskFreeKB(dir.path, kb));
  EXPECT_GT(kb, 0u);
  kb = 7;
  EXPECT_EQ(-1, OS_GetDiskFreeKB("", kb));
  EXPECT_EQ(7u, kb);
  EXPECT_EQ("/", OS_GetDriveName("/"));
  EXPECT_EQ("", OS_GetDriveName(""));
}

// --- handles, host ---

TEST(OsHandles, ClosingClearsTheHandleButTheMutexLivesOn) {
  MutexHandle m = nullptr;
  ASSERT_EQ(0, OS_CreateMutex(&m));
  ASSERT_NE(nullptr, m);
  MutexHandle held = m;
  held->Lock();
  EXPECT_EQ(0, OS_CloseMutex(&m));
  EXPECT_EQ(nullptr, m);
  held->Unlock();  // still a valid object
  EXPECT_TRUE(held->TryLock());
  held->Unlock();
  EXPECT_EQ(-1, OS_CloseMutex(&m));
  EXPECT_EQ(-1, OS_CloseMutex(nullptr));
  EXPECT_EQ(-1, OS_CreateMutex(nullptr));
}

TEST(OsHandles, Events) {
  EventHandle e = Plat_CreateEvent(true, false);
  ASSERT_NE(nullptr, e);
  EventHandle keep = e;
  EXPECT_EQ(0, OS_SetEvent(&e));
  EXPECT_TRUE(keep->WaitFor(0));
  EXPECT_EQ(0, OS_CloseEvent(&e));
  EXPECT_EQ(nullptr, e);
  EXPECT_EQ(-1, OS_SetEvent(&e));
  EXPECT_EQ(-1, OS_CloseEvent(&e));
  EXPECT_EQ(-1, OS_SetEvent(nullptr));
  EXPECT_EQ(-1, OS_CloseEvent(nullptr));
}

// In a UTS namespace of its own the host name is one the test chose.
TEST(OsHost, HostName) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const char kName[] = "quarlo-test-host";
    if (unshare(CLONE_NEWUTS) != 0 || sethostname(kName, sizeof kName - 1) != 0) _exit(77);
    std::string name = "stale";
    _exit(OS_GetHostName(name) == 0 && name == kName ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no UTS namespace of our own here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// --- start-up ---

int StoresAPort(void*) {
  g_LocalPort = 40123;
  g_CommandPortState = 1;
  return 0;
}

int NeverBinds(void*) { return 0; }

int CannotBind(void*) {
  g_CommandPortState = -1;
  return -1;
}

class OsInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_LocalPort = 0;
    g_ExitFlag = 0;
  }
  void TearDown() override {
    OS_SetCommandServerTask(nullptr);
    g_LocalPort = 0;
    g_ExitFlag = 0;
  }
};

TEST_F(OsInitTest, StartsTheServerTaskAndWaitsForItsPort) {
  OS_SetCommandServerTask(StoresAPort);
  ASSERT_EQ(0, OS_Init());
  EXPECT_EQ(40123, g_LocalPort.load());
  ASSERT_NE(nullptr, g_pThreadPool);
  for (MutexHandle m : {g_MutexLogOnRtn, g_MutexDownLoadCount, g_MutexLastHBTime, g_MutexTransMap,
                        g_StopDownLoadMutex})
    EXPECT_NE(nullptr, m);

  // Stopping leaves every mutex usable for tasks that are still winding down.
  MutexHandle logOn = g_MutexLogOnRtn;
  OS_Exit();
  EXPECT_EQ(1, g_ExitFlag.load());
  EXPECT_EQ(logOn, g_MutexLogOnRtn);
  CMutexLock lock(g_MutexLogOnRtn);
}

// A configured port is no proof: the start fails when the server never holds it or cannot
// bind it (another program has it).
TEST_F(OsInitTest, APortNotBoundFails) {
  EXPECT_EQ(4130, kErrNoCommandPort);
  for (OsServerTask task : {NeverBinds, CannotBind}) {
    for (uint16_t configured : {uint16_t{0}, uint16_t{15002}}) {
      g_LocalPort = configured;
      OS_SetCommandServerTask(task);
      EXPECT_EQ(kErrNoCommandPort, OS_Init()) << configured;
    }
  }
}

}  // namespace
