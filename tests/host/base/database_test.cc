#include "host/base/database.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/paths.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

TEST(DatabaseConnectionTextTest, SqlitePathOdbcTextAndServerName) {
  EXPECT_EQ(ConnectionText("sqlite:/var/lib/kelmora/archive.db"),
            "Driver=SQLite3;Database=/var/lib/kelmora/archive.db;NoCreat=1");
  EXPECT_EQ(ConnectionText("SQLite:/a.db"),
            "Driver=SQLite3;Database=/a.db;NoCreat=1");
  // A Windows path is translated like every configured path.
  EXPECT_EQ(ConnectionText("sqlite:D:\\Archiv\\archive.db"),
            "Driver=SQLite3;Database=" + ProgramDir() +
                "/drives/d/Archiv/archive.db;NoCreat=1");
  EXPECT_EQ(ConnectionText("odbc:Driver=SQLite3;Database=/x;Timeout=5"),
            "Driver=SQLite3;Database=/x;Timeout=5");
  EXPECT_EQ(ConnectionText("ODBC:DSN=Kelmora"), "DSN=Kelmora");
  EXPECT_EQ(ConnectionText("KELMORA01\\SQLEXPRESS"),
            "driver={SQL Server};server=KELMORA01\\SQLEXPRESS;uid=K391;"
            "pwd=QpRsTu482;database=TavikDB2");
  // Only the exact prefix selects a form.
  EXPECT_EQ(ConnectionText("sqlitehost"),
            "driver={SQL Server};server=sqlitehost;uid=K391;"
            "pwd=QpRsTu482;database=TavikDB2");
}

// Expects `body` to throw a Failure with a message, and returns it.
template <typename F>
Failure ExpectFailure(F&& body) {
  try {
    body();
  } catch (const Failure& f) {
    EXPECT_NE(std::string(f.what()), "");
    return f;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not a Failure: " << e.what();
    return Failure(0, "");
  }
  ADD_FAILURE() << "no failure";
  return Failure(0, "");
}

TEST(DatabaseOpenTest, UnknownDriverOrBadTextThrowsAFailure) {
  Database db;
  ExpectFailure(
      [&] { db.Open(ConnectionText("odbc:Driver=NoSuchDriver;Database=x")); });
  EXPECT_FALSE(db.IsOpen());
  ExpectFailure([&] { db.Open(ConnectionText("odbc:this is no text")); });
  EXPECT_FALSE(db.IsOpen());
  ExpectFailure([&] {
    db.Open(ConnectionText("sqlite:/nonexistent-vantor-dir/sub/archive.db"));
  });
  EXPECT_FALSE(db.IsOpen());
}

TEST(DatabaseOpenTest, AMissingSqliteArchiveIsAFailedOpenAndNotCreated) {
  FixtureArchive archive;
  const std::string path = archive.dir() + "/missing.db";
  Database db;
  ExpectFailure([&] { db.Open(ConnectionText("sqlite:" + path)); });
  EXPECT_FALSE(db.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(path));
  // An existing archive opens as before, and so does a file made for a new
  // one.
  db.Open(ConnectionText(archive.DBServer()));
  EXPECT_EQ(db.Query("SELECT count(*) AS n FROM tblDicomAETs").rows.size(), 1u);
  CreateSqliteFile(path);
  db.Open(ConnectionText("sqlite:" + path));
  EXPECT_EQ(db.Execute("CREATE TABLE t (k INTEGER)"), 0);
  EXPECT_TRUE(std::filesystem::exists(path));
}

// Parallel requests each open, use and close a connection of their own.
TEST(DatabaseThreadsTest, ParallelConnectionsOpenAndCloseSafely) {
  FixtureArchive archive;
  archive.AddNode("FINDSCU", "127.0.0.1");
  constexpr int kThreads = 50;
  constexpr int kRounds = 100;
  std::atomic<int> answered{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        GuardWith(
            [&] {
              Database db;
              db.Open(ConnectionText(archive.DBServer()));
              ResultSet rs = db.Query("SELECT AET FROM tblDicomAETs");
              if (rs.rows.size() == 1 && rs.Get(0, "AET") == Value("FINDSCU"))
                ++answered;
              else
                ++wrong;
              db.Close();
            },
            [&](const FailureInfo&) { ++wrong; });
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(answered.load(), kThreads * kRounds);
}

TEST(DatabaseOpenTest, ClosedDatabaseRefusesStatements) {
  Database db;
  Failure f = ExpectFailure([&] { db.Query("SELECT 1"); });
  EXPECT_EQ(f.number(), 3704);
  EXPECT_EQ(ExpectFailure([&] { db.Execute("SELECT 1"); }).number(), 3704);
}

TEST(DatabaseOpenTest, ConOpenLogsItsFailureAndReturnsFalse) {
  const Log log(40101, /*debug=*/false, /*any_debug=*/false);
  Database db;
  EXPECT_FALSE(ConOpen(db, "sqlite:/nonexistent-vantor-dir/archive.db", log));
  EXPECT_FALSE(db.IsOpen());
  std::string text =
      ReadWholeFile(TestProgramDir() + "/Logs/ErrorVantor40101.log");
  EXPECT_NE(text.find("\tConOpen\r\n"), std::string::npos) << text;

  FixtureArchive archive;
  EXPECT_TRUE(ConOpen(db, archive.DBServer(), log));
  EXPECT_TRUE(db.IsOpen());
  ConClose(db, log);
  EXPECT_FALSE(db.IsOpen());
}

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.Open(ConnectionText(archive_.DBServer()));
    archive_.Exec(
        "CREATE TABLE t (k INTEGER, name VARCHAR(20), born DATE, at TIME, "
        "stamp DATETIME, flag BIT, size REAL)");
    archive_.Exec(
        "INSERT INTO t VALUES (1, 'Meyer', '1965-03-03', '10:15:30', "
        "'2024-01-15 08:09:10', 1, 2.5)");
    archive_.Exec("INSERT INTO t VALUES (2, NULL, NULL, NULL, NULL, 0, NULL)");
    archive_.Exec("INSERT INTO t (k, name) VALUES (3, 'O''Brien')");
  }

  FixtureArchive archive_;
  Database db_;
};

TEST_F(DatabaseTest, ValuesComeBackTyped) {
  ResultSet rs = db_.Query("SELECT * FROM t ORDER BY k");
  ASSERT_EQ(rs.rows.size(), 3u);
  EXPECT_EQ(rs.columns, (std::vector<std::string>{"k", "name", "born", "at",
                                                  "stamp", "flag", "size"}));
  EXPECT_EQ(rs.Get(0, "k"), Value(1));
  EXPECT_EQ(rs.Get(0, "name"), Value("Meyer"));
  EXPECT_EQ(rs.Get(0, "born"), Value(Date{1965, 3, 3}));
  EXPECT_EQ(rs.Get(0, "at"), Value("101530"));
  EXPECT_EQ(rs.Get(0, "stamp"), Value(DateTime{Date{2024, 1, 15}, 8, 9, 10}));
  EXPECT_EQ(rs.Get(0, "flag"), Value(true));
  EXPECT_EQ(rs.Get(0, "size"), Value(2.5));
  for (const char* column : {"name", "born", "at", "stamp", "size"})
    EXPECT_TRUE(rs.Get(1, column).IsNull()) << column;
  EXPECT_EQ(rs.Get(1, "flag"), Value(false));
  EXPECT_EQ(rs.Get(2, "name"), Value("O'Brien"));
}

TEST_F(DatabaseTest, ColumnsAreFoundWithoutRegardToCase) {
  ResultSet rs = db_.Query("SELECT k AS PATID, name FROM t WHERE k = 1");
  EXPECT_EQ(rs.ColumnIndex("patid"), 0);
  EXPECT_EQ(rs.Get(0, "Name"), Value("Meyer"));
  EXPECT_EQ(rs.ColumnIndex("missing"), -1);
  EXPECT_EQ(ExpectFailure([&] { rs.Get(0, "missing"); }).number(), 3265);
  EXPECT_EQ(ExpectFailure([&] { rs.Get(5, "name"); }).number(), 3265);
}

TEST_F(DatabaseTest, EmptyResultKeepsItsColumns) {
  ResultSet rs = db_.Query("SELECT k, name FROM t WHERE k = 99");
  EXPECT_TRUE(rs.empty());
  EXPECT_EQ(rs.columns.size(), 2u);
}

TEST_F(DatabaseTest, RejectedStatementThrowsTheDriversMessage) {
  Failure f = ExpectFailure([&] { db_.Query("SELECT * FROM no_such_table"); });
  EXPECT_NE(std::string(f.what()).find("no_such_table"), std::string::npos)
      << f.what();
  // The connection stays usable.
  EXPECT_EQ(db_.Query("SELECT count(*) AS n FROM t").Get(0, "n"), Value(3));
}

// Patient names carry umlauts: a statement holding one must reach the SQLite
// driver (which has narrow entry points only) as UTF-8.
TEST_F(DatabaseTest, NonAsciiTextSurvivesAStatement) {
  EXPECT_EQ(db_.Execute("UPDATE t SET name = 'Jäger' WHERE k = 2"), 1);
  EXPECT_EQ(db_.Query("SELECT hex(name) AS h FROM t WHERE k = 2").Get(0, "h"),
            Value("4AC3A4676572"));
  EXPECT_EQ(db_.Query("SELECT k FROM t WHERE name = 'Jäger'").rows.size(), 1u);
}

TEST_F(DatabaseTest, ExecuteCountsTheRowsItChanged) {
  EXPECT_EQ(db_.Execute("UPDATE t SET flag = 1 WHERE k >= 2"), 2);
  EXPECT_EQ(db_.Execute("UPDATE t SET flag = 1 WHERE k = 99"), 0);
  EXPECT_EQ(db_.Execute("DELETE FROM t WHERE k = 3"), 1);
}

TEST_F(DatabaseTest, QueryEachStopsWhenTheRowHandlerSaysSo) {
  std::vector<std::string> columns;
  int column_calls = 0;
  std::vector<int64_t> keys;
  db_.QueryEach(
      "SELECT k, name FROM t ORDER BY k",
      [&](const std::vector<std::string>& names) {
        ++column_calls;
        columns = names;
      },
      [&](const std::vector<Value>& row) {
        keys.push_back(row[0].integer());
        return keys.size() < 2;
      });
  EXPECT_EQ(column_calls, 1);
  EXPECT_EQ(columns, (std::vector<std::string>{"k", "name"}));
  EXPECT_EQ(keys, (std::vector<int64_t>{1, 2}));
  // Query reads every row of the same statement.
  EXPECT_EQ(db_.Query("SELECT k, name FROM t ORDER BY k").rows.size(), 3u);
}

TEST_F(DatabaseTest, QueryEachNamesColumnsEvenWithoutRows) {
  int column_calls = 0;
  int rows = 0;
  db_.QueryEach(
      "SELECT k FROM t WHERE k = 99",
      [&](const std::vector<std::string>& names) {
        ++column_calls;
        EXPECT_EQ(names.size(), 1u);
      },
      [&](const std::vector<Value>&) { return ++rows < 10; });
  EXPECT_EQ(column_calls, 1);
  EXPECT_EQ(rows, 0);
}

TEST_F(DatabaseTest, StatementsWhileRowsAreReadWork) {
  // The count lookups of the level queries run while the level's own
  // result is being read.
  std::vector<int64_t> counts;
  db_.QueryEach("SELECT k FROM t ORDER BY k", nullptr,
                [&](const std::vector<Value>& row) {
                  ResultSet rs =
                      db_.Query("SELECT count(*) AS n FROM t WHERE k <= " +
                                row[0].ToText());
                  counts.push_back(rs.Get(0, "n").integer());
                  return true;
                });
  EXPECT_EQ(counts, (std::vector<int64_t>{1, 2, 3}));
  // And the connection is its plain self again afterwards.
  EXPECT_EQ(db_.Execute("DELETE FROM t WHERE k = 3"), 1);
}

TEST_F(DatabaseTest, FailureInsideQueryEachLeavesTheConnectionUsable) {
  ExpectFailure([&] {
    db_.QueryEach("SELECT k FROM t", nullptr,
                  [&](const std::vector<Value>&) -> bool {
                    throw Failure(13, "Type mismatch");
                  });
  });
  EXPECT_EQ(db_.Query("SELECT k FROM t").rows.size(), 3u);
}

TEST(SqlQuoteTest, DoublesApostrophes) {
  EXPECT_EQ(SqlQuote("O'Brien"), "O''Brien");
  EXPECT_EQ(SqlQuote("''"), "''''");
  EXPECT_EQ(SqlQuote("plain"), "plain");
}

}  // namespace
}  // namespace vantor
