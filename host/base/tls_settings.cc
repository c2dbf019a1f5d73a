#include "host/base/tls_settings.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "host/base/numeric.h"
#include "host/base/paths.h"

namespace vantor {
namespace {

constexpr std::string_view kRoot = "HKLM";
constexpr std::string_view kInstanceParent = "Software\\Tavik\\Kelmora\\Vantor";
constexpr int32_t kDefaultDCM = 104;

std::string FileStamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return path + " missing;";
  return path + " " + std::to_string(st.st_size) + " " +
         std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec) + ";";
}

std::string FolderStamp(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::string stamp = folder + "/:";
  for (const std::string& name : names) stamp += FileStamp(folder + "/" + name);
  return stamp;
}

}  // namespace

void ReadTlsSettings(const Registry& registry, std::string_view instance_key,
                     Config& config) {
  auto text = [&](std::string_view name) {
    return Trim(GetRegValue(registry, kRoot, instance_key, name));
  };
  const std::string port = text("TLSPort");
  int32_t n = IsNumeric(port) ? ToInt32(port) : 0;
  config.TLSPort = n >= 1 && n <= 65535 ? n : 0;
  config.TLSCertificate = text("TLSCertificate");
  config.TLSPrivateKey = text("TLSPrivateKey");
  config.TLSCACertificates = text("TLSCACertificates");
  const std::string verify = text("TLSVerifyPeer");
  config.TLSVerifyPeer = IsNumeric(verify) && ToInt32(verify) != 0;
}

TlsFiles TlsFilesOf(const Config& config) {
  TlsFiles files;
  auto path = [](const std::string& text) {
    return text.empty() ? std::string() : ToFsPath(text);
  };
  files.certificate = path(config.TLSCertificate);
  files.private_key = path(config.TLSPrivateKey);
  files.ca_certificates = path(config.TLSCACertificates);
  // A folder written with its separator at the end names the same folder.
  while (files.ca_certificates.size() > 1 &&
         files.ca_certificates.back() == '/')
    files.ca_certificates.pop_back();
  files.verify_peer = config.TLSVerifyPeer;
  return files;
}

std::string TlsFilesStamp(const TlsFiles& files) {
  std::string stamp = files.verify_peer ? "verify;" : "no verify;";
  if (!files.certificate.empty()) stamp += FileStamp(files.certificate);
  if (!files.private_key.empty()) stamp += FileStamp(files.private_key);
  if (!files.ca_certificates.empty()) {
    struct stat st {};
    if (::stat(files.ca_certificates.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      stamp += FolderStamp(files.ca_certificates);
    else
      stamp += FileStamp(files.ca_certificates);
  }
  return stamp;
}

std::optional<std::string> InstanceKeyForPort(const Registry& registry,
                                              int32_t port) {
  const std::string parent = "HKEY_LOCAL_MACHINE\\" + std::string(kInstanceParent);
  for (const std::string& name : registry.SubKeys(parent)) {
    const std::string key = std::string(kInstanceParent) + "\\" + name;
    const std::string dcm = Trim(GetRegValue(registry, kRoot, key, "DCM"));
    int32_t n = IsNumeric(dcm) ? ToInt32(dcm) : kDefaultDCM;
    if (n < 0) n = -n;
    if (n == 0) n = kDefaultDCM;
    if (n == port) return key;
  }
  return std::nullopt;
}

}  // namespace vantor
