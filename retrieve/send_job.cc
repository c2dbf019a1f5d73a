#include "retrieve/send_job.h"

#include <vector>

#include "host/numeric.h"

namespace vantor {
namespace {

bool StartsWith(std::string_view text, std::string_view head) {
  return text.substr(0, head.size()) == head;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() &&
         text.substr(text.size() - tail.size()) == tail;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
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
  return out;
}

std::optional<SendJob> ParseSendJob(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty() && lines.size() < 10) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    text = end == std::string_view::npos ? "" : text.substr(end + 1);
  }
  if (lines.size() != 9) return std::nullopt;
  std::string port = Trim(lines[7]);
  if (!AllDigits(port) || port.size() > 5) return std::nullopt;
  SendJob job;
  job.db_server = lines[0];
  job.statement = lines[1];
  job.work_directory = lines[2];
  job.internal_id = Trim(lines[3]) == "-1";
  job.return_file = lines[4];
  job.calling_aet = lines[5];
  job.address = Trim(lines[6]);
  job.port = std::stoi(port);
  job.called_aet = lines[8];
  return job;
}

std::optional<std::pair<int32_t, int32_t>> JobFileNumbers(
    std::string_view path) {
  size_t slash = path.find_last_of("/\\");
  std::string_view name =
      slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (!StartsWith(name, "Send")) return std::nullopt;
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

std::optional<JobImageSelection> JobImageStatement(std::string_view statement) {
  JobImageSelection out;
  std::string_view conditions;
  if (StartsWith(statement, kImageBase)) {
    conditions = statement.substr(sizeof kImageBase - 1);
  } else if (StartsWith(statement, kSeriesBase)) {
    conditions = statement.substr(sizeof kSeriesBase - 1);
  } else {
    return std::nullopt;
  }
  if (EndsWith(conditions, kImageNrTail)) {
    conditions.remove_suffix(sizeof kImageNrTail - 1);
    out.order_by_image_nr = true;
  }
  if (!EndsWith(conditions, kStatusCondition)) return std::nullopt;
  // A statement without any condition before the status condition selects
  // nothing the service asked for.
  if (conditions.size() == sizeof kStatusCondition - 1) return std::nullopt;
  out.sql = std::string(kImageBase) + std::string(conditions);
  return out;
}

}  // namespace vantor
