#include "dicom/toolkit/received_image.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcwcache.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "dicom/toolkit/dataset_impl.h"
#include "dicom/toolkit/implicit_rewrite.h"
#include "host/base/failure.h"
#include "host/base/files.h"

namespace vantor::dicom {
namespace {

std::string TextOf(DcmDataset& ds, const DcmTagKey& key) {
  OFString value;
  ds.findAndGetOFStringArray(key, value);
  std::string s = value.c_str();
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

E_TransferSyntax XferOf(const std::string& uid) {
  return DcmXfer(uid.c_str()).getXfer();
}

// The encoded file is handed to the kernel in pieces small enough to stay
// in the processor's cache between the encoder's copy and the kernel's: a
// whole image in one buffer goes through main memory twice.
constexpr size_t kWriteChunk = 64 * 1024;

// The failure for a file that could not be written.
[[noreturn]] void ThrowWriteFailure(int32_t number, const std::string& why) {
  throw Failure(number, std::string(FileErrorText(number)) + " (" + why + ")");
}

}  // namespace

DcmReceivedImage::DcmReceivedImage(std::unique_ptr<DcmDataset> dataset,
                                   std::string transfer_syntax_uid)
    : dataset_(std::move(dataset)),
      transfer_syntax_uid_(std::move(transfer_syntax_uid)) {}

DcmReceivedImage::~DcmReceivedImage() {
  // The values still in the file go first.
  dataset_.reset();
  if (!file_.empty()) ::unlink(file_.c_str());
}

std::string Part10MetaHeader(const std::string& sop_class,
                             const std::string& sop_instance,
                             const std::string& transfer_syntax) {
  const E_TransferSyntax xfer = XferOf(transfer_syntax);
  DcmFileFormat file;
  DcmDataset* ds = file.getDataset();
  if (xfer == EXS_Unknown ||
      ds->putAndInsertString(DCM_SOPClassUID, sop_class.c_str()).bad() ||
      ds->putAndInsertString(DCM_SOPInstanceUID, sop_instance.c_str()).bad() ||
      file.validateMetaInfo(xfer).bad())
    throw Failure(kInvalidProcedureCall, "Invalid procedure call or argument");
  DcmMetaInfo* meta = file.getMetaInfo();
  std::string header;
  char buffer[4096];
  DcmOutputBufferStream out(buffer, sizeof buffer);
  meta->transferInit();
  for (;;) {
    OFCondition cond =
        meta->write(out, EXS_LittleEndianExplicit, EET_ExplicitLength, nullptr);
    void* data = nullptr;
    offile_off_t length = 0;
    out.flushBuffer(data, length);
    header.append(static_cast<const char*>(data), static_cast<size_t>(length));
    if (cond == EC_StreamNotifyClient) continue;
    meta->transferEnd();
    if (cond.bad())
      throw Failure(kInvalidProcedureCall,
                    std::string("Invalid procedure call or argument (") +
                        cond.text() + ")");
    return header;
  }
}

std::unique_ptr<DcmReceivedImage> LoadReceivedFile(
    const std::string& path, size_t dataset_offset,
    const std::string& transfer_syntax,
    const std::string& sop_class, const std::string& sop_instance,
    std::string& why) {
  auto file = std::make_unique<DcmFileFormat>();
  OFCondition cond = file->loadFile(path.c_str(), EXS_Unknown, EGL_noChange,
                                    4096, ERM_fileOnly);
  std::unique_ptr<DcmDataset> dataset;
  if (cond.good()) dataset.reset(file->getAndRemoveDataset());
  if (!dataset) {
    why = std::string("dataset does not parse: ") +
          (cond.good() ? "no data set" : cond.text());
    file.reset();
    ::unlink(path.c_str());
    return nullptr;
  }
  file.reset();
  const std::string charset = DecodeToUtf8(*dataset);
  auto image = std::make_unique<DcmReceivedImage>(std::move(dataset),
                                                  transfer_syntax);
  image->file_ = path;
  image->dataset_offset_ = dataset_offset;
  image->as_received_ =
      (charset.empty() || charset == "ISO_IR 6" || charset == "ISO_IR 192") &&
      image->SOPClassUID() == sop_class &&
      image->SOPInstanceUID() == sop_instance;
  return image;
}

std::string DcmReceivedImage::PatientID() const {
  return TextOf(*dataset_, DCM_PatientID);
}
std::string DcmReceivedImage::PatientName() const {
  return TextOf(*dataset_, DCM_PatientName);
}
std::string DcmReceivedImage::StudyInstanceUID() const {
  return TextOf(*dataset_, DCM_StudyInstanceUID);
}
std::string DcmReceivedImage::SeriesInstanceUID() const {
  return TextOf(*dataset_, DCM_SeriesInstanceUID);
}
std::string DcmReceivedImage::SOPInstanceUID() const {
  return TextOf(*dataset_, DCM_SOPInstanceUID);
}
std::string DcmReceivedImage::SOPClassUID() const {
  return TextOf(*dataset_, DCM_SOPClassUID);
}

void DcmReceivedImage::SetSOPClassUID(const std::string& uid) {
  if (dataset_->putAndInsertString(DCM_SOPClassUID, uid.c_str()).bad())
    throw Failure(kInvalidProcedureCall, "Invalid procedure call or argument");
  attributes_.reset();
  as_received_ = false;
}

std::string DcmReceivedImage::TransferSyntaxUID() const {
  return transfer_syntax_uid_;
}

const Dataset& DcmReceivedImage::Attributes() const {
  if (!attributes_) {
    // The attributes without the pixel data, which no handler reads.
    DcmDataset copy;
    for (unsigned long i = 0; i < dataset_->card(); ++i) {
      DcmElement* el = dataset_->getElement(i);
      if (el == nullptr || el->getTag() == DCM_PixelData) continue;
      copy.insert(static_cast<DcmElement*>(el->clone()), OFTrue);
    }
    attributes_ = std::make_unique<Dataset>(FromDcmDataset(copy));
  }
  return *attributes_;
}

bool DcmReceivedImage::RewriteAsImplicitFile(const std::string& path) {
  int in = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st {};
  void* mapped = MAP_FAILED;
  if (::fstat(in, &st) == 0 &&
      static_cast<size_t>(st.st_size) > dataset_offset_)
    mapped = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ,
                    MAP_SHARED, in, 0);
  ::close(in);
  if (mapped == MAP_FAILED) return false;
  const size_t size = static_cast<size_t>(st.st_size);
  ::madvise(mapped, size, MADV_SEQUENTIAL);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    ::munmap(mapped, size);
    ThrowWriteFailure(FileErrorNumber(err), std::strerror(err));
  }
  const std::string header = Part10MetaHeader(
      SOPClassUID(), SOPInstanceUID(), UID_LittleEndianImplicitTransferSyntax);
  int error = WriteAll(fd, header.data(), header.size());
  RewriteResult result = RewriteResult::kWriteFailed;
  if (error == 0)
    result = RewriteAsImplicit(
        static_cast<const unsigned char*>(mapped) + dataset_offset_,
        size - dataset_offset_,
        [fd](const char* data, size_t length) {
          return WriteAll(fd, data, length);
        },
        error);
  ::munmap(mapped, size);
  // The image goes to the disk while the rest of its reception is done.
  if (result == RewriteResult::kDone)
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  if (::close(fd) != 0 && error == 0 && result == RewriteResult::kDone) {
    error = errno;
    result = RewriteResult::kWriteFailed;
  }
  if (result == RewriteResult::kDone) return true;
  ::unlink(path.c_str());
  if (result == RewriteResult::kNotHandled) return false;
  ThrowWriteFailure(FileErrorNumber(error), std::strerror(error));
}

void DcmReceivedImage::WriteFile(const std::string& path, bool part10,
                                 const std::string& uid) {
  if (as_received_ && part10) {
    // The file as it arrived becomes the image under a second name; the
    // first one stays while values may still be read through it.
    if (uid == transfer_syntax_uid_ &&
        ::link(file_.c_str(), path.c_str()) == 0)
      return;
    if (transfer_syntax_uid_ == UID_LittleEndianExplicitTransferSyntax &&
        uid == UID_LittleEndianImplicitTransferSyntax &&
        RewriteAsImplicitFile(path))
      return;
  }
  E_TransferSyntax target = XferOf(uid);
  if (target == EXS_Unknown)
    throw Failure(
        kInvalidProcedureCall,
        "Invalid procedure call or argument (transfer syntax " + uid + ")");
  DcmFileFormat file(dataset_.get());
  DcmDataset* ds = file.getDataset();
  if (uid != transfer_syntax_uid_) {
    OFCondition cond = ds->chooseRepresentation(target, nullptr);
    if (cond.bad() || !ds->canWriteXfer(target))
      throw Failure(kInvalidProcedureCall,
                    std::string("Cannot convert the image to ") + uid + ": " +
                        cond.text());
  }
  // The encoded file goes through a buffer of our own and plain writes,
  // so that every error is seen: a buffered file stream drops the one of
  // its last flush when it is closed, and a full disk would leave a short
  // file reported as written.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    ThrowWriteFailure(FileErrorNumber(err), std::strerror(err));
  }
  std::unique_ptr<char[]> buffer(new char[kWriteChunk]);
  DcmOutputBufferStream out(buffer.get(), kWriteChunk);
  DcmWriteCache cache;
  std::string error;
  int32_t number = kPathFileAccessError;  // what the toolkit's errors log
  if (part10) {
    file.transferInit();
  } else {
    ds->transferInit();
  }
  for (;;) {
    OFCondition cond =
        part10 ? file.write(out, target, EET_ExplicitLength, &cache,
                            EGL_recalcGL, EPD_noChange, 0, 0, 0, EWM_fileformat)
               : ds->write(out, target, EET_ExplicitLength, &cache,
                           EGL_recalcGL, EPD_noChange);
    if (cond.bad() && cond != EC_StreamNotifyClient) {
      error = cond.text();
      break;
    }
    void* data = nullptr;
    offile_off_t length = 0;
    out.flushBuffer(data, length);
    const int err =
        length > 0 ? WriteAll(fd, data, static_cast<size_t>(length)) : 0;
    if (err != 0) {
      number = FileErrorNumber(err);
      error = std::strerror(err);
      break;
    }
    if (cond != EC_StreamNotifyClient) break;
  }
  if (part10) {
    file.transferEnd();
  } else {
    ds->transferEnd();
  }
  if (::close(fd) != 0 && error.empty()) {
    number = FileErrorNumber(errno);
    error = std::strerror(errno);
  }
  if (!error.empty()) {
    ::unlink(path.c_str());
    ThrowWriteFailure(number, error);
  }
}

}  // namespace vantor::dicom
