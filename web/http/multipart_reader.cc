#include "web/http/multipart_reader.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "host/base/text.h"
#include "web/http/http_text.h"

namespace vantor {
namespace {

constexpr size_t kNone = std::string_view::npos;
constexpr size_t kMaxBoundary = 200;

bool ValidBoundary(std::string_view boundary) {
  if (boundary.empty() || boundary.size() > kMaxBoundary) return false;
  for (unsigned char c : boundary)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

// RFC 9110's tchar.

}  // namespace

std::string MultipartReader::Part::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (EqualsIgnoringCase(key, name)) return value;
  return std::string();
}

std::string MultipartReader::Part::content_type() const {
  return header("content-type");
}

MultipartReader::MultipartReader(std::string boundary, Events events,
                                 size_t max_header_bytes)
    : delimiter_("\r\n--" + boundary),
      events_(std::move(events)),
      max_header_bytes_(max_header_bytes) {
  if (!ValidBoundary(boundary)) error_ = "invalid boundary";
  // The first delimiter may stand at the very start, without its CRLF: the
  // reader starts as if that CRLF had come.
  matched_ = 2;
  held_ = 2;
}

bool MultipartReader::Fail(std::string why) {
  if (error_.empty()) error_ = std::move(why);
  return false;
}

bool MultipartReader::Emit(std::string_view data) {
  if (data.empty() || state_ != State::kBody || !events_.data) return true;
  if (!events_.data(data)) return Fail("stopped");
  return true;
}

std::string_view MultipartReader::Tentative() const {
  return std::string_view(delimiter_.data(), matched_);
}

bool MultipartReader::Feed(std::string_view in) {
  if (!error_.empty()) return false;
  if (state_ == State::kFinished) return Fail("fed after the end");
  size_t at = 0;
  while (at < in.size()) {
    switch (state_) {
      case State::kPreamble:
      case State::kBody:
        at = ScanForDelimiter(in, at);
        break;
      case State::kPadding:
      case State::kPaddingCR: {
        const char c = in[at++];
        if (state_ == State::kPadding && (c == ' ' || c == '\t')) break;
        if (state_ == State::kPadding && c == '\r') {
          state_ = State::kPaddingCR;
          break;
        }
        if (c != '\n') return Fail("malformed delimiter line");
        state_ = State::kHeaders;
        break;
      }
      case State::kHeaders:
        at = ReadHeaders(in, at);
        break;
      case State::kEpilogue:
        at = in.size();
        break;
      case State::kFinished:
        return Fail("fed after the end");
    }
    if (at == kNone) return false;
  }
  return true;
}

size_t MultipartReader::ScanForDelimiter(std::string_view in, size_t at) {
  const size_t n = in.size();
  const size_t d = delimiter_.size();
  size_t run = at;    // the start of the body data not yet handed on
  size_t start = at;  // where this piece's bytes of the match begin
  size_t j = at;
  while (j < n) {
    if (matched_ == 0) {
      const void* cr = std::memchr(in.data() + j, '\r', n - j);
      if (cr == nullptr) {
        j = n;
        break;
      }
      j = static_cast<size_t>(static_cast<const char*>(cr) - in.data());
      start = j++;
      matched_ = 1;
      continue;
    }
    const char c = in[j];
    if (matched_ < d) {
      if (c == delimiter_[matched_]) {
        ++matched_;
        ++j;
        continue;
      }
    } else if (after_ == After::kNothing) {
      if (c == '-') {
        after_ = After::kDash;
        ++j;
        continue;
      }
      if (c == '\r') {
        after_ = After::kCR;
        ++j;
        continue;
      }
      if (c == '\n' || c == ' ' || c == '\t') {
        ++j;
        return OnDelimiter(in.substr(run, start - run), false, c == '\n')
                   ? j
                   : kNone;
      }
    } else if (after_ == After::kDash) {
      if (c == '-') {
        ++j;
        return OnDelimiter(in.substr(run, start - run), true, false) ? j
                                                                     : kNone;
      }
    } else if (c == '\n') {  // after_ == After::kCR
      ++j;
      return OnDelimiter(in.substr(run, start - run), false, true) ? j : kNone;
    }
    // Not a delimiter: the bytes matched are data, and `c` is looked at
    // again (it may begin a delimiter itself). A CR or "-" after the
    // boundary cannot: a delimiter begins with CR LF.
    if (held_ > 0) {
      // Those of earlier pieces come first; this piece's are in the run.
      const size_t of_delimiter = std::min(held_, matched_);
      if (!Emit(Tentative().substr(0, of_delimiter))) return kNone;
      if (held_ > of_delimiter &&
          !Emit(after_ == After::kDash ? std::string_view("-")
                                       : std::string_view("\r")))
        return kNone;
      held_ = 0;
    }
    matched_ = 0;
    after_ = After::kNothing;
  }
  // The piece has ended: hand on the data, hold back the count of the bytes
  // that may begin a delimiter.
  if (matched_ > 0) {
    if (!Emit(in.substr(run, start - run))) return kNone;
    held_ += n - start;
  } else if (!Emit(in.substr(run, n - run))) {
    return kNone;
  }
  return n;
}

bool MultipartReader::OnDelimiter(std::string_view run, bool close,
                                  bool line_ended) {
  if (state_ == State::kBody) {
    if (!Emit(run)) return false;
    ++parts_;
    if (events_.end && !events_.end()) return Fail("stopped");
  }
  matched_ = 0;
  after_ = After::kNothing;
  held_ = 0;
  if (close)
    state_ = State::kEpilogue;
  else
    state_ = line_ended ? State::kHeaders : State::kPadding;
  part_ = Part();
  header_bytes_ = 0;
  line_.clear();
  return true;
}

size_t MultipartReader::ReadHeaders(std::string_view in, size_t at) {
  const size_t n = in.size();
  while (at < n) {
    const void* lf = std::memchr(in.data() + at, '\n', n - at);
    const size_t end =
        lf ? static_cast<size_t>(static_cast<const char*>(lf) - in.data()) + 1
           : n;
    const size_t take = end - at;
    if (take > max_header_bytes_ - header_bytes_) {
      Fail("part headers larger than " + std::to_string(max_header_bytes_) +
           " bytes");
      return kNone;
    }
    header_bytes_ += take;
    line_.append(in.data() + at, lf ? take - 1 : take);
    at = end;
    if (lf == nullptr) break;
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.empty()) {
      // The blank line: the body begins.
      state_ = State::kBody;
      matched_ = 0;
      after_ = After::kNothing;
      held_ = 0;
      if (events_.begin && !events_.begin(part_)) {
        Fail("rejected");
        return kNone;
      }
      return at;
    }
    if (!HeaderLine(line_)) return kNone;
    line_.clear();
  }
  return at;
}

bool MultipartReader::HeaderLine(std::string_view line) {
  if (line.front() == ' ' || line.front() == '\t') {
    // A folded line goes on with the header before it.
    if (part_.headers.empty()) return Fail("malformed part header");
    std::string_view more = TrimBlanks(line);
    std::string& value = part_.headers.back().second;
    if (!more.empty()) {
      if (!value.empty()) value += ' ';
      value += more;
    }
    return true;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0)
    return Fail("malformed part header");
  const std::string_view name = line.substr(0, colon);
  for (unsigned char c : name)
    if (!TokenChar(c)) return Fail("malformed part header");
  part_.headers.emplace_back(LowerCase(name),
                             std::string(TrimBlanks(line.substr(colon + 1))));
  return true;
}

bool MultipartReader::Finish() {
  if (state_ == State::kFinished || !error_.empty()) {
    state_ = State::kFinished;
    return error_.empty();
  }
  const State was = state_;
  state_ = State::kFinished;
  switch (was) {
    case State::kPreamble:
      return Fail("no boundary delimiter");
    case State::kEpilogue:
      return parts_ > 0 ? true : Fail("no part");
    default:
      return Fail("no closing delimiter");
  }
}

std::string MultipartPartHeader(const std::string& boundary,
                                const std::string& content_type, bool first) {
  std::string out = first ? "--" : "\r\n--";
  out += boundary;
  out += "\r\nContent-Type: ";
  out += content_type;
  out += "\r\n\r\n";
  return out;
}

std::string MultipartClose(const std::string& boundary) {
  return "\r\n--" + boundary + "--\r\n";
}

std::string NewBoundary() {
  static constexpr char kChars[] =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::random_device random;
  std::uniform_int_distribution<int> pick(0, sizeof(kChars) - 2);
  std::string boundary(40, '0');
  for (char& c : boundary) c = kChars[pick(random)];
  return boundary;
}

}  // namespace vantor
