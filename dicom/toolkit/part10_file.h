// Part 10 files on their way out: what their meta header says, and the
// reading ahead of the next file while one is on the wire.
#ifndef VANTOR_DICOM_PART10_FILE_H_
#define VANTOR_DICOM_PART10_FILE_H_

#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

struct Part10Header {
  std::string sop_class;
  std::string sop_instance;
  std::string transfer_syntax;
  bool has_meta = false;  // the values come from a Part 10 meta header
  std::string error;      // why the file cannot be sent ("" when it can)
};

// The SOP class, instance and transfer syntax of a Part 10 file, from its
// meta header (or, without one, from the dataset's start).
Part10Header ReadPart10Header(const std::string& path);

// The attributes of a Part 10 file up to its pixel data (which is not
// read), text decoded to UTF-8 from its Specific Character Set, and its
// transfer syntax in `transfer_syntax` when given. Throws a Failure (75,
// with the toolkit's reason) when the file cannot be read as DICOM.
Dataset ReadPart10Attributes(const std::string& path,
                             std::string* transfer_syntax = nullptr);

// Asks the system to read the whole file into its cache in the background
// (posix_fadvise WILLNEED), so that it is there when it is sent. Does
// nothing for a file that cannot be opened.
void ReadAhead(const std::string& path);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_PART10_FILE_H_
