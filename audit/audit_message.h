// The audit message of a record, in the DICOM audit message schema
// (AuditMessage with EventIdentification, ActiveParticipant,
// AuditSourceIdentification and ParticipantObjectIdentification), and the
// syslog frame it travels in (RFC 5424, RFC 5425's octet counting over TLS).
// Pure functions of plain values.
#ifndef VANTOR_AUDIT_AUDIT_MESSAGE_H_
#define VANTOR_AUDIT_AUDIT_MESSAGE_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "host/base/audit_record.h"

namespace vantor::audit {

// Who reports: the service itself.
struct AuditSource {
  std::string aet;        // the instance's AE title (AuditSourceID)
  std::string caption;    // the instance's caption (AuditEnterpriseSiteID)
  std::string host;       // this machine's name
  std::string process_id; // the service's process id
};

// `text` fit for an XML attribute or element: & < > " ' as references,
// the control bytes XML cannot carry left out, and bytes that are not
// UTF-8 replaced by U+FFFD.
std::string XmlEscape(std::string_view text);

// Standard base64 (RFC 4648) with padding.
std::string Base64(std::string_view bytes);

// The time as "YYYY-MM-DDTHH:MM:SS.mmm+00:00" (UTC).
std::string XmlTime(std::chrono::system_clock::time_point time);

// The message, on one line.
std::string AuditMessageXml(const AuditRecord& record,
                            const AuditSource& source);

// The same, made to fit in `most` bytes: the query's identifier goes first,
// then studies from the end of the list, then long names and texts are cut.
// Never more than `most` bytes when `most` is at least 4096.
std::string AuditMessageXmlWithin(const AuditRecord& record,
                                  const AuditSource& source, size_t most);

// Syslog severities used: notice for the ordinary events, warning for
// security alerts and failed events.
inline constexpr int kSyslogFacilityAuthpriv = 10;
inline constexpr int kSyslogNotice = 5;
inline constexpr int kSyslogWarning = 4;
int SyslogSeverity(const AuditRecord& record);

// "<PRI>1 TIMESTAMP HOSTNAME vantor PROCID IHE+RFC-3881 - " + BOM + xml.
// An empty or unusable host name or process id is "-".
std::string SyslogMessage(int severity,
                          std::chrono::system_clock::time_point time,
                          std::string_view host, std::string_view process_id,
                          std::string_view xml);

// RFC 5425's frame: the message's length in decimal, a space, the message.
std::string OctetCounted(std::string_view message);

}  // namespace vantor::audit

#endif  // VANTOR_AUDIT_AUDIT_MESSAGE_H_
