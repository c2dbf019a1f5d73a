// The audit messages and their syslog frame, read back with a real XML
// parser: each event's required elements, escaping of what callers send,
// fitting into one datagram, and the RFC 5424 header.
#include "audit/audit_message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "audit/audit_trail.h"
#include "tests/support/audit_xml.h"

namespace vantor::audit {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

AuditSource Source() {
  AuditSource s;
  s.aet = "VANTOR_SCP";
  s.caption = "Vantor 01";
  s.host = "pacs-front-1";
  s.process_id = "4242";
  return s;
}

// 2026-12-11 06:30:00.123 UTC.
std::chrono::system_clock::time_point FixedTime() {
  return std::chrono::system_clock::time_point(
      std::chrono::milliseconds(1796970600123LL));
}

std::vector<std::string> Parse(const std::string& xml) {
  ParsedAudit parsed = ParseAuditXml({xml});
  EXPECT_TRUE(parsed.ok) << parsed.error << "\n" << xml;
  if (!parsed.ok || parsed.messages.size() != 1) return {};
  return parsed.messages[0];
}

TEST(AuditMessageTest, XmlEscapeKeepsEveryTextWellFormed) {
  EXPECT_EQ(XmlEscape("Doe<&\">'"), "Doe&lt;&amp;&quot;&gt;&apos;");
  // Control bytes XML cannot hold go; tab, LF and CR stay as references.
  EXPECT_EQ(XmlEscape(std::string("a\x01" "b\x7f" "c", 5)), "abc");
  EXPECT_EQ(XmlEscape(std::string("a\0b", 3)), "ab");
  EXPECT_EQ(XmlEscape("a\tb\nc\rd"), "a&#9;b&#10;c&#13;d");
  // UTF-8 stays; what is not UTF-8 (a Latin-1 byte, a cut sequence, an
  // overlong form, a surrogate) becomes U+FFFD.
  EXPECT_EQ(XmlEscape("M\xC3\xBCller \xE6\x97\xA5"), "M\xC3\xBCller \xE6\x97\xA5");
  EXPECT_EQ(XmlEscape("M\xFCller"), "M\xEF\xBF\xBDller");
  EXPECT_EQ(XmlEscape("\xE6\x97"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(XmlEscape("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(XmlEscape("\xED\xA0\x80"),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(AuditMessageTest, Base64AndTimeFormats) {
  // RFC 4648's test vectors.
  EXPECT_EQ(Base64(""), "");
  EXPECT_EQ(Base64("f"), "Zg==");
  EXPECT_EQ(Base64("fo"), "Zm8=");
  EXPECT_EQ(Base64("foo"), "Zm9v");
  EXPECT_EQ(Base64("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64(std::string("\xff\x00\xfe", 3)), "/wD+");
  EXPECT_EQ(XmlTime(FixedTime()), "2026-12-11T06:30:00.123+00:00");
}

TEST(AuditMessageTest, ApplicationStartAndStop) {
  AuditRecord r;
  r.event = AuditEvent::kApplicationStart;
  r.time = FixedTime();
  std::vector<std::string> m = Parse(AuditMessageXml(r, Source()));
  EXPECT_EQ(AuditValue(m, "EventID@csd-code"), "110100");
  EXPECT_EQ(AuditValue(m, "EventID@codeSystemName"), "DCM");
  EXPECT_EQ(AuditValue(m, "EventTypeCode@csd-code"), "110120");
  EXPECT_EQ(AuditValue(m, "EventIdentification@EventActionCode"), "E");
  EXPECT_EQ(AuditValue(m, "EventIdentification@EventOutcomeIndicator"), "0");
  EXPECT_EQ(AuditValue(m, "EventIdentification@EventDateTime"),
            "2026-12-11T06:30:00.123+00:00");
  EXPECT_EQ(AuditValue(m, "ActiveParticipant@UserID"), "VANTOR_SCP");
  EXPECT_EQ(AuditValue(m, "ActiveParticipant@AlternativeUserID"), "4242");
  EXPECT_EQ(AuditValue(m, "ActiveParticipant@UserIsRequestor"), "false");
  EXPECT_EQ(AuditValue(m, "ActiveParticipant@NetworkAccessPointID"),
            "pacs-front-1");
  EXPECT_EQ(AuditValue(m, "ActiveParticipant@NetworkAccessPointTypeCode"), "1");
  EXPECT_EQ(AuditValue(m, "RoleIDCode@csd-code"), "110150");
  EXPECT_EQ(AuditValue(m, "AuditSourceIdentification@AuditSourceID"),
            "VANTOR_SCP");
  EXPECT_EQ(AuditValue(m, "AuditSourceIdentification@AuditEnterpriseSiteID"),
            "Vantor 01");
  EXPECT_EQ(AuditValue(m, "AuditSourceTypeCode@csd-code"), "4");
  EXPECT_THAT(AuditValues(m, "ParticipantObjectIdentification@ParticipantObjectID"),
              IsEmpty());

  r.event = AuditEvent::kApplicationStop;
  m = Parse(AuditMessageXml(r, Source()));
  EXPECT_EQ(AuditValue(m, "EventID@csd-code"), "110100");
  EXPECT_EQ(AuditValue(m, "EventTypeCode@csd-code"), "110121");
}

TEST(AuditMessageTest, QueryNamesTheCallerAndCarriesTheIdentifier) {
  AuditRecord r;
  r.event = AuditEvent::kQuery;
  r.remote_aet = "FINDSCU";
  r.remote_address = "10.1.2.3";
  r.query_sop_class = "1.2.840.10008.5.1.4.1.2.2.1";
  r.query_bytes = std::string("\x08\x00\x52\x00" "CS\x06\x00STUDY ", 14);
  std::vector<std::string> m = Parse(AuditMessageXml(r, Source()));
  EXPECT_EQ(AuditValue(m, "EventID@csd-code"), "110112");
  // The Query event has no type code.
  EXPECT_EQ(AuditValue(m, "EventTypeCode@csd-code"), "");
  EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserID"),
              ElementsAre("FINDSCU", "VANTOR_SCP"));
  EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserIsRequestor"),
              ElementsAre("true", "false"));
  EXPECT_THAT(AuditValues(m, "ActiveParticipant@NetworkAccessPointTypeCode"),
              ElementsAre("2", "1"));
  EXPECT_THAT(AuditValues(m, "RoleIDCode@csd-code"),
              ElementsAre("110153", "110152"));
  EXPECT_EQ(AuditValue(m, "ParticipantObjectIdentification@ParticipantObjectID"),
            "1.2.840.10008.5.1.4.1.2.2.1");
  EXPECT_EQ(
      AuditValue(m, "ParticipantObjectIdentification@ParticipantObjectTypeCode"),
      "2");
  EXPECT_EQ(AuditValue(
                m, "ParticipantObjectIdentification@ParticipantObjectTypeCodeRole"),
            "3");
  EXPECT_EQ(AuditValue(m, "ParticipantObjectIDTypeCode@csd-code"), "110181");
  EXPECT_EQ(AuditValue(m, "ParticipantObjectQuery"), Base64(r.query_bytes));
  EXPECT_EQ(AuditValue(m, "ParticipantObjectDetail@type"), "TransferSyntax");
  EXPECT_EQ(AuditValue(m, "ParticipantObjectDetail@value"),
            Base64("1.2.840.10008.1.2.1"));

  // A QIDO search: its path as a URI, its query string as the query.
  AuditRecord web;
  web.event = AuditEvent::kQuery;
  web.remote_user = "viewer";
  web.remote_address = "10.1.2.4";
  web.query_path = "/dicom-web/studies";
  web.query_bytes = "PatientID=12&limit=5";
  m = Parse(AuditMessageXml(web, Source()));
  EXPECT_EQ(AuditValue(m, "ActiveParticipant@UserID"), "viewer");
  EXPECT_EQ(AuditValue(m, "ParticipantObjectIdentification@ParticipantObjectID"),
            "/dicom-web/studies");
  EXPECT_EQ(AuditValue(m, "ParticipantObjectIDTypeCode@csd-code"), "12");
  EXPECT_EQ(AuditValue(m, "ParticipantObjectQuery"),
            Base64("PatientID=12&limit=5"));
}

TEST(AuditMessageTest, StoredImageNamesStudyPatientAndCounts) {
  AuditRecord r;
  r.event = AuditEvent::kInstancesTransferred;
  r.action = 'C';
  r.remote_aet = "STORESCU";
  r.remote_address = "127.0.0.1";
  r.remote_is_source = true;
  r.patient_id = "PID-7";
  r.patient_name = "Doe^Jane";
  r.studies.push_back({"1.2.3.4", {{"1.2.840.10008.5.1.4.1.1.2", 3}}});
  std::vector<std::string> m = Parse(AuditMessageXml(r, Source()));
  EXPECT_EQ(AuditValue(m, "EventID@csd-code"), "110104");
  EXPECT_EQ(AuditValue(m, "EventIdentification@EventActionCode"), "C");
  EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserID"),
              ElementsAre("STORESCU", "VANTOR_SCP"));
  // The sender is the source and the requester.
  EXPECT_THAT(AuditValues(m, "RoleIDCode@csd-code"),
              ElementsAre("110153", "110152"));
  EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserIsRequestor"),
              ElementsAre("true", "false"));
  EXPECT_THAT(
      AuditValues(m, "ParticipantObjectIdentification@ParticipantObjectID"),
      ElementsAre("1.2.3.4", "PID-7"));
  EXPECT_THAT(
      AuditValues(m, "ParticipantObjectIdentification@ParticipantObjectTypeCode"),
      ElementsAre("2", "1"));
  EXPECT_THAT(AuditValues(
                  m, "ParticipantObjectIdentification@ParticipantObjectTypeCodeRole"),
              ElementsAre("3", "1"));
  EXPECT_THAT(AuditValues(m, "ParticipantObjectIDTypeCode@csd-code"),
              ElementsAre("110180", "2"));
  EXPECT_THAT(AuditValues(m, "ParticipantObjectIDTypeCode@codeSystemName"),
              ElementsAre("DCM", "RFC-3881"));
  EXPECT_EQ(AuditValue(m, "SOPClass@UID"), "1.2.840.10008.5.1.4.1.1.2");
  EXPECT_EQ(AuditValue(m, "SOPClass@NumberOfInstances"), "3");
  EXPECT_EQ(AuditValue(m, "ParticipantObjectName"), "Doe^Jane");
}

TEST(AuditMessageTest, RetrievalsNameWhoReceives) {
  AuditRecord get;
  get.event = AuditEvent::kInstancesTransferred;
  get.action = 'R';
  get.outcome = AuditOutcome::kMinorFailure;
  get.remote_aet = "GETSCU";
  get.remote_address = "10.0.0.9";
  get.studies.push_back({"1.2.3", {}});
  std::vector<std::string> m = Parse(AuditMessageXml(get, Source()));
  EXPECT_EQ(AuditValue(m, "EventIdentification@EventActionCode"), "R");
  EXPECT_EQ(AuditValue(m, "EventIdentification@EventOutcomeIndicator"), "4");
  // This service sends; the requester receives.
  EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserID"),
              ElementsAre("VANTOR_SCP", "GETSCU"));
  EXPECT_THAT(AuditValues(m, "RoleIDCode@csd-code"),
              ElementsAre("110153", "110152"));

  AuditRecord move = get;
  move.event = AuditEvent::kBeginTransfer;
  move.action = 'E';
  move.outcome = AuditOutcome::kSuccess;
  move.remote_aet = "MOVESCU";
  move.destination_aet = "WORKSTATION";
  move.destination_address = "10.0.0.10";
  m = Parse(AuditMessageXml(move, Source()));
  EXPECT_EQ(AuditValue(m, "EventID@csd-code"), "110102");
  EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserID"),
              ElementsAre("VANTOR_SCP", "WORKSTATION", "MOVESCU"));
  EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserIsRequestor"),
              ElementsAre("false", "false", "true"));
  EXPECT_THAT(AuditValues(m, "RoleIDCode@csd-code"),
              ElementsAre("110153", "110152"));
}

TEST(AuditMessageTest, SecurityAlertTellsKindAndWhat) {
  AuditRecord r;
  r.event = AuditEvent::kSecurityAlert;
  r.outcome = AuditOutcome::kMinorFailure;
  r.remote_aet = "INTRUDER";
  r.remote_address = "192.168.1.66";
  r.alert = AuditAlert::kNodeAuthentication;
  r.alert_text = "Unauthorized C-FIND from INTRUDER/192.168.1.66";
  std::vector<std::string> m = Parse(AuditMessageXml(r, Source()));
  EXPECT_EQ(AuditValue(m, "EventID@csd-code"), "110113");
  EXPECT_EQ(AuditValue(m, "EventTypeCode@csd-code"), "110126");
  EXPECT_EQ(AuditValue(m, "EventIdentification@EventOutcomeIndicator"), "4");
  EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserID"),
              Contains("INTRUDER"));
  EXPECT_EQ(AuditValue(m, "ParticipantObjectIdentification@ParticipantObjectID"),
            "192.168.1.66");
  EXPECT_EQ(AuditValue(
                m, "ParticipantObjectIdentification@ParticipantObjectTypeCodeRole"),
            "13");
  EXPECT_EQ(AuditValue(m, "ParticipantObjectDescription"), r.alert_text);

  r.alert = AuditAlert::kRestrictedFunction;
  m = Parse(AuditMessageXml(r, Source()));
  EXPECT_EQ(AuditValue(m, "EventTypeCode@csd-code"), "110132");
  r.alert = AuditAlert::kBadInput;
  m = Parse(AuditMessageXml(r, Source()));
  EXPECT_EQ(AuditValue(m, "EventTypeCode@csd-code"), "110132");
}

// What a caller sends ends up in the message as it was, and never breaks it.
TEST(AuditMessageTest, HostileTextsReadBackAsSent) {
  AuditRecord r;
  r.event = AuditEvent::kInstancesTransferred;
  r.action = 'C';
  r.remote_is_source = true;
  r.remote_aet = "A\"E<T>";
  r.remote_address = "127.0.0.1";
  r.patient_id = "</ParticipantObjectIdentification>";
  r.patient_name = "O'Brien & <Sons> \"Ltd\"\x01^M\xFCller";
  r.studies.push_back({"1.2\"/><x a=\"", {{"1.2&3", 1}}});
  AuditSource source = Source();
  source.caption = "Caption <&>";
  const std::string xml = AuditMessageXml(r, source);
  EXPECT_THAT(xml, Not(HasSubstr("<Sons>")));
  std::vector<std::string> m = Parse(xml);
  EXPECT_EQ(AuditValue(m, "ActiveParticipant@UserID"), "A\"E<T>");
  EXPECT_EQ(AuditValue(m, "ParticipantObjectName"),
            "O'Brien & <Sons> \"Ltd\"^M\xEF\xBF\xBDller");
  EXPECT_THAT(
      AuditValues(m, "ParticipantObjectIdentification@ParticipantObjectID"),
      ElementsAre("1.2\"/><x a=\"", "</ParticipantObjectIdentification>"));
  EXPECT_EQ(AuditValue(m, "SOPClass@UID"), "1.2&3");
  EXPECT_EQ(AuditValue(m, "AuditSourceIdentification@AuditEnterpriseSiteID"),
            "Caption <&>");
  // No line break in the message: one message is one line of Audit.log.
  EXPECT_EQ(xml.find('\n'), std::string::npos);
}

TEST(AuditMessageTest, OversizedMessagesAreCutToFitAndStayWhole) {
  AuditRecord r;
  r.event = AuditEvent::kInstancesTransferred;
  r.action = 'R';
  r.remote_aet = "MOVESCU";
  r.patient_id = "P";
  for (int i = 0; i < 5000; ++i)
    r.studies.push_back(
        {"1.2.826.0.1.3680043.2.1125." + std::to_string(i), {{"1.2.3", 2}}});
  const std::string full = AuditMessageXml(r, Source());
  ASSERT_GT(full.size(), 65000u);
  const std::string cut = AuditMessageXmlWithin(r, Source(), 64000);
  EXPECT_LE(cut.size(), 64000u);
  std::vector<std::string> m = Parse(cut);
  const size_t studies =
      AuditValues(m, "ParticipantObjectIDTypeCode@csd-code").size() - 1;
  EXPECT_GT(studies, 100u);
  EXPECT_LT(studies, 5000u);
  // The patient stays.
  EXPECT_THAT(AuditValues(m, "ParticipantObjectIdentification@ParticipantObjectID"),
              Contains("P"));

  // A query's identifier is the first thing to go.
  AuditRecord q;
  q.event = AuditEvent::kQuery;
  q.query_sop_class = "1.2.840.10008.5.1.4.1.2.2.1";
  q.query_bytes = std::string(100000, 'x');
  m = Parse(AuditMessageXmlWithin(q, Source(), 64000));
  EXPECT_EQ(AuditValue(m, "ParticipantObjectQuery"), "");
  EXPECT_EQ(AuditValue(m, "EventID@csd-code"), "110112");

  // A small message stays as it is.
  AuditRecord small;
  EXPECT_EQ(AuditMessageXmlWithin(small, Source(), 64000),
            AuditMessageXml(small, Source()));

  // Long names are cut at last.
  AuditRecord names;
  names.event = AuditEvent::kSecurityAlert;
  names.alert_text = std::string(100000, 'a');
  EXPECT_LE(AuditMessageXmlWithin(names, Source(), 8000).size(), 8000u);
}

TEST(AuditMessageTest, SyslogFrameAsRfc5424And5425Have) {
  const std::string xml = "<AuditMessage/>";
  const std::string message =
      SyslogMessage(kSyslogNotice, FixedTime(), "pacs-front-1", "4242", xml);
  EXPECT_EQ(message,
            "<85>1 2026-12-11T06:30:00.123Z pacs-front-1 vantor 4242 "
            "IHE+RFC-3881 - \xEF\xBB\xBF<AuditMessage/>");
  // Warning for alerts; blanks and control bytes never split the header.
  const std::string warning =
      SyslogMessage(kSyslogWarning, FixedTime(), "host name\x01", "", xml);
  EXPECT_EQ(warning.substr(0, 50),
            "<84>1 2026-12-11T06:30:00.123Z hostname vantor - I");
  EXPECT_EQ(OctetCounted("hello"), "5 hello");
  EXPECT_EQ(OctetCounted(message), std::to_string(message.size()) + " " + message);

  AuditRecord r;
  EXPECT_EQ(SyslogSeverity(r), kSyslogNotice);
  r.outcome = AuditOutcome::kSeriousFailure;
  EXPECT_EQ(SyslogSeverity(r), kSyslogWarning);
  r.outcome = AuditOutcome::kSuccess;
  r.event = AuditEvent::kSecurityAlert;
  EXPECT_EQ(SyslogSeverity(r), kSyslogWarning);
}

TEST(AuditMessageTest, CollectorTexts) {
  struct Case {
    const char* text;
    Collector::Kind kind;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"", Collector::Kind::kFile, "", 0},
      {"  ", Collector::Kind::kFile, "", 0},
      {"udp://audit.example", Collector::Kind::kUdp, "audit.example", 514},
      {"udp://127.0.0.1:5514", Collector::Kind::kUdp, "127.0.0.1", 5514},
      {"tls://audit.example:6515/", Collector::Kind::kTls, "audit.example",
       6515},
      {"tls://audit.example", Collector::Kind::kTls, "audit.example", 6514},
      {"tls://[::1]:7000", Collector::Kind::kTls, "::1", 7000},
      {"udp://[::1]", Collector::Kind::kUdp, "::1", 514},
      {"tcp://audit.example", Collector::Kind::kInvalid, "", 0},
      {"audit.example:514", Collector::Kind::kInvalid, "", 0},
      {"udp://", Collector::Kind::kInvalid, "", 0},
      {"udp://host:0", Collector::Kind::kInvalid, "", 0},
      {"udp://host:65536", Collector::Kind::kInvalid, "", 0},
      {"udp://host:", Collector::Kind::kInvalid, "", 0},
      {"udp://host:51x", Collector::Kind::kInvalid, "", 0},
      {"tls://[::1", Collector::Kind::kInvalid, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Collector got = ParseCollector(c.text);
    EXPECT_EQ(got.kind, c.kind);
    if (c.kind == Collector::Kind::kInvalid) {
      EXPECT_FALSE(got.error.empty());
      continue;
    }
    EXPECT_EQ(got.host, c.host);
    EXPECT_EQ(got.port, c.port);
  }
}

}  // namespace
}  // namespace vantor::audit
