// Rendered images for the DICOMweb port (WADO-URI, WADO-RS /rendered and
// thumbnails): one frame of a Part 10 file as an 8-bit JPEG or PNG.
#ifndef VANTOR_DICOM_RENDERING_H_
#define VANTOR_DICOM_RENDERING_H_

#include <string>

namespace vantor::dicom {

enum class ImageFormat { kJpeg, kPng };

// Frame `frame` (counting from 1) of the Part 10 file at `path`, rendered
// with DCMTK's dcmimage: a monochrome image through the file's first VOI
// window (else its first VOI LUT, else a window over the frame's smallest
// to largest value), a colour image as it is (RGB). Scaled down, aspect
// kept, so that neither side exceeds `max_size` when that is above 0 (an
// image that fits is not enlarged). `quality` (1 to 100) is the JPEG
// quality; PNG ignores it. Returns the encoded file's bytes. Throws
// Failure(9, ...) for a frame that is not there (no pixel data, a number
// below 1 or above Number of Frames) and Failure(75, ...) with the reason
// when the file cannot be read or its image not rendered.
std::string RenderFrame(const std::string& path, int frame, ImageFormat format,
                        int max_size, int quality);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_RENDERING_H_
