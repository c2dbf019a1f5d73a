// Association intake and the end of associations, against the running
// service: silent and half-sent connections, the request time limit, idle
// associations, C-STOREs the toolkit cannot parse, AE titles with control
// bytes, connections dropped without release.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/raw_dicom.h"
#include "tests/support/service_process.h"

namespace vantor {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string MessageLog(const ServiceProcess& s) {
  return s.ReadLog("Message" + s.port_text() + ".log");
}

std::string MessageLogName(const ServiceProcess& s) {
  return "Message" + s.port_text() + ".log";
}

// The service with `values` in its instance key (debug on).
void StartWith(ServiceProcess& service, RegValues values) {
  ServiceProcess::Options options;
  options.instance_values = std::move(values);
  ASSERT_TRUE(service.Start(options)) << service.Describe();
}

ToolResult Echo(const ServiceProcess& s) {
  return RunDcmtkTool(
      "echoscu", {"-aet", "ECHOSCU", "127.0.0.1", s.port_text()}, seconds(60));
}

TEST(IntakeTest, SilentAndHalfSentConnectionsDelayNobody) {
  ServiceProcess service;
  StartWith(service, {});
  std::vector<std::unique_ptr<RawConnection>> blockers;
  for (int i = 0; i < 50; ++i) {
    auto c = std::make_unique<RawConnection>(service.port());
    if (i % 3 == 1) {
      // Half a PDU header.
      ASSERT_TRUE(c->Send(std::string("\x01\x00\x00", 3)));
    } else if (i % 3 == 2) {
      // A whole header announcing a body that never comes complete.
      ASSERT_TRUE(c->Send(std::string("\x01\x00\x00\x00\x01\x00", 6) +
                          std::string(10, '\0')));
    }
    blockers.push_back(std::move(c));
  }
  const auto start = Clock::now();
  ToolResult echo = Echo(service);
  const auto took = Clock::now() - start;
  EXPECT_EQ(echo.exit_code, 0) << echo.output << service.Describe();
  // The request time is 30 s; an answer that waited on the others would
  // take at least that long.
  EXPECT_LT(took, seconds(10));
  blockers.clear();
  // The service stops cleanly with connections half open.
  auto c = std::make_unique<RawConnection>(service.port());
  EXPECT_EQ(service.Stop(seconds(20)), 0) << service.Describe();
}

TEST(IntakeTest, RequestNotCompleteInTimeIsClosedAndNoted) {
  ServiceProcess service;
  StartWith(service, {{"AssociationTimeout", "2"}});
  RawConnection silent(service.port());
  RawConnection half(service.port());
  ASSERT_TRUE(half.Send(std::string("\x01\x00\x00\x00\x00\x80", 6) +
                        std::string(20, '\0')));
  const auto start = Clock::now();
  EXPECT_TRUE(silent.WaitClosed(seconds(15)));
  EXPECT_TRUE(half.WaitClosed(seconds(15)));
  EXPECT_LT(Clock::now() - start, seconds(15));
  ASSERT_TRUE(service.WaitForLog(
      MessageLogName(service),
      "\t4\tConnection from 127.0.0.1 closed: no complete association "
      "request within 2 s\r\n"))
      << MessageLog(service);
  EXPECT_EQ(Echo(service).exit_code, 0);
}

TEST(IntakeTest, IdleAssociationIsReleasedOrAborted) {
  ServiceProcess service;
  StartWith(service, {{"IdleTimeout", "2"}});
  // A peer that answers the release.
  {
    RawConnection c(service.port());
    ASSERT_TRUE(Associate(c, "IDLER", {{1, kVerificationUid}}));
    // A message keeps it alive for a while; the idle time counts from it.
    ASSERT_TRUE(c.Send(PData(1, true, EchoRq(1))));
    std::optional<RawResponse> rsp = ReadResponse(c, seconds(5));
    ASSERT_TRUE(rsp);
    EXPECT_EQ(rsp->status, 0);
    std::optional<RawPdu> release = c.ReadPdu(seconds(15));
    ASSERT_TRUE(release);
    EXPECT_EQ(release->type, kPduReleaseRq);
    ASSERT_TRUE(c.Send(ReleaseRp()));
    EXPECT_TRUE(c.WaitClosed(seconds(5)));
  }
  ASSERT_TRUE(service.WaitForLog(MessageLogName(service),
                                 "\t5\tAssociation 1 from IDLER released "
                                 "after 2 s without a message\r\n"))
      << MessageLog(service);
  // A peer that does not answer it gets an A-ABORT.
  {
    RawConnection c(service.port());
    ASSERT_TRUE(Associate(c, "DEAF", {{1, kVerificationUid}}));
    std::optional<RawPdu> release = c.ReadPdu(seconds(15));
    ASSERT_TRUE(release);
    EXPECT_EQ(release->type, kPduReleaseRq);
    std::optional<RawPdu> abort = c.ReadPdu(seconds(20));
    ASSERT_TRUE(abort);
    EXPECT_EQ(abort->type, kPduAbort);
  }
  EXPECT_TRUE(service.WaitForLog(MessageLogName(service),
                                 "\t5\tAssociation 2 from DEAF aborted: no "
                                 "answer to its release"))
      << MessageLog(service);
}

// A raw storage peer with Verification on context 1 and CT storage on 3.
class RawStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartWith(service_, {});
    connection_ = std::make_unique<RawConnection>(service_.port());
    ASSERT_TRUE(Associate(*connection_, "RAWSTORE",
                          {{1, kVerificationUid}, {3, kCtImageStorageUid}}));
  }

  // Sends the C-STORE and returns the response status (0xFFFF: none).
  uint16_t Store(uint16_t id, const std::string& instance,
                 const std::string& dataset) {
    EXPECT_TRUE(connection_->Send(
        PData(3, true, StoreRq(id, kCtImageStorageUid, instance)) +
        PData(3, false, dataset)));
    std::optional<RawResponse> rsp = ReadResponse(*connection_, seconds(20));
    if (!rsp) return 0xFFFF;
    EXPECT_EQ(rsp->answered_id, id);
    return rsp->status;
  }

  // Whether the association still answers a C-ECHO.
  bool EchoAnswered(uint16_t id) {
    if (!connection_->Send(PData(1, true, EchoRq(id)))) return false;
    std::optional<RawResponse> rsp = ReadResponse(*connection_, seconds(10));
    return rsp && rsp->status == 0;
  }

  static std::string Dataset(const std::string& instance,
                             const std::string& extra = "") {
    return UidElement(0x0008, 0x0016, kCtImageStorageUid) +
           UidElement(0x0008, 0x0018, instance) +
           Element(0x0008, 0x0060, "CT") + Element(0x0010, 0x0020, "P1") +
           UidElement(0x0020, 0x000D, "1.2.3.1") +
           UidElement(0x0020, 0x000E, "1.2.3.1.1") + extra;
  }

  ServiceProcess service_;
  std::unique_ptr<RawConnection> connection_;
};

TEST_F(RawStoreTest, OverLongUidIsRefusedOnTheOpenAssociation) {
  const std::string uid65 = "1.2." + std::string(61, '7');
  ASSERT_EQ(uid65.size(), 65u);
  // A dataset of many pieces, all of which are read and dropped.
  const std::string pixels = Element(0x7FE0, 0x0010, std::string(300000, 'x'));
  const auto start = Clock::now();
  EXPECT_EQ(Store(7, uid65, Dataset(uid65, pixels)), 0xC000)
      << service_.Describe();
  EXPECT_LT(Clock::now() - start, seconds(10));
  EXPECT_TRUE(EchoAnswered(8));
  // The handler's own refusal of a bad UID of 64 characters says the same.
  const std::string bad64 = "1.2." + std::string(59, '7') + "x";
  ASSERT_EQ(bad64.size(), 64u);
  EXPECT_EQ(Store(9, bad64, Dataset(bad64)), 0xC000);
  EXPECT_TRUE(EchoAnswered(10));
  EXPECT_THAT(service_.ErrorLog(), HasSubstr(uid65));
  std::string action =
      service_.ReadLog("Action" + service_.port_text() + ".log");
  EXPECT_THAT(action, HasSubstr("C-STORE\t1\tStatus C000\r\n")) << action;
}

TEST_F(RawStoreTest, DatasetThatDoesNotParseIsRefusedPromptly) {
  const std::string uid = "1.2.3.1.1.5";
  // The patient name claims 4000 bytes; the dataset ends after 10.
  const std::string broken =
      Dataset(uid).substr(0, 40) +
      std::string("\x10\x00\x10\x00\xA0\x0F\x00\x00", 8) + "Doe^John  ";
  const auto start = Clock::now();
  EXPECT_EQ(Store(3, uid, broken), 0xC000) << service_.Describe();
  EXPECT_LT(Clock::now() - start, seconds(10));
  EXPECT_TRUE(EchoAnswered(4));
  EXPECT_THAT(service_.ErrorLog(), HasSubstr("C-STORE of " + uid));
}

TEST(IntakeTest, ControlBytesInAeTitlesAreRejectedAndEscapedInTheLogs) {
  ServiceProcess service;
  StartWith(service, {});
  RawConnection c(service.port());
  const std::string forged = std::string("EVIL\0", 5) + "\r\n\t1\tX";
  ASSERT_TRUE(c.Send(AssociateRq("VANTOR", forged, {{1, kVerificationUid}})));
  std::optional<RawPdu> answer = c.ReadPdu(seconds(10));
  ASSERT_TRUE(answer) << service.Describe();
  EXPECT_EQ(answer->type, kPduAssociateRj);
  ASSERT_TRUE(service.WaitForLog("ErrorVantor" + service.port_text() + ".log",
                                 "EVIL\\x00\\x0D\\x0A\\x091\\x09X"))
      << service.ErrorLog();
  // Every line of every log is one event: no raw CR or LF inside a line.
  for (const std::string& log : {service.ErrorLog(), service.DebugLog()}) {
    for (size_t at = 0; (at = log.find('\n', at)) != std::string::npos; ++at)
      EXPECT_EQ(log[at - 1], '\r') << log;
    EXPECT_EQ(log.find('\0'), std::string::npos);
  }
  EXPECT_EQ(Echo(service).exit_code, 0);
}

TEST(IntakeTest, DroppedConnectionsAreLoggedAsType3) {
  ServiceProcess service;
  StartWith(service, {});
  {
    RawConnection c(service.port());
    ASSERT_TRUE(Associate(c, "DROPPER", {{1, kVerificationUid}}));
  }  // closed without release
  ASSERT_TRUE(service.WaitForLog(MessageLogName(service),
                                 "\t3\tAssociation 1 from DROPPER ended "
                                 "without release"))
      << MessageLog(service);
  {
    RawConnection c(service.port());
    ASSERT_TRUE(Associate(c, "ABORTER", {{1, kVerificationUid}}));
    ASSERT_TRUE(c.Send(AbortPdu()));
    EXPECT_TRUE(c.WaitClosed(seconds(10)));
  }
  ASSERT_TRUE(service.WaitForLog(MessageLogName(service),
                                 "\t3\tAssociation 2 from ABORTER ended "
                                 "without release"))
      << MessageLog(service);
  // A released association is no type 3.
  EXPECT_EQ(Echo(service).exit_code, 0);
  ASSERT_TRUE(service.WaitForLog("Calling" + service.port_text() + ".log",
                                 "\tECHOSCU\t"));
  EXPECT_THAT(MessageLog(service), Not(HasSubstr("from ECHOSCU")));
}

}  // namespace
}  // namespace vantor
