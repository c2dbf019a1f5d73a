#include "web/web_port.h"

#include <chrono>
#include <cstdio>

#include "host/base/audit_record.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/tls_settings.h"
#include "web/http/query_string.h"
#include "web/ops.h"
#include "web/qido.h"
#include "web/routes.h"
#include "web/stow.h"
#include "web/wado.h"
#include "web/web_call.h"

namespace vantor::web {
namespace {

constexpr char kProcedure[] = "WebRequest";
constexpr char kPortProcedure[] = "WebPort";

// What the listeners were opened with; a change reopens them.
struct PortSettings {
  int http = 0;
  int https = 0;
  int health = 0;
  HttpLimits limits;
  std::string tls_stamp;

  bool operator==(const PortSettings& o) const {
    return http == o.http && https == o.https && health == o.health &&
           limits.max_connections == o.limits.max_connections &&
           limits.idle_seconds == o.limits.idle_seconds &&
           limits.max_body_bytes == o.limits.max_body_bytes &&
           tls_stamp == o.tls_stamp;
  }
};

PortSettings SettingsOf(const Config& config) {
  PortSettings s;
  s.http = config.HTTP;
  s.https = config.HTTPS;
  // The health port is a port of its own only where the web port does not
  // answer on it already.
  if (config.HealthPort != config.HTTP) s.health = config.HealthPort;
  s.limits.max_connections = config.HTTPMaxConnections;
  s.limits.idle_seconds = config.HTTPIdleTimeout;
  s.limits.io_seconds = std::max(config.HTTPIdleTimeout, 60);
  s.limits.max_body_bytes =
      static_cast<uint64_t>(config.HTTPMaxBodyMB) * 1024 * 1024;
  if (s.https) s.tls_stamp = TlsFilesStamp(TlsFilesOf(config));
  return s;
}

void AccessLine(const Log& log, const HttpRequest& request,
                const std::string& who, int status, uint64_t bytes,
                std::chrono::steady_clock::duration took) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::microseconds>(took).count() /
      1000.0;
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.1f", ms);
  AppendLogFile(log.PortFile("Web"),
                LogLine({request.remote_ip, who, request.method,
                         request.target, std::to_string(status),
                         std::to_string(bytes), elapsed}));
}

// A web request in the audit trail: a search is a query, a retrieval
// transfers the instances of its study (a store is recorded per image by
// the reception itself).
void AuditRequest(const dicom::FrontServices& services, const Route& route,
                  const Caller& caller, const HttpRequest& request,
                  int status, const std::string& wado_study) {
  if (services.audit == nullptr || route.resource == Resource::kStore) return;
  AuditRecord record;
  record.remote_aet = caller.aet;
  record.remote_user = caller.user;
  record.remote_address = caller.address;
  record.outcome = status < 400 ? AuditOutcome::kSuccess
                                : AuditOutcome::kSeriousFailure;
  switch (route.resource) {
    case Resource::kSearchStudies:
    case Resource::kSearchSeries:
    case Resource::kSearchInstances:
      record.event = AuditEvent::kQuery;
      record.query_path = request.path;
      record.query_bytes = request.query;
      break;
    default:
      record.event = AuditEvent::kInstancesTransferred;
      record.action = 'R';
      if (!route.study.empty()) record.studies.push_back({route.study, {}});
      else if (!wado_study.empty()) record.studies.push_back({wado_study, {}});
      break;
  }
  services.audit->Record(std::move(record));
}

// A refused web caller in the audit trail.
void AuditRefusal(const dicom::FrontServices& services, const Caller& caller,
                  const std::string& address, AuditAlert alert,
                  const std::string& text) {
  if (services.audit == nullptr) return;
  AuditRecord record;
  record.event = AuditEvent::kSecurityAlert;
  record.outcome = AuditOutcome::kMinorFailure;
  record.remote_aet = caller.aet;
  record.remote_user = caller.user;
  record.remote_address = address;
  record.alert = alert;
  record.alert_text = text;
  services.audit->Record(std::move(record));
}

}  // namespace

struct WebPort::State {
  Mutex mu;
  std::unique_ptr<HttpServer> server GUARDED_BY(mu);
  // The health port's own listener: the health and metrics pages only.
  std::unique_ptr<HttpServer> health GUARDED_BY(mu);
  int health_port GUARDED_BY(mu) = 0;
  PortSettings open GUARDED_BY(mu);
  PortSettings tried GUARDED_BY(mu);
  int http_port GUARDED_BY(mu) = 0;
};

WebPort::WebPort(dicom::FrontServices services, dicom::SnapshotSource snapshot)
    : services_(std::move(services)),
      snapshot_(std::move(snapshot)),
      state_(std::make_unique<State>()) {}

WebPort::~WebPort() { Close(); }

int WebPort::http_port() const {
  MutexLock lock(&state_->mu);
  return state_->http_port;
}

int WebPort::health_port() const {
  MutexLock lock(&state_->mu);
  return state_->health_port;
}

void WebPort::Update() noexcept {
  GuardVoid(kPortProcedure, [&] {
    const std::shared_ptr<const Config> config = snapshot_();
    const PortSettings wanted = SettingsOf(*config);
    const Log log = Log::Of(*config);
    State& s = *state_;
    MutexLock lock(&s.mu);
    // Unchanged settings: open as they are, or failed and waiting for a
    // change.
    if (wanted == s.tried) return;
    s.tried = wanted;
    if (s.server) {
      s.server->Stop();
      s.server.reset();
      s.http_port = 0;
    }
    if (s.health) {
      s.health->Stop();
      s.health.reset();
      s.health_port = 0;
    }
    if (wanted.health) {
      auto health = std::make_unique<HttpServer>(
          [this](HttpExchange& exchange) { ServeHealth(exchange); },
          [](const std::string&, int, const std::string&) {}, wanted.limits);
      std::string error;
      if (health->Listen(wanted.health, "", error)) {
        s.health_port = health->bound_port();
        s.health = std::move(health);
        log.Debug("Health port listening on HTTP port " +
                      std::to_string(wanted.health),
                  kPortProcedure);
      } else {
        log.Error(0, error, kPortProcedure);
      }
    }
    if (!wanted.http && !wanted.https) return;
    auto server = std::make_unique<HttpServer>(
        [this](HttpExchange& exchange) { Serve(exchange); },
        [this](const std::string& remote, int status,
               const std::string& reason) {
          const Log refused_log = Log::Of(*snapshot_());
          refused_log.Error(0,
                            "Web connection from " + remote + " refused (" +
                                std::to_string(status) + "): " + reason,
                            kPortProcedure);
        },
        wanted.limits);
    std::string error;
    bool any = false;
    if (wanted.http) {
      if (server->Listen(wanted.http, "", error)) {
        any = true;
        s.http_port = server->bound_port();
        log.Debug("Web port listening on HTTP port " +
                      std::to_string(wanted.http),
                  kPortProcedure);
      } else {
        log.Error(0, error, kPortProcedure);
      }
    }
    if (wanted.https) {
      const TlsFiles files = TlsFilesOf(*config);
      if (files.certificate.empty() || files.private_key.empty()) {
        log.Error(0,
                  "HTTPS " + std::to_string(wanted.https) +
                      " needs TLSCertificate and TLSPrivateKey",
                  kPortProcedure);
      } else if (server->ListenTls(wanted.https, "", files, error)) {
        any = true;
        log.Debug("Web port listening on HTTPS port " +
                      std::to_string(wanted.https),
                  kPortProcedure);
      } else {
        log.Error(0, error, kPortProcedure);
      }
    }
    if (any) s.server = std::move(server);
  });
}

void WebPort::Close() noexcept {
  GuardVoid(kPortProcedure, [&] {
    std::unique_ptr<HttpServer> server;
    std::unique_ptr<HttpServer> health;
    {
      MutexLock lock(&state_->mu);
      server = std::move(state_->server);
      health = std::move(state_->health);
      state_->http_port = 0;
      state_->health_port = 0;
      state_->tried = PortSettings{};
    }
    if (server) server->Stop();
    if (health) health->Stop();
  });
}

void WebPort::ServeHealth(HttpExchange& exchange) noexcept {
  const std::shared_ptr<const Config> config = snapshot_();
  if (!IsOpsPath(exchange.request().path)) {
    GuardVoid(kProcedure, [&] {
      exchange.Respond(404, {{"Content-Type", "text/plain"}},
                       "Only /health/live, /health/ready and /metrics here\n");
    });
    return;
  }
  GuardVoid(kProcedure, [&] { ServeOps(exchange, services_, *config); });
}

void WebPort::Serve(HttpExchange& exchange) noexcept {
  const auto started = std::chrono::steady_clock::now();
  const std::shared_ptr<const Config> config = snapshot_();
  const Log log = Log::Of(*config);
  const HttpRequest& request = exchange.request();
  if (IsOpsPath(request.path)) {
    // A balancer's checks come every few seconds: they leave no line in
    // the access log and count nowhere.
    ServeHealth(exchange);
    return;
  }
  Database db(services_.requests.connections);
  dicom::RequestContext context{.config = config, .log = log, .db = db};
  Caller caller;
  caller.address = request.remote_ip;
  GuardWith(
      [&] {
        Route route;
        RouteError route_error;
        if (!ParseRoute(request.method, request.path, route, route_error)) {
          AnswerError(exchange, route_error.status, route_error.reason);
          return;
        }
        std::vector<std::pair<std::string, std::string>> params;
        try {
          params = ParseQueryString(request.query);
        } catch (const Failure& failure) {
          AnswerError(exchange, 400, failure.what());
          return;
        }
        if (!ConOpen(db, config->DBServer, log)) {
          // Nobody is let in without the node table.
          AnswerError(exchange, 503, "The archive database is not reachable");
          return;
        }
        const Admission admission = gate_.Admit(request, *config, db, log);
        if (admission.status != 0) {
          const std::string refusal =
              "Web request from " + request.remote_ip + " refused (" +
              std::to_string(admission.status) + "): " + admission.reason;
          log.Error(0, refusal, kProcedure);
          // A 500 is the service's own failure, not the caller's.
          if (admission.status == 401 || admission.status == 403)
            AuditRefusal(services_, admission.caller, request.remote_ip,
                         AuditAlert::kNodeAuthentication, refusal);
          HttpHeaders extra;
          if (admission.status == 401)
            extra.emplace_back("WWW-Authenticate",
                               "Basic realm=\"Vantor\", charset=\"UTF-8\"");
          AnswerError(exchange, admission.status, admission.reason, extra);
          ConClose(db, log);
          return;
        }
        caller = admission.caller;
        if ((route.reads() && !caller.may_read) ||
            (!route.reads() && !caller.may_store)) {
          const std::string reason =
              route.reads() ? "Unauthorized access from " + caller.Name() +
                                  " (Store Only)"
                            : "Unauthorized store from " + caller.Name();
          log.Error(0, reason, kProcedure);
          AuditRefusal(services_, admission.caller, request.remote_ip,
                       AuditAlert::kRestrictedFunction, reason);
          AnswerError(exchange, 403, reason);
          ConClose(db, log);
          return;
        }
        context.calling_aet = caller.aet;
        context.remote_ip = caller.address;
        context.bSiemensBug = caller.bSiemensBug;
        context.bInternalID = caller.bInternalID;
        WebCall call{exchange, route, caller, context, services_,
                     std::move(params)};
        log.Debug("Web request " + request.method + " " + request.target +
                      " from " + caller.Name(),
                  kProcedure);
        switch (route.resource) {
          case Resource::kSearchStudies:
          case Resource::kSearchSeries:
          case Resource::kSearchInstances:
            SearchQido(call);
            break;
          case Resource::kRetrieve:
            RetrieveInstances(call);
            break;
          case Resource::kMetadata:
            RetrieveMetadata(call);
            break;
          case Resource::kFrames:
            RetrieveFrames(call);
            break;
          case Resource::kRendered:
          case Resource::kThumbnail:
            RetrieveRendered(call);
            break;
          case Resource::kBulkData:
            RetrieveBulkData(call);
            break;
          case Resource::kStore:
            StoreInstances(call);
            break;
          case Resource::kWadoUri:
            RetrieveWadoUri(call);
            break;
        }
        AuditRequest(services_, route, caller, request, exchange.status(),
                     route.resource == Resource::kWadoUri
                         ? call.Param("studyUID")
                         : std::string());
        ConClose(db, log);
      },
      [&](const FailureInfo& failure) {
        log.Error(failure.number,
                  failure.description + " " + kProcedure + " " +
                      request.method + " " + request.target,
                  kProcedure);
        // A failure after the answer began ends the connection instead.
        if (exchange.answered()) exchange.Abort();
        else
          AnswerError(exchange, 500, "The request failed: " + failure.description);
        ConClose(db, log);
      });
  if (services_.metrics)
    services_.metrics->WebAnswered(exchange.status(), exchange.bytes_sent());
  // The status the caller saw, for the access log.
  AccessLine(log, request, caller.aet.empty() && caller.user.empty()
                               ? "-"
                               : (caller.user.empty() ? caller.aet : caller.user),
             exchange.status(), exchange.bytes_sent(),
             std::chrono::steady_clock::now() - started);
}

}  // namespace vantor::web
