// The TLS settings of an instance: reading them from its key, the files they
// name on this file system, and a stamp that tells when those files changed.
#ifndef VANTOR_HOST_BASE_TLS_SETTINGS_H_
#define VANTOR_HOST_BASE_TLS_SETTINGS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/base/config.h"
#include "host/base/registry.h"

namespace vantor {

// The files of a TLS end point, as paths of this file system.
struct TlsFiles {
  std::string certificate;      // PEM; empty: none
  std::string private_key;      // PEM; empty: none
  std::string ca_certificates;  // a PEM bundle or a folder; empty: none
  // As acceptor: a caller must present a certificate the CAs vouch for.
  // As requester the peer's certificate is always verified.
  bool verify_peer = false;
};

// Reads TLSPort, TLSCertificate, TLSPrivateKey, TLSCACertificates and
// TLSVerifyPeer of `instance_key` (under HKLM) into `config`. A port that
// is missing, not numeric, 0 or outside 1 to 65535 is 0 (no TLS listener).
void ReadTlsSettings(const Registry& registry, std::string_view instance_key,
                     Config& config);

// The files the settings name, translated like every other path setting.
TlsFiles TlsFilesOf(const Config& config);

// Changes whenever a file of `files` is replaced, rewritten or touched, or
// a certificate enters or leaves the CA folder: the paths with the size and
// modification time of each file (and of each file in a CA folder).
std::string TlsFilesStamp(const TlsFiles& files);

// The instance key ("Software\Tavik\Kelmora\Vantor\<n>") whose DCM port is
// `port` (a key without DCM has the default 104), for a program that knows
// the port only; the first in key order when several match.
std::optional<std::string> InstanceKeyForPort(const Registry& registry,
                                              int32_t port);

}  // namespace vantor

#endif  // VANTOR_HOST_BASE_TLS_SETTINGS_H_
