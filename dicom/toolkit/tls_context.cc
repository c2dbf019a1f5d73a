#include "dicom/toolkit/tls_context.h"

#include <dirent.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace vantor::dicom {
namespace {

// The file can be opened for reading; else the reason.
std::string Unreadable(const std::string& what, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    return what + " " + path + " cannot be read: " + std::strerror(errno);
  std::fclose(f);
  return "";
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The certificate files of a CA folder: *.pem, *.crt, *.cer and the hashed
// names (<hash>.0) that OpenSSL's own tools make.
std::vector<std::string> FolderCertificates(const std::string& folder) {
  std::vector<std::string> files;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return files;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    const size_t dot = name.rfind('.');
    const bool hashed =
        dot != std::string::npos && dot + 1 < name.size() &&
        std::all_of(name.begin() + static_cast<ptrdiff_t>(dot) + 1, name.end(),
                    [](char c) { return c >= '0' && c <= '9'; });
    if (name.ends_with(".pem") || name.ends_with(".crt") ||
        name.ends_with(".cer") || hashed)
      files.push_back(folder + "/" + name);
  }
  ::closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

// Adds the trusted CAs; "" or what went wrong.
std::string AddTrustedCertificates(DcmTLSTransportLayer& layer,
                                   const std::string& cas) {
  if (IsDirectory(cas)) {
    std::vector<std::string> files = FolderCertificates(cas);
    if (files.empty())
      return "the CA folder " + cas + " holds no certificate";
    for (const std::string& file : files) {
      OFCondition cond =
          layer.addTrustedCertificateFile(file.c_str(), DCF_Filetype_PEM);
      if (cond.bad())
        return "CA certificate " + file + " not usable: " + cond.text();
    }
    return "";
  }
  std::string why = Unreadable("CA certificates", cas);
  if (!why.empty()) return why;
  OFCondition cond =
      layer.addTrustedCertificateFile(cas.c_str(), DCF_Filetype_PEM);
  if (cond.bad()) return "CA certificates " + cas + " not usable: " + cond.text();
  return "";
}

}  // namespace

std::shared_ptr<DcmTLSTransportLayer> MakeTlsLayer(T_ASC_NetworkRole role,
                                                   const TlsFiles& files,
                                                   std::string& error) {
  static std::once_flag openssl_ready;
  std::call_once(openssl_ready,
                 [] { DcmTLSTransportLayer::initializeOpenSSL(); });
  auto fail = [&](const std::string& why) {
    error = why;
    return std::shared_ptr<DcmTLSTransportLayer>();
  };
  const bool acceptor = role == NET_ACCEPTOR;
  const bool own_identity =
      !files.certificate.empty() || !files.private_key.empty();
  if (acceptor && (files.certificate.empty() || files.private_key.empty()))
    return fail("TLS needs a certificate and its private key");
  auto layer = std::make_shared<DcmTLSTransportLayer>(role, nullptr, OFFalse);
  if (!*layer) return fail("the TLS library could not be set up");

  OFCondition cond = layer->setTLSProfile(TSP_Profile_BCP195_ND);
  if (cond.good()) cond = layer->activateCipherSuites();
  if (cond.bad()) return fail(std::string("TLS profile: ") + cond.text());
  SSL_CTX* ctx = layer->getNativeHandle();
  // TLS 1.2 and 1.3 only, whatever the profile would fall back to.
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);

  if (own_identity) {
    if (files.certificate.empty() || files.private_key.empty())
      return fail("a TLS certificate needs its private key and the key its "
                  "certificate");
    std::string why = Unreadable("TLS certificate", files.certificate);
    if (why.empty()) why = Unreadable("TLS private key", files.private_key);
    if (!why.empty()) return fail(why);
    cond = layer->setPrivateKeyFile(files.private_key.c_str(),
                                    DCF_Filetype_PEM);
    if (cond.bad())
      return fail("TLS private key " + files.private_key +
                  " not usable: " + cond.text());
    cond = layer->setCertificateFile(files.certificate.c_str(),
                                     DCF_Filetype_PEM);
    if (cond.bad())
      return fail("TLS certificate " + files.certificate +
                  " not usable: " + cond.text());
    if (!layer->checkPrivateKeyMatchesCertificate())
      return fail("the TLS private key " + files.private_key +
                  " does not belong to the certificate " + files.certificate);
  }

  if (!files.ca_certificates.empty()) {
    std::string why = AddTrustedCertificates(*layer, files.ca_certificates);
    if (!why.empty()) return fail(why);
  } else if (!acceptor) {
    SSL_CTX_set_default_verify_paths(ctx);
  }
  if (acceptor) {
    layer->setCertificateVerification(files.verify_peer ? DCV_requireCertificate
                                                        : DCV_ignoreCertificate);
  } else {
    layer->setCertificateVerification(DCV_requireCertificate);
  }
  ERR_clear_error();
  error.clear();
  return layer;
}

std::string DescribeTlsSession(const SSL* ssl) {
  if (ssl == nullptr) return "";
  std::string text = SSL_get_version(ssl);
  if (const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl))
    text += std::string(" ") + SSL_CIPHER_get_name(cipher);
  if (X509* peer = SSL_get1_peer_certificate(ssl)) {
    char subject[256] = "";
    X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
    X509_free(peer);
    text += std::string(" ") + subject;
  }
  return text;
}

}  // namespace vantor::dicom
