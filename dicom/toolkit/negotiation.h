// Which presentation contexts the service accepts on an association.
#ifndef VANTOR_DICOM_NEGOTIATION_H_
#define VANTOR_DICOM_NEGOTIATION_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>

#include <string>

namespace vantor::dicom {

// Accepts Verification, the query/retrieve models (FIND, MOVE, GET of
// Patient Root, Study Root and Patient/Study Only) and the event-report
// carrier in an uncompressed transfer syntax, and every storage SOP class in
// the requester's uncompressed or compressed syntaxes, with the role the
// requester proposes (so C-GET can send back on its storage contexts).
// Everything else is refused. Returns the number of refused contexts.
// `stored_syntax`, when not empty, is the syntax received images are stored
// in: a storage context that proposes it is accepted with it, so that the
// image can be stored as it arrives.
int AcceptPresentationContexts(T_ASC_Parameters* params,
                               const std::string& stored_syntax = "");

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_NEGOTIATION_H_
