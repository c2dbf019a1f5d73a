// WADO-RS: the stored instances of a study, series or instance as
// multipart/related application/dicom (as stored, or transcoded when a
// syntax is asked for), their metadata as DICOM JSON, frames, rendered
// pictures and thumbnails; and WADO-URI for older viewers.
#ifndef VANTOR_WEB_WADO_H_
#define VANTOR_WEB_WADO_H_

#include <string>
#include <vector>

#include "web/web_call.h"

namespace vantor::web {

// The transfer syntax an Accept header asks instances in: "*" for as
// stored (also when it names none); "" when it accepts no DICOM at all.
std::string RequestedInstanceSyntax(const std::string& accept);

// The media type of a frame in `transfer_syntax` ("application/octet-stream"
// for native frames, "image/jpeg", "image/jls", ...).
std::string FrameMediaType(const std::string& transfer_syntax);

// The files of the route's study, series or instance; false when they
// could not be selected (logged by the selection).
bool RouteFiles(const WebCall& call, std::vector<std::string>& files);

void RetrieveInstances(WebCall& call);
void RetrieveMetadata(WebCall& call);
void RetrieveFrames(WebCall& call);
void RetrieveRendered(WebCall& call);
void RetrieveBulkData(WebCall& call);
void RetrieveWadoUri(WebCall& call);

}  // namespace vantor::web

#endif  // VANTOR_WEB_WADO_H_
