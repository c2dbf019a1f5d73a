// `vantor --check [instance]` run from the built service's program
// directory against real registry files and a real SQLite archive (and a
// PostgreSQL one for the job queue).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/fixture_archive.h"
#include "tests/support/service_process.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// `vantor --check <instance>` in the program directory of `service` with
// `registry` as its registry.reg.
ToolResult Check(const ServiceProcess& service, const std::string& registry,
                 const std::string& instance = "01") {
  std::ofstream(service.program_dir() + "/registry.reg", std::ios::binary)
      << registry;
  return RunDcmtkTool(service.program_dir() + "/vantor", {"--check", instance},
                      std::chrono::seconds(30), service.program_dir());
}

TEST(ConfigCheckTest, SoundInstancePassesAndARunningOneDoesNot) {
  FixtureArchive archive;
  ServiceProcess service;
  const std::string registry = RegistryText(
      {{"DBServer", archive.DBServer()}},
      {{"DCM", service.port_text()}, {"Caption", service.caption()}}, "02");
  ToolResult result = Check(service, registry, "02");
  EXPECT_EQ(result.exit_code, 0) << result.output;
  const std::string& out = result.output;
  EXPECT_THAT(out,
              HasSubstr("Instance key Software\\Tavik\\Kelmora\\Vantor\\02"));
  EXPECT_THAT(out,
              HasSubstr("DBServer = \"" + archive.DBServer() + "\"  [file]"));
  EXPECT_THAT(out, HasSubstr("DCM = \"" + service.port_text() + "\"  [file]"));
  EXPECT_THAT(out, HasSubstr("IdleTimeout = \"120\"  [default]"));
  EXPECT_THAT(
      out, HasSubstr("Temp (incoming): E:\\Temp\\ -> " + service.program_dir() +
                     "/drives/e/Temp/  [exists, writable]"));
  EXPECT_THAT(out,
              HasSubstr("job folder: C:\\Temp\\ -> " + service.program_dir() +
                        "/drives/c/Temp/  [exists, writable]"));
  EXPECT_THAT(out, HasSubstr("node lookup ran: Select * from tblDicomAETs"));
  EXPECT_THAT(out, HasSubstr("DICOM port " + service.port_text() + ": free"));
  EXPECT_THAT(out, Not(HasSubstr("PROBLEM")));

  // The same instance while it runs: port and caption are taken.
  ServiceProcess::Options options;
  options.registry = registry;
  options.instance = "02";
  ASSERT_TRUE(service.Start(options)) << service.Describe();
  result = Check(service, registry, "02");
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output,
              HasSubstr("PROBLEM: DICOM port " + service.port_text() +
                        " cannot be listened on: Address already in use"));
  EXPECT_THAT(result.output, HasSubstr("is running already"));
}

TEST(ConfigCheckTest, ReportsTheWebPort) {
  FixtureArchive archive;
  ServiceProcess service;
  const int http = FreeLoopbackPort();
  ToolResult result = Check(
      service, RegistryText({{"DBServer", archive.DBServer()}},
                            {{"DCM", service.port_text()},
                             {"Caption", service.caption()},
                             {"HTTP", std::to_string(http)},
                             {"HTTPS", service.port_text()},
                             {"HTTPCredentials", "/nonexistent/web-users"}}));
  EXPECT_EQ(result.exit_code, 1) << result.output;
  const std::string& out = result.output;
  EXPECT_THAT(out, HasSubstr("HTTP = \"" + std::to_string(http) + "\"  [file]"));
  EXPECT_THAT(out, HasSubstr("HTTPMaxConnections = \"32\"  [default]"));
  EXPECT_THAT(out, HasSubstr("HTTP port " + std::to_string(http) + ": free"));
  EXPECT_THAT(out, HasSubstr("PROBLEM: web port " + service.port_text() +
                             " is the DICOM port too"));
  EXPECT_THAT(out, HasSubstr("PROBLEM: HTTPS needs TLSCertificate and TLSPrivateKey"));
  EXPECT_THAT(out, HasSubstr("PROBLEM: the password file /nonexistent/web-users"));
}

TEST(ConfigCheckTest, ReportsWhereAuditMessagesGo) {
  FixtureArchive archive;
  ServiceProcess service;
  const RegValues base = {{"DCM", service.port_text()},
                          {"Caption", service.caption()}};
  auto check = [&](const RegValues& more) {
    RegValues values = base;
    values.insert(values.end(), more.begin(), more.end());
    return Check(service,
                 RegistryText({{"DBServer", archive.DBServer()}}, values));
  };
  // On by default, into the file.
  ToolResult result = check({});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("Audit = \"1\"  [default]"));
  EXPECT_THAT(result.output, HasSubstr("AuditCollector = \"\"  [default]"));
  EXPECT_THAT(result.output, HasSubstr("Audit trail: to " +
                                           service.program_dir() +
                                           "/Logs/Audit.log"));
  result = check({{"Audit", "0"}});
  EXPECT_THAT(result.output, HasSubstr("Audit = \"0\"  [file]"));
  EXPECT_THAT(result.output, HasSubstr("Audit trail: off"));
  // Anything but a 0 leaves it on.
  result = check({{"Audit", "no"}});
  EXPECT_THAT(result.output, HasSubstr("Audit trail: to "));
  result = check({{"AuditCollector", "udp://collector.example"}});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output,
              HasSubstr("Audit trail: syslog over UDP to collector.example:514"));
  result = check({{"AuditCollector", "tls://collector.example:7514"},
                  {"TLSCACertificates", "/nonexistent/ca.pem"}});
  EXPECT_THAT(result.output,
              HasSubstr("Audit trail: syslog over TLS to collector.example:7514, "
                        "verified with /nonexistent/ca.pem"));
  EXPECT_THAT(result.output,
              HasSubstr("PROBLEM: the CA certificates /nonexistent/ca.pem"));
  result = check({{"AuditCollector", "syslog.example:514"}});
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output,
              HasSubstr("PROBLEM: AuditCollector \"syslog.example:514\" cannot "
                        "be used"));
}

TEST(ConfigCheckTest, ReportsTheJobQueueAndAMissingTable) {
  ServiceProcess service;
  auto check = [&](const FixtureArchive& archive) {
    return Check(service, RegistryText({{"DBServer", archive.DBServer()}},
                                       {{"DCM", service.port_text()},
                                        {"Caption", service.caption()},
                                        {"JobQueue", "database"}}));
  };
  FixtureArchive sqlite;
  ToolResult result = check(sqlite);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("Job queue: off on an SQLite archive"));

  FixtureArchive pg(ArchiveBackend::kPostgres);
  VANTOR_SKIP_UNLESS_READY(pg);
  pg.Exec("INSERT INTO tblMoveJobs (Payload) VALUES ('a'), ('b')");
  result = check(pg);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("Job queue: in the archive database"));
  EXPECT_THAT(result.output, HasSubstr("tblMoveJobs: 2 waiting, 0 running"));
  EXPECT_THAT(result.output, HasSubstr("tblImportJobs: 0 waiting, 0 running"));
  // An archive made before the queue: the table's absence is a problem.
  pg.Exec("DROP TABLE tblImportJobs");
  result = check(pg);
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output,
              HasSubstr("PROBLEM: the job queue's table tblImportJobs cannot "
                        "be read"));
}

TEST(ConfigCheckTest, BrokenRegistryIsReported) {
  FixtureArchive archive;
  ServiceProcess service;
  // Without its header line the file is no registry at all.
  ToolResult result =
      Check(service,
            "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\ Default]\r\n"
            "\"DBServer\"=\"" +
                archive.DBServer() + "\"\r\n");
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output, HasSubstr("PROBLEM: no key could be read"));
  EXPECT_THAT(result.output, HasSubstr("DBServer = \"\"  [default]"));

  // Damaged lines, a number out of range and one that is no number.
  std::string registry = RegistryText({{"DBServer", archive.DBServer()}},
                                      {{"DCM", service.port_text()},
                                       {"IdleTimeout", "soon"},
                                       {"Dicomloglevel", "70000"}});
  registry += "Caption=Vantor 01\r\n";
  result = Check(service, registry);
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output,
              HasSubstr("is not understood and is skipped: Caption=Vantor 01"));
  EXPECT_THAT(result.output,
              HasSubstr("PROBLEM: Dicomloglevel = \"70000\" is out of range"));
  EXPECT_THAT(result.output,
              HasSubstr("IdleTimeout = \"120\"  [default (\"soon\" in the file "
                        "is not a number)]"));
}

TEST(ConfigCheckTest, MissingOrEmptyDatabaseIsReported) {
  ServiceProcess service;
  const std::string missing = service.program_dir() + "/archive.db";
  ToolResult result =
      Check(service, RegistryText({{"DBServer", "sqlite:" + missing}},
                                  {{"DCM", service.port_text()}}));
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output, HasSubstr("PROBLEM: the SQLite archive " +
                                       missing + " does not exist"));
  EXPECT_FALSE(fs::exists(missing));

  // A database without the archive's tables fails the node lookup.
  std::ofstream(missing).flush();
  result = Check(service, RegistryText({{"DBServer", "sqlite:" + missing}},
                                       {{"DCM", service.port_text()}}));
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output, HasSubstr("PROBLEM: the node lookup failed"));
  EXPECT_THAT(result.output, HasSubstr("tblDicomAETs"));

  result = Check(service, RegistryText({}, {{"DCM", service.port_text()}}));
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output, HasSubstr("PROBLEM: DBServer is empty"));
}

}  // namespace
}  // namespace vantor
