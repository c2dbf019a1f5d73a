// Transfer syntax conversion of Part 10 files: for WADO-RS answers in the
// syntax a client asks for, and for C-GET and C-MOVE to peers that did not
// accept the syntax a file is stored in.
//
// The syntaxes the toolkit converts between (UIDs under 1.2.840.10008.1.2):
//   sources: implicit (…1.2) and explicit (.1) little endian, explicit big
//     endian (.2), deflated explicit little endian (.1.99), JPEG baseline
//     (.4.50), JPEG extended (.4.51), JPEG lossless (.4.57, .4.70), JPEG-LS
//     lossless and near-lossless (.4.80, .4.81), RLE lossless (.5)
//   targets: implicit and explicit little endian, JPEG baseline (8-bit
//     images only), JPEG lossless (.4.57, .4.70), JPEG-LS lossless (.4.80),
//     RLE lossless (.5)
// A file always "converts" to the syntax it is in. A lossy target keeps
// the SOP Instance UID (the instance is the same, only its encoding
// differs) and sets Lossy Image Compression (0028,2110) to "01".
#ifndef VANTOR_DICOM_TRANSCODER_H_
#define VANTOR_DICOM_TRANSCODER_H_

#include <string>
#include <vector>

namespace vantor::dicom {

// Whether a file in `from_syntax` can be converted to `to_syntax` (see the
// table above). For JPEG baseline as the target this is a promise for
// 8-bit images only: TranscodeFile refuses a deeper one.
bool CanTranscode(const std::string& from_syntax, const std::string& to_syntax);

// Reads the Part 10 file at `path` and puts the whole Part 10 file in
// `to_syntax` into `part10_out` (meta header with the new transfer syntax,
// SOP class and instance kept). A file already in `to_syntax` comes out
// re-encoded but unchanged in content. Throws a Failure: 75 with the
// toolkit's reason when the file cannot be read, 5 when the conversion is
// not one CanTranscode allows or the codec refuses the image (a 16-bit
// image to JPEG baseline, pixel data that does not decode).
void TranscodeFile(const std::string& path, const std::string& to_syntax,
                   std::string& part10_out);

// The same, written to the new file `out_path` (replaced when it exists;
// no file is left behind on a failure).
void TranscodeFileTo(const std::string& path, const std::string& to_syntax,
                     const std::string& out_path);

// The order in which a file stored in `stored_syntax` goes out on an
// association that accepted `accepted` (one transfer syntax per accepted
// presentation context of the file's SOP class): indices into `accepted`,
// best first. The stored syntax comes first (the file goes out as it is);
// then, converted, the uncompressed syntaxes (explicit and implicit little
// endian, explicit big endian, deflated), the lossless compressed ones
// (JPEG lossless SV1, JPEG lossless, JPEG-LS lossless, RLE) and, last,
// JPEG baseline. Only syntaxes the image can be converted to are listed:
// `bits_allocated` is the image's Bits Allocated (0 for an object without
// pixel data, which goes in any of them); JPEG baseline takes 8 bits only,
// JPEG and JPEG-LS lossless 16 at most. Empty when none fits.
std::vector<size_t> RankAcceptedSyntaxes(
    const std::string& stored_syntax, int bits_allocated,
    const std::vector<std::string>& accepted);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_TRANSCODER_H_
