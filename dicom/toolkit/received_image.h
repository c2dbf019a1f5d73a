// An image received by C-STORE, held in memory until the handler writes it.
#ifndef VANTOR_DICOM_RECEIVED_IMAGE_H_
#define VANTOR_DICOM_RECEIVED_IMAGE_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <memory>
#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

class DcmReceivedImage : public ReceivedImage {
 public:
  // Takes over `dataset`, which arrived in `transfer_syntax_uid`.
  DcmReceivedImage(std::unique_ptr<DcmDataset> dataset,
                   std::string transfer_syntax_uid);

  std::string PatientID() const override;
  std::string PatientName() const override;
  std::string StudyInstanceUID() const override;
  std::string SeriesInstanceUID() const override;
  std::string SOPInstanceUID() const override;
  std::string SOPClassUID() const override;
  void SetSOPClassUID(const std::string& uid) override;
  std::string TransferSyntaxUID() const override;
  const Dataset& Attributes() const override;
  void WriteFile(const std::string& path, bool part10,
                 const std::string& transfer_syntax_uid) override;

 private:
  std::unique_ptr<DcmDataset> dataset_;
  std::string transfer_syntax_uid_;
  mutable std::unique_ptr<Dataset> attributes_;  // built on first use
};

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_RECEIVED_IMAGE_H_
