// Audit messages read back with a real XML parser (Python's xml.etree, by
// tests/support/audit_xml.py), as flat lines per message:
// "Tag@attribute=value" and "Tag=text", in document order.
#ifndef VANTOR_TESTS_SUPPORT_AUDIT_XML_H_
#define VANTOR_TESTS_SUPPORT_AUDIT_XML_H_

#include <string>
#include <vector>

namespace vantor {

struct ParsedAudit {
  bool ok = false;     // every message was well-formed
  std::string error;   // the parser's complaint otherwise
  std::vector<std::vector<std::string>> messages;
};

ParsedAudit ParseAuditXml(const std::vector<std::string>& xml_messages);

// The value of the first line "<key>=..." of `lines` ("" when none), e.g.
// AuditValue(lines, "EventID@csd-code").
std::string AuditValue(const std::vector<std::string>& lines,
                       const std::string& key);

// Every value of the lines "<key>=...".
std::vector<std::string> AuditValues(const std::vector<std::string>& lines,
                                     const std::string& key);

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_AUDIT_XML_H_
