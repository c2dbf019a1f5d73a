#include "tests/support/audit_xml.h"

#include <fstream>
#include <sstream>

#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"

namespace vantor {

ParsedAudit ParseAuditXml(const std::vector<std::string>& xml_messages) {
  ParsedAudit parsed;
  TempFolder folder("audit-xml");
  std::vector<std::string> args = {std::string(VANTOR_SOURCE_DIR) +
                                   "/tests/support/audit_xml.py"};
  for (size_t i = 0; i < xml_messages.size(); ++i) {
    const std::string file = folder.Path(std::to_string(i) + ".xml");
    std::ofstream out(file, std::ios::binary);
    out << xml_messages[i];
    args.push_back(file);
  }
  const ToolResult r = RunDcmtkTool("/usr/bin/python3", args);
  if (r.exit_code != 0) {
    parsed.error = r.output;
    return parsed;
  }
  parsed.ok = true;
  std::istringstream lines(r.output);
  std::string line;
  std::vector<std::string> message;
  while (std::getline(lines, line)) {
    if (line == "--") {
      parsed.messages.push_back(std::move(message));
      message.clear();
    } else {
      message.push_back(line);
    }
  }
  return parsed;
}

std::string AuditValue(const std::vector<std::string>& lines,
                       const std::string& key) {
  const std::string prefix = key + "=";
  for (const std::string& line : lines)
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
  return "";
}

std::vector<std::string> AuditValues(const std::vector<std::string>& lines,
                                     const std::string& key) {
  std::vector<std::string> values;
  const std::string prefix = key + "=";
  for (const std::string& line : lines)
    if (line.rfind(prefix, 0) == 0) values.push_back(line.substr(prefix.size()));
  return values;
}

}  // namespace vantor
