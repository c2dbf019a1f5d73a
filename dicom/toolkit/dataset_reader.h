// Reading the dataset a DIMSE command announced, so that a dataset whose
// content does not parse is still read to its end and can be refused on the
// open association.
#ifndef VANTOR_DICOM_DATASET_READER_H_
#define VANTOR_DICOM_DATASET_READER_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmnet/assoc.h>

#include <memory>
#include <string>

namespace vantor::dicom {

// How receiving an announced dataset ended.
enum class DataResult {
  kReceived,    // complete and parsed
  kUnparsable,  // every piece arrived; its content does not parse
  kLost,        // the association is of no more use
};

// Reads the dataset a command announced, piece by piece up to its last
// piece even when its content stops parsing, so that the association
// stays in step for the response and the next command. `why` tells what
// went wrong.
// `timeout`: seconds each PDU may take to arrive.
DataResult ReceiveDataset(T_ASC_Association* assoc, int timeout,
                          std::unique_ptr<DcmDataset>& out, std::string& why);

// Appends the dataset a command announced to the file open on `fd`, its
// pieces as they arrived, without parsing them; with `write_out` the
// writing out to the disk is started as the file grows. A write that fails
// leaves its errno in
// `write_error`; the rest of the dataset is then read and dropped, so that
// the association stays in step. kUnparsable: a piece of odd length (the
// file is then of no use either).
DataResult ReceiveDatasetToFile(T_ASC_Association* assoc, int timeout, int fd,
                                bool write_out, int& write_error,
                                std::string& why);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_DATASET_READER_H_
