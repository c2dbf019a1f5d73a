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
  // Removes the file it was received into unless that became the image.
  ~DcmReceivedImage() override;

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
  friend std::unique_ptr<DcmReceivedImage> LoadReceivedFile(
      const std::string&, size_t, const std::string&, const std::string&,
      const std::string&, std::string&);

  // Writes the received file's explicit little endian dataset to `path` as
  // implicit little endian without decoding it; false (and no file) when
  // it holds what only the encoder handles. Throws a Failure when the file
  // cannot be written.
  bool RewriteAsImplicitFile(const std::string& path);

  std::unique_ptr<DcmDataset> dataset_;
  std::string transfer_syntax_uid_;
  mutable std::unique_ptr<Dataset> attributes_;  // built on first use
  // The file the image was received into, whole Part 10 as it is to be
  // stored when `as_received_` holds.
  std::string file_;
  size_t dataset_offset_ = 0;  // where the dataset starts in it
  bool as_received_ = false;
};

// The preamble and meta header of a Part 10 file of `sop_class` and
// `sop_instance` in `transfer_syntax`, as the file writer makes them.
// Throws a Failure when they cannot make one.
std::string Part10MetaHeader(const std::string& sop_class,
                             const std::string& sop_instance,
                             const std::string& transfer_syntax);

// The image received into the file at `path`: its dataset as it arrived in
// `transfer_syntax` from `dataset_offset` on, behind the meta header
// Part10MetaHeader made of the command's `sop_class` and `sop_instance`. Its values are read up to 4 KB
// (longer ones from the file when the image is written) and its text
// decoded to UTF-8. The file becomes the image (linked) when it is
// written as Part 10 in the syntax it arrived in, nothing in it was
// changed, its dataset names the command's class and instance and needs no
// change of character set; such an image in explicit little endian written
// as implicit little endian has only its element headers rewritten.
// Otherwise the image is encoded as any other.
// Returns nullptr with the reason in `why` when the dataset does not parse;
// the file is removed then and with the image.
std::unique_ptr<DcmReceivedImage> LoadReceivedFile(
    const std::string& path, size_t dataset_offset,
    const std::string& transfer_syntax,
    const std::string& sop_class, const std::string& sop_instance,
    std::string& why);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_RECEIVED_IMAGE_H_
