#include "audit/audit_message.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace vantor::audit {
namespace {

// A coded value as the schema writes it: csd-code, codeSystemName and
// originalText attributes.
std::string Coded(std::string_view element, std::string_view code,
                  std::string_view system, std::string_view text) {
  std::string out = "<";
  out += element;
  out += " csd-code=\"" + XmlEscape(code) + "\" codeSystemName=\"" +
         XmlEscape(system) + "\" originalText=\"" + XmlEscape(text) + "\"/>";
  return out;
}

std::string Attribute(std::string_view name, std::string_view value) {
  return " " + std::string(name) + "=\"" + XmlEscape(value) + "\"";
}

struct EventCode {
  const char* code;
  const char* text;
};

EventCode EventIdOf(AuditEvent event) {
  switch (event) {
    case AuditEvent::kApplicationStart:
    case AuditEvent::kApplicationStop:
      return {"110100", "Application Activity"};
    case AuditEvent::kQuery:
      return {"110112", "Query"};
    case AuditEvent::kBeginTransfer:
      return {"110102", "Begin Transferring DICOM Instances"};
    case AuditEvent::kInstancesTransferred:
      return {"110104", "DICOM Instances Transferred"};
    case AuditEvent::kSecurityAlert:
      return {"110113", "Security Alert"};
  }
  return {"110100", "Application Activity"};
}

// The EventTypeCode of the events that have one.
const EventCode* EventTypeOf(const AuditRecord& record) {
  static const EventCode kStart{"110120", "Application Start"};
  static const EventCode kStop{"110121", "Application Stop"};
  static const EventCode kNode{"110126", "Node Authentication"};
  static const EventCode kRestricted{"110132", "Use of Restricted Function"};
  switch (record.event) {
    case AuditEvent::kApplicationStart:
      return &kStart;
    case AuditEvent::kApplicationStop:
      return &kStop;
    case AuditEvent::kSecurityAlert:
      // No alert type names a request that cannot be read; it counts as a
      // function used in a way the caller may not use it.
      return record.alert == AuditAlert::kNodeAuthentication ? &kNode
                                                             : &kRestricted;
    default:
      return nullptr;
  }
}

// A NetworkAccessPointTypeCode: 2 for an IP address, 1 for a machine name.
const char* AccessPointType(std::string_view address) {
  if (address.empty()) return "1";
  for (char c : address)
    if (!(c >= '0' && c <= '9') && c != '.' && c != ':' &&
        !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F'))
      return "1";
  return "2";
}

// One ActiveParticipant; `role` may be empty (no RoleIDCode).
std::string Participant(std::string_view user_id, bool requestor,
                        std::string_view address, const EventCode* role,
                        std::string_view alternative_id = {}) {
  std::string out = "<ActiveParticipant";
  out += Attribute("UserID", user_id.empty() ? "-" : user_id);
  if (!alternative_id.empty()) out += Attribute("AlternativeUserID", alternative_id);
  out += Attribute("UserIsRequestor", requestor ? "true" : "false");
  if (!address.empty()) {
    out += Attribute("NetworkAccessPointID", address);
    out += Attribute("NetworkAccessPointTypeCode", AccessPointType(address));
  }
  if (role == nullptr) return out + "/>";
  out += ">" + Coded("RoleIDCode", role->code, "DCM", role->text);
  return out + "</ActiveParticipant>";
}

const EventCode kSourceRole{"110153", "Source Role ID"};
const EventCode kDestinationRole{"110152", "Destination Role ID"};
const EventCode kApplicationRole{"110150", "Application"};

// The remote side's UserID: its AE title, else its user, else its address.
std::string RemoteUser(const AuditRecord& r) {
  if (!r.remote_aet.empty()) return r.remote_aet;
  if (!r.remote_user.empty()) return r.remote_user;
  return r.remote_address;
}

std::string Participants(const AuditRecord& r, const AuditSource& source) {
  const std::string remote = RemoteUser(r);
  // The web caller's user name, beside its AE title.
  const std::string remote_alt =
      !r.remote_aet.empty() && !r.remote_user.empty() ? r.remote_user : "";
  switch (r.event) {
    case AuditEvent::kApplicationStart:
    case AuditEvent::kApplicationStop:
      return Participant(source.aet, false, source.host, &kApplicationRole,
                         source.process_id);
    case AuditEvent::kQuery:
      return Participant(remote, true, r.remote_address, &kSourceRole,
                         remote_alt) +
             Participant(source.aet, false, source.host, &kDestinationRole,
                         source.process_id);
    case AuditEvent::kBeginTransfer:
    case AuditEvent::kInstancesTransferred: {
      if (r.remote_is_source)
        return Participant(remote, true, r.remote_address, &kSourceRole,
                           remote_alt) +
               Participant(source.aet, false, source.host, &kDestinationRole,
                           source.process_id);
      std::string out = Participant(source.aet, false, source.host,
                                    &kSourceRole, source.process_id);
      if (r.destination_aet.empty() && r.destination_address.empty()) {
        // C-GET and web retrievals: the requester receives.
        out += Participant(remote, true, r.remote_address, &kDestinationRole,
                           remote_alt);
      } else {
        // C-MOVE: a third node receives; the requester is named beside.
        out += Participant(r.destination_aet, false, r.destination_address,
                           &kDestinationRole);
        out += Participant(remote, true, r.remote_address, nullptr, remote_alt);
      }
      return out;
    }
    case AuditEvent::kSecurityAlert:
      return Participant(source.aet, false, source.host, &kApplicationRole,
                         source.process_id) +
             Participant(remote, true, r.remote_address, nullptr, remote_alt);
  }
  return {};
}

std::string PatientObject(const AuditRecord& r) {
  if (r.patient_id.empty() && r.patient_name.empty()) return {};
  std::string out = "<ParticipantObjectIdentification";
  out += Attribute("ParticipantObjectID", r.patient_id);
  out += Attribute("ParticipantObjectTypeCode", "1");
  out += Attribute("ParticipantObjectTypeCodeRole", "1");
  out += ">";
  out += Coded("ParticipantObjectIDTypeCode", "2", "RFC-3881", "Patient Number");
  if (!r.patient_name.empty())
    out += "<ParticipantObjectName>" + XmlEscape(r.patient_name) +
           "</ParticipantObjectName>";
  return out + "</ParticipantObjectIdentification>";
}

std::string StudyObject(const AuditStudy& study) {
  std::string out = "<ParticipantObjectIdentification";
  out += Attribute("ParticipantObjectID", study.study_uid);
  out += Attribute("ParticipantObjectTypeCode", "2");
  out += Attribute("ParticipantObjectTypeCodeRole", "3");
  out += ">";
  out += Coded("ParticipantObjectIDTypeCode", "110180", "DCM",
               "Study Instance UID");
  for (const AuditStudy::SopClass& sop : study.sop_classes) {
    out += "<SOPClass" + Attribute("UID", sop.uid) +
           Attribute("NumberOfInstances", std::to_string(sop.instances)) +
           "/>";
  }
  return out + "</ParticipantObjectIdentification>";
}

std::string QueryObject(const AuditRecord& r) {
  std::string out = "<ParticipantObjectIdentification";
  const bool web = r.query_sop_class.empty() && !r.query_path.empty();
  out += Attribute("ParticipantObjectID", web ? r.query_path : r.query_sop_class);
  out += Attribute("ParticipantObjectTypeCode", "2");
  out += Attribute("ParticipantObjectTypeCodeRole", "3");
  out += ">";
  if (web)
    out += Coded("ParticipantObjectIDTypeCode", "12", "RFC-3881", "URI");
  else
    out += Coded("ParticipantObjectIDTypeCode", "110181", "DCM",
                 "SOP Class UID");
  out += "<ParticipantObjectQuery>" + Base64(r.query_bytes) +
         "</ParticipantObjectQuery>";
  // The identifier of a C-FIND is given in Explicit VR Little Endian.
  if (!web)
    out += "<ParticipantObjectDetail" + Attribute("type", "TransferSyntax") +
           Attribute("value", Base64("1.2.840.10008.1.2.1")) + "/>";
  return out + "</ParticipantObjectIdentification>";
}

std::string AlertObject(const AuditRecord& r) {
  std::string out = "<ParticipantObjectIdentification";
  out += Attribute("ParticipantObjectID",
                   r.remote_address.empty() ? RemoteUser(r) : r.remote_address);
  out += Attribute("ParticipantObjectTypeCode", "2");
  out += Attribute("ParticipantObjectTypeCodeRole", "13");
  out += ">";
  out += Coded("ParticipantObjectIDTypeCode", "110182", "DCM", "Node ID");
  out += "<ParticipantObjectDetail" + Attribute("type", "Alert Description") +
         Attribute("value", Base64(r.alert_text)) + "/>";
  out += "<ParticipantObjectDescription>" + XmlEscape(r.alert_text) +
         "</ParticipantObjectDescription>";
  return out + "</ParticipantObjectIdentification>";
}

// The length of the UTF-8 sequence starting at text[i], 0 when none.
size_t Utf8Length(std::string_view text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  size_t n = 0;
  uint32_t cp = 0;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; }
  else return 0;
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char d = static_cast<unsigned char>(text[i + k]);
    if ((d & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (d & 0x3F);
  }
  // Overlong forms, surrogates, beyond U+10FFFF, and U+FFFE/U+FFFF.
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
      (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF || cp == 0xFFFE ||
      cp == 0xFFFF)
    return 0;
  return n;
}

// Cuts `text` to at most `most` bytes without splitting a UTF-8 sequence.
void CutText(std::string& text, size_t most) {
  if (text.size() <= most) return;
  size_t end = most;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  text.resize(end);
}

}  // namespace

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    switch (c) {
      case '&': out += "&amp;"; ++i; continue;
      case '<': out += "&lt;"; ++i; continue;
      case '>': out += "&gt;"; ++i; continue;
      case '"': out += "&quot;"; ++i; continue;
      case '\'': out += "&apos;"; ++i; continue;
      default: break;
    }
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      // Tab, LF and CR are kept as references (an attribute would fold
      // them into blanks otherwise); the other control bytes cannot be
      // carried at all.
      if (c == '\t') out += "&#9;";
      else if (c == '\n') out += "&#10;";
      else if (c == '\r') out += "&#13;";
      ++i;
      continue;
    }
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string XmlTime(std::chrono::system_clock::time_point time) {
  const auto since = time.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds)
          .count();
  const std::time_t t = static_cast<std::time_t>(seconds.count());
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer,
                "%04d-%02d-%02dT%02d:%02d:%02d.%03d+00:00", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(millis));
  return buffer;
}

std::string AuditMessageXml(const AuditRecord& r, const AuditSource& source) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><AuditMessage>";
  out += "<EventIdentification";
  out += Attribute("EventActionCode", std::string(1, r.action));
  out += Attribute("EventDateTime", XmlTime(r.time));
  out += Attribute("EventOutcomeIndicator",
                   std::to_string(static_cast<int>(r.outcome)));
  out += ">";
  const EventCode id = EventIdOf(r.event);
  out += Coded("EventID", id.code, "DCM", id.text);
  if (const EventCode* type = EventTypeOf(r))
    out += Coded("EventTypeCode", type->code, "DCM", type->text);
  out += "</EventIdentification>";
  out += Participants(r, source);
  out += "<AuditSourceIdentification";
  if (!source.caption.empty())
    out += Attribute("AuditEnterpriseSiteID", source.caption);
  out += Attribute("AuditSourceID", source.aet.empty() ? "-" : source.aet);
  // 4: an application server process.
  out += ">" + Coded("AuditSourceTypeCode", "4", "DCM",
                     "Application Server Process");
  out += "</AuditSourceIdentification>";
  switch (r.event) {
    case AuditEvent::kQuery:
      out += QueryObject(r);
      break;
    case AuditEvent::kSecurityAlert:
      out += AlertObject(r);
      break;
    default:
      break;
  }
  for (const AuditStudy& study : r.studies) out += StudyObject(study);
  out += PatientObject(r);
  return out + "</AuditMessage>";
}

std::string AuditMessageXmlWithin(const AuditRecord& record,
                                  const AuditSource& source, size_t most) {
  std::string xml = AuditMessageXml(record, source);
  if (xml.size() <= most) return xml;
  AuditRecord r = record;
  r.query_bytes.clear();
  xml = AuditMessageXml(r, source);
  // Halving the studies ends after at most 64 rounds.
  while (xml.size() > most && !r.studies.empty()) {
    r.studies.resize(r.studies.size() / 2);
    xml = AuditMessageXml(r, source);
  }
  if (xml.size() <= most) return xml;
  for (std::string* text :
       {&r.patient_name, &r.patient_id, &r.alert_text, &r.query_path,
        &r.remote_aet, &r.remote_user, &r.remote_address, &r.destination_aet,
        &r.destination_address, &r.query_sop_class})
    CutText(*text, 256);
  AuditSource s = source;
  for (std::string* text : {&s.aet, &s.caption, &s.host, &s.process_id})
    CutText(*text, 256);
  return AuditMessageXml(r, s);
}

int SyslogSeverity(const AuditRecord& record) {
  return record.event == AuditEvent::kSecurityAlert ||
                 record.outcome != AuditOutcome::kSuccess
             ? kSyslogWarning
             : kSyslogNotice;
}

namespace {

// A header field: printable US-ASCII without blanks, at most `most`
// characters; "-" when nothing is left.
std::string HeaderField(std::string_view text, size_t most) {
  std::string out;
  for (char c : text) {
    if (c > 32 && c < 127) out += c;
    if (out.size() == most) break;
  }
  return out.empty() ? "-" : out;
}

}  // namespace

std::string SyslogMessage(int severity,
                          std::chrono::system_clock::time_point time,
                          std::string_view host, std::string_view process_id,
                          std::string_view xml) {
  std::string stamp = XmlTime(time);
  // RFC 5424 writes UTC as "Z".
  stamp.replace(stamp.size() - 6, 6, "Z");
  std::string out = "<" +
                    std::to_string(kSyslogFacilityAuthpriv * 8 + severity) +
                    ">1 " + stamp + " " + HeaderField(host, 255) +
                    " vantor " + HeaderField(process_id, 128) +
                    " IHE+RFC-3881 - \xEF\xBB\xBF";
  out.append(xml);
  return out;
}

std::string OctetCounted(std::string_view message) {
  std::string out = std::to_string(message.size()) + " ";
  out.append(message);
  return out;
}

}  // namespace vantor::audit
