// Dataset over DCMTK's DcmDataset, with typed values and the character-set
// conversions at the edges of the service.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/dcmdata/dctypes.h>
#include <dcmtk/dcmdata/dcostrmb.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dicom/toolkit/dataset_impl.h"
#include "host/base/failure.h"
#include "host/base/text.h"

namespace vantor::dicom {
namespace {

std::string TwoDigits(int n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", n);
  return buf;
}

std::string DateText(const Date& d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", d.year, d.month, d.day);
  return buf;
}

// Removes DICOM padding: trailing blanks and NULs always, leading blanks
// except in the free-text VRs, where they belong to the text.
std::string StripPadding(std::string s, DcmEVR vr) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  if (vr != EVR_LT && vr != EVR_ST && vr != EVR_UT) {
    size_t start = s.find_first_not_of(' ');
    s.erase(0, start == std::string::npos ? s.size() : start);
  }
  return s;
}

// The text a value is written with for an attribute of `vr`.
std::string TextForVr(const Value& v, DcmEVR vr) {
  if (v.IsNull()) return "";
  if (v.IsDate()) return DateText(v.date());
  if (v.IsDateTime()) {
    const DateTime& t = v.date_time();
    std::string time =
        TwoDigits(t.hour) + TwoDigits(t.minute) + TwoDigits(t.second);
    if (vr == EVR_TM) return time;
    if (vr == EVR_DT) return DateText(t.date) + time;
    return DateText(t.date);
  }
  if (v.IsDecimal()) {
    double d = v.decimal();
    if (vr == EVR_IS || vr == EVR_SS || vr == EVR_US || vr == EVR_SL ||
        vr == EVR_UL) {
      return std::to_string(static_cast<long long>(std::llround(d)));
    }
    std::string text = v.ToText();
    if (vr == EVR_DS && text.size() > 16) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.10g", d);
      text = buf;
    }
    return text;
  }
  return v.ToText();
}

bool HasNonAscii(DcmItem& item) {
  for (unsigned long i = 0; i < item.card(); ++i) {
    DcmElement* el = item.getElement(i);
    if (el == nullptr) continue;
    if (el->ident() == EVR_SQ) {
      auto* sq = static_cast<DcmSequenceOfItems*>(el);
      for (unsigned long j = 0; j < sq->card(); ++j)
        if (HasNonAscii(*sq->getItem(j))) return true;
      continue;
    }
    if (!el->isAffectedBySpecificCharacterSet()) continue;
    char* text = nullptr;
    if (el->getString(text).bad() || text == nullptr) continue;
    for (Uint32 k = 0; k < el->getLength(); ++k)
      if (static_cast<unsigned char>(text[k]) >= 0x80) return true;
  }
  return false;
}

std::string CharsetOf(DcmItem& item) {
  OFString cs;
  item.findAndGetOFStringArray(DCM_SpecificCharacterSet, cs);
  return StripPadding(cs.c_str(), EVR_CS);
}

}  // namespace

Dataset::Dataset() : impl_(std::make_unique<Impl>()) {}

std::string Dataset::Encoded() const {
  DcmDataset copy(impl_->ds);
  std::string bytes;
  char buffer[4096];
  DcmOutputBufferStream out(buffer, sizeof buffer);
  copy.transferInit();
  // Each round moves a full buffer; an identifier is small, the bound only
  // keeps a runaway one from growing without end.
  for (int round = 0; round < 16384; ++round) {
    const OFCondition cond =
        copy.write(out, EXS_LittleEndianExplicit, EET_ExplicitLength, nullptr);
    void* data = nullptr;
    offile_off_t length = 0;
    out.flushBuffer(data, length);
    bytes.append(static_cast<const char*>(data), static_cast<size_t>(length));
    if (cond == EC_StreamNotifyClient) continue;
    copy.transferEnd();
    return cond.good() ? bytes : std::string();
  }
  copy.transferEnd();
  return {};
}
Dataset::~Dataset() = default;
Dataset::Dataset(const Dataset& other)
    : impl_(std::make_unique<Impl>(*other.impl_)) {}
Dataset& Dataset::operator=(const Dataset& other) {
  if (this != &other) impl_ = std::make_unique<Impl>(*other.impl_);
  return *this;
}
Dataset::Dataset(Dataset&& other) noexcept = default;
Dataset& Dataset::operator=(Dataset&& other) noexcept = default;

bool Dataset::Has(uint16_t group, uint16_t element) const {
  return impl_->ds.tagExists(DcmTagKey(group, element));
}

Value Dataset::Get(uint16_t group, uint16_t element) const {
  DcmElement* el = nullptr;
  if (impl_->ds.findAndGetElement(DcmTagKey(group, element), el).bad() ||
      el == nullptr || el->ident() == EVR_SQ || el->getLength() == 0) {
    return {};
  }
  OFString raw;
  if (el->getOFStringArray(raw).bad()) return {};
  DcmEVR vr = el->ident();
  std::string text = StripPadding(raw.c_str(), vr);
  if (text.empty()) return {};
  bool single = el->getVM() <= 1;
  switch (vr) {
    case EVR_DA:
      if (single && text.size() == 8 && AllDigits(text)) {
        return Date{std::stoi(text.substr(0, 4)), std::stoi(text.substr(4, 2)),
                    std::stoi(text.substr(6, 2))};
      }
      return text;
    case EVR_IS:
    case EVR_SS:
    case EVR_US:
    case EVR_SL:
    case EVR_UL: {
      if (!single) return text;
      errno = 0;
      char* end = nullptr;
      long long n = std::strtoll(text.c_str(), &end, 10);
      if (errno != 0 || end == nullptr || *end != '\0') return text;
      return static_cast<int64_t>(n);
    }
    case EVR_DS:
    case EVR_FL:
    case EVR_FD: {
      if (!single) return text;
      char* end = nullptr;
      double d = std::strtod(text.c_str(), &end);
      if (end == nullptr || *end != '\0') return text;
      return d;
    }
    default:
      return text;
  }
}

std::string Dataset::GetText(uint16_t group, uint16_t element) const {
  return Get(group, element).ToText();
}

void Dataset::Put(uint16_t group, uint16_t element, const Value& value) {
  DcmTag tag(group, element);
  DcmEVR vr = tag.getEVR();
  // Private and unknown attributes are written as long strings.
  if (vr == EVR_UN || vr == EVR_UNKNOWN || vr == EVR_UNKNOWN2B) {
    tag.setVR(DcmVR(EVR_LO));
    vr = EVR_LO;
  }
  if (vr == EVR_SQ) {
    impl_->ds.insertEmptyElement(tag, OFTrue);
    return;
  }
  std::string text = TextForVr(value, vr);
  OFCondition cond = text.empty()
                         ? impl_->ds.insertEmptyElement(tag, OFTrue)
                         : impl_->ds.putAndInsertString(tag, text.c_str(),
                                                        OFTrue);
  if (cond.bad()) {
    throw Failure(kInvalidProcedureCall,
                  std::string("Invalid procedure call or argument (") +
                      tag.toString().c_str() + ": " + cond.text() + ")");
  }
}

std::vector<Dataset::Element> Dataset::Enumerate() const {
  std::vector<Element> out;
  DcmDataset& ds = impl_->ds;
  out.reserve(ds.card());
  for (unsigned long i = 0; i < ds.card(); ++i) {
    DcmElement* el = ds.getElement(i);
    if (el == nullptr) continue;
    out.push_back({el->getGTag(), el->getETag(),
                   Get(el->getGTag(), el->getETag())});
  }
  return out;
}

std::string Dataset::PatientName() const { return GetText(0x0010, 0x0010); }
std::string Dataset::PatientID() const { return GetText(0x0010, 0x0020); }
std::string Dataset::StudyInstanceUID() const {
  return GetText(0x0020, 0x000D);
}

Dataset FromDcmDataset(const DcmDataset& ds) {
  Dataset d;
  d.impl().ds = ds;
  return d;
}

std::string DecodeToUtf8(DcmDataset& ds) {
  std::string charset = CharsetOf(ds);
  if (charset.empty() || charset == "ISO_IR 192" || charset == "ISO_IR 6")
    return charset;
  DcmDataset copy(ds);
  if (copy.convertToUTF8().good()) ds = copy;
  return charset;
}

void EncodeFromUtf8(DcmDataset& ds, const std::string& charset) {
  ds.findAndDeleteElement(DCM_SpecificCharacterSet);
  if (!HasNonAscii(ds)) {
    if (!charset.empty())
      ds.putAndInsertString(DCM_SpecificCharacterSet, charset.c_str());
    return;
  }
  if (!charset.empty() && charset != "ISO_IR 192" && charset != "ISO_IR 6") {
    DcmDataset copy(ds);
    if (copy.convertCharacterSet("ISO_IR 192", charset, 0, OFFalse).good()) {
      copy.putAndInsertString(DCM_SpecificCharacterSet, charset.c_str());
      ds = copy;
      return;
    }
  }
  ds.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
}

}  // namespace vantor::dicom
