#include "query/study_keys.h"

#include "query/match_keys.h"

namespace vantor {
namespace {

// A key that is present and whose text (after `convert`) is not empty.
template <typename F>
bool KeyText(const dicom::Dataset& identifier, uint16_t group,
             uint16_t element, F convert, std::string& text) {
  Value value = identifier.Get(group, element);
  if (value.IsNull()) return false;
  text = convert(value.ToText());
  return !text.empty();
}

std::string Unchanged(std::string text) { return text; }
std::string StarToPercent(std::string text) { return SternProzent(text); }

}  // namespace

void AppendStudyAttributeKeys(std::string& sql,
                              const dicom::Dataset& identifier,
                              std::string_view referring_like) {
  std::string text;
  if (KeyText(identifier, 0x0010, 0x0040, Unchanged, text))  // sex
    AppendQuoted(sql, " AND PATGeschlecht = '", text, "'");
  if (KeyText(identifier, 0x0008, 0x0050, StarToPercent, text))  // accession
    AppendQuoted(sql, " AND Accession LIKE '", text, "'");
  if (KeyText(identifier, 0x0008, 0x0060, StarToPercent, text))  // modality
    AppendQuoted(sql, " AND Modality LIKE '", text, "'");
  if (KeyText(identifier, 0x0008, 0x0090, Unchanged, text)) {
    // Studies without a recorded referring physician match every key.
    AppendQuoted(sql, referring_like, text,
                 "%' OR UeberweiserName = '' OR UeberweiserName is NULL OR "
                 "UeberweiserName = 'Unknown')");
  }
  if (KeyText(identifier, 0x0008, 0x1030, StarToPercent, text))
    AppendQuoted(sql, " AND StudyDescription LIKE '", text, "'");
  if (KeyText(identifier, 0x0018, 0x0015, StarToPercent, text))  // body part
    AppendQuoted(sql, " AND Bodypart LIKE '", text, "'");
  // The private key-study flag counts with any value.
  if (identifier.Has(0x0019, 0x0011) &&
      !identifier.Get(0x0019, 0x0011).IsNull())
    sql += " AND KeyStudy = 1";
}

}  // namespace vantor
