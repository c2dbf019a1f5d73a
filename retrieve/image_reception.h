// Image reception: writes a received image into the incoming folder.
#ifndef VANTOR_RETRIEVE_IMAGE_RECEPTION_H_
#define VANTOR_RETRIEVE_IMAGE_RECEPTION_H_

#include <cstdint>

#include "dicom/toolkit.h"

namespace vantor {

// Returns the C-STORE status for the image.
uint16_t DCMServer_ImageReceivedAsync(const dicom::Connection& Connection,
                                      dicom::ReceivedImage& Img);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_IMAGE_RECEPTION_H_
