// The node lookup: who may query and retrieve, by AE title and address
// together, against the archive's node table tblDicomAETs.
#ifndef VANTOR_DICOM_NODE_REGISTRY_H_
#define VANTOR_DICOM_NODE_REGISTRY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/base/database.h"

namespace vantor::dicom {

inline constexpr int32_t kKnownNode = 0;
inline constexpr int32_t kUnknownNode = 1;
inline constexpr int32_t kStoreOnlyNode = 2;
// The lookup itself failed (database down, statement rejected): the caller
// is not let in; the dispatcher answers with a failure status.
inline constexpr int32_t kNodeLookupFailed = 3;

// How the keywords of a node statement are written. The statements run
// unchanged since their debug-log lines were first read: the node lookup's
// in mixed case, the retrieve commands' in upper case.
enum class SqlSpelling { kMixedCase, kUpperCase };

// The one statement on the node table: every column of the row of `aet`,
// and of `address` too when one is given. Apostrophes in the values are
// doubled.
std::string NodeRowStatement(std::string_view aet,
                             std::optional<std::string_view> address,
                             SqlSpelling spelling);

// The statement that finds a caller's node, by AE title and address.
std::string NodeLookupStatement(const std::string& sCallingAET,
                                const std::string& sIP);

// Looks the caller up on `db`, with the statement prepared once per
// connection (the debug line shows it with the values written in, as it
// runs where the driver cannot prepare it). Only the first row counts. For
// a known node sets bSiemensBug and bInternalID from AETSiemens and
// InternalID (a null counts as false); a store-only node leaves them
// untouched. The statement goes to `log`'s debug log; failures are logged
// there under "GetAET" and give kNodeLookupFailed.
int32_t GetAET(Database& db, const std::string& sCallingAET,
               const std::string& sIP, bool& bSiemensBug, bool& bInternalID,
               const Log& log);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_NODE_REGISTRY_H_
