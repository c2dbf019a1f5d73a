// An association the service requests of another node: the network, the
// parameters, DICOM over TLS when asked, the proposed contexts and the end
// (release, or abort once broken). For the toolkit layer only.
#ifndef VANTOR_DICOM_REQUESTED_ASSOCIATION_H_
#define VANTOR_DICOM_REQUESTED_ASSOCIATION_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmtls/tlslayer.h>

#include <memory>
#include <string>
#include <vector>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

// The node asked for the association.
struct RequestedPeer {
  std::string address;  // IP address or host name
  int32_t port = 0;
  std::string called_aet;
  std::string calling_aet;
  // Seconds for the TCP connect, the association and each DIMSE answer.
  int timeout_seconds = 60;
  // DICOM over TLS, the peer's certificate verified against the CAs of
  // `tls_files` (which may also hold our own certificate and key).
  bool tls = false;
  TlsFiles tls_files;
};

// One presentation context to propose. `role` ASC_SC_ROLE_SCP proposes
// SCP/SCU role selection in which we, the requester, are the SCP.
struct ProposedContext {
  std::string abstract_syntax;
  std::vector<std::string> transfer_syntaxes;
  T_ASC_SC_ROLE role = ASC_SC_ROLE_DEFAULT;
};

class RequestedAssociation {
 public:
  RequestedAssociation() = default;
  // Releases the association (aborts it once Abort was called or the
  // release fails) and drops the network.
  ~RequestedAssociation();
  RequestedAssociation(const RequestedAssociation&) = delete;
  RequestedAssociation& operator=(const RequestedAssociation&) = delete;

  // Requests the association with `contexts` (IDs 1, 3, 5, ... in order).
  // Returns "" when it came about with at least one context accepted, else
  // what went wrong. REQUIRES: called once.
  std::string Open(const RequestedPeer& peer,
                   const std::vector<ProposedContext>& contexts);

  // Ends the association with an A-ABORT rather than a release.
  void Abort() { broken_ = true; }

  // The association; null until Open succeeded.
  T_ASC_Association* get() const { return assoc_; }

 private:
  // Outlives the network that uses it.
  std::shared_ptr<DcmTLSTransportLayer> tls_;
  T_ASC_Network* net_ = nullptr;
  T_ASC_Parameters* params_ = nullptr;
  T_ASC_Association* assoc_ = nullptr;
  bool broken_ = false;
};

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_REQUESTED_ASSOCIATION_H_
