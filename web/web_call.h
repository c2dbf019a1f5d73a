// One DICOMweb request as its handler sees it: the exchange, the route, the
// caller, the query parameters, and the request's context (the settings
// snapshot, its log, the request's own database connection), the same
// context the DIMSE queries run with.
#ifndef VANTOR_WEB_WEB_CALL_H_
#define VANTOR_WEB_WEB_CALL_H_

#include <string>
#include <utility>
#include <vector>

#include "dicom/front.h"
#include "dicom/request_context.h"
#include "web/admission.h"
#include "web/http/server.h"
#include "web/routes.h"

namespace vantor::web {

struct WebCall {
  HttpExchange& exchange;
  const Route& route;
  const Caller& caller;
  const dicom::RequestContext& context;
  const dicom::FrontServices& services;
  std::vector<std::pair<std::string, std::string>> params;

  const HttpRequest& request() const { return exchange.request(); }
  // The first query parameter of that name; "" when absent.
  std::string Param(std::string_view name) const;
  // "http://host/dicom-web" as the caller reached us (from Host).
  std::string BaseUrl() const;
};

// An answer without content: the status and its reason as plain text.
void AnswerError(HttpExchange& exchange, int status, const std::string& reason,
                 const HttpHeaders& extra = {});

}  // namespace vantor::web

#endif  // VANTOR_WEB_WEB_CALL_H_
