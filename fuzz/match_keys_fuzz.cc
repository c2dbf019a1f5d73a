// The translation of matching keys into SQL: the statement builders of the
// four C-FIND levels, C-GET and C-MOVE, on identifiers whose values come
// from the fuzzer. Whatever a key holds, it must land inside a quoted
// literal (or be a validated number): the statement re-tokenised must have
// the same structure as the one built from the same keys with every
// apostrophe replaced, and nothing outside the literals may end the
// statement or start a comment.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dicom/toolkit/toolkit.h"
#include "fuzz/sql_tokens.h"
#include "host/base/value.h"
#include "query/image_query.h"
#include "query/patient_query.h"
#include "query/series_query.h"
#include "query/study_query.h"
#include "retrieve/cget_files.h"
#include "retrieve/move_handoff.h"

namespace {

struct Tag {
  uint16_t group, element;
};

// Every key the builders read.
constexpr Tag kTags[] = {
    {0x0008, 0x0018}, {0x0008, 0x0020}, {0x0008, 0x0021}, {0x0008, 0x0030},
    {0x0008, 0x0031}, {0x0008, 0x0050}, {0x0008, 0x0052}, {0x0008, 0x0060},
    {0x0008, 0x0061}, {0x0008, 0x0090}, {0x0008, 0x1030}, {0x0010, 0x0010},
    {0x0010, 0x0020}, {0x0010, 0x0030}, {0x0010, 0x0040}, {0x0018, 0x0010},
    {0x0018, 0x0015}, {0x0018, 0x0050}, {0x0019, 0x0011}, {0x0020, 0x000D},
    {0x0020, 0x000E}, {0x0020, 0x0010}, {0x0020, 0x0011}, {0x0020, 0x0013},
    {0x0020, 0x1000}, {0x0020, 0x1041}, {0x0020, 0x1200}, {0x0020, 0x1202},
    {0x0020, 0x1204}, {0x0020, 0x1206}, {0x0020, 0x1208}, {0x0020, 0x1209},
    {0x0032, 0x000A}, {0x0032, 0x000C}, {0x0038, 0x0008}, {0x0038, 0x0500},
};
constexpr const char* kDateFormats[] = {"YYYY-MM-DD", "YYYYMMDD", "DD.MM.YYYY",
                                        ""};

struct Keys {
  std::vector<std::pair<Tag, std::string>> values;
};

vantor::dicom::Dataset Build(const Keys& keys, bool neutral) {
  vantor::dicom::Dataset ds;
  for (const auto& [tag, text] : keys.values) {
    std::string value = text;
    if (neutral)
      for (char& c : value)
        if (c == '\'') c = 'q';
    // A value the toolkit refuses to encode (a UID keyword it does not
    // know) never reaches the builders from the network either.
    try {
      ds.Put(tag.group, tag.element,
             value.empty() ? vantor::Value() : vantor::Value(value));
    } catch (const std::exception&) {
    }
  }
  return ds;
}

template <typename F>
std::optional<std::string> Statement(F&& build) {
  try {
    return build();
  } catch (const std::exception&) {
    // A key the builder refuses (a patient ID that is no number, a date
    // that cannot be read) is refused with a Failure; that is not a fault.
    return std::nullopt;
  }
}

void Check(const std::optional<std::string>& sql,
           const std::optional<std::string>& neutral_sql) {
  if (!sql) return;
  std::optional<std::vector<vantor::fuzz::SqlToken>> tokens =
      vantor::fuzz::Tokenise(*sql);
  if (!tokens) vantor::fuzz::Fail("a literal that is not closed", *sql);
  vantor::fuzz::CheckNoStatementBreak(*tokens, *sql);
  if (!neutral_sql) return;
  std::optional<std::vector<vantor::fuzz::SqlToken>> neutral =
      vantor::fuzz::Tokenise(*neutral_sql);
  if (!neutral)
    vantor::fuzz::Fail("a literal that is not closed", *neutral_sql);
  if (vantor::fuzz::Skeleton(*tokens) != vantor::fuzz::Skeleton(*neutral)) {
    std::fprintf(stderr, "with apostrophes: %s\nwithout: %s\n", sql->c_str(),
                 neutral_sql->c_str());
    vantor::fuzz::Fail("an apostrophe of a key changed the statement", *sql);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vantor::dicom::InitializeToolkit();
  return 0;
}

// The input: one flags byte (Siemens form, internal ID, date format), then
// records of a tag index byte, a length byte and the value's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool siemens = data[0] & 1;
  const bool internal_id = data[0] & 2;
  const char* date_format = kDateFormats[(data[0] >> 2) & 3];
  Keys keys;
  size_t i = 1;
  while (i + 2 <= size && keys.values.size() < 16) {
    const Tag tag = kTags[data[i] % std::size(kTags)];
    size_t length = data[i + 1];
    i += 2;
    if (length > size - i) length = size - i;
    keys.values.push_back(
        {tag, std::string(reinterpret_cast<const char*>(data + i), length)});
    i += length;
  }
  const vantor::dicom::Dataset identifier = Build(keys, false);
  const vantor::dicom::Dataset neutral = Build(keys, true);
  auto both = [&](auto&& build) {
    Check(Statement([&] { return build(identifier); }),
          Statement([&] { return build(neutral); }));
  };
  both([&](const vantor::dicom::Dataset& id) {
    return vantor::PatientStatement(id, date_format);
  });
  both([&](const vantor::dicom::Dataset& id) {
    return vantor::StudyStatement(id, siemens, internal_id, date_format);
  });
  both([&](const vantor::dicom::Dataset& id) {
    return vantor::SeriesStatement(id, siemens, internal_id);
  });
  both([&](const vantor::dicom::Dataset& id) {
    return vantor::ImageStatement(id, siemens, internal_id);
  });
  both([&](const vantor::dicom::Dataset& id) {
    return vantor::CGetStatement(id, siemens, internal_id, date_format);
  });
  both([&](const vantor::dicom::Dataset& id) {
    return vantor::MoveStatement(id, siemens, internal_id, date_format);
  });
  // Every C-MOVE statement the service hands over is one its sender runs.
  bool has_condition = false;
  std::optional<std::string> move = Statement([&] {
    return vantor::MoveStatement(identifier, siemens, internal_id, date_format,
                                 &has_condition);
  });
  // (A statement with a line break or NUL from a key is refused by the
  // hand-off itself with the same check.)
  if (move && has_condition &&
      move->find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos) {
    const std::string fault = vantor::StatementFault(*move);
    if (!fault.empty()) {
      std::fprintf(stderr, "refused: %s\n", fault.c_str());
      vantor::fuzz::Fail("the sender refuses a statement of the service",
                         *move);
    }
  }
  return 0;
}
