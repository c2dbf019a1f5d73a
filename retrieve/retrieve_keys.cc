#include "retrieve/retrieve_keys.h"

#include "query/date_keys.h"

namespace vantor {

PreparedName RetrievalName(std::string_view name, bool bSiemensBug) {
  std::string text(name);
  size_t comma = text.find(", ");
  if (bSiemensBug && comma != std::string::npos)
    text = text.substr(0, comma) + "%";
  text = SternProzent(FragezeichenUnterstrich(text));

  PreparedName out;
  size_t caret = text.find('^');
  out.last = text.substr(0, caret);
  if (caret != std::string::npos) {
    std::string rest = text.substr(caret + 1);
    out.first = rest.substr(0, rest.find('^'));
  }
  return out;
}

std::optional<std::string> ValidDate(const Value& key,
                                     std::string_view date_format) {
  std::optional<Date> date;
  if (key.IsDate()) {
    // The toolkit reads any eight digits as a date; the calendar decides.
    date = ReadDate(FormatDate(key.date(), "YYYY-MM-DD"));
  } else if (key.IsText()) {
    date = ReadDate(key.text());
  }
  if (!date) return std::nullopt;
  return FormatDate(*date, date_format);
}

}  // namespace vantor
