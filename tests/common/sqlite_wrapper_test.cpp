#include "common/sqlite_wrapper.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/temp_base.h"

namespace {

// A database object of its own on a scratch file (g_DB stays untouched).
class SqliteWrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_db.Open(m_base.Dir() + "/scratch.db");
    m_db.ExecDML("create table t (name text, n integer, big integer);");
  }
  void TearDown() override { m_db.Close(); }

  // The exception a call raises; fails the test when it raises none.
  static CppSQLite3Exception Raised(const std::function<void()>& call) {
    try {
      call();
    } catch (const CppSQLite3Exception& e) {
      return e;
    }
    ADD_FAILURE() << "no exception";
    return CppSQLite3Exception(-42, "none");
  }

  TempBase m_base;
  CppSQLite3DB m_db;
};

TEST_F(SqliteWrapperTest, TextWithQuotesAndUtf8RoundTripsAndNullsReadAsDefaults) {
  const std::string name = "/tmp/x/it's 中文";
  CppSQLite3Buffer sql;
  EXPECT_EQ(1, m_db.ExecDML(sql.Format("insert into t values (%Q, NULL, %lld);", name.c_str(),
                                        5000000000LL)));
  EXPECT_EQ(1, m_db.ExecDML("insert into t values (NULL, 7, NULL);"));

  CppSQLite3Query q = m_db.ExecQuery("select * from t order by rowid");
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(3, q.NumFields());
  EXPECT_EQ(name, q.GetStringField("name"));
  EXPECT_EQ(0, q.GetIntField("n"));
  EXPECT_EQ(5000000000LL, q.GetInt64Field("big"));
  q.NextRow();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ("", q.GetStringField("name"));
  EXPECT_EQ(7, q.GetIntField("n"));
  EXPECT_EQ(0, q.GetInt64Field("big"));
  q.NextRow();
  EXPECT_TRUE(q.Eof());
  // Past the end stays at the end (a finished statement must not start over).
  q.NextRow();
  EXPECT_TRUE(q.Eof());
}

TEST_F(SqliteWrapperTest, ExecDmlCountsChangedRowsOfTheLastStatement) {
  EXPECT_EQ(1, m_db.ExecDML("insert into t(n) values (1); insert into t(n) values (2);"));
  EXPECT_EQ(2, m_db.ExecDML("update t set n = n + 1;"));
  EXPECT_EQ(3, m_db.ExecScalar("select max(n) from t"));
  EXPECT_EQ(2, m_db.ExecDML("delete from t;"));
}

TEST_F(SqliteWrapperTest, EmptyResultIsEofAtOnce) {
  CppSQLite3Query q = m_db.ExecQuery("select * from t");
  EXPECT_TRUE(q.Eof());
  EXPECT_EQ(3, q.NumFields());
}

TEST_F(SqliteWrapperTest, LayerErrorsCarryCode1000AndTheirText) {
  m_db.ExecDML("insert into t values ('a', 1, 1);");
  CppSQLite3Query q = m_db.ExecQuery("select * from t");
  CppSQLite3DB closed;
  CppSQLite3Query none;
  const struct {
    const char* what;
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {"unknown column", [&] { q.GetIntField("nope"); }, "Invalid field name requested"},
      {"other case", [&] { q.GetStringField("NAME"); }, "Invalid field name requested"},
      {"null name", [&] { q.FieldIndex(nullptr); }, "Invalid field name requested"},
      {"index below", [&] { q.FieldDataType(-1); }, "Invalid field index requested"},
      {"index above", [&] { q.FieldDataType(3); }, "Invalid field index requested"},
      {"scalar on no rows", [&] { m_db.ExecScalar("select n from t where n > 5"); },
       "Invalid scalar query"},
      {"cursor without statement", [&] { none.NextRow(); }, "Null Virtual Machine pointer"},
      {"field of empty cursor", [&] { none.GetIntField("n"); }, "Null Virtual Machine pointer"},
      {"dml when closed", [&] { closed.ExecDML("select 1"); }, "Database not open"},
      {"query when closed", [&] { closed.ExecQuery("select 1"); }, "Database not open"},
      {"compile when closed", [&] { closed.Compile("select 1"); }, "Database not open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const CppSQLite3Exception e = Raised(c.call);
    EXPECT_EQ(1000, e.ErrorCode());
    EXPECT_EQ(std::string("CPPSQLITE_ERROR[1000]: ") + c.message, e.ErrorMessage());
  }
}

TEST_F(SqliteWrapperTest, SqliteErrorsCarrySqlitesCodeAndText) {
  m_db.ExecDML("begin transaction;");
  CppSQLite3Exception nested = Raised([&] { m_db.ExecDML("begin transaction;"); });
  EXPECT_EQ(1, nested.ErrorCode());
  EXPECT_EQ(std::string("SQLITE_ERROR[1]: cannot start a transaction within a transaction"),
            nested.ErrorMessage());
  m_db.ExecDML("rollback transaction;");

  CppSQLite3Exception missing = Raised([&] { m_db.ExecQuery("select * from qv_nothing"); });
  EXPECT_EQ(1, missing.ErrorCode());
  EXPECT_EQ(std::string("SQLITE_ERROR[1]: no such table: qv_nothing"), missing.ErrorMessage());

  // A copy owns its own message.
  CppSQLite3Exception copy(missing);
  EXPECT_STREQ(missing.ErrorMessage(), copy.ErrorMessage());
  EXPECT_NE(missing.ErrorMessage(), copy.ErrorMessage());
}

TEST_F(SqliteWrapperTest, MovingACursorHandsOverItsStatement) {
  m_db.ExecDML("insert into t(n) values (1); insert into t(n) values (2);");
  CppSQLite3Query target = m_db.ExecQuery("select n from t where n = 2");  // owns a statement
  {
    CppSQLite3Query source = m_db.ExecQuery("select n from t order by n");
    target = std::move(source);  // the target's old statement is finalised first
    EXPECT_TRUE(source.Eof());
    EXPECT_EQ(0, source.NumFields());
  }  // destroying the source must not finalise what the target now owns
  ASSERT_FALSE(target.Eof());
  EXPECT_EQ(1, target.GetIntField("n"));
  target.NextRow();
  EXPECT_EQ(2, target.GetIntField("n"));

  CppSQLite3Query moved(std::move(target));
  EXPECT_EQ(2, moved.GetIntField("n"));
  moved.Finalize();
  // Every statement is finalised: the connection closes (it refuses with one left open).
  m_db.Close();
  EXPECT_FALSE(m_db.IsOpen());
  m_db.Open(m_base.Dir() + "/scratch.db");
}

TEST_F(SqliteWrapperTest, CloseRefusesWhileAStatementIsOpenAndTwiceIsHarmless) {
  {
    CppSQLite3Query open = m_db.ExecQuery("select * from t");
    const CppSQLite3Exception e = Raised([&] { m_db.Close(); });
    EXPECT_EQ(std::string("CPPSQLITE_ERROR[1000]: Unable to close database"), e.ErrorMessage());
  }
  m_db.Close();
  m_db.Close();
  EXPECT_FALSE(m_db.IsOpen());
  m_db.Open(m_base.Dir() + "/scratch.db");
}

TEST_F(SqliteWrapperTest, FailedOpenThrowsAndLeavesTheObjectClosed) {
  CppSQLite3DB db;
  const CppSQLite3Exception e = Raised([&] { db.Open(m_base.Dir() + "/missing/dir/x.db"); });
  EXPECT_EQ(SQLITE_CANTOPEN, e.ErrorCode());
  EXPECT_EQ(0, std::string(e.ErrorMessage()).rfind("SQLITE_CANTOPEN[14]: ", 0));
  EXPECT_FALSE(db.IsOpen());
  EXPECT_NE(nullptr, db.WriteMutex());
}

TEST(SqliteErrorCodeName, NamesKnownCodesAndOnlyThose) {
  const struct {
    int code;
    const char* name;
  } cases[] = {{0, "SQLITE_OK"},          {1, "SQLITE_ERROR"},   {5, "SQLITE_BUSY"},
               {14, "SQLITE_CANTOPEN"},   {25, "SQLITE_RANGE"},  {26, "UNKNOWN_ERROR"},
               {-1, "UNKNOWN_ERROR"},     {100, "SQLITE_ROW"},   {101, "SQLITE_DONE"},
               {1000, "CPPSQLITE_ERROR"}, {999, "UNKNOWN_ERROR"}};
  for (const auto& c : cases) EXPECT_STREQ(c.name, CppSQLite3Exception::ErrorCodeName(c.code)) << c.code;
  EXPECT_STREQ("SQLITE_OK[0]: init mutex error.",
               CppSQLite3Exception(0, "init mutex error.").ErrorMessage());
  EXPECT_STREQ("UNKNOWN_ERROR[-3]: ", CppSQLite3Exception(-3, nullptr).ErrorMessage());
}

TEST(SqliteBuffer, QuotesWithPercentQAndReusesItself) {
  CppSQLite3Buffer b;
  EXPECT_STREQ("v='it''s'", b.Format("v=%Q", "it's"));
  EXPECT_STREQ("v=NULL", b.Format("v=%Q", static_cast<const char*>(nullptr)));
  b.Clear();
  EXPECT_EQ(nullptr, static_cast<const char*>(b));
}

}  // namespace
