// A received image without DCMTK behind it, for the reception handler's
// tests: its identifying values are attributes of a plain Dataset, and
// WriteFile writes the syntax it was asked for as the file's text.
#ifndef VANTOR_TESTS_SUPPORT_FAKE_RECEIVED_IMAGE_H_
#define VANTOR_TESTS_SUPPORT_FAKE_RECEIVED_IMAGE_H_

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "dicom/toolkit/toolkit.h"
#include "host/base/failure.h"

namespace vantor {

class FakeReceivedImage : public dicom::ReceivedImage {
 public:
  struct Write {
    std::string path;
    bool part10;
    std::string syntax;
  };

  FakeReceivedImage() {
    attributes.Put(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2");
    attributes.Put(0x0008, 0x0018, "1.2.3.4.5");
    attributes.Put(0x0008, 0x0060, "CT");
    attributes.Put(0x0010, 0x0010, "Meyer^Anna");
    attributes.Put(0x0010, 0x0020, "P1");
    attributes.Put(0x0020, 0x000D, "1.2.3");
    attributes.Put(0x0020, 0x000E, "1.2.3.4");
  }

  std::string PatientID() const override { return Text(0x0010, 0x0020); }
  std::string PatientName() const override { return Text(0x0010, 0x0010); }
  std::string StudyInstanceUID() const override { return Text(0x0020, 0x000D); }
  std::string SeriesInstanceUID() const override {
    return Text(0x0020, 0x000E);
  }
  std::string SOPInstanceUID() const override { return Text(0x0008, 0x0018); }
  std::string SOPClassUID() const override { return Text(0x0008, 0x0016); }
  void SetSOPClassUID(const std::string& uid) override {
    if (fail_set_class) throw Failure(kInvalidProcedureCall, "cannot set");
    attributes.Put(0x0008, 0x0016, uid);
  }
  std::string TransferSyntaxUID() const override { return arrived_in; }
  const dicom::Dataset& Attributes() const override { return attributes; }
  bool CanWriteIn(const std::string& uid) const {
    return uid == arrived_in || convertible.count(uid) != 0;
  }
  void WriteFile(const std::string& path, bool part10,
                 const std::string& uid) override {
    writes.push_back({path, part10, uid});
    std::ofstream(path, std::ios::binary | std::ios::trunc) << uid;
    if (fail_write)
      throw Failure(kPathFileAccessError, "Path/File access error");
    if (!CanWriteIn(uid))
      throw Failure(kInvalidProcedureCall, "no codec for " + uid);
  }

  dicom::Dataset attributes;
  std::string arrived_in = "1.2.840.10008.1.2.1";
  // Syntaxes besides the arrival's that the image can be converted to;
  // writing in any other fails like a missing codec.
  std::set<std::string> convertible = {"1.2.840.10008.1.2",
                                       "1.2.840.10008.1.2.4.70"};
  bool fail_write = false;  // every write fails, leaving a partial file
  bool fail_set_class = false;
  std::vector<Write> writes;

 private:
  std::string Text(uint16_t group, uint16_t element) const {
    return attributes.GetText(group, element);
  }
};

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_FAKE_RECEIVED_IMAGE_H_
