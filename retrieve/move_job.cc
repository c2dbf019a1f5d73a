#include "retrieve/move_job.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <vector>

#include "host/base/numeric.h"
#include "host/base/text.h"

namespace vantor {
namespace {

// The first line of `text` without its end (LF or CR LF); `text` goes on
// after it.
std::string_view TakeLine(std::string_view& text) {
  const size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view()
                                       : text.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// A statement the service writes, taken apart: its base, its conditions
// (between the base and the status condition) and whether the ImageNr order
// follows.
struct StatementParts {
  bool image_base = false;
  bool image_nr = false;
  std::string_view conditions;
};

// Takes `statement` apart; the fault when it is not made of a base, the
// conditions, the status condition and, maybe, the ImageNr order.
std::string SplitStatement(std::string_view statement, StatementParts& parts) {
  if (statement.find_first_of(std::string_view("\0\r\n", 3)) !=
      std::string_view::npos)
    return "a control character in the statement";
  std::string_view rest;
  if (statement.starts_with(kImageBase)) {
    parts.image_base = true;
    rest = statement.substr(sizeof kImageBase - 1);
  } else if (statement.starts_with(kSeriesBase)) {
    rest = statement.substr(sizeof kSeriesBase - 1);
  } else {
    return "not a statement of the service (unknown base)";
  }
  parts.image_nr = rest.ends_with(kImageNrTail);
  if (parts.image_nr) rest.remove_suffix(sizeof kImageNrTail - 1);
  if (!rest.ends_with(kStatusCondition))
    return "no status condition at the end";
  rest.remove_suffix(sizeof kStatusCondition - 1);
  parts.conditions = rest;
  return "";
}

enum class Kind { kWord, kEquals, kNumber, kLiteral };
struct Token {
  Kind kind;
  std::string_view text;
};

bool IsWordCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '_';
}

// The length of the literal at the start of `text` with both its quotes
// (doubled ones inside stand for one); npos when it is not closed.
size_t LiteralLength(std::string_view text) {
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i] != '\'') continue;
    if (i + 1 < text.size() && text[i + 1] == '\'') {
      ++i;
      continue;
    }
    return i + 1;
  }
  return std::string_view::npos;
}

// The conditions, token by token: words, "=", whole numbers and literals,
// with blanks between them. The fault when something else stands there.
std::string Tokenize(std::string_view rest, std::vector<Token>& tokens) {
  size_t i = 0;
  while (i < rest.size()) {
    const char c = rest[i];
    const size_t start = i;
    if (c == ' ') {
      ++i;
      continue;
    }
    Kind kind;
    if (c == '=') {
      kind = Kind::kEquals;
      ++i;
    } else if (c == '\'') {
      const size_t length = LiteralLength(rest.substr(i));
      if (length == std::string_view::npos)
        return "a literal that is not closed";
      kind = Kind::kLiteral;
      i += length;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      kind = Kind::kNumber;
      ++i;
      while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i;
    } else if (IsWordCharacter(c)) {
      kind = Kind::kWord;
      while (i < rest.size() && IsWordCharacter(rest[i])) ++i;
    } else {
      return std::string("unexpected \"") + c + "\" in the conditions";
    }
    tokens.push_back({kind, rest.substr(start, i - start)});
  }
  return "";
}

// The columns in the order the service writes them; PATID and PATID1
// share the first place.
constexpr std::string_view kColumns[] = {
    "PATID",    "PATID1",    "PATNachname", "PATVorname", "PATGebDatum",
    "StudyUID", "SeriesUID", "Studydate",   "ImageUID"};
constexpr size_t kNoColumn = std::size(kColumns);
constexpr size_t kImageUidColumn = std::size(kColumns) - 1;

size_t ColumnIndex(const Token& column) {
  if (column.kind != Kind::kWord) return kNoColumn;
  size_t index = kNoColumn;
  for (size_t k = 0; k < std::size(kColumns); ++k)
    if (column.text == kColumns[k]) index = k;
  return index;
}

int PlaceOf(size_t column) {
  return static_cast<int>(column == 0 ? 0 : column - 1);
}

// The fault of the condition "column op value" on the column `index`.
std::string ConditionFault(size_t index, const Token& column, const Token& op,
                           const Token& value) {
  if (index == 0) {
    if (op.kind != Kind::kEquals) return "PATID compared other than by =";
    if (value.kind != Kind::kNumber) return "PATID is not a whole number";
    std::string_view digits = value.text;
    if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
    if (!AllDigits(digits) || digits.size() > 10) return "bad PATID number";
    const long long n = std::stoll(std::string(value.text));
    if (n < INT32_MIN || n > INT32_MAX) return "PATID out of range";
    return "";
  }
  const bool like = op.kind == Kind::kWord && op.text == "LIKE";
  if (op.kind != Kind::kEquals && !like)
    return std::string(column.text) + " compared other than by = or LIKE";
  if (value.kind != Kind::kLiteral)
    return std::string(column.text) + " without a quoted literal";
  return "";
}

// The fault of the conditions: each "column op value", joined by AND, the
// columns in their order. `has_image` tells whether ImageUID is among them.
std::string ConditionsFault(const std::vector<Token>& tokens,
                            bool& has_image) {
  int last_place = -1;
  size_t t = 0;
  while (t < tokens.size()) {
    if (t > 0) {
      if (tokens[t].kind != Kind::kWord || tokens[t].text != "AND")
        return "conditions not joined by AND";
      ++t;
    }
    if (tokens.size() - t < 3) return "an incomplete condition";
    const Token& column = tokens[t];
    const size_t index = ColumnIndex(column);
    if (index == kNoColumn)
      return "unknown column \"" + std::string(column.text) + "\"";
    if (PlaceOf(index) <= last_place)
      return "column " + std::string(column.text) + " out of order or twice";
    last_place = PlaceOf(index);
    if (std::string fault =
            ConditionFault(index, column, tokens[t + 1], tokens[t + 2]);
        !fault.empty())
      return fault;
    if (index == kImageUidColumn) has_image = true;
    t += 3;
  }
  return "";
}

}  // namespace

std::string FormatSendJob(const SendJob& job) {
  std::string out;
  for (const std::string& line :
       {job.db_server, job.statement, job.work_directory,
        std::string(job.internal_id ? "-1" : "0"), job.return_file,
        job.calling_aet, job.address, std::to_string(job.port),
        job.called_aet}) {
    out += line;
    out += "\r\n";
  }
  if (job.skip > 0) out += "Skip=" + std::to_string(job.skip) + "\r\n";
  return out;
}

std::optional<SendJob> ParseSendJob(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty() && lines.size() < 11)
    lines.emplace_back(TakeLine(text));
  int skip = 0;
  if (lines.size() == 10) {
    const std::string count =
        lines[9].starts_with("Skip=") ? lines[9].substr(5) : std::string();
    if (count.empty() || !AllDigits(count) || count.size() > 9)
      return std::nullopt;
    skip = std::stoi(count);
  } else if (lines.size() != 9) {
    return std::nullopt;
  }
  const std::string internal_id = Trim(lines[3]);
  if (internal_id != "-1" && internal_id != "0") return std::nullopt;
  const std::string port = Trim(lines[7]);
  if (!AllDigits(port) || port.size() > 5) return std::nullopt;
  SendJob job;
  job.port = std::stoi(port);
  if (job.port < 1 || job.port > 65535) return std::nullopt;
  job.db_server = lines[0];
  job.statement = lines[1];
  job.work_directory = lines[2];
  job.internal_id = internal_id == "-1";
  job.return_file = lines[4];
  job.calling_aet = lines[5];
  job.address = Trim(lines[6]);
  job.called_aet = lines[8];
  job.skip = skip;
  return job;
}

std::optional<std::pair<int32_t, int32_t>> JobFileNumbers(
    std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  std::string_view name =
      slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (!name.starts_with("Send")) return std::nullopt;
  name.remove_prefix(4);
  size_t underscore = name.find('_');
  if (underscore == std::string_view::npos) return std::nullopt;
  std::string_view port = name.substr(0, underscore);
  std::string_view number = name.substr(underscore + 1);
  if (!AllDigits(port) || !AllDigits(number) || port.size() > 5 ||
      number.size() > 9)
    return std::nullopt;
  return std::make_pair(std::stoi(std::string(port)),
                        std::stoi(std::string(number)));
}

bool IsReturnFileName(std::string_view name, int32_t port, int32_t n) {
  return name == "Return" + std::to_string(port) + "_" + std::to_string(n);
}

std::string StatementFault(std::string_view statement) {
  StatementParts parts;
  if (std::string fault = SplitStatement(statement, parts); !fault.empty())
    return fault;
  std::vector<Token> tokens;
  if (std::string fault = Tokenize(parts.conditions, tokens); !fault.empty())
    return fault;
  bool has_image = false;
  if (std::string fault = ConditionsFault(tokens, has_image); !fault.empty())
    return fault;
  if (tokens.empty()) return "no condition before the status condition";
  if (has_image != parts.image_base)
    return parts.image_base ? "the image view without an ImageUID condition"
                            : "an ImageUID condition on the series view";
  if (parts.image_nr != parts.image_base)
    return parts.image_base ? "the image view without the ImageNr order"
                            : "the ImageNr order on the series view";
  return "";
}

std::optional<JobImageSelection> JobImageStatement(std::string_view statement) {
  if (!StatementFault(statement).empty()) return std::nullopt;
  StatementParts parts;
  SplitStatement(statement, parts);
  JobImageSelection out;
  out.order_by_image_nr = parts.image_nr;
  out.sql = std::string(kImageBase) + std::string(parts.conditions) +
            kStatusCondition;
  return out;
}

std::string ReturnFileContents(const SendOutcome& outcome) {
  std::string out = "Completed=" + std::to_string(outcome.completed) +
                    "\r\nFailed=" + std::to_string(outcome.failed) +
                    "\r\nWarning=" + std::to_string(outcome.warning) + "\r\n";
  if (outcome.remaining > 0)
    out += "Remaining=" + std::to_string(outcome.remaining) + "\r\n";
  if (!outcome.error.empty()) {
    std::string error = outcome.error;
    std::replace(error.begin(), error.end(), '\r', ' ');
    std::replace(error.begin(), error.end(), '\n', ' ');
    out += "Error=" + error + "\r\n";
  }
  return out;
}

std::optional<SendOutcome> ParseReturnFile(std::string_view text) {
  SendOutcome outcome;
  bool completed_seen = false;
  auto count = [](std::string_view digits, int& out) {
    if (digits.size() > 9 || !AllDigits(digits)) return false;
    out = std::stoi(std::string(digits));
    return true;
  };
  while (!text.empty()) {
    const std::string_view line = TakeLine(text);
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = line.substr(0, eq);
    std::string_view value = line.substr(eq + 1);
    if (name == "Completed") {
      if (!count(value, outcome.completed)) return std::nullopt;
      completed_seen = true;
    } else if (name == "Failed") {
      if (!count(value, outcome.failed)) return std::nullopt;
    } else if (name == "Warning") {
      if (!count(value, outcome.warning)) return std::nullopt;
    } else if (name == "Remaining") {
      if (!count(value, outcome.remaining)) return std::nullopt;
    } else if (name == "Error") {
      outcome.error = std::string(value);
    }
  }
  if (!completed_seen) return std::nullopt;
  return outcome;
}

}  // namespace vantor
