// The audit trail of the running service: a syslog collector on a loopback
// UDP port receives the messages of its start and stop, of C-FIND (and of
// an unknown caller's refused one) and of C-STORE, sent by DCMTK's own
// clients; without a collector the messages land in Logs/Audit.log, and
// with Audit off nowhere.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "tests/support/audit_xml.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/raw_dicom.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"
#include "tests/support/tls_collector.h"
#include "tests/support/udp_receiver.h"

namespace vantor {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kStudyRootFind = "1.2.840.10008.5.1.4.1.2.2.1";
constexpr const char* kCtClass = "1.2.840.10008.5.1.4.1.1.2";

std::string Base64Decode(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const size_t v = alphabet.find(c);
    if (v == std::string::npos) continue;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// The messages with the given EventID.
std::vector<std::vector<std::string>> WithEvent(
    const std::vector<std::vector<std::string>>& messages,
    const std::string& event_id) {
  std::vector<std::vector<std::string>> out;
  for (const auto& m : messages)
    if (AuditValue(m, "EventID@csd-code") == event_id) out.push_back(m);
  return out;
}

class AuditE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    FixtureArchive::Patient p{.patient_id = "P1", .last_name = "Doe"};
    const int64_t patient = archive_.AddPatient(p);
    archive_.AddStudy(patient, {.study_uid = "1.2.826.0.1.1",
                                .study_date = "2024-01-15",
                                .modality = "CT"});
    archive_.AddNode("FINDSCU", "127.0.0.1");
    archive_.AddNode("STORESCU", "127.0.0.1");
  }

  void Start(const RegValues& values) {
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    options.instance_values = {{"AET", "VANTOR"}};
    for (const auto& v : values) options.instance_values.push_back(v);
    ASSERT_TRUE(service_.Start(options)) << service_.Describe();
  }

  ToolResult Find(const std::string& aet) {
    return RunDcmtkTool(
        "findscu", {"-aet", aet, "-aec", "VANTOR", "-S", "-k",
                    "QueryRetrieveLevel=STUDY", "-k", "PatientID=P1", "-k",
                    "StudyInstanceUID", "127.0.0.1", service_.port_text()});
  }

  void Store(const TestImage& image) {
    const std::string file = work_.Path(image.sop_instance_uid + ".dcm");
    WriteTestImage(file, image);
    ToolResult store = RunDcmtkTool(
        "storescu", {"-aet", "STORESCU", "-aec", "VANTOR", "127.0.0.1",
                     service_.port_text(), file},
        std::chrono::seconds(60));
    ASSERT_EQ(store.exit_code, 0) << store.output << service_.Describe();
  }

  FixtureArchive archive_;
  ServiceProcess service_;
  TempFolder work_{"audit-e2e"};
};

TEST_F(AuditE2eTest, CollectorReceivesStartQueriesRefusalsStoresAndStop) {
  UdpReceiver collector;
  Start({{"AuditCollector",
          "udp://127.0.0.1:" + std::to_string(collector.port())}});
  ToolResult echo = RunDcmtkTool(
      "echoscu", {"-aet", "ECHOSCU", "127.0.0.1", service_.port_text()});
  EXPECT_EQ(echo.exit_code, 0) << echo.output;
  ToolResult find = Find("FINDSCU");
  EXPECT_EQ(find.exit_code, 0) << find.output;
  EXPECT_EQ(Find("INTRUDER").exit_code, 0);
  TestImage image;
  image.sop_instance_uid = "1.2.826.0.1.3680043.9.1.77";
  image.study_uid = "1.2.826.0.1.3680043.9.2.77";
  image.patient_id = "P77";
  image.patient_name = "O'Hara<&>^Ann";
  ASSERT_NO_FATAL_FAILURE(Store(image));
  // The service sends what is queued before it ends.
  EXPECT_EQ(service_.Stop(), 0) << service_.Describe();

  const std::vector<std::string> datagrams = collector.Drain();
  ASSERT_FALSE(datagrams.empty()) << service_.Describe();
  const std::regex header(
      R"(^<(85|84)>1 \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z [!-~]+ vantor \d+ IHE\+RFC-3881 - $)");
  std::vector<std::string> xml;
  for (const std::string& d : datagrams) {
    const size_t bom = d.find("\xEF\xBB\xBF");
    ASSERT_NE(bom, std::string::npos) << d;
    EXPECT_TRUE(std::regex_match(d.substr(0, bom), header)) << d.substr(0, bom);
    xml.push_back(d.substr(bom + 3));
  }
  const ParsedAudit parsed = ParseAuditXml(xml);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  for (const auto& m : parsed.messages) {
    EXPECT_EQ(AuditValue(m, "AuditSourceIdentification@AuditSourceID"),
              "VANTOR");
    // A verification names no patient and leaves no message.
    EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserID"),
                Not(Contains("ECHOSCU")));
  }

  // Start first, stop last.
  const auto activity = WithEvent(parsed.messages, "110100");
  ASSERT_EQ(activity.size(), 2u);
  EXPECT_EQ(AuditValue(parsed.messages.front(), "EventTypeCode@csd-code"),
            "110120");
  EXPECT_EQ(AuditValue(parsed.messages.back(), "EventTypeCode@csd-code"),
            "110121");

  // The query: the caller, the SOP class, the identifier as it was asked.
  const auto queries = WithEvent(parsed.messages, "110112");
  ASSERT_EQ(queries.size(), 1u);
  const auto& q = queries[0];
  EXPECT_EQ(AuditValue(q, "EventIdentification@EventOutcomeIndicator"), "0");
  EXPECT_EQ(AuditValue(q, "ActiveParticipant@UserID"), "FINDSCU");
  EXPECT_EQ(AuditValue(q, "ActiveParticipant@UserIsRequestor"), "true");
  EXPECT_EQ(AuditValue(q, "ActiveParticipant@NetworkAccessPointID"),
            "127.0.0.1");
  EXPECT_EQ(AuditValue(q, "ParticipantObjectIdentification@ParticipantObjectID"),
            kStudyRootFind);
  const std::string identifier =
      Base64Decode(AuditValue(q, "ParticipantObjectQuery"));
  EXPECT_THAT(identifier, HasSubstr("STUDY"));
  EXPECT_THAT(identifier, HasSubstr("P1"));

  // The unknown caller was refused and that is an alert.
  const auto alerts = WithEvent(parsed.messages, "110113");
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_THAT(AuditValues(alerts[0], "ActiveParticipant@UserID"),
              Contains("INTRUDER"));
  EXPECT_EQ(AuditValue(alerts[0], "EventTypeCode@csd-code"), "110126");
  EXPECT_THAT(AuditValue(alerts[0], "ParticipantObjectDescription"),
              HasSubstr("Unauthorized C-FIND from INTRUDER"));

  // The stored image: who sent it, the study with its class, the patient.
  const auto stored = WithEvent(parsed.messages, "110104");
  ASSERT_EQ(stored.size(), 1u);
  const auto& s = stored[0];
  EXPECT_EQ(AuditValue(s, "EventIdentification@EventActionCode"), "C");
  EXPECT_EQ(AuditValue(s, "EventIdentification@EventOutcomeIndicator"), "0");
  EXPECT_EQ(AuditValue(s, "ActiveParticipant@UserID"), "STORESCU");
  EXPECT_THAT(
      AuditValues(s, "ParticipantObjectIdentification@ParticipantObjectID"),
      ::testing::ElementsAre(image.study_uid, "P77"));
  EXPECT_EQ(AuditValue(s, "SOPClass@UID"), kCtClass);
  EXPECT_EQ(AuditValue(s, "SOPClass@NumberOfInstances"), "1");
  EXPECT_EQ(AuditValue(s, "ParticipantObjectName"), "O'Hara<&>^Ann");
}

// The messages a collector received until the service ended, parsed.
std::vector<std::vector<std::string>> Received(UdpReceiver& collector) {
  std::vector<std::string> xml;
  for (const std::string& d : collector.Drain()) {
    const size_t bom = d.find("\xEF\xBB\xBF");
    if (bom != std::string::npos) xml.push_back(d.substr(bom + 3));
  }
  const ParsedAudit parsed = ParseAuditXml(xml);
  EXPECT_TRUE(parsed.ok) << parsed.error;
  return parsed.messages;
}

TEST_F(AuditE2eTest, RefusedAssociationsAndWebCallersRaiseAlerts) {
  UdpReceiver collector;
  const int http = FreeLoopbackPort();
  const std::string passwords = work_.Path("web-users");
  std::ofstream(passwords) << "";
  Start({{"AuditCollector",
          "udp://127.0.0.1:" + std::to_string(collector.port())},
         {"AssociationsPerAETitle", "1"},
         {"HTTP", std::to_string(http)},
         {"HTTPCredentials", passwords}});
  // A second association of the same AE title is over its bound.
  RawConnection first(service_.port());
  ASSERT_TRUE(Associate(first, "HOLDER", {{1, kVerificationUid}}));
  RawConnection second(service_.port());
  ASSERT_TRUE(second.Send(AssociateRq("VANTOR", "HOLDER", {{1, kVerificationUid}})));
  std::optional<RawPdu> answer = second.ReadPdu(std::chrono::seconds(20));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->type, kPduAssociateRj);
  first.Send(ReleaseRq());
  first.ReadPdu(std::chrono::seconds(10));
  first.Close();
  second.Close();

  // The web port: a search by the FINDSCU node's address, and a user the
  // password file does not know. The web port opens with the first pass.
  auto get = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"-s", "-o", "/dev/null", "-w",
                                     "%{http_code}", "--max-time", "30"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("http://127.0.0.1:" + std::to_string(http) +
                   "/dicom-web/studies?PatientID=P1");
    return std::atoi(RunDcmtkTool("/usr/bin/curl", args).output.c_str());
  };
  int status = 0;
  for (int i = 0; i < 100 && (status = get({})) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(get({"-u", "mallory:guess"}), 401);
  EXPECT_EQ(service_.Stop(), 0) << service_.Describe();

  const auto messages = Received(collector);
  const auto alerts = WithEvent(messages, "110113");
  ASSERT_EQ(alerts.size(), 2u) << ::testing::PrintToString(messages);
  // The association over its bound.
  EXPECT_EQ(AuditValue(alerts[0], "EventTypeCode@csd-code"), "110126");
  EXPECT_EQ(AuditValue(alerts[0], "EventIdentification@EventOutcomeIndicator"),
            "4");
  EXPECT_THAT(AuditValues(alerts[0], "ActiveParticipant@UserID"),
              Contains("HOLDER"));
  EXPECT_THAT(AuditValue(alerts[0], "ParticipantObjectDescription"),
              HasSubstr("too many associations of this AE title"));
  // The web caller without a valid password.
  EXPECT_EQ(AuditValue(alerts[1], "EventTypeCode@csd-code"), "110126");
  EXPECT_THAT(AuditValue(alerts[1], "ParticipantObjectDescription"),
              HasSubstr("refused (401): Unknown user mallory"));
  EXPECT_EQ(AuditValue(alerts[1], "ParticipantObjectIdentification@ParticipantObjectID"),
            "127.0.0.1");
  // The search, by the node the address belongs to.
  const auto queries = WithEvent(messages, "110112");
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(AuditValue(queries[0], "ActiveParticipant@UserID"), "FINDSCU");
  EXPECT_EQ(AuditValue(queries[0], "ParticipantObjectIDTypeCode@csd-code"), "12");
  EXPECT_EQ(AuditValue(queries[0],
                       "ParticipantObjectIdentification@ParticipantObjectID"),
            "/dicom-web/studies");
  EXPECT_EQ(Base64Decode(AuditValue(queries[0], "ParticipantObjectQuery")),
            "PatientID=P1");
}

TEST_F(AuditE2eTest, ADatasetThatDoesNotParseRaisesAnAlert) {
  UdpReceiver collector;
  Start({{"AuditCollector",
          "udp://127.0.0.1:" + std::to_string(collector.port())}});
  RawConnection c(service_.port());
  ASSERT_TRUE(Associate(c, "RAWSTORE",
                        {{1, kVerificationUid}, {3, kCtImageStorageUid}}));
  const std::string uid = "1.2.3.1.1.5";
  // The patient name claims 4000 bytes; the dataset ends after 10.
  const std::string broken =
      UidElement(0x0008, 0x0016, kCtImageStorageUid) +
      UidElement(0x0008, 0x0018, uid) +
      std::string("\x10\x00\x10\x00\xA0\x0F\x00\x00", 8) + "Doe^John  ";
  ASSERT_TRUE(c.Send(PData(3, true, StoreRq(5, kCtImageStorageUid, uid)) +
                     PData(3, false, broken)));
  std::optional<RawResponse> rsp = ReadResponse(c, std::chrono::seconds(20));
  ASSERT_TRUE(rsp.has_value());
  EXPECT_EQ(rsp->status, 0xC000);
  c.Send(ReleaseRq());
  c.ReadPdu(std::chrono::seconds(10));
  c.Close();
  EXPECT_EQ(service_.Stop(), 0) << service_.Describe();

  const auto messages = Received(collector);
  const auto alerts = WithEvent(messages, "110113");
  ASSERT_EQ(alerts.size(), 1u) << ::testing::PrintToString(messages);
  EXPECT_EQ(AuditValue(alerts[0], "EventTypeCode@csd-code"), "110132");
  EXPECT_EQ(AuditValue(alerts[0], "EventIdentification@EventOutcomeIndicator"),
            "8");
  EXPECT_THAT(AuditValues(alerts[0], "ActiveParticipant@UserID"),
              Contains("RAWSTORE"));
  EXPECT_THAT(AuditValue(alerts[0], "ParticipantObjectDescription"),
              HasSubstr("C-STORE of " + uid + " could not be read"));
  // Nothing was stored, so nothing was transferred.
  EXPECT_TRUE(WithEvent(messages, "110104").empty());
}

TEST_F(AuditE2eTest, GetRecordsTheBeginAndTheTransferOfTheStudy) {
  // A study of two images whose files are in the archive folder.
  const std::string study_uid = "1.2.826.0.1.3680043.9.5.1";
  const std::string series_uid = study_uid + ".1";
  const std::string source = archive_.dir() + "/archive/ST5";
  std::filesystem::create_directories(source);
  FixtureArchive::Location where;
  where.archive_path = archive_.dir() + "/archive";
  FixtureArchive::Patient patient;
  patient.patient_id = "RT5";
  FixtureArchive::Study study;
  study.study_uid = study_uid;
  study.archive_id = archive_.AddLocation(where);
  study.directory = "ST5";
  const int64_t st = archive_.AddStudy(archive_.AddPatient(patient), study);
  FixtureArchive::Series series;
  series.series_uid = series_uid;
  const int64_t se = archive_.AddSeries(st, series);
  for (int i = 1; i <= 2; ++i) {
    FixtureArchive::Image image;
    image.image_uid = series_uid + "." + std::to_string(i);
    image.image_nr = i;
    archive_.AddImage(se, image);
  }
  ToolResult made = RunDcmtkTool(
      std::string(VANTOR_BUILD_DIR) + "/make-study",
      {"--dir", source, "--study-uid", study_uid, "--series-uid", series_uid,
       "--count", "2", "--rows", "16", "--cols", "16", "--patient-id", "RT5",
       "--patient-name", "Get^Ann"});
  ASSERT_EQ(made.exit_code, 0) << made.output;
  archive_.AddNode("GETSCU", "127.0.0.1");

  UdpReceiver collector;
  Start({{"AuditCollector",
          "udp://127.0.0.1:" + std::to_string(collector.port())}});
  ToolResult get = RunDcmtkTool(
      "getscu", {"-S", "-aet", "GETSCU", "-od", work_.path(), "-k",
                 "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID=" + study_uid,
                 "127.0.0.1", service_.port_text()});
  EXPECT_EQ(get.exit_code, 0) << get.output;
  size_t received = 0;
  for (const auto& e : std::filesystem::directory_iterator(work_.path()))
    if (e.is_regular_file()) ++received;
  EXPECT_EQ(received, 2u) << get.output;
  EXPECT_EQ(service_.Stop(), 0) << service_.Describe();

  const auto messages = Received(collector);
  const auto begin = WithEvent(messages, "110102");
  const auto done = WithEvent(messages, "110104");
  ASSERT_EQ(begin.size(), 1u) << ::testing::PrintToString(messages);
  ASSERT_EQ(done.size(), 1u) << ::testing::PrintToString(messages);
  for (const auto& m : {begin[0], done[0]}) {
    // This service sends; the caller receives and asked for it.
    EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserID"),
                ::testing::ElementsAre("VANTOR", "GETSCU"));
    EXPECT_THAT(AuditValues(m, "ActiveParticipant@UserIsRequestor"),
                ::testing::ElementsAre("false", "true"));
    EXPECT_EQ(AuditValue(m, "ParticipantObjectIdentification@ParticipantObjectID"),
              study_uid);
    EXPECT_EQ(AuditValue(m, "ParticipantObjectIDTypeCode@csd-code"), "110180");
  }
  EXPECT_EQ(AuditValue(begin[0], "EventIdentification@EventActionCode"), "E");
  EXPECT_EQ(AuditValue(done[0], "EventIdentification@EventActionCode"), "R");
  EXPECT_EQ(AuditValue(done[0], "EventIdentification@EventOutcomeIndicator"),
            "0");
}

TEST_F(AuditE2eTest, ATlsCollectorVerifiedWithTheInstancesCasGetsEveryMessage) {
  std::string why;
  ASSERT_TRUE(MakeLoopbackCertificate(work_.Path("collector.pem"),
                                      work_.Path("collector.key"), "collector",
                                      why))
      << why;
  TlsCollector collector(work_.Path("collector.pem"),
                         work_.Path("collector.key"));
  // The start, the query and the stop, on one connection.
  collector.Run(1, 3);
  Start({{"AuditCollector",
          "tls://127.0.0.1:" + std::to_string(collector.port())},
         {"TLSCACertificates", work_.Path("collector.pem")}});
  EXPECT_EQ(Find("FINDSCU").exit_code, 0);
  EXPECT_EQ(service_.Stop(), 0) << service_.Describe();
  const std::vector<std::string>& connections = collector.Join();
  ASSERT_EQ(connections.size(), 1u);
  const std::vector<std::string> frames = TlsCollector::Frames(connections[0]);
  ASSERT_EQ(frames.size(), 3u) << connections[0] << service_.ErrorLog();
  std::vector<std::string> xml;
  for (const std::string& frame : frames) {
    EXPECT_THAT(frame, ::testing::StartsWith("<85>1 "));
    const size_t bom = frame.find("\xEF\xBB\xBF");
    ASSERT_NE(bom, std::string::npos);
    xml.push_back(frame.substr(bom + 3));
  }
  const ParsedAudit parsed = ParseAuditXml(xml);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(AuditValue(parsed.messages[0], "EventTypeCode@csd-code"), "110120");
  EXPECT_EQ(AuditValue(parsed.messages[1], "EventID@csd-code"), "110112");
  EXPECT_EQ(AuditValue(parsed.messages[1], "ActiveParticipant@UserID"),
            "FINDSCU");
  EXPECT_EQ(AuditValue(parsed.messages[2], "EventTypeCode@csd-code"), "110121");
}

TEST_F(AuditE2eTest, WithoutCollectorMessagesLandInTheAuditLog) {
  Start({});
  EXPECT_EQ(Find("FINDSCU").exit_code, 0);
  EXPECT_EQ(service_.Stop(), 0) << service_.Describe();
  const std::string log = service_.ReadLog("Audit.log");
  // One message per line after the local time.
  std::vector<std::string> xml;
  std::istringstream lines(log);
  std::string line;
  const std::regex layout(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t<\?xml[^\t]*</AuditMessage>\r$)");
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, layout)) << line;
    xml.push_back(line.substr(line.find('\t') + 1,
                              line.size() - line.find('\t') - 2));
  }
  ASSERT_EQ(xml.size(), 3u) << log;
  const ParsedAudit parsed = ParseAuditXml(xml);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(AuditValue(parsed.messages[0], "EventTypeCode@csd-code"), "110120");
  EXPECT_EQ(AuditValue(parsed.messages[1], "EventID@csd-code"), "110112");
  EXPECT_EQ(AuditValue(parsed.messages[1], "ActiveParticipant@UserID"),
            "FINDSCU");
  EXPECT_EQ(AuditValue(parsed.messages[2], "EventTypeCode@csd-code"), "110121");
}

TEST_F(AuditE2eTest, SwitchedOffWritesNothing) {
  Start({{"Audit", "0"}});
  EXPECT_EQ(Find("FINDSCU").exit_code, 0);
  EXPECT_EQ(service_.Stop(), 0) << service_.Describe();
  EXPECT_EQ(service_.ReadLog("Audit.log"), "");
}

}  // namespace
}  // namespace vantor
