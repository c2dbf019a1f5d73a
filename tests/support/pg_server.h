// A PostgreSQL server of the test binary's own, for running the end-to-end
// tests on a database server through unixODBC as well as on SQLite.
//
// Started on first use in a temp folder (/tmp/vantor-pg-XXXXXX): a cluster
// made by initdb (trust authentication, UTF-8, locale C.UTF-8), listening on
// 127.0.0.1 at a free port and on a socket in that folder, without fsync.
// As root the server runs as the system user "postgres", which owns the
// folder (initdb and postgres refuse to run as root). It gets SIGQUIT when
// the test binary ends, even by a crash, and a global test environment stops
// it and removes the folder after the last test.
//
// A template database holds archive/schema-postgresql.sql; every archive is
// a fresh copy of it (CREATE DATABASE ... TEMPLATE). The archives are
// reached through the ODBC data sources vantor_1 ... vantor_N of an odbc.ini
// in the folder (ODBCINI points there, for the test binary and every
// process it starts): "odbc:DSN=vantor_1" holds no ";", so it also stands
// in lists of servers that ";" separates.
#ifndef VANTOR_TESTS_SUPPORT_PG_SERVER_H_
#define VANTOR_TESTS_SUPPORT_PG_SERVER_H_

#include <sys/types.h>

#include <optional>
#include <string>

#include "tests/support/temp_folder.h"

namespace vantor {

class PgServer {
 public:
  // The most archives that may exist at a time.
  static constexpr int kMaxDatabases = 8;

  // Whether the server can be had here: PostgreSQL's programs, the ODBC
  // driver "PostgreSQL Unicode" and, as root, the user "postgres". When not,
  // `why` says what is missing. With VANTOR_REQUIRE_POSTGRESQL=1 in the
  // environment (as CI sets it) the answer is always yes, so that a missing
  // piece fails the tests instead of skipping them.
  static bool Available(std::string* why);

  // The running server, started on the first call. Throws when it cannot
  // be started.
  static PgServer& Get();

  // Makes database vantor_<n> from the template, for the lowest n not in
  // use, and returns n.
  int CreateDatabase();
  // Drops database vantor_<n> (and vantor_<n>_away), sessions on it
  // included; n is free again. Never throws.
  void DropDatabase(int n) noexcept;
  // "vantor_<n>", the database's and its data source's name.
  static std::string DatabaseName(int n);
  // The ODBC connection text of database `name` (any database of the
  // cluster, "postgres" included).
  std::string ConnectionTextFor(const std::string& name) const;
  // Runs a statement on the maintenance database "postgres". Throws a
  // Failure when the server rejects it.
  void Admin(const std::string& sql);

  int port() const { return port_; }
  const std::string& dir() const { return dir_; }

  // Stops the server (a fast shutdown, which ends every session) and starts
  // it again on the same port and data. Throws when it does not come back.
  void Restart();

  // Stops the server and removes its folder; nothing when not running.
  void Stop() noexcept;

  ~PgServer();

 private:
  PgServer() = default;
  void Start();
  // Starts postgres on port_; sets pid_ once it is ready (stays -1 when not).
  void Launch();
  void PrepareTemplate();

  std::string bin_;
  std::optional<TempFolder> folder_;
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool in_use_[kMaxDatabases + 1] = {};
};

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_PG_SERVER_H_
