#include "dicom/node_registry.h"

#include "host/base/failure.h"
#include "host/base/log.h"

namespace vantor::dicom {

std::string NodeLookupStatement(const std::string& sCallingAET,
                                const std::string& sIP) {
  return "Select * from tblDicomAETs where AET = '" + SqlQuote(sCallingAET) +
         "' And IPAdress = '" + SqlQuote(sIP) + "'";
}

int32_t GetAET(Database& db, const std::string& sCallingAET,
               const std::string& sIP, bool& bSiemensBug, bool& bInternalID) {
  return Guard("GetAET", kNodeLookupFailed, [&]() -> int32_t {
    const std::string sql = NodeLookupStatement(sCallingAET, sIP);
    DebugLogWrite("Execute: " + sql, "GetAET");
    ResultSet rs = db.Query(sql);
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
