// Database faults that pass: which failures are run again and how often,
// and, on a real PostgreSQL, a serialization failure, a deadlock and ended
// sessions that the statement or the transaction survives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/base/connection_pool.h"
#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/pg_server.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

TEST(ClassifyDbFaultTest, DeadlocksAndSerializationFailuresAreConflicts) {
  EXPECT_EQ(ClassifyDbFault("40001", 1205), DbFault::kConflict);  // SQL Server
  EXPECT_EQ(ClassifyDbFault("", 1205), DbFault::kConflict);
  EXPECT_EQ(ClassifyDbFault("HY000", 1205), DbFault::kConflict);
  EXPECT_EQ(ClassifyDbFault("40001", 7), DbFault::kConflict);  // PostgreSQL
  EXPECT_EQ(ClassifyDbFault("40P01", 7), DbFault::kConflict);
}

TEST(ClassifyDbFaultTest, LostConnectionsAreToBeOpenedAgain) {
  for (const char* state : {"08S01", "08001", "08003", "08004", "08006",
                            "08007", "57P01", "57P02", "57P03"})
    EXPECT_EQ(ClassifyDbFault(state, kDatabaseError), DbFault::kConnectionLost)
        << state;
  // SQL Server after a fail-over, by its native numbers.
  for (int32_t native : {233, 976, 983, 4060, 10054, 40613, 20004, 20006})
    EXPECT_EQ(ClassifyDbFault("HY000", native), DbFault::kConnectionLost)
        << native;
}

TEST(ClassifyDbFaultTest, OtherFailuresAreNotRunAgain) {
  // Other rollbacks, a time-out, a statement whose completion is unknown,
  // a syntax error, a unique key, a busy SQLite file, no state at all.
  for (const char* state : {"40002", "40003", "HYT00", "42601", "23505",
                            "HY000", "", "57014", "0800", "S1000"})
    EXPECT_EQ(ClassifyDbFault(state, kDatabaseError), DbFault::kOther) << state;
  EXPECT_EQ(ClassifyDbFault("HY000", 5), DbFault::kOther);
  EXPECT_EQ(ClassifyDbFault("23000", 2627), DbFault::kOther);
}

TEST(RetryWaitTest, DoublesFromTheFirstWaitWithinAQuarterEitherWay) {
  RetryPolicy policy;  // 50 ms first
  EXPECT_EQ(RetryWait(policy, 1, 0.5), 50ms);
  EXPECT_EQ(RetryWait(policy, 2, 0.5), 100ms);
  EXPECT_EQ(RetryWait(policy, 3, 0.5), 200ms);
  EXPECT_EQ(RetryWait(policy, 1, 0.0), 37ms);
  EXPECT_EQ(RetryWait(policy, 3, 1.0), 250ms);
  // Out-of-range inputs stay bounded.
  EXPECT_EQ(RetryWait(policy, 0, 0.5), 50ms);
  EXPECT_EQ(RetryWait(policy, 1, 7.0), 62ms);
  EXPECT_LE(RetryWait(policy, 1000, 1.0), 50ms * 65536 * 5 / 4);
}

// The error log of the current settings, where the retries are written.
std::string ErrorLogPath() {
  return TestProgramDir() + "/Logs/" + CurrentLog().error_file();
}
std::string ErrorLogText() {
  std::error_code ec;
  if (!std::filesystem::exists(ErrorLogPath(), ec)) return "";
  return ReadWholeFile(ErrorLogPath());
}

// RunTransaction on an SQLite archive, with the waits recorded instead of
// slept.
class RunTransactionTest : public ::testing::Test {
 protected:
  RunTransactionTest() : pool_({}, nullptr, Recording(waits_)) {
    std::filesystem::remove(ErrorLogPath());
    db_.Open(ConnectionText(archive_.DBServer()));
  }
  static RetryPolicy Recording(std::vector<std::chrono::milliseconds>& waits) {
    RetryPolicy policy;
    policy.sleep = [&waits](std::chrono::milliseconds wait) {
      waits.push_back(wait);
    };
    return policy;
  }

  std::vector<std::chrono::milliseconds> waits_;
  FixtureArchive archive_;
  ConnectionPool pool_;
  Database db_{&pool_};
};

TEST_F(RunTransactionTest, AConflictRunsTheUnitAgainUpToTheBound) {
  int runs = 0;
  try {
    RunTransaction(db_, [&] {
      ++runs;
      throw DatabaseFailure(1205, "chosen as the deadlock victim", "40001");
    });
    ADD_FAILURE() << "the last failure is thrown";
  } catch (const DatabaseFailure& failure) {
    EXPECT_EQ(failure.number(), 1205);
  }
  EXPECT_EQ(runs, 4);
  ASSERT_EQ(waits_.size(), 3u);
  EXPECT_GE(waits_[0], 37ms);
  EXPECT_LE(waits_[0], 62ms);
  EXPECT_GE(waits_[1], 75ms);
  EXPECT_LE(waits_[1], 125ms);
  EXPECT_GE(waits_[2], 150ms);
  EXPECT_LE(waits_[2], 250ms);
  EXPECT_EQ(pool_.counters().retries.load(), 3u);
  const std::string log = ErrorLogText();
  EXPECT_THAT(log, HasSubstr("(attempt 2 of 4) after 40001: chosen as the "
                             "deadlock victim\tDatabase\r\n"));
  EXPECT_THAT(log, HasSubstr("(attempt 4 of 4)"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("attempt 5")));
}

TEST_F(RunTransactionTest, AUnitThatSucceedsOnARetryIsDone) {
  int runs = 0;
  RunTransaction(db_, [&] {
    if (++runs < 3) throw DatabaseFailure(7, "deadlock detected", "40P01");
    db_.Execute("INSERT INTO tblDicomAETs (AET) VALUES ('RETRIED')");
  });
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(waits_.size(), 2u);
  EXPECT_EQ(
      archive_
          .Query("SELECT count(*) AS n FROM tblDicomAETs WHERE AET = 'RETRIED'")
          .Get(0, "n")
          .integer(),
      1);
}

TEST_F(RunTransactionTest, OtherFailuresAreNotRunAgain) {
  int runs = 0;
  EXPECT_THROW(RunTransaction(db_,
                              [&] {
                                ++runs;
                                throw DatabaseFailure(2627, "duplicate key",
                                                      "23000");
                              }),
               DatabaseFailure);
  EXPECT_EQ(runs, 1);
  runs = 0;
  EXPECT_THROW(RunTransaction(db_,
                              [&] {
                                ++runs;
                                throw Failure(kPathNotFound, "no archive");
                              }),
               Failure);
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(waits_.empty());
  EXPECT_EQ(pool_.counters().retries.load(), 0u);
}

TEST_F(RunTransactionTest, NoRetriesWhenTheBoundIsZero) {
  RetryPolicy none;
  none.max_retries = 0;
  ConnectionPool pool({}, nullptr, none);
  Database db(&pool);
  db.Open(ConnectionText(archive_.DBServer()));
  int runs = 0;
  EXPECT_THROW(RunTransaction(db,
                              [&] {
                                ++runs;
                                throw DatabaseFailure(1205, "victim", "40001");
                              }),
               DatabaseFailure);
  EXPECT_EQ(runs, 1);
}

// An SQLite statement's failure is not retried: the file has no faults
// that pass.
TEST_F(RunTransactionTest, AnSqliteStatementFailsAsItDid) {
  EXPECT_THROW(db_.Query("SELECT * FROM no_such_table"), DatabaseFailure);
  EXPECT_EQ(pool_.counters().retries.load(), 0u);
  EXPECT_EQ(pool_.counters().errors.load(), 1u);
  EXPECT_TRUE(waits_.empty());
}

// ---- on PostgreSQL ----

class PgRetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    std::filesystem::remove(ErrorLogPath());
    text_ = ConnectionText(archive_.DBServer());
    admin_.Open(PgServer::Get().ConnectionTextFor("postgres"));
    archive_.AddNode("ROW1", "10.0.0.1", false, false, false, 1);
    archive_.AddNode("ROW2", "10.0.0.2", false, false, false, 1);
  }

  static int64_t Backend(Database& db) {
    return db.Query("SELECT pg_backend_pid() AS pid").Get(0, "pid").integer();
  }

  // Ends the session of `pid` and waits (bounded) until it is gone.
  void Terminate(int64_t pid) {
    const std::string id = std::to_string(pid);
    admin_.Query("SELECT pg_terminate_backend(" + id + ")");
    for (int i = 0; i < 200; ++i) {
      if (admin_
              .Query("SELECT count(*) AS n FROM pg_stat_activity WHERE pid = " +
                     id)
              .Get(0, "n")
              .integer() == 0)
        return;
      std::this_thread::sleep_for(10ms);
    }
    FAIL() << "session " << id << " did not end";
  }

  // Waits (bounded) until some session waits for a lock.
  bool SomeoneWaitsForALock() {
    for (int i = 0; i < 500; ++i) {
      if (admin_
              .Query("SELECT count(*) AS n FROM pg_stat_activity "
                     "WHERE wait_event_type = 'Lock'")
              .Get(0, "n")
              .integer() > 0)
        return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  int64_t PortOf(const std::string& aet) {
    return archive_
        .Query("SELECT IPPort FROM tblDicomAETs WHERE AET = '" + aet + "'")
        .Get(0, "IPPort")
        .integer();
  }

  FixtureArchive archive_{ArchiveBackend::kPostgres};
  std::string text_;
  Database admin_;
  ConnectionPool pool_;
};

// A statement of its own (autocommit) under REPEATABLE READ waits for a row
// another transaction changes and commits: the server gives it up with
// 40001, and it runs again, now on the committed row.
TEST_F(PgRetryTest, ASerializationFailureOutsideATransactionIsRunAgain) {
  Database db(&pool_);
  db.Open(text_);
  db.Execute(
      "SET SESSION CHARACTERISTICS AS TRANSACTION ISOLATION LEVEL REPEATABLE "
      "READ");
  Database other;
  other.Open(text_);
  other.Execute("BEGIN");
  other.Execute("UPDATE tblDicomAETs SET IPPort = 10 WHERE AET = 'ROW1'");

  std::optional<std::string> failed;
  int64_t changed = -1;
  std::thread waiting([&] {
    try {
      changed = db.Execute(
          "UPDATE tblDicomAETs SET IPPort = IPPort + 1 WHERE AET = 'ROW1'");
    } catch (const std::exception& e) {
      failed = e.what();
    }
  });
  const bool waits = SomeoneWaitsForALock();
  other.Execute("COMMIT");
  waiting.join();
  ASSERT_TRUE(waits);
  ASSERT_FALSE(failed) << *failed;
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(PortOf("ROW1"), 11);
  EXPECT_EQ(pool_.counters().retries.load(), 1u);
  EXPECT_EQ(pool_.counters().reconnects.load(), 0u);
  EXPECT_THAT(ErrorLogText(), HasSubstr("DB statement retried in "));
  EXPECT_THAT(ErrorLogText(), HasSubstr("(attempt 2 of 4) after 40001: "));
  // The connection is still fit for the pool.
  const int64_t pid = Backend(db);
  db.Close();
  EXPECT_EQ(pool_.IdleCount(), 1u);
  Database next(&pool_);
  next.Open(text_);
  EXPECT_EQ(Backend(next), pid);
}

// Two transactions take two rows in opposite order: the server ends one as
// the deadlock victim (40P01), and RunTransaction runs it again whole.
TEST_F(PgRetryTest, ADeadlockedTransactionRunsAgainAsAWhole) {
  std::mutex mu;
  std::condition_variable cv;
  int first_halves = 0;
  auto unit = [&](Database& db, const char* first, const char* second,
                  int& runs) {
    RunTransaction(db, [&] {
      ++runs;
      db.Execute("BEGIN");
      try {
        db.Execute(std::string("UPDATE tblDicomAETs SET IPPort = IPPort + 1 "
                               "WHERE AET = '") +
                   first + "'");
        if (runs == 1) {
          // Both hold their first row before either asks for its second.
          std::unique_lock<std::mutex> lock(mu);
          ++first_halves;
          cv.notify_all();
          cv.wait_for(lock, 10s, [&] { return first_halves >= 2; });
        }
        db.Execute(std::string("UPDATE tblDicomAETs SET IPPort = IPPort + 1 "
                               "WHERE AET = '") +
                   second + "'");
        db.Execute("COMMIT");
      } catch (...) {
        db.Execute("ROLLBACK");
        throw;
      }
    });
  };
  Database a(&pool_);
  Database b(&pool_);
  a.Open(text_);
  b.Open(text_);
  int runs_a = 0;
  int runs_b = 0;
  std::optional<std::string> failed_a;
  std::optional<std::string> failed_b;
  std::thread ta([&] {
    try {
      unit(a, "ROW1", "ROW2", runs_a);
    } catch (const std::exception& e) {
      failed_a = e.what();
    }
  });
  std::thread tb([&] {
    try {
      unit(b, "ROW2", "ROW1", runs_b);
    } catch (const std::exception& e) {
      failed_b = e.what();
    }
  });
  ta.join();
  tb.join();
  ASSERT_FALSE(failed_a) << *failed_a;
  ASSERT_FALSE(failed_b) << *failed_b;
  // One of them ran twice; both did their work once.
  EXPECT_EQ(runs_a + runs_b, 3);
  EXPECT_EQ(PortOf("ROW1"), 3);
  EXPECT_EQ(PortOf("ROW2"), 3);
  EXPECT_EQ(pool_.counters().retries.load(), 1u);
  EXPECT_THAT(ErrorLogText(), HasSubstr("DB transaction retried in "));
  EXPECT_THAT(ErrorLogText(), HasSubstr("(attempt 2 of 4) after 40P01: "));
}

// The session of a pooled connection ends while it waits in the pool: the
// next request gets a new connection, and the replacement is logged.
TEST_F(PgRetryTest, ASessionEndedBetweenRequestsIsReplaced) {
  int64_t before = 0;
  {
    Database db(&pool_);
    db.Open(text_);
    before = Backend(db);
  }
  ASSERT_EQ(pool_.IdleCount(), 1u);
  Terminate(before);
  Database db(&pool_);
  db.Open(text_);
  EXPECT_EQ(
      db.Query("SELECT AET FROM tblDicomAETs WHERE AET = 'ROW1'").rows.size(),
      1u);
  EXPECT_NE(Backend(db), before);
  EXPECT_EQ(pool_.counters().reconnects.load(), 1u);
  EXPECT_THAT(ErrorLogText(), HasSubstr("DB connection lost while idle"));
}

// The session ends between two statements of one request: the next
// statement runs on a new connection; the retry is logged with the
// server's reason.
TEST_F(PgRetryTest, ASessionEndedBetweenStatementsIsOpenedAgain) {
  Database db(&pool_);
  db.Open(text_);
  const int64_t before = Backend(db);
  Terminate(before);
  ResultSet rs;
  ASSERT_NO_THROW(rs = db.Query("SELECT AET FROM tblDicomAETs ORDER BY AET"));
  EXPECT_EQ(rs.rows.size(), 2u);
  EXPECT_NE(Backend(db), before);
  EXPECT_EQ(pool_.counters().retries.load(), 1u);
  EXPECT_EQ(pool_.counters().reconnects.load(), 1u);
  // Two pids asked for, the query's failed run and its second one.
  EXPECT_EQ(pool_.counters().statements.load(), 4u);
  EXPECT_EQ(pool_.counters().errors.load(), 1u);
  const std::string log = ErrorLogText();
  EXPECT_THAT(log, HasSubstr("DB connection lost; opened again and the "
                             "statement retried in "));
  EXPECT_THAT(log, HasSubstr("(attempt 2 of 4) after 57P01: "));
  // The new connection serves the pool afterwards.
  const int64_t after = Backend(db);
  db.Close();
  Database next(&pool_);
  next.Open(text_);
  EXPECT_EQ(Backend(next), after);
}

// Inside a transaction a lost session is the transaction's failure: the
// statement is not run alone on a new connection. RunTransaction runs the
// whole unit again, and its first run left nothing behind.
TEST_F(PgRetryTest, ASessionEndedInsideATransactionFailsItAndTheUnitRunsAgain) {
  Database db(&pool_);
  db.Open(text_);
  db.Execute("BEGIN");
  db.Execute("INSERT INTO tblDicomAETs (AET) VALUES ('LOST')");
  Terminate(Backend(db));
  try {
    db.Execute("COMMIT");
    ADD_FAILURE() << "a lost transaction cannot commit";
  } catch (const DatabaseFailure& failure) {
    EXPECT_EQ(ClassifyDbFault(failure.sqlstate(), failure.number()),
              DbFault::kConnectionLost)
        << failure.sqlstate() << " " << failure.what();
  }
  EXPECT_EQ(pool_.counters().retries.load(), 0u);
  EXPECT_EQ(
      archive_
          .Query("SELECT count(*) AS n FROM tblDicomAETs WHERE AET = 'LOST'")
          .Get(0, "n")
          .integer(),
      0);

  int runs = 0;
  RunTransaction(db, [&] {
    ++runs;
    db.Execute("BEGIN");
    db.Execute("INSERT INTO tblDicomAETs (AET) VALUES ('UNIT')");
    if (runs == 1) Terminate(Backend(db));
    db.Execute("COMMIT");
  });
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(
      archive_
          .Query("SELECT count(*) AS n FROM tblDicomAETs WHERE AET = 'UNIT'")
          .Get(0, "n")
          .integer(),
      1);
  EXPECT_THAT(ErrorLogText(), HasSubstr("DB transaction retried in "));
}

// The archive stays away for longer than the retries wait: the statement
// fails as it always did, after the bound and no more; a new request is
// served once the archive is back.
TEST_F(PgRetryTest, AnArchiveThatStaysAwayFailsTheStatementAfterTheBound) {
  RetryPolicy counted;
  int waits = 0;
  counted.sleep = [&](std::chrono::milliseconds) { ++waits; };
  ConnectionPool pool({}, nullptr, counted);
  Database db(&pool);
  db.Open(text_);
  const int64_t before = Backend(db);
  const std::string name =
      archive_.Query("SELECT current_database() AS d").Get(0, "d").ToText();
  // The archive takes no new sessions while the old one is ended.
  admin_.Execute("ALTER DATABASE " + name + " WITH ALLOW_CONNECTIONS false");
  Terminate(before);
  EXPECT_THROW(db.Query("SELECT 1"), Failure);
  // The ended session (57P01), then three refused connections (08001): the
  // bound of three retries, no more.
  EXPECT_EQ(waits, 3);
  EXPECT_EQ(pool.counters().retries.load(), static_cast<uint64_t>(waits));
  admin_.Execute("ALTER DATABASE " + name + " WITH ALLOW_CONNECTIONS true");
  Database again(&pool);
  again.Open(text_);
  EXPECT_EQ(again.Query("SELECT 1 AS one").Get(0, "one").integer(), 1);
}

}  // namespace
}  // namespace vantor
