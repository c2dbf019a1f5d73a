#include "dicom/node_registry.h"

#include "host/base/failure.h"
#include "host/base/log.h"

namespace vantor::dicom {

std::string NodeRowStatement(std::string_view aet,
                             std::optional<std::string_view> address,
                             SqlSpelling spelling) {
  const bool upper = spelling == SqlSpelling::kUpperCase;
  std::string sql = upper ? "SELECT * FROM tblDicomAETs WHERE AET = '"
                          : "Select * from tblDicomAETs where AET = '";
  sql += SqlQuote(aet);
  sql += "'";
  if (address) {
    sql += upper ? " AND IPAdress = '" : " And IPAdress = '";
    sql += SqlQuote(*address);
    sql += "'";
  }
  return sql;
}

std::string NodeLookupStatement(const std::string& sCallingAET,
                                const std::string& sIP) {
  return NodeRowStatement(sCallingAET, sIP, SqlSpelling::kMixedCase);
}

int32_t GetAET(Database& db, const std::string& sCallingAET,
               const std::string& sIP, bool& bSiemensBug, bool& bInternalID,
               const Log& log) {
  return Guard(log, "GetAET", kNodeLookupFailed, [&]() -> int32_t {
    const std::string sql = NodeLookupStatement(sCallingAET, sIP);
    log.Debug("Execute: " + sql, "GetAET");
    // Prepared once per connection; the text above is what runs where the
    // driver cannot prepare it.
    ResultSet rs = db.QueryPrepared(
        "Select * from tblDicomAETs where AET = ? And IPAdress = ?",
        {sCallingAET, sIP}, sql);
    if (rs.empty()) return kUnknownNode;
    if (rs.Get(0, "StoreOnly").ToBool()) return kStoreOnlyNode;
    bool siemens = rs.Get(0, "AETSiemens").ToBool();
    bool internal_id = rs.Get(0, "InternalID").ToBool();
    bSiemensBug = siemens;
    bInternalID = internal_id;
    return kKnownNode;
  });
}

}  // namespace vantor::dicom
