// The web port of an instance: DICOMweb (QIDO-RS, WADO-RS, STOW-RS) and
// WADO-URI under /dicom-web on the HTTP and HTTPS ports the settings name,
// and the health and metrics pages (web/ops.h) there and on the health
// port.
// Every request takes the settings snapshot once, is let in or turned away
// by the gate, runs on a database connection of its own with the same
// handlers as the DIMSE requests (the front's table), and leaves one line
// in the access log "Web<port>.log".
#ifndef VANTOR_WEB_WEB_PORT_H_
#define VANTOR_WEB_WEB_PORT_H_

#include <memory>
#include <string>

#include "dicom/front.h"
#include "web/admission.h"
#include "web/http/server.h"

namespace vantor::web {

class WebPort {
 public:
  WebPort(dicom::FrontServices services, dicom::SnapshotSource snapshot);
  ~WebPort();
  WebPort(const WebPort&) = delete;
  WebPort& operator=(const WebPort&) = delete;

  // Brings the listeners in line with the current settings (HTTP, HTTPS,
  // the certificate files, the bounds): opens, reopens or closes them.
  // Failures are error-log lines under "WebPort"; a setting that failed is
  // tried again once it changes.
  void Update() noexcept;
  // Stops listening and ends every connection.
  void Close() noexcept;

  // The plain port listening now (0 = none).
  int http_port() const;
  // The health port listening now (0 = none).
  int health_port() const;

  // Serves one request (for the server; public for tests).
  void Serve(HttpExchange& exchange) noexcept;
  // Serves one request on the health port: its pages, nothing else.
  void ServeHealth(HttpExchange& exchange) noexcept;

 private:
  struct State;

  const dicom::FrontServices services_;
  const dicom::SnapshotSource snapshot_;
  Gate gate_;
  std::unique_ptr<State> state_;
};

}  // namespace vantor::web

#endif  // VANTOR_WEB_WEB_PORT_H_
