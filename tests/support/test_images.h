// Small DICOM image files for the end-to-end tests, and reading back what
// the service wrote.
#ifndef VANTOR_TESTS_SUPPORT_TEST_IMAGES_H_
#define VANTOR_TESTS_SUPPORT_TEST_IMAGES_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vantor {

struct TestImage {
  std::string sop_instance_uid = "1.2.826.0.1.3680043.9.1.1";
  std::string sop_class_uid = "1.2.840.10008.5.1.4.1.1.2";  // CT
  std::string modality = "CT";
  std::string patient_id = "P1";
  std::string patient_name = "Meyer^Anna";
  std::string study_uid = "1.2.826.0.1.3680043.9.2";
  std::string series_uid = "1.2.826.0.1.3680043.9.3";
  int rows = 64;
  int columns = 64;
  // Further attributes by keyword ("StudyDate", "InstanceNumber", ...) and
  // their value as text.
  std::vector<std::pair<std::string, std::string>> extra{};
  // The pixel data: `frames` frames (Number of Frames is written when more
  // than one) of `samples_per_pixel` samples (1: MONOCHROME2, 3: RGB) of
  // `bits_allocated` bits (8 or 16), each frame in a pattern of its own.
  int frames = 1;
  int bits_allocated = 16;
  int samples_per_pixel = 1;
  // The file's transfer syntax; a compressed one is made with the
  // service's codecs.
  std::string transfer_syntax = "1.2.840.10008.1.2.1";
};

// Writes `image` as a Part 10 file (by default in explicit little endian,
// 16-bit monochrome pixels in a pattern that covers the whole value range).
// Throws std::runtime_error when it cannot.
void WriteTestImage(const std::string& path, const TestImage& image);

// The native pixel bytes (little endian) of `image` as WriteTestImage
// writes them, frame `frame` (from 0) only, or all frames when -1.
std::string TestImagePixelBytes(const TestImage& image, int frame = -1);

// The transfer syntax of a Part 10 file's meta header; "" when unreadable.
std::string FileTransferSyntax(const std::string& path);

// The file's pixel values after decoding any compression; empty when the
// file or its pixels cannot be read.
std::vector<uint16_t> DecodedPixels(const std::string& path);

// The file's pixel data bytes after decoding any compression (native, in
// little endian), whatever its depth; empty when the file or its pixels
// cannot be read.
std::string DecodedPixelBytes(const std::string& path);

// Makes the Part 10 file at `path` (explicit little endian, its pixel data
// the last element, uncompressed) claim `length` bytes of pixel data and
// extends it to match, sparsely: a file with far more pixel data than the
// disk holds. Throws std::runtime_error when the file is not of that form.
void ClaimPixelDataLength(const std::string& path, uint32_t length);

// The peak resident memory of this process so far, in bytes.
size_t PeakResidentBytes();

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_TEST_IMAGES_H_
