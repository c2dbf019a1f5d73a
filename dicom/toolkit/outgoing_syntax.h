// The transfer syntax a stored file goes out in on an association, the one
// choice the C-GET sub-operations (query_request.cc) and the C-STORE client
// (store_client.cc) share: the file as it is stored when the peer accepted
// that syntax, else its dataset converted to the best accepted syntax it
// can be converted to (RankAcceptedSyntaxes in transcoder.h).
//
// For the toolkit layer's own files: the DCMTK types are only declared
// here, so that the header stays free of DCMTK's.
#ifndef VANTOR_DICOM_OUTGOING_SYNTAX_H_
#define VANTOR_DICOM_OUTGOING_SYNTAX_H_

#include <cstdint>
#include <string>
#include <vector>

struct T_ASC_Association;
class DcmDataset;

namespace vantor::dicom {

// An accepted presentation context of an association.
struct AcceptedContext {
  uint8_t id = 0;
  std::string transfer_syntax;
};

// The accepted contexts of `assoc` for the abstract syntax `sop_class`, in
// the order of their IDs.
std::vector<AcceptedContext> AcceptedContexts(T_ASC_Association* assoc,
                                              const std::string& sop_class);

// The context on which a file stored in `stored_syntax` goes out as it is
// (without being parsed): one accepted for `sop_class` in exactly that
// syntax; 0 when there is none.
uint8_t StoredSyntaxContext(T_ASC_Association* assoc,
                            const std::string& sop_class,
                            const std::string& stored_syntax);

// For a dataset read from a file stored in `stored_syntax`: the best
// context accepted for `sop_class` whose syntax the dataset can be
// converted to, the dataset converted to it (trying the next context when
// the codec refuses the image). 0, with why in `error`, when there is none.
uint8_t PrepareForContext(T_ASC_Association* assoc,
                          const std::string& sop_class,
                          const std::string& stored_syntax, DcmDataset& ds,
                          std::string& error);

// Converts the pixel data of `ds` (read in `from_syntax`) so that the
// dataset can be written in `to_syntax`, keeping its SOP Instance UID.
// Returns "" on success, else why it cannot.
std::string ConvertDataset(DcmDataset& ds, const std::string& from_syntax,
                           const std::string& to_syntax);

// Bits Allocated of the dataset's pixel data; 0 when it has none.
int PixelBitsAllocated(DcmDataset& ds);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_OUTGOING_SYNTAX_H_
