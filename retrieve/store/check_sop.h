// Fills in the SOP Class UID of a received image that arrived without one.
#ifndef VANTOR_RETRIEVE_STORE_CHECK_SOP_H_
#define VANTOR_RETRIEVE_STORE_CHECK_SOP_H_

#include <string>
#include <string_view>

#include "dicom/toolkit/toolkit.h"

namespace vantor {

// The storage class assumed for an image of `modality` (upper case): CT, MR,
// US and CR (DR shares CR's class); Secondary Capture for anything else.
std::string SOPClassForModality(std::string_view modality);

// When `Img` has no SOP Class UID, sets the class of its Modality
// (0008,0060), or Secondary Capture when it has none. An image whose class
// cannot be read or set keeps it. Always returns true.
bool CheckSOP(dicom::ReceivedImage& Img) noexcept;

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_STORE_CHECK_SOP_H_
