#include "host/base/read_reg.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/numeric.h"
#include "host/base/paths.h"
#include "host/base/registry.h"
#include "host/base/tls_settings.h"

namespace vantor {
namespace {

constexpr std::string_view kRoot = "HKLM";
constexpr std::string_view kDefaultKey = "Software\\Tavik\\Kelmora\\ Default";
constexpr int32_t kDefaultDCM = 104;
constexpr int32_t kDefaultUDP = 11111;
constexpr const char* kDefaultAETitle = "Kelmora2000";
constexpr const char* kDefaultTemp = "E:\\Temp\\";
constexpr const char* kDefaultCaption = "Vantor 01";
constexpr const char* kDefaultDateFormat = "YYYYMMDD";
constexpr int32_t kMaxAssociationTimeout = 30;
constexpr int32_t kDefaultIdleTimeout = 120;

// The values of one key, read with the three reading rules.
class KeyReader {
 public:
  KeyReader(const Registry& registry, std::string key)
      : registry_(registry), key_(std::move(key)) {}

  std::string Text(std::string_view name) const {
    return Trim(GetRegValue(registry_, kRoot, key_, name));
  }

  // On when numeric with a whole-number value other than 0.
  bool Switch(std::string_view name) const {
    std::string text = Text(name);
    return IsNumeric(text) && ToInt32(text) != 0;
  }

  int32_t Number(std::string_view name, int32_t fallback) const {
    std::string text = Text(name);
    return IsNumeric(text) ? ToInt32(text) : fallback;
  }

  // A negative number without its sign; the most negative one overflows.
  int32_t AbsoluteNumber(std::string_view name, int32_t fallback) const {
    int32_t n = Number(name, fallback);
    if (n == INT32_MIN) throw Failure(kOverflow, "Overflow");
    return n < 0 ? -n : n;
  }

  int16_t Number16(std::string_view name, int16_t fallback) const {
    std::string text = Text(name);
    return IsNumeric(text) ? ToInt16(text) : fallback;
  }

 private:
  const Registry& registry_;
  std::string key_;
};

// Creates the folder of a directory text when it does not exist; one level
// only, the parent must exist.
void CreateWhenMissing(const std::string& dir_text) {
  std::string path = ToFsPath(dir_text);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return;
  if (::mkdir(path.c_str(), 0755) == 0) return;
  if (errno == ENOENT || errno == ENOTDIR)
    throw Failure(kPathNotFound, "Path not found");
  throw Failure(kPathFileAccessError, "Path/File access error");
}

// A directory text always ends in a separator: "\" is added unless it
// already ends in "\" or "/" (an empty text becomes "\").
std::string WithBackslash(std::string text) {
  if (text.empty() || (text.back() != '\\' && text.back() != '/')) text += '\\';
  return text;
}

void ReadDefaultKey(const KeyReader& key, Config& c) {
  c.DBServer = key.Text("DBServer");
  c.Temp = WithBackslash(key.Text("Temp"));
  CreateWhenMissing(c.Temp);
  c.Unzip = WithBackslash(key.Text("Unzip"));
  CreateWhenMissing(c.Unzip);
  c.Compress = key.Switch("Compress");
  c.DefaultDebug = key.Switch("Debug");
  c.UDP = key.AbsoluteNumber("UDP", kDefaultUDP);
  c.DefaultAET = key.Text("AET");
  if (c.DefaultAET.empty()) c.DefaultAET = kDefaultAETitle;
}

// A list that keeps empty pieces: "CT;;MR" gives three entries.
std::vector<std::string> SplitAtSemicolons(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

// A port is 1 to 65535; anything else is off.
int32_t PortOrOff(const KeyReader& key, std::string_view name) {
  const int32_t n = key.Number(name, 0);
  return n >= 1 && n <= 65535 ? n : 0;
}

// A bound from 1 to `most`; anything else is `fallback`.
int32_t Bounded(const KeyReader& key, std::string_view name, int32_t fallback,
                int32_t most) {
  const int32_t n = key.Number(name, fallback);
  return n >= 1 && n <= most ? n : fallback;
}

void ReadWebSettings(const KeyReader& key, Config& c) {
  c.HTTP = PortOrOff(key, "HTTP");
  c.HTTPS = PortOrOff(key, "HTTPS");
  c.HTTPCredentials = key.Text("HTTPCredentials");
  c.HTTPMaxConnections = Bounded(key, "HTTPMaxConnections", 32, 1024);
  c.HTTPIdleTimeout = Bounded(key, "HTTPIdleTimeout", 60, 3600);
  c.HTTPMaxBodyMB = Bounded(key, "HTTPMaxBodyMB", 4096, 1 << 20);
  c.HealthPort = PortOrOff(key, "HealthPort");
}

// A bound from 0 (none) to `most`; anything else is `fallback`.
int32_t BoundOrNone(const KeyReader& key, std::string_view name,
                    int32_t fallback, int32_t most) {
  const int32_t n = key.Number(name, fallback);
  return n >= 0 && n <= most ? n : fallback;
}

void ReadJobQueue(const KeyReader& key, Config& c) {
  c.JobQueue = Trim(key.Text("JobQueue"));
  for (char& ch : c.JobQueue)
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  c.JobLeaseSeconds = Bounded(key, "JobLeaseSeconds", 30, 3600);
  c.MoveWorkers = BoundOrNone(key, "MoveWorkers", 4, 8);
}

void ReadCallerBounds(const KeyReader& key, Config& c) {
  c.AssociationsPerAddress = BoundOrNone(key, "AssociationsPerAddress", 8, 1024);
  c.AssociationsPerAETitle = BoundOrNone(key, "AssociationsPerAETitle", 16, 1024);
  c.BalancerAddresses.clear();
  for (std::string& address : SplitAtSemicolons(key.Text("BalancerAddresses"))) {
    while (!address.empty() && address.back() == ' ') address.pop_back();
    while (!address.empty() && address.front() == ' ') address.erase(0, 1);
    if (!address.empty()) c.BalancerAddresses.push_back(address);
  }
}

// On unless the value is a whole number 0: a trail nobody switched off.
void ReadAuditSettings(const KeyReader& key, Config& c) {
  const std::string text = key.Text("Audit");
  c.Audit = !(IsNumeric(text) && ToInt32(text) == 0);
  c.AuditCollector = key.Text("AuditCollector");
}

void ReadInstanceKey(const KeyReader& key, Config& c) {
  c.Rename = key.Switch("Rename");
  c.Import = key.Switch("Import");
  c.ImportArchive = key.Text("ImportArchive");
  c.StorageCommitment = key.Switch("StorageCommitment");
  // Once on, dismissal stays on until the process ends.
  if (key.Switch("EnableDismiss")) c.EnableDismiss = true;
  std::string modalities = key.Text("DismissModalities");
  if (modalities.empty()) modalities = "EMPTY";
  c.DismissModalities = SplitAtSemicolons(modalities);
  c.dismiss_list_present = true;
  c.DCM = key.AbsoluteNumber("DCM", kDefaultDCM);
  c.Debug = key.Switch("Debug");
  c.AET = key.Text("AET");
  c.Caption = key.Text("Caption");
  c.CountPatient = key.Switch("CountPatient");
  c.CountStudy = key.Switch("CountStudy");
  c.CountSeries = key.Switch("CountSeries");
  c.StudyStatus = key.Switch("StudyStatus");
  c.Dicomlog = key.Switch("Dicomlog");
  c.Dicomloglength = key.Number("Dicomloglength", 0);
  c.Dicomloglevel = key.Number16("Dicomloglevel", 0);
  // The ARTIM time may be shortened, never lengthened.
  int32_t artim = key.Number("AssociationTimeout", kMaxAssociationTimeout);
  c.AssociationTimeout = artim < 1 || artim > kMaxAssociationTimeout
                             ? kMaxAssociationTimeout
                             : artim;
  int32_t idle = key.Number("IdleTimeout", kDefaultIdleTimeout);
  c.IdleTimeout = idle < 0 ? kDefaultIdleTimeout : idle;
  ReadWebSettings(key, c);
  ReadCallerBounds(key, c);
  ReadJobQueue(key, c);
  ReadAuditSettings(key, c);
  c.EventServers.clear();
  for (const std::string& server :
       SplitAtSemicolons(key.Text("EventServers"))) {
    if (!Trim(server).empty()) c.EventServers.push_back(server);
  }
}

// Runs one fallback step; its errors are ignored.
template <typename F>
void Fallback(F&& step) {
  try {
    step();
  } catch (...) {
  }
}

void ApplyFallbacks(Config& c) {
  Fallback([&] {
    if (c.DCM == 0) c.DCM = kDefaultDCM;
  });
  Fallback([&] {
    if (c.UDP == 0) c.UDP = kDefaultUDP;
  });
  Fallback([&] {
    c.OwnAET = !c.AET.empty()          ? c.AET
               : !c.DefaultAET.empty() ? c.DefaultAET
                                       : kDefaultAETitle;
  });
  Fallback([&] {
    if (c.Temp.empty() || c.Temp == "\\") {
      c.Temp = kDefaultTemp;
      CreateWhenMissing(c.Temp);
    }
  });
  Fallback([&] {
    if (c.Unzip.empty() || c.Unzip == "\\") {
      c.Unzip = c.Temp + "Unzip\\";
      CreateWhenMissing(c.Unzip);
    }
  });
  Fallback([&] {
    if (c.Caption.empty()) c.Caption = kDefaultCaption;
  });
  Fallback([&] {
    if (c.EventServers.empty() && !c.DBServer.empty())
      c.EventServers.push_back(c.DBServer);
  });
}

}  // namespace

void ReadReg() {
  try {
    Config c = *Settings();
    if (c.instance_key.empty()) c.instance_key = InstanceKeyFromCommandLine("");
    Registry registry = Registry::Load(RegistryPath());
    KeyReader default_key(registry, std::string(kDefaultKey));
    KeyReader instance_key(registry, c.instance_key);
    try {
      ReadDefaultKey(default_key, c);
      ReadInstanceKey(instance_key, c);
      ReadTlsSettings(registry, c.instance_key, c);
      // Handlers see the values read so far.
      PublishSettings(c);
      c.DateFormat = instance_key.Text("DateFormat");
      if (c.DateFormat.empty()) c.DateFormat = kDefaultDateFormat;
    } catch (...) {
      // The values not yet read keep the previous pass's contents; the error
      // line goes to the files of the port read so far.
      PublishSettings(c);
      LogCurrentFailure("ReadReg");
    }
    ApplyFallbacks(c);
    PublishSettings(std::move(c));
  } catch (...) {
    LogCurrentFailure("ReadReg");
  }
}

}  // namespace vantor
