// QIDO-RS: studies, series and instances searched through the same level
// queries as C-FIND, answered as DICOM JSON.
#ifndef VANTOR_WEB_QIDO_H_
#define VANTOR_WEB_QIDO_H_

#include "dicom/toolkit/toolkit.h"
#include "web/qido_params.h"
#include "web/web_call.h"

namespace vantor::web {

// The C-FIND identifier for a search at `level` ("STUDY", "SERIES",
// "IMAGE"): the level's default attributes and those asked for as empty
// return keys, the UIDs of the path and the matching values.
dicom::Dataset QidoIdentifier(const std::string& level, const Route& route,
                              const QidoQuery& query);

// What the level queries leave out and a web client needs to address
// each result: below the study level the Study Instance UID, and for
// instances the Series Instance UID and the SOP Class UID, read from the
// archive's tables for the results that lack them.
void CompleteResultUids(const WebCall& call, const std::string& level,
                        dicom::DatasetCollection& rows);

void SearchQido(WebCall& call);

}  // namespace vantor::web

#endif  // VANTOR_WEB_QIDO_H_
