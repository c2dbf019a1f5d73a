// The job-file reader of the sender: ParseSendJob and the statement check.
// A statement the check lets through must be the service's grammar in the
// database's own reading: every literal closed, no second statement, no
// comment, only the known columns and keywords outside the literals.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz/sql_tokens.h"
#include "retrieve/move_job.h"

namespace {

// The words a statement of the service has outside its literals.
const std::set<std::string>& KnownWords() {
  static const std::set<std::string> words = [] {
    std::set<std::string> out = {"PATID",      "PATID1",      "PATNachname",
                                 "PATVorname", "PATGebDatum", "StudyUID",
                                 "SeriesUID",  "Studydate",   "ImageUID",
                                 "AND",        "LIKE"};
    for (const char* fixed : {vantor::kImageBase, vantor::kSeriesBase,
                              vantor::kStatusCondition, vantor::kImageNrTail}) {
      const std::vector<vantor::fuzz::SqlToken> tokens =
          vantor::fuzz::Tokenise(fixed).value();
      for (const vantor::fuzz::SqlToken& t : tokens)
        if (t.kind == vantor::fuzz::TokenKind::kWord) out.insert(t.text);
    }
    return out;
  }();
  return words;
}

void CheckAccepted(const std::string& statement) {
  if (!vantor::StatementFault(statement).empty()) {
    if (vantor::JobImageStatement(statement))
      vantor::fuzz::Fail("refused but still given a selection", statement);
    return;
  }
  std::optional<vantor::JobImageSelection> selection =
      vantor::JobImageStatement(statement);
  if (!selection) vantor::fuzz::Fail("accepted without a selection", statement);
  for (const std::string* sql :
       {&statement, static_cast<const std::string*>(&selection->sql)}) {
    std::optional<std::vector<vantor::fuzz::SqlToken>> tokens =
        vantor::fuzz::Tokenise(*sql);
    if (!tokens) vantor::fuzz::Fail("accepted with an open literal", *sql);
    vantor::fuzz::CheckNoStatementBreak(*tokens, *sql);
    for (const vantor::fuzz::SqlToken& t : *tokens) {
      if (t.kind == vantor::fuzz::TokenKind::kWord &&
          KnownWords().count(t.text) == 0)
        vantor::fuzz::Fail("accepted with an unknown word", *sql);
      if (t.kind == vantor::fuzz::TokenKind::kPunct &&
          std::string_view("=*(),>-").find(t.text) == std::string_view::npos)
        vantor::fuzz::Fail("accepted with unknown punctuation", *sql);
    }
  }
}

}  // namespace

// The input is a job file; when it is none, the same bytes behind either
// base make a statement, so that the check is reached at once.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (std::optional<vantor::SendJob> job = vantor::ParseSendJob(text)) {
    if (job->port < 1 || job->port > 65535)
      vantor::fuzz::Fail("a port out of range", text);
    if (vantor::ParseSendJob(vantor::FormatSendJob(*job)).has_value() != true)
      vantor::fuzz::Fail("a job that does not read back", text);
    CheckAccepted(job->statement);
  } else if (size > 0) {
    const std::string rest = text.substr(1);
    CheckAccepted((data[0] & 1 ? vantor::kImageBase : vantor::kSeriesBase) +
                  rest);
    CheckAccepted(text);
  }
  return 0;
}
