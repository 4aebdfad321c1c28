#include "common/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/os_layer.h"
#include "common/sqlite_wrapper.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_base.h"
#include "tools/dbinit/schema.h"

namespace {

TempBaseOptions ConfOptions() {
  TempBaseOptions o;
  o.localport = 15002;
  o.logPriority = 400;
  o.logConsole = 1;
  o.svhost = "central.example";
  o.svport = 15100;
  o.p2phost = "p2p.example";
  o.p2pport = 15101;
  return o;
}

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() : m_base(ConfOptions()) {}
  void SetUp() override { m_base.OpenGlobalDb(); }

  TempBase m_base;
};

AccountInfo Account(const std::string& email, const std::string& password) {
  AccountInfo a;
  std::memset(&a, 0, sizeof(a));
  std::memcpy(a.email, email.data(), std::min(email.size(), sizeof(a.email)));
  std::memcpy(a.password, password.data(), std::min(password.size(), sizeof(a.password)));
  return a;
}

TEST_F(SettingsTest, ConfRowReadsBack) {
  g_LocalPort.store(1);
  ParseLocalPort();
  EXPECT_EQ(15002, g_LocalPort.load());
  int console = -1, priority = -1;
  ParseLogConf(console, priority);
  EXPECT_EQ(1, console);
  EXPECT_EQ(400, priority);
  std::string host;
  uint16_t port = 0;
  GetServerInfo(host, port);
  EXPECT_EQ("central.example", host);
  EXPECT_EQ(15100, port);
  GetP2PServerInfo(host, port);
  EXPECT_EQ("p2p.example", host);
  EXPECT_EQ(15101, port);
}

TEST_F(SettingsTest, MissingConfRowOrNullPriorityGivesTheDefaults) {
  m_base.Exec("update qv_conf set log_priority = NULL, log_console = NULL;");
  int console = -1, priority = -1;
  ParseLogConf(console, priority);
  EXPECT_EQ(0, console);
  EXPECT_EQ(600, priority);

  m_base.Exec("delete from qv_conf;");
  console = priority = -1;
  ParseLogConf(console, priority);
  EXPECT_EQ(0, console);
  EXPECT_EQ(600, priority);
  g_LocalPort.store(77);
  ParseLocalPort();
  EXPECT_EQ(0, g_LocalPort.load());
  std::string host = "x";
  uint16_t port = 9;
  GetServerInfo(host, port);
  EXPECT_EQ("", host);
  EXPECT_EQ(0, port);
}

TEST_F(SettingsTest, RecordsRoundTripWithQuotesUtf8AndFullWidthFields) {
  // A field without a zero byte is read within its width, never past it.
  const std::string fullEmail(32, 'e');
  ASSERT_EQ(0, WriteLogOnInfo(Account(fullEmail, "pa'ss 中")));
  ASSERT_EQ(0, WriteLogOnInfo(Account("o'neil@example.com", "pw")));  // rewritten whole
  std::string email, password;
  GetUsernfo(email, password);
  EXPECT_EQ("o'neil@example.com", email);
  EXPECT_EQ("pw", password);
  ASSERT_EQ(0, WriteLogOnInfo(Account(fullEmail, "x")));
  GetUsernfo(email, password);
  EXPECT_EQ(fullEmail, email);
  ASSERT_EQ(0, ClearLogOnInfo());
  GetUsernfo(email, password);
  EXPECT_EQ("", email);

  ASSERT_EQ(0, SetPsw("it's; 密码"));
  EXPECT_EQ("it's; 密码", GetPsw());

  DefShareInfo dirs;
  std::memset(&dirs, 0, sizeof(dirs));
  std::strcpy(dirs.def, "/tmp/x/it's 中文");
  std::strcpy(dirs.pic, "/tmp/x/it's 中文/Pictures");
  std::memset(dirs.doc, 'd', sizeof(dirs.doc));  // full 260 bytes, no zero
  ASSERT_EQ(0, SetDefaultDir(dirs));
  DefaultDirSet set;
  ParseDefaultDir(set);
  EXPECT_EQ("/tmp/x/it's 中文", set.def);
  EXPECT_EQ("/tmp/x/it's 中文/Pictures", set.pic);
  EXPECT_EQ("", set.music);
  EXPECT_EQ(std::string(260, 'd'), set.doc);
  DefShareInfo back;
  std::memset(&back, 0x55, sizeof(back));
  GetDefShareInfo(back);
  EXPECT_STREQ("/tmp/x/it's 中文", back.def);
  EXPECT_EQ(std::string(259, 'd'), std::string(back.doc));  // cut to 259, zero-terminated
  EXPECT_EQ('\0', back.music[0]);
  EXPECT_EQ(1, g_DB.ExecScalar("select count(*) from qv_defshare"));
}

TEST_F(SettingsTest, ShareListSkipsBlankEntriesAndDuplicatesKeepsOrderAndCase) {
  ASSERT_EQ(0, SetShareInfo({"/tmp/x/it's 中文", "", "  \t", "/b", "/a", "/b", "/B"}));
  EXPECT_EQ(5, g_DB.ExecScalar("select count(*) from qv_share"));  // blanks not stored
  m_base.AddShare(" ");  // written by something else: still skipped on read
  m_base.AddShare("/a");
  std::vector<std::string> shares{"stale"};
  ParseShareInfo(shares);
  EXPECT_EQ((std::vector<std::string>{"/tmp/x/it's 中文", "/b", "/a", "/B"}), shares);

  ASSERT_EQ(0, SetShareInfo({}));
  ParseShareInfo(shares);
  EXPECT_TRUE(shares.empty());
}

TEST_F(SettingsTest, TransferLogIsInIdOrderWithFieldsCut) {
  const std::string longFile = "/f/" + std::string(300, 'x');
  CppSQLite3Buffer sql;
  g_DB.ExecDML(sql.Format(
      "insert into qv_trans(id,type,status,file,size,time) values (5,1,0,%Q,%lld,%Q);",
      longFile.c_str(), 5000000000LL, "2024-01-02 03:04:05 and more text here"));
  g_DB.ExecDML("insert into qv_trans(id,type,status,file,size,time) values "
               "(2,0,0,'/s/it''s.jpg',1234,'2024-01-01 00:00:00');");
  std::vector<TransLogRecord> log;
  GetTransLog(log);
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(0, log[0].type);
  EXPECT_EQ(1234u, log[0].size);
  EXPECT_STREQ("/s/it's.jpg", log[0].file);
  EXPECT_STREQ("2024-01-01 00:00:00", log[0].time);
  EXPECT_EQ(1, log[1].type);
  EXPECT_EQ(0xFFFFFFFFu, log[1].size);  // too large for the record: the largest value
  EXPECT_EQ(longFile.substr(0, 259), std::string(log[1].file));
  EXPECT_EQ(std::string("2024-01-02 03:04:05 and more text here").substr(0, 29),
            std::string(log[1].time));  // cut to 29 bytes and zero-terminated

  ASSERT_EQ(0, ClearLog());
  GetTransLog(log);
  EXPECT_TRUE(log.empty());
}

TEST_F(SettingsTest, MissingTablesKeepReadersAtDefaultsAndFailWriters) {
  m_base.Exec("drop table qv_user; drop table qv_share; drop table qv_trans; drop table qv_psw;"
              "drop table qv_defshare; drop table qv_conf;");
  AccountInfo account = Account("a@b.c", "p");
  DefShareInfo dirs;
  std::memset(&dirs, 0, sizeof(dirs));
  EXPECT_EQ(-1, ClearLogOnInfo());
  EXPECT_EQ(-1, WriteLogOnInfo(account));
  EXPECT_EQ(-1, SetDefaultDir(dirs));
  EXPECT_EQ(-1, SetShareInfo({"/a"}));
  EXPECT_EQ(1, ClearLog());
  EXPECT_EQ(-1, SetPsw("p"));

  std::string email = "x", password = "y";
  GetUsernfo(email, password);
  EXPECT_EQ("", email);
  std::vector<std::string> shares{"x"};
  ParseShareInfo(shares);
  EXPECT_TRUE(shares.empty());
  std::vector<TransLogRecord> log(3);
  GetTransLog(log);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ("", GetPsw());
  int console = 5, priority = 5;
  ParseLogConf(console, priority);
  EXPECT_EQ(0, console);
  EXPECT_EQ(600, priority);

  // Every failed writer released the write mutex and left no transaction open.
  std::atomic<bool> taken{false};
  std::thread other([&] {
    taken = g_DB.WriteMutex()->TryLock();
    if (taken) g_DB.WriteMutex()->Unlock();
  });
  other.join();
  EXPECT_TRUE(taken);
  EXPECT_NO_THROW(g_DB.ExecDML("begin transaction; rollback transaction;"));
}

TEST_F(SettingsTest, FailedRewriteRollsBackToTheOldList) {
  m_base.Exec("drop table qv_share; create table qv_share (path text check (path <> '/bad'));");
  ASSERT_EQ(0, SetShareInfo({"/keep1", "/keep2"}));
  EXPECT_EQ(-1, SetShareInfo({"/new", "/bad"}));
  std::vector<std::string> shares;
  ParseShareInfo(shares);
  EXPECT_EQ((std::vector<std::string>{"/keep1", "/keep2"}), shares);
}

TEST_F(SettingsTest, ReadersNeverSeeAHalfWrittenShareList) {
  const std::vector<std::string> listA{"/a1", "/a2", "/a3"};
  const std::vector<std::string> listB{"/b1", "/b2", "/b3", "/b4", "/b5", "/b6"};
  ASSERT_EQ(0, SetShareInfo(listA));
  constexpr int kRounds = 150;
  std::atomic<int> writersLeft{2};
  std::atomic<int> failures{0};
  auto writer = [&](const std::vector<std::string>& list) {
    for (int i = 0; i < kRounds; ++i)
      if (SetShareInfo(list) != 0) ++failures;
    --writersLeft;
  };
  std::thread wa(writer, listA);
  std::thread wb(writer, listB);
  int reads = 0;
  int torn = 0;
  std::vector<std::string> seen;
  while (writersLeft.load() > 0 || reads == 0) {
    ParseShareInfo(seen);
    ++reads;
    if (seen != listA && seen != listB) ++torn;
  }
  wa.join();
  wb.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, torn) << "of " << reads << " reads";
}

TEST(SettingsPure, CheckIllegalCharRefusesEachOfTheSixteen) {
  const std::string illegal = "';\"=`*%$^&<>{}[]";
  ASSERT_EQ(16u, illegal.size());
  for (char c : illegal)
    EXPECT_EQ(-1, CheckIllegalChar(std::string("ab") + c + "cd")) << c;
  const struct {
    const char* text;
    int expected;
  } cases[] = {{"", 0}, {"user name@example.com", 0}, {"a|b", 0}, {"a-b_c.d!#", 0}};
  for (const auto& c : cases) EXPECT_EQ(c.expected, CheckIllegalChar(c.text)) << c.text;
}

TEST(SettingsPure, FixedFieldStopsAtTheZeroOrTheWidth) {
  const char full[4] = {'a', 'b', 'c', 'd'};
  const char shorter[4] = {'a', 'b', '\0', 'd'};
  EXPECT_EQ("abcd", FixedField(full, sizeof(full)));
  EXPECT_EQ("ab", FixedField(shorter, sizeof(shorter)));
  EXPECT_EQ("", FixedField(nullptr, 4));
}

TEST(DbInitTool, CreatesAPrivateFileTheReadersUnderstand) {
  TempBase base;
  const std::string path = base.EtcDir() + "/Made.db";
  const std::string tool = std::string(QUARLO_BUILD_DIR) + "/tools/dbinit/quarlo_dbinit";
  ProgramResult r = RunProgram({tool, path, "--svhost", "10.1.2.3", "--svport", "4000",
                                "--p2phost", "p2p.local", "--p2pport", "4001", "--localport",
                                "15009"});
  ASSERT_EQ(0, r.exitCode) << r.output;
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // An existing database is never replaced without --force.
  r = RunProgram({tool, path, "--localport", "1"});
  EXPECT_NE(0, r.exitCode);
  EXPECT_NE(std::string::npos, r.output.find("already exists")) << r.output;
  r = RunProgram({tool, path, "--svport", "70000"});
  EXPECT_NE(0, r.exitCode);
  r = RunProgram({tool});
  EXPECT_NE(0, r.exitCode);

  g_DB.Open(path);
  ParseLocalPort();
  EXPECT_EQ(15009, g_LocalPort.load());
  int console = -1, priority = -1;
  ParseLogConf(console, priority);
  EXPECT_EQ(0, console);
  EXPECT_EQ(600, priority);
  std::string host;
  uint16_t port = 0;
  GetServerInfo(host, port);
  EXPECT_EQ("10.1.2.3", host);
  EXPECT_EQ(4000, port);
  GetP2PServerInfo(host, port);
  EXPECT_EQ("p2p.local", host);
  EXPECT_EQ(4001, port);
  for (const char* table : {"qv_user", "qv_defshare", "qv_share", "qv_trans", "qv_psw"}) {
    CppSQLite3Buffer sql;
    EXPECT_EQ(0, g_DB.ExecScalar(sql.Format("select count(*) from %s", table))) << table;
  }
  g_DB.Close();

  r = RunProgram({tool, path, "--force"});
  ASSERT_EQ(0, r.exitCode) << r.output;
  g_DB.Open(path);
  ParseLocalPort();
  EXPECT_EQ(15002, g_LocalPort.load());
  GetServerInfo(host, port);
  EXPECT_EQ("127.0.0.1", host);
  EXPECT_EQ(15100, port);
  GetP2PServerInfo(host, port);
  EXPECT_EQ(15101, port);
  g_DB.Close();
}

TEST(DbInitTool, LibraryRefusesAMissingFolderAndLeavesNothing) {
  TempBase base;
  SchemaOptions opt;
  std::string error;
  EXPECT_EQ(-1, CreateSettingsDatabase(base.Dir() + "/nowhere/Quarlo.db", opt, error));
  EXPECT_FALSE(error.empty());
  opt.localport = -1;
  EXPECT_EQ(-1, CreateSettingsDatabase(base.Dir() + "/x.db", opt, error));
  struct stat st;
  EXPECT_NE(0, stat((base.Dir() + "/x.db").c_str(), &st));
}

}  // namespace
