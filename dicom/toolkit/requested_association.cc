#include "dicom/toolkit/requested_association.h"

#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/ofstd/ofstd.h>

#include "dicom/toolkit/tls_context.h"

namespace vantor::dicom {

RequestedAssociation::~RequestedAssociation() {
  if (assoc_ != nullptr) {
    if (broken_ || ASC_releaseAssociation(assoc_).bad())
      ASC_abortAssociation(assoc_);
    ASC_destroyAssociation(&assoc_);
  } else if (params_ != nullptr) {
    ASC_destroyAssociationParameters(&params_);
  }
  if (net_ != nullptr) ASC_dropNetwork(&net_);
}

std::string RequestedAssociation::Open(
    const RequestedPeer& peer, const std::vector<ProposedContext>& contexts) {
  // The TCP connect is bounded by the same timeout (the toolkit's default
  // waits as long as the system does).
  dcmConnectionTimeout.set(peer.timeout_seconds);
  OFCondition cond =
      ASC_initializeNetwork(NET_REQUESTOR, 0, peer.timeout_seconds, &net_);
  if (cond.bad()) return cond.text();
  cond = ASC_createAssociationParameters(&params_, ASC_MAXIMUMPDUSIZE);
  if (cond.bad()) return cond.text();
  if (peer.tls) {
    std::string error;
    tls_ = MakeTlsLayer(NET_REQUESTOR, peer.tls_files, error);
    if (!tls_) return "TLS: " + error;
    cond = ASC_setTransportLayer(net_, tls_.get(), 0);
    if (cond.good()) cond = ASC_setTransportLayerType(params_, OFTrue);
    if (cond.bad()) return cond.text();
  }
  ASC_setAPTitles(params_, peer.calling_aet.c_str(), peer.called_aet.c_str(),
                  nullptr);
  const std::string address = peer.address + ":" + std::to_string(peer.port);
  ASC_setPresentationAddresses(params_, OFStandard::getHostName().c_str(),
                               address.c_str());
  T_ASC_PresentationContextID id = 1;
  for (const ProposedContext& context : contexts) {
    std::vector<const char*> syntaxes;
    for (const std::string& s : context.transfer_syntaxes)
      syntaxes.push_back(s.c_str());
    cond = ASC_addPresentationContext(
        params_, id, context.abstract_syntax.c_str(), syntaxes.data(),
        static_cast<int>(syntaxes.size()), context.role);
    if (cond.bad()) return cond.text();
    id += 2;
  }
  cond = ASC_requestAssociation(net_, params_, &assoc_);
  if (cond.bad()) {
    if (cond == DUL_ASSOCIATIONREJECTED) {
      T_ASC_RejectParameters rej;
      ASC_getRejectParameters(params_, &rej);
      OFString text;
      return std::string("association rejected: ") +
             ASC_printRejectParameters(text, &rej).c_str();
    }
    return cond.text();
  }
  if (ASC_countAcceptedPresentationContexts(params_) == 0)
    return "the destination accepted no presentation context";
  return "";
}

}  // namespace vantor::dicom
