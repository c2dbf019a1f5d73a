// Part 10 files on their way out: what their meta header says, and the
// reading ahead of the next file while one is on the wire.
#ifndef VANTOR_DICOM_PART10_FILE_H_
#define VANTOR_DICOM_PART10_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

struct Part10Header {
  std::string sop_class;
  std::string sop_instance;
  std::string transfer_syntax;
  bool has_meta = false;  // the values come from a Part 10 meta header
  // Where the dataset starts, right after the meta header; 0 when that is
  // not known (no meta header, or one read by the toolkit's parser).
  uint64_t dataset_offset = 0;
  std::string error;  // why the file cannot be sent ("" when it can)
};

// The SOP class, instance and transfer syntax of a Part 10 file, from its
// meta header (or, without one, from the dataset's start). A well-formed
// meta header is read with one small read, without the toolkit's parser.
Part10Header ReadPart10Header(const std::string& path);

// The meta header of a Part 10 file whose first bytes are `head` (the
// preamble, "DICM" and the meta elements): its UIDs and where the dataset
// starts. Sets `more` (and returns false) when the meta header goes on
// beyond `head`; returns false when it is not a complete, well-formed meta
// header with the three UIDs.
bool ParseMetaHeader(std::string_view head, Part10Header& header,
                     size_t& more);

// Asks the system to read the first bytes of each file (where its meta
// header is) into its cache in the background, so that reading the headers
// one after the other does not wait for the disk file by file.
void ReadHeadersAhead(const std::vector<std::string>& paths);

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
