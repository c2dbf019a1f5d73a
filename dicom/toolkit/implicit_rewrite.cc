#include "dicom/toolkit/implicit_rewrite.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vantor::dicom {
namespace {

constexpr uint32_t kUndefined = 0xFFFFFFFF;
constexpr uint16_t kItemGroup = 0xFFFE;
constexpr uint16_t kItem = 0xE000;
constexpr uint16_t kItemEnd = 0xE00D;
constexpr uint16_t kSequenceEnd = 0xE0DD;

uint16_t U16(const unsigned char* p) { return p[0] | (p[1] << 8); }
uint32_t U32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Value representations with a 4-byte length after two reserved bytes.
bool LongForm(const char vr[2]) {
  static const char* const kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                      "SV", "UC", "UN", "UR", "UT", "UV"};
  for (const char* v : kLong)
    if (vr[0] == v[0] && vr[1] == v[1]) return true;
  return false;
}

bool ShortForm(const char vr[2]) {
  static const char* const kShort[] = {
      "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL", "IS", "LO",
      "LT", "PN", "SH", "SL", "SS", "ST", "TM", "UI", "UL", "US"};
  for (const char* v : kShort)
    if (vr[0] == v[0] && vr[1] == v[1]) return true;
  return false;
}

// Collects the output in pieces of 64 KiB.
class Output {
 public:
  explicit Output(const RewriteSink& sink) : sink_(sink) {
    buffer_.reserve(kPiece);
  }
  void Header(uint16_t group, uint16_t element, uint32_t length) {
    unsigned char h[8] = {
        static_cast<unsigned char>(group), static_cast<unsigned char>(group >> 8),
        static_cast<unsigned char>(element),
        static_cast<unsigned char>(element >> 8),
        static_cast<unsigned char>(length),
        static_cast<unsigned char>(length >> 8),
        static_cast<unsigned char>(length >> 16),
        static_cast<unsigned char>(length >> 24)};
    Append(h, sizeof h);
  }
  void Append(const unsigned char* data, size_t size) {
    if (error_ != 0) return;
    if (buffer_.size() + size > kPiece) Flush();
    if (size >= kPiece) {
      error_ = sink_(reinterpret_cast<const char*>(data), size);
      return;
    }
    buffer_.insert(buffer_.end(), data, data + size);
  }
  int Finish() {
    Flush();
    return error_;
  }
  int error() const { return error_; }

 private:
  static constexpr size_t kPiece = 64 * 1024;
  void Flush() {
    if (error_ == 0 && !buffer_.empty())
      error_ = sink_(reinterpret_cast<const char*>(buffer_.data()),
                     buffer_.size());
    buffer_.clear();
  }
  const RewriteSink& sink_;
  std::vector<unsigned char> buffer_;
  int error_ = 0;
};

// An open sequence or item: of defined length until `end`, or of undefined
// length (`end` 0) until its delimiter.
struct Container {
  size_t end;
  bool item;
};

}  // namespace

RewriteResult RewriteAsImplicit(const unsigned char* data, size_t size,
                                const RewriteSink& sink, int& write_error) {
  write_error = 0;
  Output out(sink);
  std::vector<Container> open;
  size_t pos = 0;
  for (;;) {
    // Defined lengths that end here get the delimiters they now need.
    while (!open.empty() && open.back().end == pos) {
      out.Header(kItemGroup, open.back().item ? kItemEnd : kSequenceEnd, 0);
      open.pop_back();
    }
    if (pos == size) break;
    size_t limit = size;
    for (const Container& c : open)
      if (c.end != 0) limit = c.end;  // the innermost defined one bounds
    if (pos > limit || limit - pos < 8 || open.size() > 64)
      return RewriteResult::kNotHandled;
    const unsigned char* p = data + pos;
    const uint16_t group = U16(p);
    const uint16_t element = U16(p + 2);
    if (group == kItemGroup) {
      const uint32_t length = U32(p + 4);
      pos += 8;
      const bool in_sequence = !open.empty() && !open.back().item;
      if (element == kItem && in_sequence) {
        if (length != kUndefined && length > limit - pos)
          return RewriteResult::kNotHandled;
        out.Header(kItemGroup, kItem, kUndefined);
        open.push_back({length == kUndefined ? 0 : pos + length, true});
        continue;
      }
      // A delimiter closes the undefined-length container it belongs to.
      const bool closes =
          length == 0 && !open.empty() && open.back().end == 0 &&
          ((element == kItemEnd && open.back().item) ||
           (element == kSequenceEnd && !open.back().item));
      if (!closes) return RewriteResult::kNotHandled;
      out.Append(p, 8);
      open.pop_back();
      continue;
    }
    // Items hold elements, sequences only items.
    if (!open.empty() && !open.back().item) return RewriteResult::kNotHandled;
    const char vr[2] = {static_cast<char>(p[4]), static_cast<char>(p[5])};
    uint32_t length;
    size_t header;
    if (LongForm(vr)) {
      if (limit - pos < 12) return RewriteResult::kNotHandled;
      length = U32(p + 8);
      header = 12;
    } else if (ShortForm(vr)) {
      length = U16(p + 6);
      header = 8;
    } else {
      return RewriteResult::kNotHandled;
    }
    pos += header;
    if (vr[0] == 'S' && vr[1] == 'Q') {
      if (length != kUndefined && length > limit - pos)
        return RewriteResult::kNotHandled;
      out.Header(group, element, kUndefined);
      open.push_back({length == kUndefined ? 0 : pos + length, false});
      continue;
    }
    if (length == kUndefined || length > limit - pos)
      return RewriteResult::kNotHandled;
    // A group length would count the explicit headers.
    if (element != 0x0000) {
      out.Header(group, element, length);
      out.Append(data + pos, length);
    }
    pos += length;
    if (out.error() != 0) break;
  }
  if (out.error() == 0 && !open.empty()) return RewriteResult::kNotHandled;
  write_error = out.Finish();
  return write_error == 0 ? RewriteResult::kDone : RewriteResult::kWriteFailed;
}

}  // namespace vantor::dicom
