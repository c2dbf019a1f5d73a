#include "web/admission.h"

#include "dicom/node_registry.h"
#include "host/base/files.h"
#include "host/base/numeric.h"
#include "host/base/paths.h"
#include "web/credentials.h"

namespace vantor::web {
namespace {

constexpr char kProcedure[] = "WebAdmission";
constexpr size_t kMaxRemembered = 256;

Admission Refuse(int status, std::string reason) {
  Admission a;
  a.status = status;
  a.reason = std::move(reason);
  return a;
}

// The node's rights and flags from its row.
void TakeNodeRow(const ResultSet& rs, size_t row, Caller& caller) {
  caller.aet = Trim(rs.Get(row, "AET").ToText());
  if (rs.Get(row, "StoreOnly").ToBool()) {
    caller.may_store = true;
    return;
  }
  caller.may_read = true;
  caller.may_store = true;
  caller.bSiemensBug = rs.Get(row, "AETSiemens").ToBool();
  caller.bInternalID = rs.Get(row, "InternalID").ToBool();
}

}  // namespace

std::string Caller::Name() const {
  if (!user.empty()) return user + "@" + address;
  return aet + "/" + address;
}

bool IsLoopback(const std::string& address) {
  return address.rfind("127.", 0) == 0 || address == "::1";
}

bool Gate::Verified(const std::string& header, const std::string& hash) {
  MutexLock lock(&mu_);
  auto it = verified_.find(header);
  return it != verified_.end() && it->second == hash;
}

void Gate::Remember(const std::string& header, const std::string& hash) {
  MutexLock lock(&mu_);
  if (verified_.size() >= kMaxRemembered) verified_.clear();
  verified_[header] = hash;
}

Admission Gate::Admit(const HttpRequest& request, const Config& config,
                      Database& db, const Log& log) {
  const std::string authorization = request.Header("authorization");
  if (!authorization.empty()) {
    if (!request.tls && !IsLoopback(request.remote_ip))
      return Refuse(403, "Credentials are taken only over HTTPS or from "
                         "this machine");
    std::string user, password;
    if (!DecodeBasicAuthorization(authorization, user, password))
      return Refuse(401, "Authorization is not HTTP Basic");
    if (config.HTTPCredentials.empty())
      return Refuse(401, "No password file is configured");
    const std::optional<std::string> text =
        TryReadWholeFile(ToFsPath(config.HTTPCredentials));
    if (!text)
      return Refuse(500, "The password file " + config.HTTPCredentials +
                             " cannot be read");
    const Credential* found = nullptr;
    const std::vector<Credential> credentials = ParseCredentials(*text);
    for (const Credential& c : credentials)
      if (c.user == user) found = &c;
    if (found == nullptr)
      return Refuse(401, "Unknown user " + user);
    if (!Verified(authorization, found->hash)) {
      if (!PasswordMatches(password, found->hash))
        return Refuse(401, "Wrong password for " + user);
      Remember(authorization, found->hash);
    }
    Admission a;
    a.caller.user = user;
    a.caller.address = request.remote_ip;
    if (found->aet.empty()) {
      a.caller.may_read = true;
      a.caller.may_store = true;
      return a;
    }
    const std::string sql = dicom::NodeRowStatement(
        found->aet, std::nullopt, dicom::SqlSpelling::kMixedCase);
    log.Debug("Execute: " + sql, kProcedure);
    ResultSet rs = db.Query(sql);
    if (rs.empty())
      return Refuse(403, "The node " + found->aet + " of user " + user +
                             " is not in the node table");
    TakeNodeRow(rs, 0, a.caller);
    return a;
  }
  const std::string sql = "Select * from tblDicomAETs where IPAdress = '" +
                          SqlQuote(request.remote_ip) + "'";
  log.Debug("Execute: " + sql, kProcedure);
  // Prepared once per connection; the text above where it cannot be.
  ResultSet rs = db.QueryPrepared(
      "Select * from tblDicomAETs where IPAdress = ?", {request.remote_ip},
      sql);
  Admission a;
  a.caller.address = request.remote_ip;
  // A node that may read wins over a store-only one at the same address.
  for (size_t i = 0; i < rs.rows.size() && !a.caller.may_read; ++i)
    TakeNodeRow(rs, i, a.caller);
  if (rs.empty()) {
    if (!config.HTTPCredentials.empty())
      return Refuse(401, "Unknown address " + request.remote_ip);
    return Refuse(403, "Unknown address " + request.remote_ip);
  }
  return a;
}

}  // namespace vantor::web
