// DICOM JSON through DCMTK's writer (DcmJsonFormatCompact), with its hook
// for bulk data (DcmJsonFormat::asBulkDataURI) answering from a plan made
// by walking the dataset beforehand: the hook is told only the tag, and is
// asked for every element of a binary VR with a value, in the order the
// elements are written (depth first), which is the order of the walk.
#include "dicom/toolkit/dicom_json.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcjson.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "dicom/toolkit/dataset_impl.h"
#include "host/base/failure.h"

namespace vantor::dicom {
namespace {

// Binary values longer than this stay on the disk and become bulk data.
constexpr Uint32 kMaxInlineBinary = 1024;
// Values longer than this are not read when the file is loaded (those of
// the elements written inline are read afterwards).
constexpr Uint32 kMaxReadLength = kMaxInlineBinary;

constexpr int32_t kSubscriptOutOfRange = 9;

constexpr std::string_view kUtf8CharsetJson =
    R"("00080005":{"vr":"CS","Value":["ISO_IR 192"]})";

bool IsBinary(DcmEVR vr) {
  switch (vr) {
    case EVR_OB:
    case EVR_OW:
    case EVR_OF:
    case EVR_OD:
    case EVR_OL:
    case EVR_OV:
    case EVR_UN:
    case EVR_ox:
    case EVR_px:
    case EVR_lt:
    case EVR_PixelData:
    case EVR_OverlayData:
      return true;
    default:
      return false;
  }
}

std::string Hex(const DcmTagKey& key) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X%04X", key.getGroup(), key.getElement());
  return buf;
}

uint32_t KeyOf(const DcmTagKey& key) {
  return static_cast<uint32_t>(key.getGroup()) << 16 | key.getElement();
}

// The compact writer; for a file's metadata it also answers the bulk data
// question from the plan: per tag, the URIs ("" = inline) in the order the
// writer will ask.
class JsonFormat final : public DcmJsonFormatCompact {
 public:
  JsonFormat() : DcmJsonFormatCompact(OFFalse) {}

  void Plan(const DcmTagKey& key, std::string uri) {
    plan_[KeyOf(key)].push_back(std::move(uri));
  }

  OFBool asBulkDataURI(const DcmTagKey& tag, OFString& uri) override {
    if (plan_.empty()) return OFFalse;
    auto it = plan_.find(KeyOf(tag));
    if (it == plan_.end() || it->second.empty()) return OFFalse;
    std::string next = std::move(it->second.front());
    it->second.pop_front();
    if (next.empty()) return OFFalse;
    uri = OFString(next.c_str(), next.size());
    return OFTrue;
  }

 private:
  std::unordered_map<uint32_t, std::deque<std::string>> plan_;
};

// Whether every value of a binary floating point element is a number JSON
// can carry (DCMTK writes NaN and infinity as bare nan and inf).
bool AllFinite(DcmElement& el) {
  const unsigned long vm = el.getVM();
  for (unsigned long i = 0; i < vm; ++i) {
    if (el.ident() == EVR_FL) {
      Float32 v = 0;
      if (el.getFloat32(v, i).bad() || !std::isfinite(v)) return false;
    } else {
      Float64 v = 0;
      if (el.getFloat64(v, i).bad() || !std::isfinite(v)) return false;
    }
  }
  return true;
}

// Writes the elements of `item` as one JSON object to `out`, in the text
// DCMTK's writer gives (DcmItem::writeJsonExt), except that an element it
// would write wrong is left out whole: a float that is NaN or infinite, an
// element whose writing fails (each goes through `scratch_` first, so that
// a half-written one never reaches `out`). Sequences are written here, so
// that this holds at every depth. With `utf8_charset`, Specific Character
// Set is written as ISO_IR 192.
class ObjectWriter {
 public:
  explicit ObjectWriter(JsonFormat& format) : format_(format) {}

  void Write(DcmItem& item, bool utf8_charset, std::string& out) {
    out += '{';
    bool first = true;
    const unsigned long count = item.card();
    for (unsigned long i = 0; i < count; ++i) {
      DcmElement* el = item.getElement(i);
      if (el == nullptr) continue;
      const DcmTagKey key = el->getTag();
      // Group lengths are left out, as DCMTK's writer does.
      if (key.getElement() == 0x0000) continue;
      const DcmEVR vr = el->ident();
      if ((vr == EVR_FL || vr == EVR_FD) && !AllFinite(*el)) continue;
      if (vr == EVR_SQ) {
        if (!first) out += ',';
        first = false;
        WriteSequence(static_cast<DcmSequenceOfItems&>(*el), utf8_charset, out);
        continue;
      }
      std::string_view text;
      if (utf8_charset && key == DCM_SpecificCharacterSet) {
        text = kUtf8CharsetJson;
      } else {
        scratch_.str(std::string());
        scratch_.clear();
        if (el->writeJson(scratch_, format_).bad()) continue;
        text = scratch_.view();
      }
      if (!first) out += ',';
      first = false;
      out.append(text.data(), text.size());
    }
    out += '}';
  }

 private:
  void WriteSequence(DcmSequenceOfItems& sq, bool utf8_charset,
                     std::string& out) {
    out += '"';
    out += Hex(sq.getTag());
    out += R"(":{"vr":"SQ")";
    const unsigned long items = sq.card();
    if (items > 0) {
      out += R"(,"Value":[)";
      for (unsigned long j = 0; j < items; ++j) {
        if (j > 0) out += ',';
        Write(*sq.getItem(j), utf8_charset, out);
      }
      out += ']';
    }
    out += '}';
  }

  JsonFormat& format_;
  std::ostringstream scratch_;
};

long NumberOfFrames(DcmItem& ds) {
  OFString text;
  if (ds.findAndGetOFString(DCM_NumberOfFrames, text).bad()) return 1;
  const long n = std::strtol(text.c_str(), nullptr, 10);
  return n > 0 ? n : 1;
}

// Reads the values left on the disk that are written inline (all but the
// long binary ones), so that the writer sees them: DCMTK's writer leaves
// out the value of an IS or DS that is not in memory.
void LoadInlineValues(DcmItem& item) {
  const unsigned long count = item.card();
  for (unsigned long i = 0; i < count; ++i) {
    DcmElement* el = item.getElement(i);
    if (el == nullptr) continue;
    if (el->ident() == EVR_SQ) {
      auto* sq = static_cast<DcmSequenceOfItems*>(el);
      for (unsigned long j = 0; j < sq->card(); ++j)
        LoadInlineValues(*sq->getItem(j));
      continue;
    }
    if (!IsBinary(el->ident()) && !el->valueLoaded())
      el->loadAllDataIntoMemory();
  }
}

// Walks `item` in the writer's order and plans the answer for each element
// the writer will ask about (a binary one with a value).
void PlanBulkData(DcmItem& item, const std::string& path_prefix, bool top,
                  const std::string& instance_uri, long frames,
                  JsonFormat& format) {
  const unsigned long count = item.card();
  for (unsigned long i = 0; i < count; ++i) {
    DcmElement* el = item.getElement(i);
    if (el == nullptr) continue;
    const DcmTagKey key = el->getTag();
    if (el->ident() == EVR_SQ) {
      auto* sq = static_cast<DcmSequenceOfItems*>(el);
      for (unsigned long j = 0; j < sq->card(); ++j)
        PlanBulkData(*sq->getItem(j),
                     path_prefix + Hex(key) + "/" + std::to_string(j) + "/",
                     false, instance_uri, frames, format);
      continue;
    }
    if (!IsBinary(el->ident()) || el->getLengthField() == 0) continue;
    std::string uri;
    if (top && key == DCM_PixelData) {
      uri = instance_uri + "/frames/";
      for (long f = 1; f <= frames; ++f)
        uri += (f > 1 ? "," : "") + std::to_string(f);
    } else if ((top && (key == DCM_FloatPixelData ||
                        key == DCM_DoubleFloatPixelData)) ||
               el->getLengthField() > kMaxInlineBinary) {
      uri = instance_uri + "/bulk/" + path_prefix + Hex(key);
    }
    format.Plan(key, std::move(uri));
  }
}

void LoadFile(const std::string& path, DcmFileFormat& file) {
  InitializeToolkit();
  OFCondition cond = file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange,
                                   kMaxReadLength, ERM_autoDetect);
  if (cond.bad())
    throw Failure(kPathFileAccessError, path + ": " + cond.text());
}

bool ParseTag(std::string_view text, DcmTagKey& key) {
  if (text.size() != 8) return false;
  unsigned value = 0;
  for (char c : text) {
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                     : -1;
    if (d < 0) return false;
    value = value << 4 | static_cast<unsigned>(d);
  }
  key = DcmTagKey(static_cast<Uint16>(value >> 16),
                  static_cast<Uint16>(value & 0xFFFF));
  return true;
}

// The bytes of `el` in little endian order; an encapsulated pixel data
// element gives its fragments one after the other.
std::string ValueBytes(const std::string& path, DcmElement& el) {
  if (el.ident() == EVR_PixelData) {
    auto& pixels = static_cast<DcmPixelData&>(el);
    E_TransferSyntax rep = EXS_Unknown;
    const DcmRepresentationParameter* param = nullptr;
    pixels.getOriginalRepresentationKey(rep, param);
    DcmPixelSequence* seq = nullptr;
    if (DcmXfer(rep).isEncapsulated() &&
        pixels.getEncapsulatedRepresentation(rep, param, seq).good() &&
        seq != nullptr) {
      std::string out;
      // Item 0 is the basic offset table.
      for (unsigned long i = 1; i < seq->card(); ++i) {
        DcmPixelItem* item = nullptr;
        if (seq->getItem(item, i).bad() || item == nullptr) continue;
        const Uint32 length = item->getLength();
        const size_t at = out.size();
        out.resize(at + length);
        if (length > 0 && item->getPartialValue(out.data() + at, 0, length,
                                                nullptr, EBO_LittleEndian)
                              .bad())
          throw Failure(kPathFileAccessError,
                        path + ": cannot read the pixel data");
      }
      return out;
    }
  }
  const Uint32 length = el.getLength();
  std::string out(length, '\0');
  if (length > 0 &&
      el.getPartialValue(out.data(), 0, length, nullptr, EBO_LittleEndian)
          .bad())
    throw Failure(kPathFileAccessError,
                  path + ": cannot read " + Hex(el.getTag()));
  return out;
}

}  // namespace

std::string DatasetsToJson(const DatasetCollection& datasets) {
  JsonFormat format;
  ObjectWriter writer(format);
  std::string out;
  out.reserve(datasets.size() * 512 + 2);
  out += '[';
  bool first = true;
  for (const Dataset& d : datasets) {
    if (!first) out += ',';
    first = false;
    // The writer reads the values only; DCMTK's interface is not const.
    writer.Write(const_cast<DcmDataset&>(d.impl().ds), true, out);
  }
  out += ']';
  return out;
}

std::string DatasetToJsonObject(const Dataset& dataset) {
  JsonFormat format;
  ObjectWriter writer(format);
  std::string out;
  writer.Write(const_cast<DcmDataset&>(dataset.impl().ds), true, out);
  return out;
}

std::string FileMetadataJson(const std::string& path,
                             const std::string& instance_uri) {
  return FileMetadataJson(
      path, [&](const std::string&, const std::string&, const std::string&) {
        return instance_uri;
      });
}

std::string FileMetadataJson(const std::string& path,
                             const InstanceUri& instance_uri) {
  DcmFileFormat file;
  LoadFile(path, file);
  DcmDataset& ds = *file.getDataset();
  LoadInlineValues(ds);
  DecodeToUtf8(ds);
  OFString study, series, instance;
  ds.findAndGetOFString(DCM_StudyInstanceUID, study);
  ds.findAndGetOFString(DCM_SeriesInstanceUID, series);
  ds.findAndGetOFString(DCM_SOPInstanceUID, instance);
  JsonFormat format;
  PlanBulkData(ds, "", true,
               instance_uri(study.c_str(), series.c_str(), instance.c_str()),
               NumberOfFrames(ds), format);
  ObjectWriter writer(format);
  std::string out;
  writer.Write(ds, false, out);
  return out;
}

std::string ReadBulkData(const std::string& path,
                         const std::string& bulk_path) {
  // GGGGEEEE, then /item/GGGGEEEE for each step into a sequence.
  std::vector<DcmTagKey> tags;
  std::vector<unsigned long> items;
  std::string_view rest = bulk_path;
  for (;;) {
    DcmTagKey key;
    if (!ParseTag(rest.substr(0, 8), key))
      throw Failure(kInvalidProcedureCall,
                    "Not a bulk data path: " + bulk_path);
    tags.push_back(key);
    rest.remove_prefix(8);
    if (rest.empty()) break;
    const size_t slash = rest.find('/', 1);
    if (rest[0] != '/' || slash == std::string_view::npos || slash == 1 ||
        slash > 10)
      throw Failure(kInvalidProcedureCall,
                    "Not a bulk data path: " + bulk_path);
    unsigned long index = 0;
    for (char c : rest.substr(1, slash - 1)) {
      if (c < '0' || c > '9')
        throw Failure(kInvalidProcedureCall,
                      "Not a bulk data path: " + bulk_path);
      index = index * 10 + static_cast<unsigned long>(c - '0');
    }
    items.push_back(index);
    rest.remove_prefix(slash + 1);
  }
  DcmFileFormat file;
  LoadFile(path, file);
  DcmItem* item = file.getDataset();
  const auto missing = [&] {
    return Failure(kSubscriptOutOfRange, "Subscript out of range (" + path +
                                             " has no " + bulk_path + ")");
  };
  for (size_t step = 0;; ++step) {
    DcmElement* el = nullptr;
    if (item->findAndGetElement(tags[step], el, OFFalse).bad() || el == nullptr)
      throw missing();
    if (step == items.size()) {
      if (el->ident() == EVR_SQ) throw missing();
      return ValueBytes(path, *el);
    }
    if (el->ident() != EVR_SQ) throw missing();
    auto* sq = static_cast<DcmSequenceOfItems*>(el);
    if (items[step] >= sq->card()) throw missing();
    item = sq->getItem(items[step]);
  }
}

}  // namespace vantor::dicom
