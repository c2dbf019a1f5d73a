#include "retrieve/send/destination_tls.h"

#include <gtest/gtest.h>

#include <string>

#include "host/base/database.h"
#include "host/base/failure.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

class DestinationTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archive_.AddNode("SECURE", "10.0.0.1");
    archive_.AddNode("SECURE", "10.0.0.2");
    archive_.AddNode("PLAIN", "10.0.0.1");
    archive_.AddNode("UNSET", "10.0.0.1");
    archive_.Exec("UPDATE tblDicomAETs SET UseTLS = 1 WHERE AET = 'SECURE' "
                  "AND IPAdress = '10.0.0.1'");
    archive_.Exec("UPDATE tblDicomAETs SET UseTLS = 0 WHERE AET <> 'SECURE' "
                  "AND AET <> 'UNSET'");
    db_.Open(ConnectionText(archive_.DBServer()));
  }

  FixtureArchive archive_;
  Database db_;
};

TEST_F(DestinationTlsTest, TheRowOfTheTitleAndAddressDecides) {
  EXPECT_TRUE(DestinationUsesTls(db_, "SECURE", "10.0.0.1"));
  // The same title at another address is another node.
  EXPECT_FALSE(DestinationUsesTls(db_, "SECURE", "10.0.0.2"));
  EXPECT_FALSE(DestinationUsesTls(db_, "PLAIN", "10.0.0.1"));
  EXPECT_FALSE(DestinationUsesTls(db_, "UNSET", "10.0.0.1"));  // null
  EXPECT_FALSE(DestinationUsesTls(db_, "NOBODY", "10.0.0.1"));
  // A quote in the title stays inside its literal.
  EXPECT_FALSE(DestinationUsesTls(db_, "X' OR '1'='1", "10.0.0.1"));
}

TEST_F(DestinationTlsTest, ATableWithoutTheColumnReadsAsPlain) {
  db_.Close();
  archive_.Exec("ALTER TABLE tblDicomAETs DROP COLUMN UseTLS");
  db_.Open(ConnectionText(archive_.DBServer()));
  EXPECT_FALSE(DestinationUsesTls(db_, "SECURE", "10.0.0.1"));
}

TEST_F(DestinationTlsTest, ATableThatCannotBeReadIsAFailureNotPlain) {
  db_.Close();
  archive_.Exec("ALTER TABLE tblDicomAETs RENAME TO tblOldNodes");
  db_.Open(ConnectionText(archive_.DBServer()));
  EXPECT_THROW(DestinationUsesTls(db_, "SECURE", "10.0.0.1"), Failure);
}

TEST(SenderTlsFilesTest, TheFilesOfTheInstanceWithTheJobsPort) {
  UseRegistryText(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\01]\r\n"
      "\"DCM\"=\"104\"\r\n\"TLSCACertificates\"=\"/one/ca.pem\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\07]\r\n"
      "\"DCM\"=\"4107\"\r\n\"TLSCACertificates\"=\"/seven/ca.pem\"\r\n"
      "\"TLSCertificate\"=\"/seven/me.pem\"\r\n"
      "\"TLSPrivateKey\"=\"/seven/me.key\"\r\n\r\n");
  dicom::TlsFiles files = SenderTlsFiles(4107);
  EXPECT_EQ(files.ca_certificates, "/seven/ca.pem");
  EXPECT_EQ(files.certificate, "/seven/me.pem");
  EXPECT_EQ(files.private_key, "/seven/me.key");
  EXPECT_EQ(SenderTlsFiles(104).ca_certificates, "/one/ca.pem");
  EXPECT_EQ(SenderTlsFiles(9999).ca_certificates, "");
}

}  // namespace
}  // namespace vantor
