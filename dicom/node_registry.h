// The node lookup: who may query and retrieve, by AE title and address
// together, against the archive's node table tblDicomAETs.
#ifndef VANTOR_DICOM_NODE_REGISTRY_H_
#define VANTOR_DICOM_NODE_REGISTRY_H_

#include <cstdint>
#include <string>

#include "host/base/database.h"

namespace vantor::dicom {

inline constexpr int32_t kKnownNode = 0;
inline constexpr int32_t kUnknownNode = 1;
inline constexpr int32_t kStoreOnlyNode = 2;
// The lookup itself failed (database down, statement rejected): the caller
// is not let in; the dispatcher answers with a failure status.
inline constexpr int32_t kNodeLookupFailed = 3;

// The statement that finds the node; apostrophes in the values are doubled.
std::string NodeLookupStatement(const std::string& sCallingAET,
                                const std::string& sIP);

// Looks the caller up on `db`. Only the first row counts. For a known node
// sets bSiemensBug and bInternalID from AETSiemens and InternalID (a null
// counts as false); a store-only node leaves them untouched. Failures are
// logged under "GetAET" and give kNodeLookupFailed.
int32_t GetAET(Database& db, const std::string& sCallingAET,
               const std::string& sIP, bool& bSiemensBug, bool& bInternalID);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_NODE_REGISTRY_H_
