#include "retrieve/store/check_sop.h"

#include <cctype>

#include "host/base/failure.h"
#include "host/base/text.h"

namespace vantor {
namespace {

constexpr char kSecondaryCapture[] = "1.2.840.10008.5.1.4.1.1.7";

}  // namespace

std::string SOPClassForModality(std::string_view modality) {
  if (modality == "CT") return "1.2.840.10008.5.1.4.1.1.2";
  if (modality == "MR") return "1.2.840.10008.5.1.4.1.1.4";
  if (modality == "US") return "1.2.840.10008.5.1.4.1.1.6.1";
  if (modality == "CR" || modality == "DR") return "1.2.840.10008.5.1.4.1.1.1";
  return kSecondaryCapture;
}

bool CheckSOP(dicom::ReceivedImage& Img) noexcept {
  // A class that cannot be read or set is left as it is, without a log line.
  GuardWith(
      [&] {
        if (!Img.SOPClassUID().empty()) return;
        Value modality = Img.Attributes().Get(0x0008, 0x0060);
        Img.SetSOPClassUID(modality.IsNull() ? std::string(kSecondaryCapture)
                                             : SOPClassForModality(UpperCase(
                                                   modality.ToText())));
      },
      [](const FailureInfo&) {});
  return true;
}

}  // namespace vantor
