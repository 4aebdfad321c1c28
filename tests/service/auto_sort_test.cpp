// Photo auto-sorting over real folders, real JPEG files dated by exiftool and the real
// settings database; the layout is checked against exiftool's own sorting of a copy.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>

#include "common/md5.h"
#include "common/sqlite_wrapper.h"
#include "service/pictures/auto_sort.h"
#include "service/pictures/exif.h"
#include "tests/support/link_swapper.h"
#include "tests/support/pictures.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tests/support/wait_for.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kPlaceholder = "2099:09:09 09:09:09";

// One real JPEG dated with a placeholder by exiftool; copies get their own date text (any 19
// bytes, so malformed dates can be written too) and a comment that makes each file unique.
class DatedJpegs {
 public:
  explicit DatedJpegs(const std::string& dir) {
    const std::string path = dir + "/template.jpg";
    MakePicture({"-size", "48x32", "plasma:", "-seed", "11", path});
    Tool({"/usr/bin/exiftool", "-q", "-overwrite_original", "-DateTimeOriginal=" + kPlaceholder, path});
    m_template = ReadBytes(path);
    fs::remove(path);
  }
  Bytes Make(const std::string& date, const std::string& unique) const {
    Bytes b = m_template;
    auto at = std::search(b.begin(), b.end(), kPlaceholder.begin(), kPlaceholder.end());
    if (at == b.end()) throw std::runtime_error("no date placeholder");
    for (size_t i = 0; i < kPlaceholder.size(); ++i) at[long(i)] = i < date.size() ? uint8_t(date[i]) : 0;
    Bytes com = {0xFF, 0xFE, 0, uint8_t(unique.size() + 2)};
    com.insert(com.end(), unique.begin(), unique.end());
    b.insert(b.begin() + 2, com.begin(), com.end());
    return b;
  }

 private:
  Bytes m_template;
};

void SetOld(const std::string& path) {
  struct timeval tv[2];
  gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec -= 3600;
  tv[1] = tv[0];
  ASSERT_EQ(lutimes(path.c_str(), tv), 0) << path;
}

std::string Md5Of(const std::string& path) {
  const Bytes b = ReadBytes(path);
  CMd5Hash md5;
  md5.Update(b.data(), b.size());
  return md5.HexDigest();
}

// md5 -> count over the regular files below the folder (links and FIFOs not followed).
std::multiset<std::string> Md5Multiset(const std::string& dir) {
  std::multiset<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file() && !e.is_symlink()) out.insert(Md5Of(e.path()));
  }
  return out;
}

// Regular files below the folder by relative path.
std::set<std::string> Layout(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file() && !e.is_symlink()) out.insert(fs::relative(e.path(), dir).string());
  }
  return out;
}

TEST(TidingDate, OnlyRealCalendarDatesMakeAFolder) {
  const std::pair<const char*, const char*> cases[] = {
      {"2013:05:04 10:11:12", "2013-05-04"}, {"2013:05:04", "2013-05-04"},
      {"2012:02:29 00:00:00", "2012-02-29"}, {"2000:02:29 00:00:00", "2000-02-29"},
      {"", ""}, {"                   ", ""}, {"    :  :     :  :  ", ""},
      {"0000:00:00 00:00:00", ""}, {"2013:00:10 00:00:00", ""}, {"2013:13:01 00:00:00", ""},
      {"2013:04:31 00:00:00", ""}, {"2013:02:29 00:00:00", ""}, {"1900:02:29 00:00:00", ""},
      {"2013/05/04 10:11:12", ""}, {"../x", ""}, {"2013:05:04/../../x", ""},
      {"2013:05:0410:11:12", ""}, {"20a3:05:04 10:11:12", ""}, {"0000:05:04 10:11:12", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TidingDateFolder(c.first), c.second) << "'" << c.first << "'";
  EXPECT_EQ(TidingDateFolder(nullptr), "");
}

TEST(TidingTable, CreatedOnceReadAndSetWithoutQuotingSurprises) {
  TempBase base;
  base.OpenGlobalDb();
  std::string status = "x";
  ASSERT_EQ(GetTidingStatusByType(kTidingByDate, status), 0);
  EXPECT_EQ(status, "0");
  ASSERT_EQ(CreateAutoTidingTable(), 0);  // a second time changes nothing
  EXPECT_EQ(g_DB.ExecScalar("select count(*) from AutoTiding"), 1);

  ASSERT_EQ(SetTidingStatusByType(kTidingByDate, "1"), 0);
  ASSERT_EQ(GetTidingStatusByType(kTidingByDate, status), 0);
  EXPECT_EQ(status, "1");

  // A name without a row reads "0", and setting it creates nothing.
  ASSERT_EQ(SetTidingStatusByType("Other", "1"), 0);
  ASSERT_EQ(GetTidingStatusByType("Other", status), 0);
  EXPECT_EQ(status, "0");
  // Quotes in a name or status stay text.
  ASSERT_EQ(SetTidingStatusByType("x' or '1'='1", "0"), 0);
  ASSERT_EQ(GetTidingStatusByType(kTidingByDate, status), 0);
  EXPECT_EQ(status, "1");
  EXPECT_EQ(g_DB.ExecScalar("select count(*) from AutoTiding"), 1);
}

class AutoSortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_base.OpenGlobalDb();
    m_dirs = m_base.MakeDefaultDirs();
    m_pics = m_dirs.pic;
    m_jpegs.reset(new DatedJpegs(m_base.Dir()));
  }
  std::string Put(const std::string& name, const std::string& date, bool old = true) {
    const std::string path = m_pics + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    WriteBytes(path, m_jpegs->Make(date, name));
    if (old) SetOld(path);
    return path;
  }

  TempBase m_base;
  DefaultDirSet m_dirs;
  std::string m_pics;
  std::unique_ptr<DatedJpegs> m_jpegs;
};

TEST_F(AutoSortTest, MixedFolderLosesNothingAndMatchesExiftool) {
  // Pictures that sort, each to its own name.
  const std::vector<std::pair<std::string, std::string>> sortable = {
      {"a.jpg", "2013:05:04 10:11:12"}, {"d.jpg", "2020:12:31 23:59:59"},
      {"e.JPG", "2012:02:29 00:00:00"}, {"no extension", "2013:05:04 08:00:00"},
  };
  for (const auto& s : sortable) Put(s.first, s.second);

  // A copy sorted by exiftool gives the expected layout of those.
  const std::string copy = m_base.MakeDir("copy");
  for (const auto& s : sortable) fs::copy_file(m_pics + "/" + s.first, copy + "/" + s.first);
  Tool({"/bin/sh", "-c", "cd '" + copy + "' && exiftool -q -d %Y-%m-%d '-Directory<DateTimeOriginal' ./*"});
  const std::set<std::string> exiftoolLayout = Layout(copy);
  ASSERT_EQ(exiftoolLayout.size(), sortable.size());
  EXPECT_TRUE(exiftoolLayout.count("2013-05-04/a.jpg"));

  // Pictures that stay, whatever else happens.
  const std::vector<std::string> staying = {
      Put("blank.jpg", "                   "), Put("zeros.jpg", "0000:00:00 00:00:00"),
      Put("slashes.jpg", "2013/05/04 10:11:12"), Put("dotdot.jpg", "../x"),
      Put(".hidden.jpg", "2013:05:04 10:11:12"), Put("up.jpgquarlo.rename", "2013:05:04 10:11:12"),
      Put("sub/inner.jpg", "2013:05:04 10:11:12"), Put("fresh.jpg", "2013:05:04 10:11:12", false),
  };
  // A picture still being written: no final FFD9 yet.
  const std::string partial = m_pics + "/partial.jpg";
  Bytes cut = m_jpegs->Make("2013:05:04 10:11:12", "partial");
  cut.resize(cut.size() - 2);
  WriteBytes(partial, cut);
  SetOld(partial);
  MakePicture({"-size", "8x8", "xc:red", m_pics + "/red.png"});
  SetOld(m_pics + "/red.png");
  ASSERT_EQ(mkfifo((m_pics + "/pipe.jpg").c_str(), 0600), 0);
  const std::string outside = Put("../elsewhere.jpg", "2013:05:04 10:11:12");
  ASSERT_EQ(symlink(outside.c_str(), (m_pics + "/link.jpg").c_str()), 0);

  // An identical twin already sorted, and a different picture under a sorted name.
  Put("twin.jpg", "2013:05:04 10:11:12");
  fs::create_directories(m_pics + "/2013-05-04");
  fs::copy_file(m_pics + "/twin.jpg", m_pics + "/2013-05-04/twin.jpg");
  Put("same.jpg", "2013:05:04 10:11:12");
  WriteBytes(m_pics + "/2013-05-04/same.jpg", m_jpegs->Make("2013:05:04 10:11:12", "other"));
  const std::string twinMd5 = Md5Of(m_pics + "/twin.jpg");
  const std::string sameMd5 = Md5Of(m_pics + "/same.jpg");
  const std::string otherMd5 = Md5Of(m_pics + "/2013-05-04/same.jpg");

  const std::multiset<std::string> before = Md5Multiset(m_pics);
  ASSERT_EQ(SetTidingStatusByType(kTidingByDate, "1"), 0);
  EXPECT_EQ(AutoTiding_RunOnce(), int(sortable.size()) + 2);
  EXPECT_EQ(AutoTiding_RunOnce(), 0) << "a second pass finds nothing more";

  // Nothing lost or emptied: only the twin's duplicate is gone.
  std::multiset<std::string> expected = before;
  expected.erase(expected.find(twinMd5));
  EXPECT_EQ(Md5Multiset(m_pics), expected);
  for (const auto& e : fs::recursive_directory_iterator(m_pics)) {
    if (e.is_regular_file()) {
      EXPECT_GT(e.file_size(), 0u) << e.path();
    }
  }

  const std::set<std::string> layout = Layout(m_pics);
  for (const std::string& p : exiftoolLayout) EXPECT_TRUE(layout.count(p)) << p;
  EXPECT_TRUE(layout.count("2013-05-04/twin.jpg"));
  EXPECT_FALSE(layout.count("twin.jpg"));
  EXPECT_TRUE(layout.count("2013-05-04/same.jpg"));
  EXPECT_TRUE(layout.count("2013-05-04/same.jpg.(0).jpg"));
  EXPECT_EQ(Md5Of(m_pics + "/2013-05-04/same.jpg"), otherMd5) << "never overwritten";
  EXPECT_EQ(Md5Of(m_pics + "/2013-05-04/same.jpg.(0).jpg"), sameMd5);
  for (const std::string& s : staying) EXPECT_TRUE(fs::exists(s)) << s;
  EXPECT_TRUE(fs::exists(partial));
  EXPECT_TRUE(fs::exists(m_pics + "/red.png"));
  EXPECT_TRUE(fs::is_fifo(m_pics + "/pipe.jpg"));
  EXPECT_TRUE(fs::is_symlink(m_pics + "/link.jpg"));
  EXPECT_TRUE(fs::exists(outside));
}

TEST_F(AutoSortTest, OnlyTheExactSwitchSorts) {
  const std::string pic = Put("a.jpg", "2013:05:04 10:11:12");
  for (const char* status : {"0", "11", " 1", "", "1 "}) {
    SCOPED_TRACE(std::string("'") + status + "'");
    ASSERT_EQ(SetTidingStatusByType(kTidingByDate, status), 0);
    EXPECT_EQ(AutoTiding_RunOnce(), 0);
    EXPECT_TRUE(fs::exists(pic));
  }
  ASSERT_EQ(SetTidingStatusByType(kTidingByDate, "1"), 0);
  EXPECT_EQ(AutoTiding_RunOnce(), 1);
  EXPECT_TRUE(fs::exists(m_pics + "/2013-05-04/a.jpg"));
}

TEST_F(AutoSortTest, DateFolderThatIsALinkOrAFileIsNotUsed) {
  const std::string a = Put("a.jpg", "2013:05:04 10:11:12");
  const std::string b = Put("b.jpg", "2014:01:01 00:00:00");
  const std::string away = m_base.MakeDir("away");
  ASSERT_EQ(symlink(away.c_str(), (m_pics + "/2013-05-04").c_str()), 0);
  WriteBytes(m_pics + "/2014-01-01", {'x'});
  ASSERT_EQ(SetTidingStatusByType(kTidingByDate, "1"), 0);
  EXPECT_EQ(AutoTiding_RunOnce(), 0);
  EXPECT_TRUE(fs::exists(a));
  EXPECT_TRUE(fs::exists(b));
  EXPECT_TRUE(fs::is_empty(away));
}

// A local program keeps swapping the date folder for a link to a folder outside and back while
// passes sort new pictures into it: no picture ever leaves the pictures folder, none is lost.
TEST_F(AutoSortTest, DateFolderSwappedForALinkNeverTakesAPictureOut) {
  const std::string away = m_base.MakeDir("away");
  fs::create_directories(m_pics + "/2013-05-04");
  ASSERT_EQ(SetTidingStatusByType(kTidingByDate, "1"), 0);
  LinkSwapper swapper(m_pics + "/2013-05-04", away);
  ASSERT_TRUE(swapper.Start()) << swapper.Error();
  std::multiset<std::string> put;
  int moved = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (int round = 0; std::chrono::steady_clock::now() < until; ++round) {
    for (int i = 0; i < 4; ++i) {
      put.insert(Md5Of(Put("r" + std::to_string(round) + "-" + std::to_string(i) + ".jpg",
                           "2013:05:04 10:11:12")));
    }
    moved += std::max(0, AutoTiding_RunOnce());
  }
  swapper.Stop();
  EXPECT_GT(swapper.Swaps(), 0);
  EXPECT_GT(moved, 0);
  EXPECT_TRUE(fs::is_empty(away)) << "a picture was moved out of the pictures folder";
  EXPECT_EQ(Md5Multiset(m_pics), put) << "a picture was lost";
}

TEST(TidingPeriod, TestSettingShortensThePeriod) {
  const std::pair<const char*, int> cases[] = {
      {nullptr, 60}, {"tiding_seconds=2", 2}, {"idle_seconds=5,tiding_seconds=3", 3},
      {"tiding_seconds=0", 60}, {"tiding_seconds=x", 60}, {"xtiding_seconds=4", 60},
  };
  const char* old = std::getenv("QUARLO_TEST_SETTINGS");
  const std::string saved = old ? old : "";
  for (const auto& c : cases) {
    if (c.first) setenv("QUARLO_TEST_SETTINGS", c.first, 1); else unsetenv("QUARLO_TEST_SETTINGS");
    EXPECT_EQ(Tiding_PeriodSeconds(), c.second) << (c.first ? c.first : "unset");
  }
  if (old) setenv("QUARLO_TEST_SETTINGS", saved.c_str(), 1); else unsetenv("QUARLO_TEST_SETTINGS");
}

// The real service sorts at start-up when the switch is on, and again on its period.
TEST(AutoSortService, SortsAtStartAndOnItsPeriod) {
  TempBase base;
  const DefaultDirSet dirs = base.MakeDefaultDirs();
  base.Exec("create table AutoTiding(TidingName char(128), TidingStatus char(4));"
            "insert into AutoTiding values('TidingByDate','1');");
  DatedJpegs jpegs(base.Dir());
  WriteBytes(dirs.pic + "/first.jpg", jpegs.Make("2013:05:04 10:11:12", "first"));
  SetOld(dirs.pic + "/first.jpg");

  ServiceProcess svc(base.Dir());
  svc.AddEnv("QUARLO_TEST_SETTINGS=tiding_seconds=1");
  svc.CopyPrograms();
  ASSERT_TRUE(svc.Start()) << svc.LogText();
  EXPECT_TRUE(WaitFor([&] { return fs::exists(dirs.pic + "/2013-05-04/first.jpg"); },
                      std::chrono::seconds(20)));
  WriteBytes(dirs.pic + "/later.jpg", jpegs.Make("2014:06:07 10:11:12", "later"));
  SetOld(dirs.pic + "/later.jpg");
  EXPECT_TRUE(WaitFor([&] { return fs::exists(dirs.pic + "/2014-06-07/later.jpg"); },
                      std::chrono::seconds(20)));
  EXPECT_EQ(svc.NetStop().exitCode, 0);
}

}  // namespace
