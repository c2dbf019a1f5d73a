#include "web/ops.h"

#include <string>

#include "host/base/failure.h"

namespace vantor::web {
namespace {

constexpr std::string_view kLive = "/health/live";
constexpr std::string_view kReady = "/health/ready";
constexpr std::string_view kMetrics = "/metrics";

void Text(HttpExchange& exchange, int status, std::string body) {
  exchange.Respond(status,
                   {{"Content-Type", "text/plain; charset=utf-8"},
                    {"Cache-Control", "no-store"}},
                   std::move(body));
}

}  // namespace

bool IsOpsPath(std::string_view path) {
  return path == kLive || path == kReady || path == kMetrics;
}

void ServeOps(HttpExchange& exchange, const dicom::FrontServices& services,
              const Config& config) {
  const HttpRequest& request = exchange.request();
  if (request.method != "GET") {
    exchange.Respond(405, {{"Allow", "GET"}, {"Content-Type", "text/plain"}},
                     "Only GET is served here\n");
    return;
  }
  if (request.path == kLive) {
    Text(exchange, 200, "live\n");
    return;
  }
  if (request.path == kReady) {
    // Anything that keeps the check from finishing is a reason not to be
    // ready, never a failed answer.
    const std::string why = services.NotReady
                                ? Guard("HealthReady", std::string("the check failed"),
                                        [&] { return services.NotReady(config); })
                                : std::string();
    if (why.empty()) Text(exchange, 200, "ready\n");
    else Text(exchange, 503, "not ready: " + why + "\n");
    return;
  }
  if (!services.metrics) {
    Text(exchange, 404, "No metrics here\n");
    return;
  }
  exchange.Respond(200,
                   {{"Content-Type", "text/plain; version=0.0.4; charset=utf-8"},
                    {"Cache-Control", "no-store"}},
                   services.metrics->Page());
}

}  // namespace vantor::web
