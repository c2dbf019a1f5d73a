// A C-FIND, C-GET or C-MOVE on its association: the Request the dispatcher
// answers through.
#ifndef VANTOR_DICOM_QUERY_REQUEST_H_
#define VANTOR_DICOM_QUERY_REQUEST_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <functional>
#include <optional>
#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

class DcmQueryRequest : public Request {
 public:
  // `command` is the received C-FIND-RQ, C-GET-RQ or C-MOVE-RQ; `identifier`
  // is already decoded to UTF-8 and `charset` is the set it arrived in.
  // `on_sub_operations` reports the end of a C-GET sub-operation run.
  DcmQueryRequest(T_ASC_Association* assoc, T_ASC_PresentationContextID pres_id,
                  const T_DIMSE_Message& command, const Connection& connection,
                  Dataset identifier, std::string charset);

  const Connection& connection() const override { return connection_; }
  std::string operation() const override;
  std::string sop_class() const override { return sop_class_; }
  const Dataset& identifier() const override { return identifier_; }
  std::string move_destination() const override;
  bool finished() const override;
  bool cancelled() const override;
  void SendPending(const Dataset& dataset, uint16_t status) override;
  void SendFinal(uint16_t status) override;
  void SendMoveProgress(const SubOperations& counts, int remaining) override;
  void SendMoveFinal(uint16_t status, const SubOperations& counts,
                     int remaining, const std::string& error_comment) override;
  SubOperations SendFiles(const std::vector<std::string>& paths) override;

  // Called by the association after the handler returned: answers a request
  // that the handler left without its final response (FE00 after a cancel,
  // C000 otherwise).
  void EnsureFinal();
  // False once the association is broken.
  bool association_alive() const { return !broken_; }
  // Text of the last sub-operation failure ("" when none).
  const std::string& sub_operation_error() const { return sub_error_; }
  // Whether SendFiles ran, and its counts.
  bool sent_files() const { return sent_files_; }
  const SubOperations& sub_operations() const { return counts_; }
  // The status of the final response once it went out.
  std::optional<uint16_t> final_status() const { return final_status_; }

 private:
  void SendResponse(uint16_t status, DcmDataset* data, bool with_counts,
                    const std::string& error_comment = "");
  bool StoreOne(const std::string& path, std::string& error);

  T_ASC_Association* assoc_;
  T_ASC_PresentationContextID pres_id_;
  T_DIMSE_Message command_;
  Connection connection_;
  Dataset identifier_;
  std::string charset_;
  DIC_US message_id_ = 0;
  std::string sop_class_;
  mutable bool cancelled_ = false;
  mutable bool broken_ = false;
  bool final_sent_ = false;
  int remaining_ = 0;
  SubOperations counts_;
  std::string sub_error_;
  bool sent_files_ = false;
  std::optional<uint16_t> final_status_;
};

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_QUERY_REQUEST_H_
