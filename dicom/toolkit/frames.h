// Frames of the pixel data of a Part 10 file, for WADO-RS frame retrieval:
// decompressed one by one (a multi-frame image is not decoded whole), or as
// they are stored.
#ifndef VANTOR_DICOM_FRAMES_H_
#define VANTOR_DICOM_FRAMES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::dicom {

// The failure number of a frame that is not there (a number below 1 or
// above Number of Frames, an empty list, a file without pixel data): the
// caller answers "not found". Every other failure (75: the file cannot be
// read or its pixel data does not decode) is one of the server.
inline constexpr int32_t kFrameOutOfRange = 9;  // "Subscript out of range"

struct Frames {
  // The transfer syntax the frames are in.
  std::string transfer_syntax;
  // One entry per requested number, in the order asked.
  std::vector<std::string> data;
};

// Frames `numbers` (counting from 1; repeats allowed) of the Part 10 file
// at `path`.
//   as_stored false: each frame decompressed, native little endian, the
//     bytes of exactly one frame (Rows * Columns * Samples per Pixel *
//     Bits Allocated / 8; a colour JPEG comes out as RGB);
//     transfer_syntax "1.2.840.10008.1.2.1".
//   as_stored true: for a compressed file the frames as stored (the
//     fragments of the frame, one after the other, each as stored with its
//     padding) and the file's transfer syntax; for an uncompressed file the
//     native frames as above, transfer_syntax the file's own when it is
//     little endian ("1.2.840.10008.1.2" or ".1"), else ".1".
// Only the requested frames are read from the disk. Throws
// Failure(kFrameOutOfRange, ...) for a frame that is not there, and
// Failure(75, ...) with the toolkit's reason when the file cannot be read
// or a frame cannot be decoded.
Frames ReadFrames(const std::string& path, const std::vector<int>& numbers,
                  bool as_stored);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_FRAMES_H_
