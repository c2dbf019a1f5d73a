// Whether a C-MOVE destination is sent to over TLS, and with which files.
#ifndef VANTOR_RETRIEVE_SEND_DESTINATION_TLS_H_
#define VANTOR_RETRIEVE_SEND_DESTINATION_TLS_H_

#include <cstdint>
#include <string>

#include "dicom/toolkit/toolkit.h"
#include "host/base/database.h"

namespace vantor {

// Whether the destination's node row (tblDicomAETs, by AE title and IP
// address, the first row) asks for TLS: its UseTLS is true. No row, a null
// and a table without that column all read as false. Throws a Failure when
// the table cannot be read, so that a destination is never sent to in the
// clear for want of an answer.
bool DestinationUsesTls(Database& db, const std::string& aet,
                        const std::string& address);

// The sender's TLS files: the settings of the instance whose DCM port is
// `port`, read from the registry file (none when no instance has it).
dicom::TlsFiles SenderTlsFiles(int32_t port);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_SEND_DESTINATION_TLS_H_
