// The TLS transport against a collector on loopback made with OpenSSL in
// the test: octet-counted syslog frames on one connection, the collector's
// certificate checked against the configured CAs, a new connection after
// the collector dropped the old one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audit/audit_trail.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/tls_collector.h"

namespace vantor::audit {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class AuditTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(MakeLoopbackCertificate(folder_.Path("collector.pem"),
                                        folder_.Path("collector.key"),
                                        "collector", why))
        << why;
    ASSERT_TRUE(MakeLoopbackCertificate(folder_.Path("other.pem"),
                                        folder_.Path("other.key"), "other",
                                        why))
        << why;
  }

  Config ConfigFor(int port, const std::string& ca) {
    Config c;
    c.AuditCollector = "tls://127.0.0.1:" + std::to_string(port);
    c.TLSCACertificates = ca;
    return c;
  }

  AuditSource Source() {
    AuditSource s;
    s.aet = "OWN_AET";
    s.host = "front";
    s.process_id = "9";
    return s;
  }

  TempFolder folder_{"audit-tls"};
};

TEST_F(AuditTlsTest, FramesGoOutOctetCountedAndAfterALossOnANewConnection) {
  TlsCollector collector(folder_.Path("collector.pem"),
                         folder_.Path("collector.key"));
  // The first connection takes two messages and is then closed by the
  // collector; the third message needs a connection of its own.
  collector.Run(2, 2);
  std::unique_ptr<Transport> transport =
      TransportFor(ConfigFor(collector.port(), folder_.Path("collector.pem")));
  AuditRecord start;
  start.event = AuditEvent::kApplicationStart;
  AuditRecord alert;
  alert.event = AuditEvent::kSecurityAlert;
  alert.alert_text = "Unauthorized C-FIND from X/10.0.0.1";
  std::string why;
  ASSERT_TRUE(transport->Send(start, Source(), why)) << why;
  ASSERT_TRUE(transport->Send(alert, Source(), why)) << why;
  ASSERT_TRUE(collector.WaitClosed(1));
  // The closed connection is noticed before the next message goes.
  EXPECT_TRUE(transport->Send(start, Source(), why)) << why;
  transport.reset();
  const std::vector<std::string>& connections = collector.Join();
  ASSERT_EQ(connections.size(), 2u);
  const std::vector<std::string> first = TlsCollector::Frames(connections[0]);
  ASSERT_EQ(first.size(), 2u) << connections[0];
  EXPECT_THAT(first[0], StartsWith("<85>1 "));
  EXPECT_THAT(first[0], HasSubstr(" front vantor 9 IHE+RFC-3881 - \xEF\xBB\xBF<?xml"));
  EXPECT_THAT(first[0], HasSubstr("csd-code=\"110120\""));
  EXPECT_THAT(first[1], StartsWith("<84>1 "));
  EXPECT_THAT(first[1], HasSubstr("Unauthorized C-FIND from X/10.0.0.1"));
  EXPECT_THAT(first[1], testing::EndsWith("</AuditMessage>"));
  const std::vector<std::string> second = TlsCollector::Frames(connections[1]);
  ASSERT_GE(second.size(), 1u) << connections[1];
  EXPECT_THAT(second[0], HasSubstr("csd-code=\"110120\""));
}

TEST_F(AuditTlsTest, ACollectorTheCasDoNotVouchForGetsNothing) {
  TlsCollector collector(folder_.Path("collector.pem"),
                         folder_.Path("collector.key"));
  collector.Run(1, 1);
  std::unique_ptr<Transport> transport =
      TransportFor(ConfigFor(collector.port(), folder_.Path("other.pem")));
  AuditRecord start;
  std::string why;
  EXPECT_FALSE(transport->Send(start, Source(), why));
  EXPECT_THAT(why, HasSubstr("certificate"));
  transport.reset();
  const std::vector<std::string>& connections = collector.Join();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0], "");
}

TEST_F(AuditTlsTest, AnAbsentCollectorFailsTheSendWithoutHanging) {
  const int port = FreeLoopbackPort();
  std::unique_ptr<Transport> transport =
      TransportFor(ConfigFor(port, folder_.Path("collector.pem")));
  AuditRecord start;
  std::string why;
  EXPECT_FALSE(transport->Send(start, Source(), why));
  EXPECT_THAT(why, HasSubstr("cannot be reached"));
}

}  // namespace
}  // namespace vantor::audit
