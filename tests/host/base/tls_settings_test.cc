#include "host/base/tls_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/base/config.h"
#include "host/base/read_reg.h"
#include "host/base/registry.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

constexpr char kInstance[] = "Software\\Tavik\\Kelmora\\Vantor\\01";

Registry Reg(const std::string& blocks) {
  return Registry::Parse("Windows Registry Editor Version 5.00\r\n\r\n" +
                         blocks);
}

std::string InstanceBlock(const std::string& number,
                          const std::string& values) {
  return "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\" + number +
         "]\r\n" + values + "\r\n";
}

Config Read(const std::string& values) {
  Config c;
  ReadTlsSettings(Reg(InstanceBlock("01", values)), kInstance, c);
  return c;
}

TEST(TlsSettingsTest, ValuesOfTheInstanceKey) {
  Config c = Read(
      "\"TLSPort\"=\" 2762 \"\r\n"
      "\"TLSCertificate\"=\"C:\\\\Certs\\\\vantor.pem\"\r\n"
      "\"TLSPrivateKey\"=\"/etc/vantor/vantor.key\"\r\n"
      "\"TLSCACertificates\"=\"\\\\\\\\pki\\\\ca\\\\\"\r\n"
      "\"TLSVerifyPeer\"=\"1\"\r\n");
  EXPECT_EQ(c.TLSPort, 2762);
  EXPECT_EQ(c.TLSCertificate, "C:\\Certs\\vantor.pem");
  EXPECT_EQ(c.TLSPrivateKey, "/etc/vantor/vantor.key");
  EXPECT_EQ(c.TLSCACertificates, "\\\\pki\\ca\\");
  EXPECT_TRUE(c.TLSVerifyPeer);

  // Translated like every other path; a folder loses its final separator.
  TlsFiles files = TlsFilesOf(c);
  const std::string drives = TestProgramDir() + "/drives";
  EXPECT_EQ(files.certificate, drives + "/c/Certs/vantor.pem");
  EXPECT_EQ(files.private_key, "/etc/vantor/vantor.key");
  EXPECT_EQ(files.ca_certificates, drives + "/unc/pki/ca");
  EXPECT_TRUE(files.verify_peer);
}

TEST(TlsSettingsTest, APortThatIsNoPortMeansNoTlsListener) {
  for (const char* port : {"", "0", "abc", "-5", "65536", "dword:00000ac2"}) {
    Config c = Read(std::string("\"TLSPort\"=\"") + port + "\"\r\n");
    EXPECT_EQ(c.TLSPort, 0) << port;
  }
  EXPECT_EQ(Read("").TLSPort, 0);
  EXPECT_EQ(Read("\"TLSPort\"=\"65535\"\r\n").TLSPort, 65535);
  // The switch is on only for a non-zero number.
  EXPECT_FALSE(Read("\"TLSVerifyPeer\"=\"yes\"\r\n").TLSVerifyPeer);
  EXPECT_FALSE(Read("\"TLSVerifyPeer\"=\"0\"\r\n").TLSVerifyPeer);
  EXPECT_TRUE(Read("\"TLSVerifyPeer\"=\"-1\"\r\n").TLSVerifyPeer);
  // Empty texts stay empty paths (no file).
  TlsFiles files = TlsFilesOf(Read(""));
  EXPECT_EQ(files.certificate, "");
  EXPECT_EQ(files.ca_certificates, "");
}

TEST(TlsSettingsTest, TheConfigurationPassReadsThem) {
  UseRegistryText(
      "Windows Registry Editor Version 5.00\r\n\r\n" +
      InstanceBlock("01", "\"TLSPort\"=\"2762\"\r\n"
                          "\"TLSCertificate\"=\"/srv/cert.pem\"\r\n"));
  PublishSettings(Config{});
  ReadReg();
  EXPECT_EQ(Settings()->TLSPort, 2762);
  EXPECT_EQ(Settings()->TLSCertificate, "/srv/cert.pem");
  UseRegistryText("Windows Registry Editor Version 5.00\r\n\r\n" +
                  InstanceBlock("01", "\"DCM\"=\"104\"\r\n"));
  ReadReg();
  EXPECT_EQ(Settings()->TLSPort, 0);
  EXPECT_EQ(Settings()->TLSCertificate, "");
  PublishSettings(Config{});
}

TEST(TlsSettingsTest, TheStampFollowsTheFilesAndTheCaFolder) {
  const std::string dir = TestProgramDir() + "/tls-stamp";
  fs::remove_all(dir);
  fs::create_directories(dir + "/cas");
  auto write = [](const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  };
  write(dir + "/cert.pem", "one");
  write(dir + "/key.pem", "key");
  write(dir + "/cas/a.pem", "ca a");
  TlsFiles files;
  files.certificate = dir + "/cert.pem";
  files.private_key = dir + "/key.pem";
  files.ca_certificates = dir + "/cas";
  const std::string first = TlsFilesStamp(files);
  EXPECT_EQ(TlsFilesStamp(files), first);

  // A rewrite of the same length still changes the time.
  fs::last_write_time(dir + "/cert.pem",
                      fs::last_write_time(dir + "/cert.pem") -
                          std::chrono::seconds(10));
  const std::string touched = TlsFilesStamp(files);
  EXPECT_NE(touched, first);

  write(dir + "/cas/b.pem", "ca b");
  const std::string added = TlsFilesStamp(files);
  EXPECT_NE(added, touched);

  fs::remove(dir + "/key.pem");
  EXPECT_NE(TlsFilesStamp(files), added);

  files.verify_peer = true;
  EXPECT_NE(TlsFilesStamp(files), TlsFilesStamp(TlsFiles{}));
  fs::remove_all(dir);
}

TEST(TlsSettingsTest, TheInstanceOfAPortIsFoundByItsDcm) {
  Registry reg = Reg(InstanceBlock("01", "\"DCM\"=\"104\"\r\n") +
                     InstanceBlock("02", "\"DCM\"=\"4104\"\r\n") +
                     InstanceBlock("03", "\"Caption\"=\"no port\"\r\n") +
                     "[HKEY_LOCAL_MACHINE\\Software\\Tavik\\Kelmora\\Vantor\\"
                     "02\\Sub]\r\n\"DCM\"=\"5104\"\r\n\r\n");
  EXPECT_EQ(InstanceKeyForPort(reg, 4104),
            std::optional<std::string>("Software\\Tavik\\Kelmora\\Vantor\\02"));
  // A key without DCM has the default port; the first one in order wins.
  EXPECT_EQ(InstanceKeyForPort(reg, 104),
            std::optional<std::string>("Software\\Tavik\\Kelmora\\Vantor\\01"));
  // Keys below an instance key are not instances.
  EXPECT_EQ(InstanceKeyForPort(reg, 5104), std::nullopt);
  EXPECT_EQ(InstanceKeyForPort(Reg(""), 104), std::nullopt);
}

}  // namespace
}  // namespace vantor
