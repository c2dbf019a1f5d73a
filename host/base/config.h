// The service's settings: one immutable snapshot per configuration pass.
// ReadReg builds the next snapshot from the registry file and publishes it as
// a whole; readers take the current snapshot and keep it for their work.
#ifndef VANTOR_HOST_BASE_CONFIG_H_
#define VANTOR_HOST_BASE_CONFIG_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vantor {

struct Config {
  // Instance key, e.g. "Software\Tavik\Kelmora\Vantor\01".
  std::string instance_key;

  // Default key " Default".
  std::string DBServer;
  std::string Temp;   // ends in "\" (or "/")
  std::string Unzip;  // ends in "\" (or "/")
  bool Compress = false;
  bool DefaultDebug = false;  // the default key's Debug
  int32_t UDP = 0;
  std::string DefaultAET;  // the default key's AET

  // Instance key.
  bool Rename = false;
  bool EnableDismiss = false;  // only ever switched on
  bool dismiss_list_present = false;
  std::vector<std::string> DismissModalities;
  int32_t DCM = 0;
  bool Debug = false;  // the instance debug switch
  std::string AET;     // the instance AET
  std::string Caption;
  bool CountPatient = false;
  bool CountStudy = false;
  bool CountSeries = false;
  bool StudyStatus = false;
  bool Dicomlog = false;
  int32_t Dicomloglength = 0;
  int16_t Dicomloglevel = 0;
  std::string DateFormat;
  // Seconds a new connection has to complete its association request
  // (1 to 30; the toolkit's ARTIM time is the most).
  int32_t AssociationTimeout = 30;
  // Seconds an association may stay without a DIMSE message before the
  // service releases it; 0 = never.
  int32_t IdleTimeout = 120;
  // Database servers an event report may name (RENAMER); ";"-separated in
  // the registry. Empty in the registry: DBServer alone.
  std::vector<std::string> EventServers;
  // DICOM over TLS on a port of its own; 0 = no TLS listener. The files are
  // path texts as written (Windows or POSIX form): the service's
  // certificate and private key (PEM), the trusted CA certificates (a PEM
  // bundle or a folder of them), and whether a caller must present a
  // certificate that those CAs vouch for.
  int32_t TLSPort = 0;
  std::string TLSCertificate;
  std::string TLSPrivateKey;
  std::string TLSCACertificates;
  bool TLSVerifyPeer = false;
  // Storage Commitment (push model) as SCP: N-ACTION requests are served;
  // off, an N-ACTION is refused as an unsupported command.
  bool StorageCommitment = false;

  // Received images are taken into the archive's tables and folders by the
  // service itself (for sites without the archive product's importer).
  bool Import = false;
  // The archive folder (tblArchive.ArchivePath, a path text) that new
  // studies go to; its row is made when missing. Empty: the first row of
  // tblArchive.
  std::string ImportArchive;

  // The web port (DICOMweb and WADO-URI): plain HTTP and HTTPS (with the
  // TLS certificate and key above) on ports of their own; 0 = off. The
  // password file of HTTP Basic callers (crypt(3) hashes); empty = none.
  // At most HTTPMaxConnections connections at once; one silent between
  // requests for HTTPIdleTimeout seconds is closed; a request body over
  // HTTPMaxBodyMB megabytes is refused.
  int32_t HTTP = 0;
  int32_t HTTPS = 0;
  std::string HTTPCredentials;
  int32_t HTTPMaxConnections = 32;
  int32_t HTTPIdleTimeout = 60;
  int32_t HTTPMaxBodyMB = 4096;
  // The health and metrics pages on a plain HTTP port of their own (they
  // are on the web port too when it is on); 0 = none.
  int32_t HealthPort = 0;

  // The most DICOM associations one calling address and one calling AE
  // title may hold at once (of the 32 of the whole service); 0 = no bound.
  // The addresses of BalancerAddresses (";"-separated) carry others'
  // associations (a TCP balancer in front of the service) and are bound by
  // AE title only.
  // "database": C-MOVE jobs go through the queue in the archive database
  // (tblMoveJobs), where any front of the archive may carry them out and
  // another takes over one whose front stopped; a front holds a job for
  // JobLeaseSeconds at a time and renews it while it works. Anything else,
  // and always on SQLite: the job file for this front's own sender.
  std::string JobQueue;
  int32_t JobLeaseSeconds = 30;
  // How many queued C-MOVE jobs this front carries out at once (0 to 8; 0:
  // it queues its jobs and leaves them to the other fronts).
  int32_t MoveWorkers = 4;

  int32_t AssociationsPerAddress = 8;
  int32_t AssociationsPerAETitle = 16;
  std::vector<std::string> BalancerAddresses;

  // The audit trail: whether records are kept at all, and where the audit
  // messages go ("udp://host:port" or "tls://host:port", a syslog
  // collector; empty: Logs/Audit.log).
  bool Audit = true;
  std::string AuditCollector;

  // Derived: instance AET, else default AET, else "Kelmora2000".
  std::string OwnAET;

  // Either debug switch (default or instance) is on.
  bool AnyDebug() const { return DefaultDebug || Debug; }
};

// The current snapshot; never null (an initial all-empty one before the
// first pass). Safe from any thread.
std::shared_ptr<const Config> Settings();

// Replaces the current snapshot. Safe from any thread.
void PublishSettings(Config config);

// "Software\Tavik\Kelmora\Vantor\" + the instance number chosen from the
// command line text (numeric, blanks trimmed, taken as written; else "01").
std::string InstanceKeyFromCommandLine(const std::string& command_line);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_CONFIG_H_
