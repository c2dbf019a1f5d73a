// Image reception: writes a received image into the incoming folder (the
// Temp setting) with its side file naming the sender, unless its modality is
// dismissed, and records it in Logs/Receive.log.
//
// In the incoming folder, for the image's SOP Instance UID:
//   UID.cae                  the calling AE title as sent, then CR LF
//   UID.dcm or UID.dcm.ren   (Rename) the image as a Part 10 file
// Both are written under hidden temporary names, flushed and then renamed,
// so the importer never sees a file that is not whole.
#ifndef VANTOR_RETRIEVE_STORE_IMAGE_RECEPTION_H_
#define VANTOR_RETRIEVE_STORE_IMAGE_RECEPTION_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/toolkit/toolkit.h"
#include "host/base/config.h"
#include "host/base/log.h"
#include "retrieve/store/disk_space.h"
#include "retrieve/store/incoming_files.h"

namespace vantor {

inline constexpr char kJpegLosslessSyntax[] = "1.2.840.10008.1.2.4.70";
inline constexpr char kMpeg2Syntax[] = "1.2.840.10008.1.2.4.100";
inline constexpr char kImplicitLittleEndianSyntax[] = "1.2.840.10008.1.2";
inline constexpr char kExplicitLittleEndianSyntax[] = "1.2.840.10008.1.2.1";

// The syntax an image is written in: JPEG lossless with `Compress`; else
// MPEG2 when `attributes` hold a Modality that is "PV" in upper case; else
// implicit little endian.
std::string ChooseTransferSyntax(bool Compress,
                                 const dicom::Dataset& attributes);

// Whether `Modality` (already in upper case) equals one of the entries of
// `DismissModalities`, the entries compared without regard to case but
// otherwise as stored (" MR" keeps its blank).
bool IsModalityDismissed(std::string_view Modality,
                         const std::vector<std::string>& DismissModalities);

// The fields after the time stamp of the receive log's lines.
std::vector<std::string> ReceptionLineFields(const std::string& calling_aet,
                                             const dicom::ReceivedImage& Img,
                                             int32_t port, bool Compress);
std::vector<std::string> DismissalLineFields(std::string_view Modality);

// The handler, with the disk-space wait given; its lines go to `log`.
// Returns the C-STORE status: 0000 for a stored or a dismissed image, C000
// for an image whose SOP Instance UID cannot name a file, A700 when it could
// not be stored.
uint16_t ReceiveImage(const Config& config, const Log& log,
                      const dicom::Connection& Connection,
                      dicom::ReceivedImage& Img,
                      const DiskSpaceWait& wait) noexcept;

// Returns the C-STORE status for the image under the settings snapshot
// `config` and its `log`. `stopping` tells a disk-space wait that the
// service is shutting down.
uint16_t DCMServer_ImageReceivedAsync(const Config& config, const Log& log,
                                      const dicom::Connection& Connection,
                                      dicom::ReceivedImage& Img,
                                      const std::function<bool()>& stopping);

// At start-up, before anything is received: removes the temporary files
// that an interrupted reception (a crash, a kill) left in the incoming
// folder, writing each name to the debug log and their number to the error
// log. Files another running instance is writing are kept.
void RemoveInterruptedReceptions(const Config& config, const Log& log) noexcept;

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_STORE_IMAGE_RECEPTION_H_
