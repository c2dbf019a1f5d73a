// One C-STORE of a Part 10 file whose dataset goes out exactly as it is
// stored: the command, then the file's bytes after its meta header read
// straight into the data PDVs, then the response. Nothing of the file is
// parsed; the caller has made sure that the context's syntax is the file's.
//
// For the toolkit layer's own files: the DCMTK types are only declared
// here, so that the header stays free of DCMTK's.
#ifndef VANTOR_DICOM_STORED_FILE_STORE_H_
#define VANTOR_DICOM_STORED_FILE_STORE_H_

#include <cstdint>
#include <string>

struct T_ASC_Association;
struct T_DIMSE_C_StoreRQ;
struct T_DIMSE_C_StoreRSP;
class DcmDataset;
class OFCondition;

namespace vantor::dicom {

// The C-STORE command `request` on the context `pc_id` with the dataset of
// the file `path`, which starts at `dataset_offset` (after the meta
// header), then the peer's response into `response` (and its status detail
// into `detail`, which the caller deletes), waiting at most `timeout`
// seconds for it. The request's affected SOP class and instance, message
// ID and priority are sent; it carries no other options. A bad condition
// when the file cannot be read before anything was sent, when sending or
// receiving failed, or when the response is not the one to this request;
// after a failure in the middle of the dataset the association is of no
// further use (as with the toolkit's own C-STORE).
OFCondition StoreFileAsStored(T_ASC_Association* assoc, uint8_t pc_id,
                              const T_DIMSE_C_StoreRQ& request,
                              const std::string& path, uint64_t dataset_offset,
                              int timeout, T_DIMSE_C_StoreRSP* response,
                              DcmDataset** detail);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_STORED_FILE_STORE_H_
