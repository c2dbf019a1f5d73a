// The DCMTK side of a Dataset, for the toolkit layer's own files.
#ifndef VANTOR_DICOM_DATASET_IMPL_H_
#define VANTOR_DICOM_DATASET_IMPL_H_

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <string>

#include "dicom/toolkit/toolkit.h"

class DcmFileFormat;

namespace vantor::dicom {

struct Dataset::Impl {
  DcmDataset ds;
};

// A dataset that takes over (a copy of) a DCMTK dataset.
Dataset FromDcmDataset(const DcmDataset& ds);

// Decodes the text values of `ds` from its Specific Character Set to UTF-8.
// Returns the character set the dataset was written in ("" for the default
// repertoire). On a set that cannot be decoded the values stay as they are.
std::string DecodeToUtf8(DcmDataset& ds);

// Encodes the UTF-8 text values of `ds` in `charset` (the requester's set,
// "" for the default repertoire) and sets (0008,0005) to say so. When that
// set cannot hold a value, the dataset stays UTF-8 and says ISO_IR 192.
void EncodeFromUtf8(DcmDataset& ds, const std::string& charset);

// The transfer syntax of a loaded Part 10 file: its meta header's, or,
// without one, the one its dataset was read in.
std::string LoadedFileSyntax(DcmFileFormat& file);

// Reads, once, the dictionaries DeferPrivateDictionary left for later, so
// that a file read as a dataset knows every attribute; does nothing when
// the whole dictionary was read at once. Called before a file is read.
void EnsureFullDictionary();

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_DATASET_IMPL_H_
