#include "tests/support/pg_server.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "archive/sql_script.h"
#include "host/base/database.h"
#include "tests/support/service_process.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace vantor {
namespace {

namespace fs = std::filesystem;

constexpr char kDriver[] = "PostgreSQL Unicode";
constexpr char kUser[] = "vantor";
constexpr char kTemplate[] = "vantor_template";

// The bin folder of the newest PostgreSQL under /usr/lib/postgresql that
// has initdb and postgres, or "".
std::string FindBinaries() {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const fs::path bin = e.path() / "bin";
    if (fs::exists(bin / "initdb") && fs::exists(bin / "postgres"))
      found.push_back(bin);
  }
  if (found.empty()) return "";
  // Versions are whole numbers (13, 15, 16): the longest name, then the
  // greatest, is the newest.
  std::sort(found.begin(), found.end(),
            [](const fs::path& a, const fs::path& b) {
              const std::string x = a.parent_path().filename().string();
              const std::string y = b.parent_path().filename().string();
              return x.size() != y.size() ? x.size() < y.size() : x < y;
            });
  return found.back().string();
}

bool DriverRegistered() {
  const char* sys = ::getenv("ODBCSYSINI");
  const std::string ini =
      std::string(sys != nullptr ? sys : "/etc") + "/odbcinst.ini";
  return ReadWholeFile(ini).find(std::string("[") + kDriver + "]") !=
         std::string::npos;
}

bool Required() {
  const char* v = ::getenv("VANTOR_REQUIRE_POSTGRESQL");
  return v != nullptr && std::string(v) == "1";
}

// Who the server runs as: the user "postgres" when we are root.
struct RunAs {
  bool switch_user = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

RunAs ServerUser() {
  RunAs who;
  if (::geteuid() != 0) return who;
  const passwd* pw = ::getpwnam("postgres");
  if (pw == nullptr)
    throw std::runtime_error("running as root, and there is no user postgres");
  who.switch_user = true;
  who.uid = pw->pw_uid;
  who.gid = pw->pw_gid;
  return who;
}

// Starts `args` as `who`, output to `log`. The child gets SIGQUIT (for
// postgres: an immediate shutdown) when this thread ends.
pid_t Spawn(std::vector<std::string> args, const std::string& log,
            const RunAs& who) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int out =
      ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || in < 0) throw std::runtime_error("cannot open " + log);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    if (who.switch_user && (::setgroups(0, nullptr) != 0 ||
                            ::setgid(who.gid) != 0 || ::setuid(who.uid) != 0))
      ::_exit(126);
    // Set after the change of user, which would clear it.
    ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
    if (::getppid() != parent) ::_exit(125);
    ::execve(argv[0], argv.data(), environ);
    ::_exit(127);
  }
  ::close(out);
  ::close(in);
  if (pid < 0) throw std::runtime_error("fork failed");
  return pid;
}

// Waits for `pid` to end, at most `limit`; kills it after that. Returns
// its exit status, or -1 when it had to be killed.
int WaitFor(pid_t pid, std::chrono::seconds limit) {
  int status = 0;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

// Whether the postmaster.pid at `path` says the server is ready.
bool ReadyLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  for (int n = 1; n <= 8 && std::getline(in, line); ++n)
    if (n == 8) return line.rfind("ready", 0) == 0;
  return false;
}

std::string ReadSchema() {
  return ReadWholeFile(std::string(VANTOR_SOURCE_DIR) +
                       "/archive/schema-postgresql.sql");
}

std::unique_ptr<PgServer>& Instance() {
  static std::unique_ptr<PgServer> server;
  return server;
}

// Stops the server after the last test of the binary.
class PgEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    if (Instance()) Instance()->Stop();
  }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new PgEnvironment);

}  // namespace

bool PgServer::Available(std::string* why) {
  if (Required()) return true;
  std::string missing;
  if (FindBinaries().empty())
    missing =
        "no PostgreSQL server under /usr/lib/postgresql (initdb, "
        "postgres)";
  else if (!DriverRegistered())
    missing =
        std::string("the ODBC driver \"") + kDriver + "\" is not registered";
  else if (::geteuid() == 0 && ::getpwnam("postgres") == nullptr)
    missing =
        "running as root, and there is no user postgres to run the "
        "server as";
  if (missing.empty()) return true;
  if (why != nullptr)
    *why = "PostgreSQL not available: " + missing +
           " (scripts/setup.sh installs postgresql and odbc-postgresql)";
  return false;
}

PgServer& PgServer::Get() {
  std::unique_ptr<PgServer>& server = Instance();
  if (!server) {
    std::unique_ptr<PgServer> made(new PgServer);
    made->Start();
    server = std::move(made);
  }
  return *server;
}

PgServer::~PgServer() { Stop(); }

std::string PgServer::DatabaseName(int n) {
  return "vantor_" + std::to_string(n);
}

std::string PgServer::ConnectionTextFor(const std::string& name) const {
  return std::string("Driver={") + kDriver +
         "};Servername=127.0.0.1;Port=" + std::to_string(port_) +
         ";Database=" + name + ";Username=" + kUser + ";BoolsAsChar=0";
}

void PgServer::Admin(const std::string& sql) {
  Database db;
  db.Open(ConnectionTextFor("postgres"));
  db.Execute(sql);
}

void PgServer::Start() {
  bin_ = FindBinaries();
  if (bin_.empty()) throw std::runtime_error("PostgreSQL is not installed");
  const RunAs who = ServerUser();
  dir_ = folder_.emplace("pg").path();
  try {
    const std::string log = dir_ + "/server.log";
    fs::create_directories(dir_ + "/socket");
    if (who.switch_user) {
      for (const std::string& p : {dir_, dir_ + "/socket"})
        if (::chown(p.c_str(), who.uid, who.gid) != 0)
          throw std::runtime_error("cannot hand " + p + " to postgres");
    }
    const int made =
        WaitFor(Spawn({bin_ + "/initdb", "-D", dir_ + "/data", "-U", kUser,
                       "--auth=trust", "-E", "UTF8", "--locale=C.UTF-8",
                       "--no-sync", "--no-instructions"},
                      log, who),
                std::chrono::seconds(120));
    if (made != 0)
      throw std::runtime_error("initdb failed:\n" + ReadWholeFile(log));
    // A port that was free a moment ago may be taken by the time the
    // server binds it: a few tries.
    for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
      port_ = FreeLoopbackPort();
      Launch();
    }
    if (pid_ < 0)
      throw std::runtime_error("the PostgreSQL server did not start:\n" +
                               ReadWholeFile(log));
    {
      // Through ODBC, as every archive is reached; a failure says why.
      Database probe;
      probe.Open(ConnectionTextFor("postgres"));
    }
    PrepareTemplate();
  } catch (...) {
    Stop();
    throw;
  }
}

void PgServer::Launch() {
  const std::string log = dir_ + "/server.log";
  const pid_t pid =
      Spawn({bin_ + "/postgres", "-D", dir_ + "/data", "-p",
             std::to_string(port_), "-k", dir_ + "/socket", "-c",
             "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c",
             "synchronous_commit=off", "-c", "full_page_writes=off", "-c",
             "max_connections=200", "-c", "shared_buffers=16MB"},
            log, ServerUser());
  // The server says "ready" in line 8 of postmaster.pid once it takes
  // connections; it ends when it cannot listen.
  for (int i = 0; i < 400 && pid_ < 0; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) break;
    if (ReadyLine(dir_ + "/data/postmaster.pid")) {
      pid_ = pid;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (pid_ < 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

void PgServer::Restart() {
  if (pid_ <= 0) throw std::runtime_error("the PostgreSQL server is not running");
  // A fast shutdown: the sessions are ended, as by a restart of the host.
  ::kill(pid_, SIGINT);
  WaitFor(pid_, std::chrono::seconds(30));
  pid_ = -1;
  // On the same port, which the data sources name; a few tries while the
  // old socket goes.
  for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt) {
    Launch();
    if (pid_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (pid_ < 0)
    throw std::runtime_error("the PostgreSQL server did not start again:\n" +
                             ReadWholeFile(dir_ + "/server.log"));
}

void PgServer::PrepareTemplate() {
  Admin(std::string("CREATE DATABASE ") + kTemplate);
  {
    Database db;
    db.Open(ConnectionTextFor(kTemplate));
    RunSqlScript(db, ReadSchema());
  }
  // One data source per archive database; the service and the sender,
  // started from here, inherit ODBCINI.
  std::string ini;
  for (int n = 1; n <= kMaxDatabases; ++n) {
    std::ostringstream source;
    source << "[" << DatabaseName(n) << "]\nDriver=" << kDriver
           << "\nServername=127.0.0.1\nPort=" << port_
           << "\nDatabase=" << DatabaseName(n) << "\nUsername=" << kUser
           << "\nBoolsAsChar=0\n\n";
    ini += source.str();
  }
  const std::string path = dir_ + "/odbc.ini";
  std::ofstream(path) << ini;
  ::setenv("ODBCINI", path.c_str(), 1);
}

int PgServer::CreateDatabase() {
  int n = 1;
  while (n <= kMaxDatabases && in_use_[n]) ++n;
  if (n > kMaxDatabases)
    throw std::runtime_error(
        "more PostgreSQL archives at a time than data "
        "sources");
  Admin("CREATE DATABASE " + DatabaseName(n) + " TEMPLATE " + kTemplate);
  in_use_[n] = true;
  return n;
}

void PgServer::DropDatabase(int n) noexcept {
  if (n < 1 || n > kMaxDatabases || !in_use_[n]) return;
  try {
    for (const std::string& name : {DatabaseName(n), DatabaseName(n) + "_away"})
      Admin("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
    in_use_[n] = false;
  } catch (...) {
    // Left in use: the next archive takes another number.
  }
}

void PgServer::Stop() noexcept {
  if (pid_ > 0) {
    ::kill(pid_, SIGQUIT);
    WaitFor(pid_, std::chrono::seconds(10));
    pid_ = -1;
  }
  folder_.reset();
  dir_.clear();
}

}  // namespace vantor
