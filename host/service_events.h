// Wires the toolkit's events to the service's handlers, and the dispatcher
// to the query engine and the retrieval subsystem.
#ifndef VANTOR_HOST_SERVICE_EVENTS_H_
#define VANTOR_HOST_SERVICE_EVENTS_H_

#include <atomic>

#include "dicom/dispatcher.h"
#include "dicom/toolkit/toolkit.h"
#include "import/import_worker.h"
#include "retrieve/commitment_report_queue.h"
#include "retrieve/sender_starter.h"

namespace vantor {

class ServiceEvents : public dicom::ServerEvents {
 public:
  ServiceEvents();

  // dicom::ServerEvents
  void AssociationRequest2(const dicom::Connection& connection,
                           bool& is_ok) override;
  void QueryRequest(dicom::Request& request) override;
  uint16_t ImageReceivedAsync(const dicom::Connection& connection,
                              dicom::ReceivedImage& image) override;
  void VerifyReceived(int32_t& status) override;
  void EventReport(const dicom::Connection& connection, uint16_t event_id,
                   const dicom::Dataset& dataset, uint16_t& status) override;
  bool CommitmentEnabled() override;
  dicom::CommitmentAcceptance CommitmentRequested(
      const dicom::Connection& connection,
      const dicom::CommitmentRequest& request) override;
  dicom::CommitmentOutcome CommitmentDecide(
      const dicom::CommitmentRequest& request) override;
  void CommitmentReportUndelivered(
      const dicom::ReportDestination& destination,
      const dicom::CommitmentReport& report) override;
  void ActionComplete(const dicom::Connection& connection,
                      const std::string& action, bool success,
                      const std::string& error_message) override;
  void InfoMessage(int16_t info_type, const std::string& text) override;

  // From now on, images waiting for disk space are refused instead of held,
  // and C-MOVE requests stop waiting for their senders; the sender started
  // ahead ends; Storage Commitment reports still waiting for their
  // association are given up (and logged).
  void BeginShutdown();

  // Starts the importer's thread (it works while Import is on).
  void StartImporter();

  // Has a sender wait, ready, for the next C-MOVE on the configured
  // database (when none waits yet).
  void PrepareSender();

 private:
  std::atomic<bool> stopping_{false};
  // The dispatcher's work: the query engine and the retrieval subsystem.
  dicom::RequestServices services_;
  SenderStarter senders_;
  ImportWorker importer_;
  // Reports that go on associations of the service's own.
  CommitmentReportQueue reports_;
};

}  // namespace vantor

#endif  // VANTOR_HOST_SERVICE_EVENTS_H_
