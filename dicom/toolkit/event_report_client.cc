#include "dicom/toolkit/event_report_client.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>

#include "dicom/toolkit/report_exchange.h"
#include "dicom/toolkit/requested_association.h"
#include "host/base/failure.h"

namespace vantor::dicom {

std::string SendCommitmentReport(const ReportDestination& destination,
                                 const CommitmentReport& report) {
  std::string error = "not sent";
  GuardWith(
      [&] {
        InitializeToolkit();
        RequestedPeer peer;
        peer.address = destination.address;
        peer.port = destination.port;
        peer.called_aet = destination.called_aet;
        peer.calling_aet = destination.calling_aet;
        peer.timeout_seconds = destination.timeout_seconds;
        peer.tls = destination.tls;
        peer.tls_files = destination.tls_files;
        RequestedAssociation assoc;
        error = assoc.Open(peer, {{UID_StorageCommitmentPushModelSOPClass,
                                   {UID_LittleEndianExplicitTransferSyntax,
                                    UID_LittleEndianImplicitTransferSyntax},
                                   ASC_SC_ROLE_SCP}});
        if (!error.empty()) return;
        const T_ASC_PresentationContextID pc_id =
            ASC_findAcceptedPresentationContextID(
                assoc.get(), UID_StorageCommitmentPushModelSOPClass);
        if (pc_id == 0) {
          error = "the node did not accept the Storage Commitment class";
          return;
        }
        ReportExchange exchange = ExchangeReport(
            assoc.get(), pc_id, report, destination.timeout_seconds, {});
        switch (exchange.answer) {
          case ReportAnswer::kAnswered:
            error = exchange.status == kStatusSuccess
                        ? ""
                        : "the node answered " + StatusHex(exchange.status);
            break;
          case ReportAnswer::kReleased:
            ASC_acknowledgeRelease(assoc.get());
            assoc.Abort();
            error = exchange.why;
            break;
          default:
            assoc.Abort();
            error = exchange.why;
            break;
        }
      },
      [&](const FailureInfo& failure) { error = failure.description; });
  return error;
}

}  // namespace vantor::dicom
