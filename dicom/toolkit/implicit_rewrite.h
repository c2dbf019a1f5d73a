// Explicit VR little endian rewritten as implicit VR little endian without
// decoding a value: only the element headers change. Sequences and items
// of defined length become undefined length with their delimiters, since
// their lengths shrink where the explicit headers were long; group lengths
// are left out, since they would no longer be right.
#ifndef VANTOR_DICOM_IMPLICIT_REWRITE_H_
#define VANTOR_DICOM_IMPLICIT_REWRITE_H_

#include <cstddef>
#include <functional>

namespace vantor::dicom {

// Receives the rewritten bytes in pieces; returns 0 or the errno of a
// failed write, which ends the rewriting.
using RewriteSink = std::function<int(const char* data, size_t size)>;

enum class RewriteResult {
  kDone,
  kNotHandled,  // a construct left to the toolkit's encoder (nothing usable
                // was written)
  kWriteFailed,
};

// Rewrites the dataset `data` (`size` bytes, explicit VR little endian) as
// implicit VR little endian into `sink`. Not handled: a value representation
// it does not know, undefined lengths outside sequences and items, a length
// that runs past its container or the end, a container not closed.
RewriteResult RewriteAsImplicit(const unsigned char* data, size_t size,
                                const RewriteSink& sink, int& write_error);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_IMPLICIT_REWRITE_H_
