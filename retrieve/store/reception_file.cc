#include "retrieve/store/reception_file.h"

#include "host/base/failure.h"
#include "host/base/paths.h"
#include "retrieve/store/disk_space.h"
#include "retrieve/store/image_reception.h"
#include "retrieve/store/incoming_files.h"

namespace vantor {

std::string StoredSyntax(const Config& config) {
  return config.Compress ? kJpegLosslessSyntax : kImplicitLittleEndianSyntax;
}

dicom::ReceptionTarget ReceptionFilePath(
    const Config& config, const std::string& sop_instance,
    const std::string& transfer_syntax,
    const std::function<uint64_t(const std::string&)>& available) {
  dicom::ReceptionTarget target;
  // An MPEG2 image of a PV series is stored as it came too.
  target.as_stored = transfer_syntax == StoredSyntax(config) ||
                     (!config.Compress && transfer_syntax == kMpeg2Syntax);
  const bool rewritten =
      !config.Compress && transfer_syntax == kExplicitLittleEndianSyntax;
  if ((!target.as_stored && !rewritten) || !IsFileNameUid(sop_instance) ||
      config.Temp.empty())
    return {};
  const std::string folder = ToFsPath(config.Temp);
  // A folder that cannot be examined fails the image in its handler, as
  // before, with its error line.
  uint64_t room = 0;
  GuardWith([&] { room = available(folder); }, [](const FailureInfo&) {});
  if (room < kDiskSpaceLow) return {};
  target.path = TemporaryPath(folder, sop_instance);
  return target;
}

dicom::ReceptionTarget ReceptionFilePath(const Config& config,
                                         const std::string& sop_instance,
                                         const std::string& transfer_syntax) {
  return ReceptionFilePath(config, sop_instance, transfer_syntax,
                           AvailableSpace);
}

}  // namespace vantor
