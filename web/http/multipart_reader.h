// Multipart bodies (RFC 2046, multipart/related and multipart/form-data):
// a streaming reader that hands each part's body on as it arrives, and the
// pieces a writer puts between parts.
#ifndef VANTOR_WEB_HTTP_MULTIPART_READER_H_
#define VANTOR_WEB_HTTP_MULTIPART_READER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor {

// Reads one multipart body fed in pieces of any size. A part's body is
// never buffered: its bytes go to the data event as they come; the reader
// holds back only the bytes that may begin a delimiter (at most the
// boundary's length + 5, and it holds them as a count, not a copy) and the
// header block of the part being read (at most max_header_bytes).
//
// The body is: a preamble (ignored), the first delimiter "--boundary" (at
// the very start, or after a CRLF), then parts, each "headers CRLF CRLF
// body" followed by CRLF "--boundary"; after the last part's body the close
// delimiter CRLF "--boundary--" and an epilogue (ignored). After a
// delimiter blanks and tabs may stand before its CRLF; header lines may end
// in a bare LF, and a delimiter line too.
//
// A text inside a body that only looks like a delimiter stays body data:
// "--boundar" without the rest, or CRLF "--boundaryX" where X is none of
// "-", blank, tab, CR or LF. CRLF "--boundary" followed by a blank or tab
// is taken for a delimiter, and anything but blanks, tabs and the line end
// after it makes the body malformed.
//
// Events run inside Feed(); they must not feed the same reader.
class MultipartReader {
 public:
  struct Part {
    // In the order written; names lower-cased, values without the blanks
    // and tabs around them (a folded line is joined with one blank).
    std::vector<std::pair<std::string, std::string>> headers;
    // The value of the first header of that name (lower-cased), empty when
    // there is none.
    std::string header(std::string_view name) const;
    // The Content-Type header's value as written, empty when the part has
    // none (RFC 2046 would take that for text/plain).
    std::string content_type() const;
  };
  struct Events {
    // A part's headers are complete; false stops with the error "rejected".
    std::function<bool(const Part& part)> begin;
    // The next piece of the current part's body (never empty); false stops
    // with the error "stopped".
    std::function<bool(std::string_view data)> data;
    // The current part is complete (parts() counts it already); false
    // stops with the error "stopped".
    std::function<bool()> end;
  };

  // `boundary` is the Content-Type's boundary parameter (unquoted): 1 to
  // 200 characters, none of them a control character (RFC 2046 keeps it to
  // 70; longer ones are taken all the same). Another one makes every Feed()
  // fail with the error "invalid boundary". Events left empty are skipped.
  MultipartReader(std::string boundary, Events events,
                  size_t max_header_bytes = 16384);

  MultipartReader(const MultipartReader&) = delete;
  MultipartReader& operator=(const MultipartReader&) = delete;

  // Feeds the next bytes of the body, in pieces of any size (1 byte to
  // megabytes). Returns false once the body is malformed or an event said
  // stop; error() tells why. Once false, every later call is false too.
  bool Feed(std::string_view bytes);

  // The body has ended: true only when the close delimiter was seen after
  // at least one part ("no boundary delimiter", "no closing delimiter",
  // "no part" otherwise). Feeding after Finish() fails.
  bool Finish();

  // Why Feed() or Finish() failed; empty while nothing did.
  const std::string& error() const { return error_; }

  // The parts read to their end so far.
  size_t parts() const { return parts_; }

 private:
  enum class State {
    kPreamble,   // before the first delimiter: bytes are dropped
    kPadding,    // after a delimiter: blanks and tabs up to its line end
    kPaddingCR,  // a CR of the padding, waiting for its LF
    kHeaders,    // a part's header lines
    kBody,       // a part's body: bytes go to the data event
    kEpilogue,   // after the close delimiter: bytes are dropped
    kFinished,   // Finish() was called
  };
  // What follows a complete "CRLF--boundary" while it is not yet known to
  // be a delimiter.
  enum class After { kNothing, kDash, kCR };

  bool Fail(std::string why);
  // Scans `in` from `at` for a delimiter in the preamble or a body;
  // returns where to go on, or npos once failed.
  size_t ScanForDelimiter(std::string_view in, size_t at);
  // A delimiter matched in the preamble or a body (`close` for the close
  // delimiter); `run` is the body data in front of it not yet handed on.
  bool OnDelimiter(std::string_view run, bool close, bool line_ended);
  size_t ReadHeaders(std::string_view in, size_t at);
  bool HeaderLine(std::string_view line);
  bool Emit(std::string_view data);
  // The bytes of the delimiter matched so far.
  std::string_view Tentative() const;

  std::string delimiter_;  // CRLF "--" boundary
  Events events_;
  size_t max_header_bytes_;
  State state_ = State::kPreamble;
  std::string error_;
  size_t parts_ = 0;

  // The delimiter match: delimiter_[0, matched_) and then `after_`. Of
  // those bytes the first `held_` came in earlier pieces.
  size_t matched_ = 0;
  After after_ = After::kNothing;
  size_t held_ = 0;

  // The part whose headers are being read, its header bytes so far and the
  // unfinished header line.
  Part part_;
  size_t header_bytes_ = 0;
  std::string line_;
};

// What a writer puts in front of a part: the delimiter (with its leading
// CRLF unless `first`), the Content-Type header and the blank line.
std::string MultipartPartHeader(const std::string& boundary,
                                const std::string& content_type, bool first);

// The close delimiter after the last part, with its line end.
std::string MultipartClose(const std::string& boundary);

// A fresh boundary: 40 random letters and digits, from the system's
// random source.
std::string NewBoundary();

}  // namespace vantor

#endif  // VANTOR_WEB_HTTP_MULTIPART_READER_H_
