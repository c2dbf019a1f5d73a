// Keywords and VRs from DCMTK's data dictionary.
#include "dicom/toolkit/tag_names.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dctag.h>

namespace vantor::dicom {
namespace {

// The longest keyword of the standard has 60-odd characters.
constexpr size_t kMaxKeyword = 100;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view text, uint16_t& group, uint16_t& element) {
  if (text.size() != 8) return false;
  uint32_t value = 0;
  for (char c : text) {
    int d = HexDigit(c);
    if (d < 0) return false;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  group = static_cast<uint16_t>(value >> 16);
  element = static_cast<uint16_t>(value & 0xFFFF);
  return true;
}

bool IsKeyword(std::string_view text) {
  if (text.empty() || text.size() > kMaxKeyword) return false;
  if (!((text[0] >= 'A' && text[0] <= 'Z') ||
        (text[0] >= 'a' && text[0] <= 'z')))
    return false;
  for (char c : text) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              (c >= '0' && c <= '9');
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool TagForName(std::string_view name, uint16_t& group, uint16_t& element) {
  if (ParseHex(name, group, element)) return true;
  if (!IsKeyword(name)) return false;
  const std::string keyword(name);
  bool found = false;
  const DcmDataDictionary& dict = dcmDataDict.rdlock();
  const DcmDictEntry* entry = dict.findEntry(keyword.c_str());
  // A private attribute's keyword names no tag without its creator.
  if (entry != nullptr && entry->getPrivateCreator() == nullptr &&
      keyword == entry->getTagName()) {
    group = entry->getGroup();
    element = entry->getElement();
    found = true;
  }
  dcmDataDict.rdunlock();
  return found;
}

std::string TagVr(uint16_t group, uint16_t element) {
  DcmTag tag(group, element);
  const DcmEVR vr = tag.getEVR();
  if (vr == EVR_UNKNOWN || vr == EVR_UNKNOWN2B) return "";
  return DcmVR(vr).getValidVRName();
}

}  // namespace vantor::dicom
