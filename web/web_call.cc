#include "web/web_call.h"

namespace vantor::web {

std::string WebCall::Param(std::string_view name) const {
  for (const auto& [key, value] : params)
    if (key == name) return value;
  return "";
}

std::string WebCall::BaseUrl() const {
  const std::string host = request().Header("host");
  const std::string base(kBasePath);
  // A Host header with anything but a name, address and port is not
  // repeated into our answers.
  if (host.empty() || host.size() > 255 ||
      host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                             "0123456789.-:[]") != std::string::npos)
    return base;
  return (request().tls ? "https://" : "http://") + host + base;
}

void AnswerError(HttpExchange& exchange, int status, const std::string& reason,
                 const HttpHeaders& extra) {
  HttpHeaders headers = extra;
  headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  exchange.Respond(status, headers, reason + "\n");
}

}  // namespace vantor::web
