#include "dicom/toolkit/part10_file.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "dicom/toolkit/dataset_impl.h"
#include "host/base/failure.h"

namespace vantor::dicom {

std::string LoadedFileSyntax(DcmFileFormat& file) {
  OFString syntax;
  if (file.getMetaInfo() != nullptr &&
      file.getMetaInfo()
          ->findAndGetOFString(DCM_TransferSyntaxUID, syntax)
          .good() &&
      !syntax.empty())
    return syntax.c_str();
  return DcmXfer(file.getDataset()->getOriginalXfer()).getXferID();
}

namespace {

// The first read of a file's head: a meta header is a few hundred bytes.
constexpr size_t kHeadBytes = 4096;
// A meta header longer than this is not taken apart here.
constexpr size_t kMaxMetaBytes = 1 << 20;
// The preamble and "DICM".
constexpr size_t kPreambleBytes = 132;

uint16_t Little16(std::string_view s, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                               static_cast<unsigned char>(s[at + 1]) << 8);
}

uint32_t Little32(std::string_view s, size_t at) {
  return static_cast<uint32_t>(Little16(s, at)) |
         static_cast<uint32_t>(Little16(s, at + 2)) << 16;
}

// Explicit VRs whose length takes 4 bytes after 2 reserved ones.
bool HasLongLength(char a, char b) {
  static constexpr const char* kLong[] = {"OB", "OD", "OF", "OL", "OV",
                                          "OW", "SQ", "SV", "UC", "UN",
                                          "UR", "UT", "UV"};
  for (const char* vr : kLong)
    if (vr[0] == a && vr[1] == b) return true;
  return false;
}

// A UID value without its padding (a NUL or blanks at the end).
std::string UidValue(std::string_view value) {
  while (!value.empty() && (value.back() == '\0' || value.back() == ' '))
    value.remove_suffix(1);
  return std::string(value);
}

// Up to `size` bytes from the start of `fd` into `out`; false on a read
// error.
bool ReadHead(int fd, size_t size, std::string& out) {
  out.resize(size);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, out.data() + got, size - got,
                              static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  return true;
}

// The meta header of the file `path` read with one small read (two when it
// is long); false when it is not a well-formed meta header with the three
// UIDs, which the toolkit's parser then looks at.
bool ReadMetaHeaderQuickly(const std::string& path, Part10Header& h) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string head;
  size_t want = kHeadBytes;
  bool parsed = false;
  // At most a few rounds: each asks for the bytes the header still needs.
  for (int round = 0; round < 4 && !parsed; ++round) {
    if (!ReadHead(fd, want, head)) break;
    size_t more = 0;
    parsed = ParseMetaHeader(head, h, more);
    if (parsed || more == 0 || more > kMaxMetaBytes || head.size() < want)
      break;
    want = more;
  }
  ::close(fd);
  return parsed;
}

}  // namespace

bool ParseMetaHeader(std::string_view head, Part10Header& header,
                     size_t& more) {
  more = 0;
  if (head.size() < kPreambleBytes) return false;
  if (head.substr(128, 4) != "DICM") return false;
  std::string sop_class, sop_instance, syntax;
  size_t at = kPreambleBytes;
  for (;;) {
    // The group of the next element tells whether the meta header goes on.
    if (at + 8 > head.size()) {
      more = at + 8 + 64;
      return false;
    }
    if (Little16(head, at) != 0x0002) break;
    const uint16_t element = Little16(head, at + 2);
    const char a = head[at + 4], b = head[at + 5];
    if (a < 'A' || a > 'Z' || b < 'A' || b > 'Z') return false;
    size_t value_at;
    uint32_t length;
    if (HasLongLength(a, b)) {
      if (at + 12 > head.size()) {
        more = at + 12 + 64;
        return false;
      }
      length = Little32(head, at + 8);
      value_at = at + 12;
    } else {
      length = Little16(head, at + 6);
      value_at = at + 8;
    }
    if (length == 0xFFFFFFFFu || length > kMaxMetaBytes) return false;
    const size_t end = value_at + length;
    if (end > head.size()) {
      more = end + 8 + 64;
      return false;
    }
    const std::string_view value = head.substr(value_at, length);
    if (element == 0x0002) sop_class = UidValue(value);
    if (element == 0x0003) sop_instance = UidValue(value);
    if (element == 0x0010) syntax = UidValue(value);
    at = end;
  }
  if (sop_class.empty() || sop_instance.empty() || syntax.empty())
    return false;
  header.sop_class = std::move(sop_class);
  header.sop_instance = std::move(sop_instance);
  header.transfer_syntax = std::move(syntax);
  header.has_meta = true;
  header.dataset_offset = at;
  return true;
}

void ReadHeadersAhead(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ::posix_fadvise(fd, 0, kHeadBytes, POSIX_FADV_WILLNEED);
    ::close(fd);
  }
}

Part10Header ReadPart10Header(const std::string& path) {
  Part10Header h;
  if (ReadMetaHeaderQuickly(path, h)) return h;
  h = Part10Header();
  EnsureFullDictionary();
  DcmMetaInfo meta;
  OFString sop_class, sop_instance, syntax;
  if (meta.loadFile(path.c_str()).good()) {
    meta.findAndGetOFString(DCM_MediaStorageSOPClassUID, sop_class);
    meta.findAndGetOFString(DCM_MediaStorageSOPInstanceUID, sop_instance);
    meta.findAndGetOFString(DCM_TransferSyntaxUID, syntax);
  }
  h.has_meta = !sop_class.empty() && !sop_instance.empty() && !syntax.empty();
  if (!h.has_meta) {
    DcmFileFormat file;
    OFCondition cond =
        file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange, 4096,
                              ERM_autoDetect, DCM_PixelData);
    if (cond.bad()) {
      h.error = path + ": " + cond.text();
      return h;
    }
    file.getDataset()->findAndGetOFString(DCM_SOPClassUID, sop_class);
    file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, sop_instance);
    syntax = DcmXfer(file.getDataset()->getOriginalXfer()).getXferID();
  }
  if (sop_class.empty()) {
    h.error = path + ": no SOP Class UID";
    return h;
  }
  h.sop_class = sop_class.c_str();
  h.sop_instance = sop_instance.c_str();
  h.transfer_syntax = syntax.c_str();
  return h;
}

Dataset ReadPart10Attributes(const std::string& path,
                             std::string* transfer_syntax) {
  EnsureFullDictionary();
  DcmFileFormat file;
  OFCondition cond =
      file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange, 4096,
                            ERM_autoDetect, DCM_PixelData);
  if (cond.bad())
    throw Failure(kPathFileAccessError, path + ": " + cond.text());
  DcmDataset& ds = *file.getDataset();
  if (transfer_syntax != nullptr) *transfer_syntax = LoadedFileSyntax(file);
  DecodeToUtf8(ds);
  return FromDcmDataset(ds);
}

void ReadAhead(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
  ::close(fd);
}

}  // namespace vantor::dicom
