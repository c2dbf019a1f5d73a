#include "host/service_events.h"

#include <signal.h>
#include <unistd.h>

#include "dicom/association.h"
#include "dicom/toolkit/event_report_client.h"
#include "dicom/events.h"
#include "host/base/config.h"
#include "host/base/log.h"
#include "host/base/paths.h"
#include "query/image_query.h"
#include "query/patient_query.h"
#include "query/series_query.h"
#include "query/study_query.h"
#include "retrieve/cget_files.h"
#include "retrieve/event_report.h"
#include "retrieve/move_handoff.h"
#include "retrieve/storage_commitment.h"
#include "retrieve/store/image_reception.h"

namespace vantor {

ServiceEvents::ServiceEvents()
    : importer_(&Settings), reports_(&dicom::SendCommitmentReport) {
  services_.GetPatientData = &GetPatientData;
  services_.GetStudyData = &GetStudyData;
  services_.GetSeriesData = &GetSeriesData;
  services_.GetImageData = &GetImageData;
  services_.PrepareSendCGet = &PrepareSendCGet;
  services_.ImagePrepareForSend =
      [this](const dicom::RequestContext& context,
             const dicom::Dataset& identifier, const std::string& address,
             int32_t port, const std::string& calling_aet) {
        return ImagePrepareForSend(context, identifier, address, port,
                                   calling_aet, &senders_);
      };
  services_.Stopping = [this] { return stopping_.load(); };
  // The main loop treats this like a close request.
  services_.EndService = [] { ::kill(::getpid(), SIGTERM); };
}

void ServiceEvents::BeginShutdown() {
  stopping_ = true;
  senders_.Shutdown();
  importer_.Stop();
  reports_.Shutdown();
}

void ServiceEvents::StartImporter() { importer_.Start(); }

void ServiceEvents::PrepareSender() {
  if (stopping_) return;
  senders_.Prepare(InProgramDir("vantor-send"), Settings()->DBServer);
}

void ServiceEvents::AssociationRequest2(const dicom::Connection& connection,
                                        bool& is_ok) {
  dicom::DCMServer_AssociationRequest2(*Settings(), connection, is_ok);
}

void ServiceEvents::QueryRequest(dicom::Request& request) {
  dicom::DCMServer_QueryRequest(request, services_);
}

uint16_t ServiceEvents::ImageReceivedAsync(const dicom::Connection& connection,
                                           dicom::ReceivedImage& image) {
  std::shared_ptr<const Config> config = Settings();
  const uint16_t status = DCMServer_ImageReceivedAsync(
      *config, connection, image, [this] { return stopping_.load(); });
  // A dismissed image is answered with success too; the importer finds no
  // file for it and lets it be.
  if (status == dicom::kStatusSuccess && config->Import)
    importer_.Notify(image.SOPInstanceUID());
  return status;
}

void ServiceEvents::VerifyReceived(int32_t& status) {
  dicom::DCMServer_VerifyReceived(status);
}

void ServiceEvents::EventReport(const dicom::Connection& connection,
                                uint16_t event_id,
                                const dicom::Dataset& dataset,
                                uint16_t& status) {
  DCMServer_EventReport(*Settings(), connection, event_id, dataset, status);
}

bool ServiceEvents::CommitmentEnabled() {
  return Settings()->StorageCommitment;
}

dicom::CommitmentAcceptance ServiceEvents::CommitmentRequested(
    const dicom::Connection& connection,
    const dicom::CommitmentRequest& request) {
  return AcceptCommitmentRequest(*Settings(), connection, request);
}

dicom::CommitmentOutcome ServiceEvents::CommitmentDecide(
    const dicom::CommitmentRequest& request) {
  return DecideCommitment(*Settings(), request);
}

void ServiceEvents::CommitmentReportUndelivered(
    const dicom::ReportDestination& destination,
    const dicom::CommitmentReport& report) {
  reports_.Add(destination, report);
}

void ServiceEvents::ActionComplete(const dicom::Connection& connection,
                                   const std::string& action, bool success,
                                   const std::string& error_message) {
  dicom::DCMServer_ActionComplete(*Settings(), connection, action, success,
                                  error_message);
}

void ServiceEvents::InfoMessage(int16_t info_type, const std::string& text) {
  dicom::DCMServer_InfoMessage(*Settings(), info_type, text);
}

}  // namespace vantor
