#include "retrieve/event_report.h"

namespace vantor {

void DCMServer_EventReport(const dicom::Connection&, uint16_t,
                           const dicom::Dataset&, uint16_t& Status) {
  Status = dicom::kStatusProcessingFailure;
}

}  // namespace vantor
