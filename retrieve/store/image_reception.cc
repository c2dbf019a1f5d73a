#include "retrieve/store/image_reception.h"

#include <cctype>
#include <memory>

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/numeric.h"
#include "host/base/paths.h"
#include "host/base/text.h"
#include "retrieve/store/check_sop.h"
#include "retrieve/store/incoming_files.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "ImageReceivedAsync";
constexpr char kReceiveLog[] = "Receive.log";

// A received text as it may appear in a log line: control characters
// become "?".
std::string Printable(std::string_view text) {
  std::string out(text.substr(0, 100));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

// Writes the image in `syntax`, or in the syntax it arrived in when it
// cannot be converted (no codec for it, or one that refuses the image): no
// image is lost for that reason.
void WriteImage(const Log& log, dicom::ReceivedImage& Img,
                const std::string& path, const std::string& syntax) {
  const std::string arrived = Img.TransferSyntaxUID();
  if (syntax == arrived) {
    Img.WriteFile(path, true, syntax);
    return;
  }
  bool written = false;
  GuardWith(
      [&] {
        Img.WriteFile(path, true, syntax);
        written = true;
      },
      [&](const FailureInfo& info) {
        log.Debug("Image " + Img.SOPInstanceUID() + " cannot be written in " +
                      syntax + " (" + info.description + "), written in " +
                      arrived,
                  kProcedure);
      });
  if (!written) Img.WriteFile(path, true, arrived);
}

}  // namespace

std::string ChooseTransferSyntax(bool Compress,
                                 const dicom::Dataset& attributes) {
  if (Compress) return kJpegLosslessSyntax;
  if (attributes.Has(0x0008, 0x0060) &&
      UpperCase(attributes.GetText(0x0008, 0x0060)) == "PV")
    return kMpeg2Syntax;
  return kImplicitLittleEndianSyntax;
}

bool IsModalityDismissed(std::string_view Modality,
                         const std::vector<std::string>& DismissModalities) {
  for (const std::string& entry : DismissModalities)
    if (EqualsIgnoringCase(entry, Modality)) return true;
  return false;
}

std::vector<std::string> ReceptionLineFields(const std::string& calling_aet,
                                             const dicom::ReceivedImage& Img,
                                             int32_t port, bool Compress) {
  return {"Image received from " + Trim(calling_aet) + " on port " +
              std::to_string(port),
          " (PatID = " + Img.PatientID() + ", PatName = " + Img.PatientName() +
              ", StudyUID = " + Img.StudyInstanceUID() + ", SeriesUID = " +
              Img.SeriesInstanceUID() + ", ImageUID = " + Img.SOPInstanceUID() +
              ", compressed = " + (Compress ? "True" : "False")};
}

std::vector<std::string> DismissalLineFields(std::string_view Modality) {
  return {"Image dismissed cause of modality " + std::string(Modality)};
}

uint16_t ReceiveImage(const Config& settings, const Log& log,
                      const dicom::Connection& Connection,
                      dicom::ReceivedImage& Img,
                      const DiskSpaceWait& wait) noexcept {
  const Config* config = &settings;
  uint16_t status = dicom::kStatusOutOfResources;
  bool stored = false;
  std::string sCallingAET;
  auto log_failure = [&](const FailureInfo& info) {
    log.Error(info.number,
              info.description + " Port: " + std::to_string(config->DCM) +
                  " Source: " + Trim(sCallingAET),
              kProcedure);
  };
  GuardWith(
      [&] {
        sCallingAET = Connection.calling_aet;
        CheckSOP(Img);
        if (config->EnableDismiss) {
          Value modality = Img.Attributes().Get(0x0008, 0x0060);
          if (modality.IsNull())
            throw Failure(kInvalidUseOfNull, "Invalid use of Null");
          std::string upper = UpperCase(modality.ToText());
          if (IsModalityDismissed(upper, config->DismissModalities)) {
            AppendEventLine(kReceiveLog,
                            ReceptionLineFields(sCallingAET, Img, config->DCM,
                                                config->Compress));
            AppendEventLine(kReceiveLog, DismissalLineFields(upper));
            // Accepted and discarded.
            status = dicom::kStatusSuccess;
            return;
          }
        }
        const std::string uid = Img.SOPInstanceUID();
        if (!IsFileNameUid(uid)) {
          status = dicom::kStatusUnableToProcess;
          throw Failure(kInvalidProcedureCall,
                        "Invalid SOP Instance UID '" + Printable(uid) + "'");
        }
        const std::string folder = ToFsPath(config->Temp);
        WaitForDiskSpace(folder, wait);
        const std::string syntax =
            ChooseTransferSyntax(config->Compress, Img.Attributes());
        StoreIncomingFiles(folder, uid, sCallingAET,
                           uid + (config->Rename ? ".dcm.ren" : ".dcm"),
                           [&](const std::string& path) {
                             WriteImage(log, Img, path, syntax);
                           });
        status = dicom::kStatusSuccess;
        stored = true;
      },
      log_failure);
  // The image is stored whatever happens to its log line.
  if (stored && log.any_debug()) {
    GuardWith(
        [&] {
          AppendEventLine(kReceiveLog,
                          ReceptionLineFields(sCallingAET, Img, config->DCM,
                                              config->Compress));
        },
        log_failure);
  }
  return status;
}

uint16_t DCMServer_ImageReceivedAsync(const Config& config, const Log& log,
                                      const dicom::Connection& Connection,
                                      dicom::ReceivedImage& Img,
                                      const std::function<bool()>& stopping) {
  return ReceiveImage(config, log, Connection, Img,
                      DefaultDiskSpaceWait(stopping));
}

void RemoveInterruptedReceptions(const Config& config,
                                 const Log& log) noexcept {
  GuardVoid(log, "RemoveInterruptedReceptions", [&] {
    const std::string folder = ToFsPath(config.Temp);
    std::vector<std::string> removed = RemoveStaleTemporaryFiles(folder);
    for (const std::string& name : removed)
      log.Debug("Temporary file " + name +
                    " of an interrupted reception "
                    "removed",
                "RemoveInterruptedReceptions");
    if (!removed.empty())
      log.Error(0,
                std::to_string(removed.size()) +
                    " temporary files of interrupted receptions removed "
                    "from " +
                    folder,
                "RemoveInterruptedReceptions");
  });
}

}  // namespace vantor
