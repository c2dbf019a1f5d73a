// The private RENAMER and KEYSTUDY event reports.
#ifndef VANTOR_RETRIEVE_EVENT_REPORT_H_
#define VANTOR_RETRIEVE_EVENT_REPORT_H_

#include <cstdint>

#include "dicom/toolkit.h"

namespace vantor {

// `Status` as left is the N-EVENT-REPORT response status.
void DCMServer_EventReport(const dicom::Connection& Connection,
                           uint16_t EventID, const dicom::Dataset& dataset,
                           uint16_t& Status);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_EVENT_REPORT_H_
