#include "host/tls_listener.h"

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/tls_settings.h"

namespace vantor {
namespace {
constexpr char kProcedure[] = "TLS";
}  // namespace

void TlsListener::Update(dicom::Server& server) noexcept {
  GuardVoid(kProcedure, [&] {
    auto config = Settings();
    const int wanted = config->TLSPort;
    if (wanted == 0) {
      Close(server);
      return;
    }
    const dicom::TlsFiles files = TlsFilesOf(*config);
    const std::string stamp = TlsFilesStamp(files);
    if (wanted == tried_port_ && stamp == tried_stamp_) return;
    tried_port_ = wanted;
    tried_stamp_ = stamp;
    if (port_ != 0 && port_ != wanted) {
      server.StopListening(port_);
      DebugLogWrite("TLS port " + std::to_string(port_) + " closed", kProcedure);
      port_ = 0;
    }
    const bool renewal = port_ == wanted;
    const std::string port_text = std::to_string(wanted);
    std::string error;
    if (server.ListenTls(wanted, files, error)) {
      port_ = wanted;
      DebugLogWrite(renewal ? "TLS certificate re-read for port " + port_text
                            : "Vantor is listen with TLS on port " + port_text,
                    kProcedure);
    } else if (renewal) {
      ErrorLogWrite(0,
                    "TLS files for port " + port_text +
                        " not re-read, the previous ones stay in use: " + error,
                    kProcedure);
    } else {
      ErrorLogWrite(0, "TLS port " + port_text + " not opened: " + error,
                    kProcedure);
    }
  });
}

void TlsListener::Close(dicom::Server& server) noexcept {
  GuardVoid(kProcedure, [&] {
    tried_port_ = 0;
    tried_stamp_.clear();
    if (port_ == 0) return;
    server.StopListening(port_);
    DebugLogWrite("TLS port " + std::to_string(port_) + " closed", kProcedure);
    port_ = 0;
  });
}

}  // namespace vantor
