// The service's TLS port: opened, renewed and closed by the configuration
// passes to match the TLS settings, beside the plain DCM port.
#ifndef VANTOR_HOST_TLS_LISTENER_H_
#define VANTOR_HOST_TLS_LISTENER_H_

#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor {

class TlsListener {
 public:
  // Brings the server's TLS port in line with the current settings. A port
  // is opened only with a certificate and key that could be read; when the
  // files change (or TLSVerifyPeer does), they are read again and new
  // connections use them, while a renewal that fails keeps the previous
  // ones. A setting that fails is tried again once it changes. Failures are
  // error-log lines under "TLS"; the plain port is never touched.
  void Update(dicom::Server& server) noexcept;

  // Stops listening on the TLS port.
  void Close(dicom::Server& server) noexcept;

  int port() const { return port_; }

 private:
  int port_ = 0;         // the port listening with TLS, 0 = none
  int tried_port_ = 0;   // the settings of the last attempt
  std::string tried_stamp_;
};

}  // namespace vantor

#endif  // VANTOR_HOST_TLS_LISTENER_H_
