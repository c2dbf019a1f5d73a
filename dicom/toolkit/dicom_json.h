// The DICOM JSON model of DICOMweb for the web port, written by
// DCMTK's JSON writer: compact (no blanks, no line breaks), person names as
// {"Alphabetic": ...}, an empty attribute as {"vr":"XX"} alone, numbers of
// IS and DS as JSON numbers, binary values inline as base64 unless said
// otherwise below.
//
// Text goes out as UTF-8. Specific Character Set (0008,0005), when the
// dataset has it, is written as "ISO_IR 192".
#ifndef VANTOR_DICOM_DICOM_JSON_H_
#define VANTOR_DICOM_DICOM_JSON_H_

#include <functional>
#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

// A JSON array with one object per dataset, in order ("[]" for none). The
// datasets hold UTF-8 text (a query's response datasets). One writer serves
// the whole array: tens of thousands of objects a second. An attribute the
// writer cannot represent (a DS of "NaN") is left out of its object.
std::string DatasetsToJson(const DatasetCollection& datasets);

// One such object, for answers that are built up (or streamed) piece by
// piece: "[" + DatasetToJsonObject(a) + "," + ... + "]".
std::string DatasetToJsonObject(const Dataset& dataset);

// The metadata of the Part 10 file at `path` as ONE JSON object (no array
// brackets): its dataset (not the meta header), text decoded to UTF-8 from
// its Specific Character Set, with these values left on the disk and
// written as {"vr":..., "BulkDataURI": ...} instead:
//   - Pixel Data (7FE0,0010) of the dataset: instance_uri +
//     "/frames/1,2,...,N" (N = Number of Frames, 1 when absent);
//   - Float and Double Float Pixel Data (7FE0,0008), (7FE0,0009), and every
//     other binary value (OB, OW, OF, OD, OL, OV, UN) longer than 1024
//     bytes: instance_uri + "/bulk/GGGGEEEE" (upper-case hex) at the top
//     level; inside a sequence the path to it,
//     instance_uri + "/bulk/GGGGEEEE/I/GGGGEEEE" (I = the item, from 0),
//     as ReadBulkData reads it.
// The pixel data is not read into memory. Throws Failure(75, reason) when
// the file cannot be read as DICOM.
std::string FileMetadataJson(const std::string& path,
                             const std::string& instance_uri);

// The same with the instance's URI made from the file's own Study, Series
// and SOP Instance UIDs, read in the same pass.
using InstanceUri = std::function<std::string(
    const std::string& study, const std::string& series,
    const std::string& instance)>;
std::string FileMetadataJson(const std::string& path,
                             const InstanceUri& instance_uri);

// The value of a bulk data element of the Part 10 file at `path`, named by
// the part of its BulkDataURI after "/bulk/" ("00420011", or
// "00880200/0/7FE00010" inside a sequence): its bytes in little endian
// order. For encapsulated pixel data, its fragments one after the other.
// Throws Failure 9 ("Subscript out of range") when the file has no such
// element, 5 when `bulk_path` is not such a path, 75 when the file cannot
// be read.
std::string ReadBulkData(const std::string& path, const std::string& bulk_path);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_DICOM_JSON_H_
