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

void SearchQido(WebCall& call);

}  // namespace vantor::web

#endif  // VANTOR_WEB_QIDO_H_
