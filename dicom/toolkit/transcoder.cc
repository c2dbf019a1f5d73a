// Transfer syntax conversion with DCMTK's codecs (registered by
// InitializeToolkit): DcmDataset::chooseRepresentation, then the Part 10
// file written through a buffer of our own.
#include "dicom/toolkit/transcoder.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcwcache.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

#include "dicom/toolkit/outgoing_syntax.h"
#include "dicom/toolkit/toolkit.h"
#include "dicom/toolkit/dataset_impl.h"
#include "host/base/failure.h"
#include "host/base/files.h"

namespace vantor::dicom {
namespace {

// The syntaxes DCMTK reads the pixels of (with the codecs registered).
constexpr std::string_view kSources[] = {
    UID_LittleEndianImplicitTransferSyntax,
    UID_LittleEndianExplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax,
    UID_DeflatedExplicitVRLittleEndianTransferSyntax,
    UID_JPEGProcess1TransferSyntax,
    UID_JPEGProcess2_4TransferSyntax,
    UID_JPEGProcess14TransferSyntax,
    UID_JPEGProcess14SV1TransferSyntax,
    UID_JPEGLSLosslessTransferSyntax,
    UID_JPEGLSLossyTransferSyntax,
    UID_RLELosslessTransferSyntax,
};

// The syntaxes a converted file goes out in, in the order a sender prefers
// them: uncompressed (only decoding, fast), lossless compressed, lossy.
// Big endian and deflated are targets on the network only (DICOMweb has
// no use for them).
struct Target {
  std::string_view uid;
  bool network_only;
  int max_bits;  // the deepest Bits Allocated the codec takes (0: any)
};
constexpr Target kTargets[] = {
    {UID_LittleEndianExplicitTransferSyntax, false, 0},
    {UID_LittleEndianImplicitTransferSyntax, false, 0},
    {UID_BigEndianExplicitTransferSyntax, true, 0},
    {UID_DeflatedExplicitVRLittleEndianTransferSyntax, true, 0},
    {UID_JPEGProcess14SV1TransferSyntax, false, 16},
    {UID_JPEGProcess14TransferSyntax, false, 16},
    {UID_JPEGLSLosslessTransferSyntax, false, 16},
    {UID_RLELosslessTransferSyntax, false, 0},
    {UID_JPEGProcess1TransferSyntax, false, 8},
};

bool IsSource(std::string_view uid) {
  return std::find(std::begin(kSources), std::end(kSources), uid) !=
         std::end(kSources);
}

const Target* FindTarget(std::string_view uid, bool network) {
  for (const Target& t : kTargets)
    if (t.uid == uid && (network || !t.network_only)) return &t;
  return nullptr;
}

// The 12-bit lossy JPEG decodes, but into nothing JPEG baseline takes.
bool Convertible(std::string_view from, std::string_view to, bool network) {
  if (from == to) return true;
  if (!IsSource(from) || FindTarget(to, network) == nullptr) return false;
  if (to == UID_JPEGProcess1TransferSyntax &&
      from == UID_JPEGProcess2_4TransferSyntax)
    return false;
  return true;
}

// `path` read whole and converted to `to_syntax`, ready to be written.
void LoadConverted(const std::string& path, const std::string& to_syntax,
                   DcmFileFormat& file, E_TransferSyntax& target) {
  InitializeToolkit();
  target = DcmXfer(to_syntax.c_str()).getXfer();
  if (target == EXS_Unknown)
    throw Failure(kInvalidProcedureCall,
                  "Unknown transfer syntax " + to_syntax);
  OFCondition cond = file.loadFile(path.c_str());
  if (cond.bad())
    throw Failure(kPathFileAccessError, path + ": " + cond.text());
  const std::string from = LoadedFileSyntax(file);
  if (!CanTranscode(from, to_syntax))
    throw Failure(kInvalidProcedureCall,
                  path + ": cannot convert from " + from + " to " + to_syntax);
  std::string error = ConvertDataset(*file.getDataset(), from, to_syntax);
  if (!error.empty()) throw Failure(kInvalidProcedureCall, path + ": " + error);
  // Written with a header of the new syntax, whatever the old one said.
  file.getMetaInfo()->putAndInsertString(DCM_TransferSyntaxUID,
                                         to_syntax.c_str());
}

constexpr size_t kWriteChunk = 64 * 1024;

// Writes `file` as a Part 10 file in `target`, handing each piece to
// `sink`, which returns 0 or the errno that stops the writing. Returns ""
// or why the writing failed (`number` then the failure number).
std::string WritePart10(DcmFileFormat& file, E_TransferSyntax target,
                        const std::function<int(const void*, size_t)>& sink,
                        int32_t& number) {
  std::unique_ptr<char[]> buffer(new char[kWriteChunk]);
  DcmOutputBufferStream out(buffer.get(), kWriteChunk);
  DcmWriteCache cache;
  std::string error;
  number = kPathFileAccessError;
  file.transferInit();
  for (;;) {
    OFCondition cond =
        file.write(out, target, EET_ExplicitLength, &cache, EGL_recalcGL,
                   EPD_noChange, 0, 0, 0, EWM_fileformat);
    if (cond.bad() && cond != EC_StreamNotifyClient) {
      error = cond.text();
      break;
    }
    void* data = nullptr;
    offile_off_t length = 0;
    out.flushBuffer(data, length);
    const int err = length > 0 ? sink(data, static_cast<size_t>(length)) : 0;
    if (err != 0) {
      number = FileErrorNumber(err);
      error = std::strerror(err);
      break;
    }
    if (cond != EC_StreamNotifyClient) break;
  }
  file.transferEnd();
  return error;
}

}  // namespace

bool CanTranscode(const std::string& from_syntax,
                  const std::string& to_syntax) {
  return Convertible(from_syntax, to_syntax, false);
}

std::vector<size_t> RankAcceptedSyntaxes(
    const std::string& stored_syntax, int bits_allocated,
    const std::vector<std::string>& accepted) {
  std::vector<size_t> order;
  for (size_t i = 0; i < accepted.size(); ++i)
    if (accepted[i] == stored_syntax) order.push_back(i);
  for (const Target& t : kTargets) {
    if (t.uid == stored_syntax || !Convertible(stored_syntax, t.uid, true))
      continue;
    if (bits_allocated > 0 && t.max_bits > 0 && bits_allocated > t.max_bits)
      continue;
    for (size_t i = 0; i < accepted.size(); ++i)
      if (accepted[i] == t.uid) order.push_back(i);
  }
  return order;
}

void TranscodeFile(const std::string& path, const std::string& to_syntax,
                   std::string& part10_out) {
  DcmFileFormat file;
  E_TransferSyntax target = EXS_Unknown;
  LoadConverted(path, to_syntax, file, target);
  std::string out;
  int32_t number = 0;
  std::string error = WritePart10(
      file, target,
      [&](const void* data, size_t size) {
        out.append(static_cast<const char*>(data), size);
        return 0;
      },
      number);
  if (!error.empty())
    throw Failure(kInvalidProcedureCall,
                  path + ": cannot write in " + to_syntax + ": " + error);
  part10_out = std::move(out);
}

void TranscodeFileTo(const std::string& path, const std::string& to_syntax,
                     const std::string& out_path) {
  DcmFileFormat file;
  E_TransferSyntax target = EXS_Unknown;
  LoadConverted(path, to_syntax, file, target);
  int fd =
      ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    throw FileError(err, out_path);
  }
  int32_t number = 0;
  std::string error = WritePart10(
      file, target,
      [&](const void* data, size_t size) { return WriteAll(fd, data, size); },
      number);
  if (::close(fd) != 0 && error.empty()) {
    number = FileErrorNumber(errno);
    error = std::strerror(errno);
  }
  if (!error.empty()) {
    ::unlink(out_path.c_str());
    throw Failure(number, out_path + ": " + error);
  }
}

}  // namespace vantor::dicom
