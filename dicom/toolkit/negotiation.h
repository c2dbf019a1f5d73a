// Which presentation contexts the service accepts on an association.
#ifndef VANTOR_DICOM_NEGOTIATION_H_
#define VANTOR_DICOM_NEGOTIATION_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>

namespace vantor::dicom {

// Accepts Verification, the query/retrieve models (FIND, MOVE, GET of
// Patient Root, Study Root and Patient/Study Only) and the event-report
// carrier in an uncompressed transfer syntax, and every storage SOP class in
// the requester's uncompressed or compressed syntaxes, with the role the
// requester proposes (so C-GET can send back on its storage contexts).
// Everything else is refused. Returns the number of refused contexts.
int AcceptPresentationContexts(T_ASC_Parameters* params);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_NEGOTIATION_H_
