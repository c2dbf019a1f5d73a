// The TLS contexts of the toolkit layer: DCMTK's TLS transport layer set up
// for DICOM (TLS 1.2 or newer, the BCP 195 cipher suites) with a node's
// certificate, key and trusted CAs. For the toolkit layer only.
#ifndef VANTOR_DICOM_TLS_CONTEXT_H_
#define VANTOR_DICOM_TLS_CONTEXT_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmtls/tlslayer.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

// A transport layer for `role` (NET_ACCEPTOR or NET_REQUESTOR), or null with
// the reason in `error`. An acceptor needs a certificate and its key; it
// asks for the caller's certificate only with `files.verify_peer`. A
// requester always verifies the peer's certificate (against the system's
// CAs when `files` names none) and presents its own when it has one.
std::shared_ptr<DcmTLSTransportLayer> MakeTlsLayer(T_ASC_NetworkRole role,
                                                   const TlsFiles& files,
                                                   std::string& error);

// "TLSv1.3 TLS_AES_256_GCM_SHA384", followed by the peer certificate's
// subject when there is one, for a connection whose handshake is done.
std::string DescribeTlsSession(const SSL* ssl);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_TLS_CONTEXT_H_
