// The pages a balancer and a monitoring system ask for, on the web port and
// on the health port: /health/live (the process answers), /health/ready
// (it may be given work: its DICOM port listens, the archive database
// answers, the incoming folder has room) and /metrics (the service's
// counters in the Prometheus text format). None needs a caller's
// credentials: they name no patient and no study.
#ifndef VANTOR_WEB_OPS_H_
#define VANTOR_WEB_OPS_H_

#include <string_view>

#include "dicom/front.h"
#include "host/base/config.h"
#include "web/http/server.h"

namespace vantor::web {

// Whether `path` names one of these pages.
bool IsOpsPath(std::string_view path);

// Answers the request for one of these pages (GET only; another method is
// answered 405).
void ServeOps(HttpExchange& exchange, const dicom::FrontServices& services,
              const Config& config);

}  // namespace vantor::web

#endif  // VANTOR_WEB_OPS_H_
