// The pool of idle database connections: which connections come back for
// the next request and which are closed instead, the node lookup's prepared
// statement, and a database server that restarted under idle connections.
#include "host/base/connection_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/base/database.h"
#include "host/base/failure.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/pg_server.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;

// A clock the test moves by hand.
struct ManualClock {
  ConnectionPool::Clock::time_point now{};
  std::function<ConnectionPool::Clock::time_point()> Source() {
    return [this] { return now; };
  }
};

// Marks a physical SQLite connection by a temporary table of its own (only
// that connection sees it) and tells whether `db` is on a marked one.
void Mark(Database& db) { db.Execute("CREATE TEMP TABLE pool_mark (k INTEGER)"); }
bool Marked(Database& db) {
  ResultSet rs = db.Query(
      "SELECT count(*) AS n FROM sqlite_temp_master WHERE name = 'pool_mark'");
  return rs.Get(0, "n").integer() == 1;
}

class ConnectionPoolTest : public ::testing::Test {
 protected:
  std::string Text() const { return ConnectionText(archive_.DBServer()); }

  // Opens a database of the pool, marks its connection and gives it back.
  void MarkOne() {
    Database db(&pool_);
    db.Open(Text());
    Mark(db);
    db.Close();
  }
  // Whether the next open of the pool gets the marked connection.
  bool NextIsMarked() {
    Database db(&pool_);
    db.Open(Text());
    return Marked(db);
  }

  FixtureArchive archive_;
  ManualClock clock_;
  ConnectionPool pool_{ConnectionPool::Limits{.max_idle = 2,
                                              .max_idle_time = 60s},
                       clock_.Source()};
};

TEST_F(ConnectionPoolTest, AClosedConnectionServesTheNextOpen) {
  MarkOne();
  EXPECT_EQ(pool_.IdleCount(), 1u);
  EXPECT_TRUE(NextIsMarked());
  // Taken and given back again: still the one connection.
  EXPECT_EQ(pool_.IdleCount(), 1u);
  EXPECT_TRUE(NextIsMarked());
  // Without a pool, every open is a connection of its own.
  Database plain;
  plain.Open(Text());
  EXPECT_FALSE(Marked(plain));
}

TEST_F(ConnectionPoolTest, AConnectionIsNotSharedWhileInUse) {
  Database first(&pool_);
  first.Open(Text());
  Mark(first);
  Database second(&pool_);
  second.Open(Text());
  EXPECT_FALSE(Marked(second));
  EXPECT_TRUE(Marked(first));
}

TEST_F(ConnectionPoolTest, AConnectionAStatementFailedOnIsClosed) {
  {
    Database db(&pool_);
    db.Open(Text());
    Mark(db);
    EXPECT_THROW(db.Query("SELECT * FROM no_such_table"), Failure);
    // The request goes on with it...
    EXPECT_TRUE(Marked(db));
  }
  // ...but it is not handed to the next one.
  EXPECT_EQ(pool_.IdleCount(), 0u);
  EXPECT_FALSE(NextIsMarked());
}

// The first statement on a connection from the pool gets a second try on a
// fresh connection; later ones do not.
TEST_F(ConnectionPoolTest, OnlyTheFirstStatementOnATakenConnectionIsTriedAgain) {
  MarkOne();
  Database db(&pool_);
  db.Open(Text());
  EXPECT_THROW(db.Query("SELECT * FROM no_such_table"), Failure);
  // The second try ran on a fresh connection, which the request keeps.
  EXPECT_FALSE(Marked(db));
  Mark(db);
  EXPECT_THROW(db.Query("SELECT * FROM no_such_table"), Failure);
  EXPECT_TRUE(Marked(db));
}

// An SQLite archive replaced under its path (a restored copy): the idle
// connections on the old file are not used.
TEST_F(ConnectionPoolTest, AReplacedArchiveFileIsOpenedAfresh) {
  MarkOne();
  const std::string path = archive_.db_path();
  std::filesystem::copy_file(path, path + ".copy");
  std::filesystem::rename(path + ".copy", path);
  EXPECT_FALSE(NextIsMarked());
  // The archive taken away: the open fails as it always did.
  MarkOne();
  archive_.TakeAway();
  Database db(&pool_);
  EXPECT_THROW(db.Open(Text()), Failure);
  EXPECT_EQ(pool_.IdleCount(), 0u);
  archive_.PutBack();
}

TEST_F(ConnectionPoolTest, AConnectionWithAnOpenTransactionIsClosed) {
  {
    Database db(&pool_);
    db.Open(Text());
    Mark(db);
    db.Execute("BEGIN");
    db.Execute("INSERT INTO tblDicomAETs (AET, IPAdress) VALUES ('X', '1')");
  }
  EXPECT_EQ(pool_.IdleCount(), 0u);
  EXPECT_FALSE(NextIsMarked());
  // The insert was not committed by anyone.
  EXPECT_TRUE(archive_.Query("SELECT * FROM tblDicomAETs").empty());

  // A transaction that was ended leaves the connection reusable, and so
  // does a rollback to a savepoint followed by the commit.
  {
    Database db(&pool_);
    db.Open(Text());
    Mark(db);
    db.Execute("BEGIN");
    db.Execute("SAVEPOINT s1");
    db.Execute("ROLLBACK TO s1");
    db.Execute("COMMIT");
  }
  EXPECT_TRUE(NextIsMarked());
}

TEST_F(ConnectionPoolTest, AnotherDBServerClosesTheIdleConnections) {
  MarkOne();
  FixtureArchive other;
  {
    Database db(&pool_);
    db.Open(ConnectionText(other.DBServer()));
    EXPECT_FALSE(Marked(db));
    // Nothing idle is kept for the server no longer asked for.
    EXPECT_EQ(pool_.IdleCount(), 0u);
  }
  // Back on the first server: the marked connection is gone.
  EXPECT_FALSE(NextIsMarked());

  // A connection in use while the DBServer changes is closed when given
  // back, not kept.
  Database in_use(&pool_);
  in_use.Open(Text());
  pool_.Prune(ConnectionText(other.DBServer()));
  in_use.Close();
  EXPECT_EQ(pool_.IdleCount(), 0u);
}

TEST_F(ConnectionPoolTest, AConnectionIdleTooLongIsClosed) {
  MarkOne();
  clock_.now += 59s;
  EXPECT_TRUE(NextIsMarked());
  clock_.now += 61s;
  EXPECT_FALSE(NextIsMarked());
  // The tick's pruning closes it too, without a request.
  clock_.now += 61s;
  EXPECT_EQ(pool_.IdleCount(), 1u);
  pool_.Prune(Text());
  EXPECT_EQ(pool_.IdleCount(), 0u);
}

TEST_F(ConnectionPoolTest, TheIdleConnectionsAreBounded) {
  std::vector<std::unique_ptr<Database>> open;
  for (int i = 0; i < 4; ++i) {
    open.push_back(std::make_unique<Database>(&pool_));
    open.back()->Open(Text());
  }
  Mark(*open.back());
  for (auto& db : open) db->Close();
  // The four went back in turn; the bound keeps the last two.
  EXPECT_EQ(pool_.IdleCount(), 2u);
  EXPECT_TRUE(NextIsMarked());
  pool_.Clear();
  EXPECT_EQ(pool_.IdleCount(), 0u);
}

TEST_F(ConnectionPoolTest, TheRowsBeingReadUseASecondConnectionOfThePool) {
  archive_.AddNode("A", "1");
  archive_.AddNode("B", "2");
  Database db(&pool_);
  db.Open(Text());
  int rows = 0;
  db.QueryEach("SELECT AET FROM tblDicomAETs", nullptr,
               [&](const std::vector<Value>&) {
                 ResultSet inner = db.Query("SELECT count(*) FROM tblDicomAETs");
                 EXPECT_EQ(inner.rows.size(), 1u);
                 ++rows;
                 return true;
               });
  EXPECT_EQ(rows, 2);
  db.Close();
  EXPECT_EQ(pool_.IdleCount(), 2u);
}

// The prepared statement is bound afresh for every run and gives what the
// statement text gives.
class PreparedStatementTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    archive_.AddNode("VIEWER", "10.0.0.1");
    archive_.AddNode("VIEWER", "10.0.0.2");
    archive_.AddNode("O'NEIL", "10.0.0.3");
  }
  static constexpr char kSql[] =
      "SELECT AET, IPAdress FROM tblDicomAETs WHERE AET = ? AND IPAdress = ?";
  static std::string Plain(const std::string& aet, const std::string& ip) {
    return "SELECT AET, IPAdress FROM tblDicomAETs WHERE AET = '" +
           SqlQuote(aet) + "' AND IPAdress = '" + SqlQuote(ip) + "'";
  }
  std::vector<std::string> Found(Database& db, const std::string& aet,
                                 const std::string& ip) {
    ResultSet rs = db.QueryPrepared(kSql, {aet, ip}, Plain(aet, ip));
    std::vector<std::string> out;
    for (size_t r = 0; r < rs.rows.size(); ++r)
      out.push_back(rs.Get(r, "AET").ToText() + "@" +
                    rs.Get(r, "IPAdress").ToText());
    return out;
  }

  FixtureArchive archive_{GetParam()};
};

TEST_P(PreparedStatementTest, EachRunBindsItsOwnValues) {
  ConnectionPool pool;
  for (int request = 0; request < 2; ++request) {
    Database db(&pool);
    db.Open(ConnectionText(archive_.DBServer()));
    EXPECT_EQ(Found(db, "VIEWER", "10.0.0.2"),
              std::vector<std::string>{"VIEWER@10.0.0.2"});
    EXPECT_EQ(Found(db, "VIEWER", "10.0.0.1"),
              std::vector<std::string>{"VIEWER@10.0.0.1"});
    EXPECT_EQ(Found(db, "O'NEIL", "10.0.0.3"),
              std::vector<std::string>{"O'NEIL@10.0.0.3"});
    // A value is a value, never statement text.
    EXPECT_TRUE(Found(db, "VIEWER", "x' OR AET = 'VIEWER").empty());
    EXPECT_TRUE(Found(db, "", "").empty());
    // Text beyond ASCII runs as the statement text.
    EXPECT_TRUE(Found(db, "MÜLLER", "10.0.0.1").empty());
  }
}

// The server restarts while connections wait in the pool: they are dead.
// The next request finds out as it takes one and gets a fresh connection;
// so does every request after it.
TEST_P(PreparedStatementTest, IdleConnectionsThatDiedWithTheServerAreReplaced) {
  if (GetParam() != ArchiveBackend::kPostgres)
    GTEST_SKIP() << "a server restart needs a database server";
  ConnectionPool pool;
  const std::string text = ConnectionText(archive_.DBServer());
  auto backend = [](Database& db) {
    return db.Query("SELECT pg_backend_pid() AS pid").Get(0, "pid").integer();
  };
  int64_t before = 0;
  {
    Database a(&pool);
    Database b(&pool);
    a.Open(text);
    b.Open(text);
    before = backend(a);
    // Both wait in the pool.
  }
  {
    Database db(&pool);
    db.Open(text);
    EXPECT_EQ(backend(db), before);
  }
  ASSERT_EQ(pool.IdleCount(), 2u);
  PgServer::Get().Restart();

  for (int request = 0; request < 3; ++request) {
    Database db(&pool);
    db.Open(text);
    EXPECT_EQ(Found(db, "VIEWER", "10.0.0.1"),
              std::vector<std::string>{"VIEWER@10.0.0.1"})
        << "request " << request;
    EXPECT_NE(backend(db), before);
  }
  // A dead one is not kept; the fresh one is.
  EXPECT_EQ(pool.IdleCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Archive, PreparedStatementTest, kArchiveBackends,
                         ArchiveBackendName);

}  // namespace
}  // namespace vantor
