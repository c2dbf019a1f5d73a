// Attribute names for the DICOMweb port: a query parameter or an
// includefield names an attribute by its keyword from the data dictionary
// ("PatientName") or by its tag as eight hexadecimal digits ("00100010").
#ifndef VANTOR_DICOM_TAG_NAMES_H_
#define VANTOR_DICOM_TAG_NAMES_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace vantor::dicom {

// The tag `name` stands for: a keyword of the data dictionary (exact case,
// public attributes only; a repeating group such as OverlayData gives its
// first group, 6000) or eight hexadecimal digits in either case. False, and
// `group` and `element` untouched, for anything else: empty text, seven or
// nine digits, a path, quotes, blanks, an unknown keyword.
bool TagForName(std::string_view name, uint16_t& group, uint16_t& element);

// The VR the data dictionary gives the attribute ("PN", "DA", "SQ", ...);
// where the dictionary leaves a choice (Pixel Data's OB or OW, US or SS)
// the first of them. "" for an attribute the dictionary does not know.
std::string TagVr(uint16_t group, uint16_t element);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_TAG_NAMES_H_
