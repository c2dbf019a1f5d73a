#include "host/config_check.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string_view>
#include <vector>

#include "audit/audit_trail.h"
#include "dicom/node_registry.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/instance_lock.h"
#include "host/base/numeric.h"
#include "host/base/paths.h"
#include "host/base/read_reg.h"
#include "host/base/registry.h"
#include "host/base/tls_settings.h"
#include "jobs/job_store.h"

namespace vantor {
namespace {

constexpr std::string_view kDefaultKey = "Software\\Tavik\\Kelmora\\ Default";
constexpr const char* kJobFolder = "C:\\Temp\\";

enum class Kind { kText, kSwitch, kNumber, kNumber16 };

class Checker {
 public:
  explicit Checker(std::ostream& out) : out_(out) {}

  void Problem(const std::string& text) {
    ++problems_;
    out_ << "PROBLEM: " << text << "\n";
  }
  int problems() const { return problems_; }
  std::ostream& out() { return out_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
};

std::string ReadBytes(const std::string& path, bool* readable) {
  std::optional<std::string> bytes = TryReadWholeFile(path);
  *readable = bytes.has_value();
  return bytes ? std::move(*bytes) : std::string();
}

// The lines of the registry file that no reading rule understands; the
// parser skips them and the values in them are lost. UTF-16LE is looked at
// through its low bytes, enough for the file's ASCII structure.
std::vector<std::pair<int, std::string>> DamagedLines(std::string bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    std::string narrow;
    for (size_t i = 2; i < bytes.size(); i += 2) narrow += bytes[i];
    bytes = narrow;
  } else if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.erase(0, 3);
  }
  std::vector<std::pair<int, std::string>> damaged;
  std::istringstream in(bytes);
  std::string line;
  bool continued = false;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const bool was_continued = continued;
    continued = !line.empty() && line.back() == '\\';
    const std::string text = Trim(line);
    if (text.empty() || text[0] == ';' || was_continued) continue;
    if (number == 1 &&
        (text == "Windows Registry Editor Version 5.00" || text == "REGEDIT4"))
      continue;
    if (text.front() == '[' && text.back() == ']') continue;
    if (text.starts_with("@=")) continue;
    if (text[0] == '"' && text.find("\"=", 1) != std::string::npos) continue;
    damaged.emplace_back(number, line);
  }
  return damaged;
}

// One value: its effective text and where it came from.
void ShowValue(Checker& check, const Registry& registry, const std::string& key,
               const std::string& name, Kind kind,
               const std::string& effective) {
  const std::string text = Trim(GetRegValue(registry, "HKLM", key, name));
  std::string source = "default";
  if (!text.empty()) {
    source = "file";
    if (kind != Kind::kText && !IsNumeric(text)) {
      source = "default (\"" + text + "\" in the file is not a number)";
    } else if (kind == Kind::kNumber || kind == Kind::kNumber16) {
      try {
        if (kind == Kind::kNumber) {
          (void)ToInt32(text);
        } else {
          (void)ToInt16(text);
        }
      } catch (...) {
        check.Problem(name + " = \"" + text +
                      "\" is out of range: the service logs an error and the "
                      "values after it keep their defaults");
        source = "default (out of range in the file)";
      }
    }
  }
  check.out() << "  " << name << " = \"" << effective << "\"  [" << source
              << "]\n";
}

std::string Flag(bool on) { return on ? "1" : "0"; }

void ShowValues(Checker& check, const Registry& registry, const Config& c) {
  const std::string dkey(kDefaultKey);
  const std::string ikey = c.instance_key;
  check.out() << "Default key " << dkey << ":\n";
  ShowValue(check, registry, dkey, "DBServer", Kind::kText, c.DBServer);
  ShowValue(check, registry, dkey, "Temp", Kind::kText, c.Temp);
  ShowValue(check, registry, dkey, "Unzip", Kind::kText, c.Unzip);
  ShowValue(check, registry, dkey, "Compress", Kind::kSwitch, Flag(c.Compress));
  ShowValue(check, registry, dkey, "Debug", Kind::kSwitch,
            Flag(c.DefaultDebug));
  ShowValue(check, registry, dkey, "UDP", Kind::kNumber, std::to_string(c.UDP));
  ShowValue(check, registry, dkey, "AET", Kind::kText, c.DefaultAET);
  check.out() << "Instance key " << ikey << ":\n";
  ShowValue(check, registry, ikey, "Rename", Kind::kSwitch, Flag(c.Rename));
  ShowValue(check, registry, ikey, "Import", Kind::kSwitch, Flag(c.Import));
  ShowValue(check, registry, ikey, "ImportArchive", Kind::kText,
            c.ImportArchive);
  ShowValue(check, registry, ikey, "EnableDismiss", Kind::kSwitch,
            Flag(c.EnableDismiss));
  std::string modalities;
  for (const std::string& m : c.DismissModalities)
    modalities += (modalities.empty() ? "" : ";") + m;
  ShowValue(check, registry, ikey, "DismissModalities", Kind::kText,
            modalities);
  ShowValue(check, registry, ikey, "DCM", Kind::kNumber, std::to_string(c.DCM));
  ShowValue(check, registry, ikey, "Debug", Kind::kSwitch, Flag(c.Debug));
  ShowValue(check, registry, ikey, "AET", Kind::kText, c.AET);
  ShowValue(check, registry, ikey, "Caption", Kind::kText, c.Caption);
  ShowValue(check, registry, ikey, "CountPatient", Kind::kSwitch,
            Flag(c.CountPatient));
  ShowValue(check, registry, ikey, "CountStudy", Kind::kSwitch,
            Flag(c.CountStudy));
  ShowValue(check, registry, ikey, "CountSeries", Kind::kSwitch,
            Flag(c.CountSeries));
  ShowValue(check, registry, ikey, "StudyStatus", Kind::kSwitch,
            Flag(c.StudyStatus));
  ShowValue(check, registry, ikey, "Dicomlog", Kind::kSwitch, Flag(c.Dicomlog));
  ShowValue(check, registry, ikey, "Dicomloglength", Kind::kNumber,
            std::to_string(c.Dicomloglength));
  ShowValue(check, registry, ikey, "Dicomloglevel", Kind::kNumber16,
            std::to_string(c.Dicomloglevel));
  ShowValue(check, registry, ikey, "DateFormat", Kind::kText, c.DateFormat);
  ShowValue(check, registry, ikey, "AssociationTimeout", Kind::kNumber,
            std::to_string(c.AssociationTimeout));
  ShowValue(check, registry, ikey, "IdleTimeout", Kind::kNumber,
            std::to_string(c.IdleTimeout));
  std::string servers;
  for (const std::string& s : c.EventServers)
    servers += (servers.empty() ? "" : ";") + s;
  ShowValue(check, registry, ikey, "EventServers", Kind::kText, servers);
  ShowValue(check, registry, ikey, "StorageCommitment", Kind::kSwitch,
            Flag(c.StorageCommitment));
  ShowValue(check, registry, ikey, "HTTP", Kind::kNumber, std::to_string(c.HTTP));
  ShowValue(check, registry, ikey, "HTTPS", Kind::kNumber,
            std::to_string(c.HTTPS));
  ShowValue(check, registry, ikey, "HTTPCredentials", Kind::kText,
            c.HTTPCredentials);
  ShowValue(check, registry, ikey, "HTTPMaxConnections", Kind::kNumber,
            std::to_string(c.HTTPMaxConnections));
  ShowValue(check, registry, ikey, "HTTPIdleTimeout", Kind::kNumber,
            std::to_string(c.HTTPIdleTimeout));
  ShowValue(check, registry, ikey, "HTTPMaxBodyMB", Kind::kNumber,
            std::to_string(c.HTTPMaxBodyMB));
  ShowValue(check, registry, ikey, "JobQueue", Kind::kText, c.JobQueue);
  ShowValue(check, registry, ikey, "JobLeaseSeconds", Kind::kNumber,
            std::to_string(c.JobLeaseSeconds));
  ShowValue(check, registry, ikey, "MoveWorkers", Kind::kNumber,
            std::to_string(c.MoveWorkers));
  ShowValue(check, registry, ikey, "HealthPort", Kind::kNumber,
            std::to_string(c.HealthPort));
  ShowValue(check, registry, ikey, "AssociationsPerAddress", Kind::kNumber,
            std::to_string(c.AssociationsPerAddress));
  ShowValue(check, registry, ikey, "AssociationsPerAETitle", Kind::kNumber,
            std::to_string(c.AssociationsPerAETitle));
  std::string balancers;
  for (const std::string& b : c.BalancerAddresses)
    balancers += (balancers.empty() ? "" : ";") + b;
  ShowValue(check, registry, ikey, "BalancerAddresses", Kind::kText, balancers);
  ShowValue(check, registry, ikey, "Audit", Kind::kSwitch, Flag(c.Audit));
  ShowValue(check, registry, ikey, "AuditCollector", Kind::kText,
            c.AuditCollector);
  {
    // Where a balancer and a monitoring system ask.
    std::string pages;
    if (c.HTTP) pages += "web port " + std::to_string(c.HTTP);
    if (c.HealthPort && c.HealthPort != c.HTTP)
      pages += std::string(pages.empty() ? "" : ", ") + "health port " +
               std::to_string(c.HealthPort);
    check.out() << "  /health/live, /health/ready, /metrics: "
                << (pages.empty() ? "off (set HTTP or HealthPort)" : "on the " + pages)
                << "\n";
  }
  check.out() << "  own AE title: " << c.OwnAET << "\n";
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder the service writes into: `must_exist` ones are a problem when
// missing, the others are created at start-up inside a writable parent.
void ShowFolder(Checker& check, const std::string& label,
                const std::string& text, bool must_exist) {
  const std::string path = ToFsPath(text);
  const bool exists = IsFolder(path);
  const bool writable = exists && ::access(path.c_str(), W_OK | X_OK) == 0;
  check.out() << "  " << label << ": " << text
              << (text == path ? "" : " -> " + path) << "  ["
              << (exists
                      ? (writable ? "exists, writable" : "exists, NOT writable")
                      : "missing")
              << "]\n";
  if (exists && !writable)
    check.Problem(label + " " + path + " is not writable for this user");
  if (!exists && must_exist)
    check.Problem(label + " " + path + " does not exist");
}

void CheckRegistryFile(Checker& check, const Registry& registry,
                       const std::string& instance_key) {
  const std::string path = RegistryPath();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    check.out() << "Registry file: " << path
                << " (missing: every default applies)\n";
    return;
  }
  bool readable = false;
  const std::string bytes = ReadBytes(path, &readable);
  check.out() << "Registry file: " << path << " (" << registry.key_count()
              << " keys read)\n";
  if (!readable) {
    check.Problem("the registry file " + path + " cannot be read");
    return;
  }
  if (registry.key_count() == 0) {
    check.Problem(
        "no key could be read from " + path +
        " (the first line must be \"Windows Registry Editor Version 5.00\" "
        "or \"REGEDIT4\", keys are written [HKEY_LOCAL_MACHINE\\...])");
  }
  for (const auto& [number, line] : DamagedLines(bytes))
    check.Problem("registry line " + std::to_string(number) +
                  " is not understood and is skipped: " + line);
  if (!registry.Find("HKEY_LOCAL_MACHINE\\" + instance_key, "DCM") &&
      !registry.Find("HKEY_LOCAL_MACHINE\\" + instance_key, "Caption"))
    check.out() << "  note: the instance key has neither DCM nor Caption "
                   "in the file\n";
}

void CheckDatabase(Checker& check, const std::string& db_server) {
  check.out() << "Archive database:\n";
  if (db_server.empty()) {
    check.Problem("DBServer is empty: there is no archive database");
    return;
  }
  if (db_server.starts_with("sqlite:")) {
    const std::string file = ToFsPath(db_server.substr(7));
    struct stat st;
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      // The driver would create an empty file.
      check.Problem("the SQLite archive " + file + " does not exist");
      return;
    }
  }
  Database db;
  try {
    db.Open(ConnectionText(db_server));
  } catch (...) {
    FailureInfo info = CurrentFailure();
    check.Problem("the archive database cannot be opened (" +
                  std::to_string(info.number) + "): " + info.description);
    return;
  }
  check.out() << "  connection opened\n";
  const std::string sql =
      dicom::NodeLookupStatement("VANTOR-CHECK", "127.0.0.1");
  try {
    ResultSet rs = db.Query(sql);
    check.out() << "  node lookup ran: " << sql << "\n";
  } catch (...) {
    FailureInfo info = CurrentFailure();
    check.Problem("the node lookup failed (" + std::to_string(info.number) +
                  "): " + info.description + "; statement: " + sql);
  }
}

// Whether the work queued in the archive database can be: the tables are
// there, and what waits and runs in them.
void CheckJobQueue(Checker& check, const Config& c) {
  if (c.JobQueue != "database") {
    check.out() << "Job queue: off (C-MOVE jobs by job file, Storage "
                   "Commitment reports in memory, the front's own incoming "
                   "folder)\n";
    return;
  }
  if (!JobsQueued(c)) {
    check.out() << "Job queue: off on an SQLite archive (JobQueue database "
                   "needs PostgreSQL or SQL Server)\n";
    return;
  }
  check.out() << "Job queue: in the archive database\n";
  Database db;
  try {
    db.Open(ConnectionText(c.DBServer));
  } catch (...) {
    return;  // reported with the database above
  }
  for (JobKind kind : {JobKind::kMove, JobKind::kCommitment, JobKind::kImport}) {
    const std::string table = JobTable(kind);
    try {
      const JobCounts counts = JobStore(db, kind).Counts();
      check.out() << "  " << table << ": " << counts.waiting << " waiting, "
                  << counts.running << " running\n";
    } catch (...) {
      FailureInfo info = CurrentFailure();
      check.Problem("the job queue's table " + table + " cannot be read (" +
                    std::to_string(info.number) + "): " + info.description +
                    "; the schema file of the archive's dialect makes it");
    }
  }
}

void CheckPort(Checker& check, int32_t port, const std::string& what = "DICOM port") {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    check.Problem(std::string("no socket: ") + std::strerror(errno));
    return;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool bound =
      port > 0 && port <= 65535 &&
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  const int err = errno;
  ::close(fd);
  if (bound) {
    check.out() << what << " " << port << ": free\n";
  } else if (err == EACCES) {
    check.Problem(what + " " + std::to_string(port) +
                  " is privileged: this user may not listen on it (the "
                  "systemd unit grants CAP_NET_BIND_SERVICE)");
  } else {
    check.Problem(what + " " + std::to_string(port) +
                  " cannot be listened on: " + std::strerror(err));
  }
}

// The web port's settings: its ports, the certificate HTTPS needs, and the
// password file.
void CheckWebPort(Checker& check, const Config& c) {
  if (c.HTTP == 0 && c.HTTPS == 0) {
    check.out() << "Web port: off (no HTTP or HTTPS)\n";
    return;
  }
  for (int32_t port : {c.HTTP, c.HTTPS}) {
    if (port == 0) continue;
    if (port == c.DCM || port == c.TLSPort)
      check.Problem("web port " + std::to_string(port) +
                    " is the DICOM port too");
    else
      CheckPort(check, port, port == c.HTTP ? "HTTP port" : "HTTPS port");
  }
  if (c.HTTPS != 0) {
    const TlsFiles files = TlsFilesOf(c);
    if (files.certificate.empty() || files.private_key.empty())
      check.Problem("HTTPS needs TLSCertificate and TLSPrivateKey");
    for (const std::string& f : {files.certificate, files.private_key})
      if (!f.empty() && ::access(f.c_str(), R_OK) != 0)
        check.Problem("the TLS file " + f + " cannot be read");
  }
  if (!c.HTTPCredentials.empty() &&
      ::access(ToFsPath(c.HTTPCredentials).c_str(), R_OK) != 0)
    check.Problem("the password file " + c.HTTPCredentials +
                  " cannot be read: Basic credentials are refused");
}

// Where the audit messages go.
void CheckAudit(Checker& check, const Config& c) {
  check.out() << "Audit trail: ";
  if (!c.Audit) {
    check.out() << "off (Audit = 0)\n";
    return;
  }
  const audit::Collector collector = audit::ParseCollector(c.AuditCollector);
  const std::string where =
      collector.host + ":" + std::to_string(collector.port);
  switch (collector.kind) {
    case audit::Collector::Kind::kFile:
      check.out() << "to " << InProgramDir("Logs") << "/Audit.log\n";
      break;
    case audit::Collector::Kind::kUdp:
      check.out() << "syslog over UDP to " << where << "\n";
      break;
    case audit::Collector::Kind::kTls: {
      const TlsFiles files = TlsFilesOf(c);
      check.out() << "syslog over TLS to " << where << ", verified with "
                  << (files.ca_certificates.empty()
                          ? std::string("the system's CA certificates")
                          : files.ca_certificates)
                  << (files.certificate.empty() ? ""
                                                : ", client certificate " +
                                                      files.certificate)
                  << "\n";
      if (!files.ca_certificates.empty() &&
          ::access(files.ca_certificates.c_str(), R_OK) != 0)
        check.Problem("the CA certificates " + files.ca_certificates +
                      " cannot be read: the audit collector cannot be "
                      "verified");
      break;
    }
    case audit::Collector::Kind::kInvalid:
      check.out() << "to " << InProgramDir("Logs") << "/Audit.log\n";
      check.Problem("AuditCollector \"" + c.AuditCollector +
                    "\" cannot be used (" + collector.error +
                    "): audit messages go to Logs/Audit.log");
      break;
  }
}

}  // namespace

int CheckConfiguration(const std::string& command_line, std::ostream& out) {
  Checker check(out);
  Config first = *Settings();
  first.instance_key = InstanceKeyFromCommandLine(command_line);
  PublishSettings(first);
  ReadReg();
  const auto config = Settings();
  const Registry registry = Registry::Load(RegistryPath());

  out << "Program directory: " << ProgramDir() << "\n";
  CheckRegistryFile(check, registry, config->instance_key);
  ShowValues(check, registry, *config);

  out << "Folders (checked for user " << ::getuid() << "):\n";
  ShowFolder(check, "program directory", ProgramDir(), true);
  ShowFolder(check, "Logs", InProgramDir("Logs"), false);
  ShowFolder(check, "Associations", InProgramDir("Associations"), false);
  ShowFolder(check, "Temp (incoming)", config->Temp, true);
  ShowFolder(check, "Unzip", config->Unzip, true);
  ShowFolder(check, "job folder", kJobFolder, true);

  CheckDatabase(check, config->DBServer);
  CheckJobQueue(check, *config);
  CheckPort(check, config->DCM);
  CheckWebPort(check, *config);
  CheckAudit(check, *config);
  InstanceLock lock;
  if (!lock.Acquire(config->Caption))
    check.Problem("an instance with the caption '" + config->Caption +
                  "' is running already");

  if (check.problems() == 0) {
    out << "OK: the instance can start\n";
    return 0;
  }
  out << check.problems() << " problem(s): the instance cannot start as "
      << "configured\n";
  return 1;
}

}  // namespace vantor
