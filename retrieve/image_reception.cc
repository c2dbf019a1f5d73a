#include "retrieve/image_reception.h"

namespace vantor {

uint16_t DCMServer_ImageReceivedAsync(const dicom::Connection&,
                                      dicom::ReceivedImage&) {
  // Not built yet: refuse rather than pretend the image was stored.
  return dicom::kStatusOutOfResources;
}

}  // namespace vantor
