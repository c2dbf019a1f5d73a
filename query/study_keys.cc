#include "query/study_keys.h"

#include "query/date_keys.h"
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

void AppendPatientKeys(std::string& sql, const dicom::Dataset& identifier,
                       bool bSiemensBug) {
  PreparedName name = PrepareName(identifier.Get(0x0010, 0x0010), bSiemensBug);
  if (!name.last.empty()) {
    AppendEqualOrLike(sql, " And PATNachname = '", " And PATNachname Like '",
                      AcuteApostrophes(name.last), "' ");
  }
  if (!name.first.empty()) {
    AppendEqualOrLike(sql, " And PATVorname = '", " And PATVorname Like '",
                      AcuteApostrophes(name.first), "' ");
  }

  Value birth_date = identifier.Get(0x0010, 0x0030);
  if (!birth_date.IsNull())
    AppendQuoted(sql, " And PATGebdatum = '", birth_date.ToText(), "' ");
}


void AppendBirthDateMatch(std::string& sql, const dicom::Dataset& identifier,
                          std::string_view date_format) {
  Value birth_date = identifier.Get(0x0010, 0x0030);
  if (!birth_date.IsNull()) {
    DateMatch date = BirthDateMatch(birth_date, date_format);
    if (date.range) {
      AppendQuoted(sql, " And PATGebDatum Between '", date.lower, "' And '");
      AppendQuoted(sql, "", date.upper, "'");
    } else {
      AppendQuoted(sql, " And PATGebDatum = '", date.lower, "' ");
    }
  }
}

}  // namespace vantor
