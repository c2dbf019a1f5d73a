#include "host/base/read_reg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "host/base/config.h"
#include "host/base/paths.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using Values = std::vector<std::pair<std::string, std::string>>;

// One key's block of string values, with the file's escapes.
std::string Block(const std::string& key, const Values& values) {
  std::string text = "[HKEY_LOCAL_MACHINE\\" + key + "]\r\n";
  auto quoted = [](const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
      if (c == '\\' || c == '"') out += '\\';
      out += c;
    }
    return out + "\"";
  };
  for (const auto& [name, value] : values)
    text += quoted(name) + "=" + quoted(value) + "\r\n";
  return text + "\r\n";
}

class ReadRegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    fs::remove_all(Drives());
  }
  void TearDown() override {
    fs::remove_all(Drives());
    Reset();
  }

  // The state before the first pass of a process.
  static void Reset() { PublishSettings(Config{}); }

  static std::string Drives() { return TestProgramDir() + "/drives"; }
  static void MakeDrive(const std::string& letter) {
    fs::create_directories(Drives() + "/" + letter);
  }

  // Writes the registry file and runs one pass; returns the new settings.
  static Config Pass(const Values& default_values,
                     const Values& instance_values) {
    UseRegistryText("Windows Registry Editor Version 5.00\r\n\r\n" +
                    Block("Software\\Tavik\\Kelmora\\ Default",
                          default_values) +
                    Block("Software\\Tavik\\Kelmora\\Vantor\\01",
                          instance_values));
    ReadReg();
    return *Settings();
  }

  static std::string ErrorLogPath(int port) {
    return TestProgramDir() + "/Logs/ErrorVantor" + std::to_string(port) +
           ".log";
  }
  // The error log of `port`, removed afterwards so that the next read sees
  // only new lines.
  static std::string TakeErrorLog(int port) {
    std::string text = ReadWholeFile(ErrorLogPath(port));
    std::error_code ec;
    fs::remove(ErrorLogPath(port), ec);
    return text;
  }
};

TEST_F(ReadRegTest, EmptyRegistryGivesTheDefaults) {
  MakeDrive("e");
  TakeErrorLog(0);
  TakeErrorLog(104);
  ::setenv("VANTOR_REGISTRY", (TestProgramDir() + "/absent.reg").c_str(), 1);
  ReadReg();
  const Config c = *Settings();
  EXPECT_EQ(c.DBServer, "");
  EXPECT_EQ(c.DCM, 104);
  EXPECT_EQ(c.UDP, 11111);
  EXPECT_EQ(c.Temp, "E:\\Temp\\");
  EXPECT_EQ(c.Unzip, "E:\\Temp\\Unzip\\");
  EXPECT_TRUE(fs::is_directory(Drives() + "/e/Temp"));
  EXPECT_TRUE(fs::is_directory(Drives() + "/e/Temp/Unzip"));
  EXPECT_EQ(c.DefaultAET, "Kelmora2000");
  EXPECT_EQ(c.AET, "");
  EXPECT_EQ(c.OwnAET, "Kelmora2000");
  EXPECT_EQ(c.Caption, "Vantor 01");
  EXPECT_EQ(c.DateFormat, "YYYYMMDD");
  EXPECT_TRUE(c.dismiss_list_present);
  EXPECT_THAT(c.DismissModalities, ElementsAre("EMPTY"));
  EXPECT_FALSE(c.Compress || c.DefaultDebug || c.Rename || c.EnableDismiss ||
               c.Debug || c.CountPatient || c.CountStudy || c.CountSeries ||
               c.StudyStatus || c.Dicomlog);
  EXPECT_EQ(c.Dicomloglength, 0);
  EXPECT_EQ(c.Dicomloglevel, 0);
  EXPECT_EQ(c.instance_key, "Software\\Tavik\\Kelmora\\Vantor\\01");
  EXPECT_EQ(TakeErrorLog(0), "");
  EXPECT_EQ(TakeErrorLog(104), "");
}

TEST_F(ReadRegTest, DefaultTempOnAMissingDriveIsKeptWithoutError) {
  TakeErrorLog(0);
  TakeErrorLog(104);
  Config c = Pass({}, {});
  EXPECT_EQ(c.Temp, "E:\\Temp\\");
  EXPECT_EQ(c.Unzip, "E:\\Temp\\Unzip\\");
  EXPECT_FALSE(fs::exists(Drives()));
  // Errors of the fallbacks are not reported.
  EXPECT_EQ(TakeErrorLog(0), "");
  EXPECT_EQ(TakeErrorLog(104), "");
}

TEST_F(ReadRegTest, PortNumbers) {
  struct Case {
    const char* text;
    int32_t dcm;
  };
  const Case cases[] = {
      {"-105", 105},   {"abc", 104},  {"0", 104},       {"104.5", 104},
      {"105.5", 106},  {"", 104},     {" 11112 ", 11112}, {"-0.4", 104},
      {"1e3", 104},    {"0x68", 104}, {"+2000", 2000},
  };
  for (const Case& k : cases) {
    Reset();
    EXPECT_EQ(Pass({}, {{"DCM", k.text}}).DCM, k.dcm) << k.text;
  }
  const Case udp[] = {{"-7", 7}, {"0", 11111}, {"x", 11111}, {"2.5", 2}};
  for (const Case& k : udp) {
    Reset();
    EXPECT_EQ(Pass({{"UDP", k.text}}, {}).UDP, k.dcm) << k.text;
  }
}

TEST_F(ReadRegTest, SwitchesAreNumericAndNotZero) {
  struct Case {
    const char* text;
    bool on;
  };
  const Case cases[] = {
      {"1", true},    {"-1", true},   {" 2 ", true}, {"0.6", true},
      {"0", false},   {"0.4", false}, {"0.5", false}, {"", false},
      {"yes", false}, {"on", false},  {"1 0", false},
  };
  for (const Case& k : cases) {
    Reset();
    EXPECT_EQ(Pass({}, {{"Rename", k.text}}).Rename, k.on) << k.text;
  }
}

TEST_F(ReadRegTest, EachSwitchFromItsOwnKey) {
  Config c = Pass({{"Compress", "1"}, {"Debug", "1"}}, {});
  EXPECT_TRUE(c.Compress);
  EXPECT_TRUE(c.DefaultDebug);
  EXPECT_FALSE(c.Debug);
  EXPECT_FALSE(c.Rename);

  const char* instance_switches[] = {"Rename",      "Debug",
                                     "CountPatient", "CountStudy",
                                     "CountSeries",  "StudyStatus",
                                     "StorageCommitment"};
  for (const char* name : instance_switches) {
    Reset();
    c = Pass({}, {{name, "1"}});
    const bool on[] = {c.Rename,      c.Debug,       c.CountPatient,
                       c.CountStudy,  c.CountSeries, c.StudyStatus,
                       c.StorageCommitment};
    int count = 0;
    for (bool b : on) count += b;
    EXPECT_EQ(count, 1) << name;
    EXPECT_FALSE(c.Compress || c.DefaultDebug) << name;
  }
  Reset();
  c = Pass({}, {{"Debug", "1"}});
  EXPECT_TRUE(c.Debug);
  EXPECT_FALSE(c.DefaultDebug);
}

TEST_F(ReadRegTest, TextsAreTrimmed) {
  Config c = Pass({{"DBServer", "  sqlite:/srv/a.db \t"}, {"AET", " ARCHIVE "}},
                  {{"Caption", "  Vantor Nord  "}, {"DateFormat", " DD.MM.YYYY "}});
  EXPECT_EQ(c.DBServer, "sqlite:/srv/a.db");
  EXPECT_EQ(c.DefaultAET, "ARCHIVE");
  EXPECT_EQ(c.Caption, "Vantor Nord");
  EXPECT_EQ(c.DateFormat, "DD.MM.YYYY");
}

TEST_F(ReadRegTest, CaptionOfBlanksIsEmpty) {
  EXPECT_EQ(Pass({}, {{"Caption", "    "}}).Caption, "Vantor 01");
}

TEST_F(ReadRegTest, OwnAETitle) {
  struct Case {
    const char* default_aet;
    const char* instance_aet;
    const char* own;
  };
  const Case cases[] = {
      {"", "", "Kelmora2000"},
      {"ARCHIVE", "", "ARCHIVE"},
      {"ARCHIVE", "VANTOR", "VANTOR"},
      {"", "VANTOR", "VANTOR"},
      {"  ", "   ", "Kelmora2000"},
  };
  for (const Case& k : cases) {
    Reset();
    Config c = Pass({{"AET", k.default_aet}}, {{"AET", k.instance_aet}});
    EXPECT_EQ(c.OwnAET, k.own) << k.default_aet << "/" << k.instance_aet;
  }
}

TEST_F(ReadRegTest, DirectoriesGetTheirBackslashAndAreCreated) {
  MakeDrive("d");
  Config c = Pass({{"Temp", "D:\\In"}, {"Unzip", "D:\\Work\\"}}, {});
  EXPECT_EQ(c.Temp, "D:\\In\\");
  EXPECT_EQ(c.Unzip, "D:\\Work\\");
  EXPECT_TRUE(fs::is_directory(Drives() + "/d/In"));
  EXPECT_TRUE(fs::is_directory(Drives() + "/d/Work"));

  // An existing folder is fine; a "\" alone falls back to the defaults.
  Reset();
  c = Pass({{"Temp", "D:\\In\\"}, {"Unzip", "\\"}}, {});
  EXPECT_EQ(c.Temp, "D:\\In\\");
  EXPECT_EQ(c.Unzip, "D:\\In\\Unzip\\");
  EXPECT_TRUE(fs::is_directory(Drives() + "/d/In/Unzip"));
}

TEST_F(ReadRegTest, DirectoryOnAPosixPath) {
  const std::string in = TestProgramDir() + "/posix-in";
  fs::remove_all(in);
  Config c = Pass({{"Temp", in}}, {});
  EXPECT_EQ(c.Temp, in + "\\");
  EXPECT_TRUE(fs::is_directory(in));

  // Written with its trailing "/", the folder gets no second separator, so
  // the incoming files' paths have no "//".
  Reset();
  c = Pass({{"Temp", in + "/"}}, {});
  EXPECT_EQ(c.Temp, in + "/");
  EXPECT_EQ(ToFsPath(c.Temp) + "1.2.dcm", in + "/1.2.dcm");
  fs::remove_all(in);
}

TEST_F(ReadRegTest, TempWhoseParentIsMissingSkipsTheRestOfThePass) {
  MakeDrive("d");
  TakeErrorLog(4301);
  const Values good_instance = {{"DCM", "4301"},      {"Caption", "First"},
                                {"Rename", "1"},      {"AET", "FIRST"},
                                {"DateFormat", "DD.MM.YYYY"}};
  Config first = Pass({{"Temp", "D:\\In"}, {"Compress", "1"}}, good_instance);
  ASSERT_EQ(first.DCM, 4301);
  ASSERT_EQ(TakeErrorLog(4301), "");

  Config c = Pass({{"Temp", "D:\\Missing\\In"}, {"Compress", "0"}},
                  {{"DCM", "4302"},
                   {"Caption", "Second"},
                   {"Rename", "0"},
                   {"AET", "SECOND"},
                   {"DateFormat", "YYYY-MM-DD"}});
  EXPECT_FALSE(fs::exists(Drives() + "/d/Missing"));
  std::string log = TakeErrorLog(4301);
  EXPECT_THAT(log, HasSubstr("\t76\tPath not found\tReadReg\r\n"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_EQ(c.Temp, "D:\\Missing\\In\\");
  // Everything after Temp keeps the previous pass's value.
  EXPECT_EQ(c.Unzip, first.Unzip);
  EXPECT_TRUE(c.Compress);
  EXPECT_TRUE(c.Rename);
  EXPECT_EQ(c.DCM, 4301);
  EXPECT_EQ(c.Caption, "First");
  EXPECT_EQ(c.OwnAET, "FIRST");
  EXPECT_EQ(c.DateFormat, "DD.MM.YYYY");
}

TEST_F(ReadRegTest, FallbacksRunAfterAFailedFirstPass) {
  MakeDrive("d");
  TakeErrorLog(0);
  Config c = Pass({{"Temp", "D:\\Missing\\In"}, {"AET", "ARCHIVE"}},
                  {{"DCM", "4303"}, {"Caption", "Mine"}});
  // The error is written before any port has been read.
  EXPECT_THAT(TakeErrorLog(0), HasSubstr("\t76\tPath not found\tReadReg\r\n"));
  EXPECT_EQ(c.DCM, 104);
  EXPECT_EQ(c.UDP, 11111);
  EXPECT_EQ(c.OwnAET, "Kelmora2000");
  EXPECT_EQ(c.Caption, "Vantor 01");
  EXPECT_EQ(c.Unzip, "D:\\Missing\\In\\Unzip\\");
  EXPECT_FALSE(c.dismiss_list_present);
}

TEST_F(ReadRegTest, EnableDismissOnlyEverSwitchesOn) {
  EXPECT_FALSE(Pass({}, {{"EnableDismiss", "0"}}).EnableDismiss);
  EXPECT_TRUE(Pass({}, {{"EnableDismiss", "1"}}).EnableDismiss);
  EXPECT_TRUE(Pass({}, {{"EnableDismiss", "0"}}).EnableDismiss);
  EXPECT_TRUE(Pass({}, {}).EnableDismiss);
  Reset();
  EXPECT_FALSE(Pass({}, {{"EnableDismiss", "0"}}).EnableDismiss);
}

TEST_F(ReadRegTest, DismissModalitiesKeepEmptyPieces) {
  EXPECT_THAT(Pass({}, {{"DismissModalities", "CT;;MR"}}).DismissModalities,
              ElementsAre("CT", "", "MR"));
  EXPECT_THAT(Pass({}, {{"DismissModalities", "US"}}).DismissModalities,
              ElementsAre("US"));
  EXPECT_THAT(Pass({}, {{"DismissModalities", " CT; "}}).DismissModalities,
              ElementsAre("CT", ""));
  EXPECT_THAT(Pass({}, {{"DismissModalities", ";"}}).DismissModalities,
              ElementsAre("", ""));
  EXPECT_THAT(Pass({}, {{"DismissModalities", ""}}).DismissModalities,
              ElementsAre("EMPTY"));
  EXPECT_THAT(Pass({}, {{"DismissModalities", "   "}}).DismissModalities,
              ElementsAre("EMPTY"));
}

TEST_F(ReadRegTest, NumberOutOfRangeIsLoggedAndSkipsTheRest) {
  TakeErrorLog(4311);
  Pass({}, {{"DCM", "4311"}, {"Caption", "First"}, {"Dicomloglength", "7"}});
  struct Case {
    Values default_values;
    Values instance_values;
  };
  const Case cases[] = {
      {{}, {{"DCM", "4294967400"}, {"Caption", "Second"}}},
      {{}, {{"DCM", "-2147483648"}, {"Caption", "Second"}}},
      {{{"UDP", "2147483648"}}, {{"Caption", "Second"}}},
      {{}, {{"Rename", "99999999999"}, {"Caption", "Second"}}},
      {{}, {{"DCM", "4311"}, {"Dicomloglength", "-2147483649"}}},
  };
  for (const Case& k : cases) {
    Config c = Pass(k.default_values, k.instance_values);
    std::string log = TakeErrorLog(4311);
    EXPECT_THAT(log, HasSubstr("\t6\tOverflow\tReadReg\r\n"));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(c.DCM, 4311);
    EXPECT_EQ(c.Dicomloglength, 7);
  }
  // The length keeps its sign, so the most negative number is in range.
  Config c = Pass({}, {{"DCM", "4311"}, {"Dicomloglength", "-2147483648"}});
  EXPECT_EQ(c.Dicomloglength, INT32_MIN);
  EXPECT_EQ(TakeErrorLog(4311), "");
}

TEST_F(ReadRegTest, DicomloglevelIsSixteenBit) {
  TakeErrorLog(4321);
  Config c = Pass({}, {{"DCM", "4321"}, {"Dicomloglevel", "32767"},
                       {"DateFormat", "DD.MM.YYYY"}});
  EXPECT_EQ(c.Dicomloglevel, 32767);
  c = Pass({}, {{"DCM", "4321"}, {"Dicomloglevel", "-32768"}});
  EXPECT_EQ(c.Dicomloglevel, -32768);
  EXPECT_EQ(c.DateFormat, "YYYYMMDD");
  c = Pass({}, {{"DCM", "4321"}, {"Dicomloglevel", "-1.5"}});
  EXPECT_EQ(c.Dicomloglevel, -2);
  EXPECT_EQ(TakeErrorLog(4321), "");

  c = Pass({}, {{"DCM", "4321"}, {"Dicomloglevel", "32768"},
                {"DateFormat", "DD.MM.YYYY"}});
  EXPECT_THAT(TakeErrorLog(4321), HasSubstr("\t6\tOverflow\tReadReg\r\n"));
  EXPECT_EQ(c.Dicomloglevel, -2);
  EXPECT_EQ(c.DateFormat, "YYYYMMDD");  // not read in the failed pass
}

TEST_F(ReadRegTest, InstanceKeyChoosesTheBlock) {
  Config start;
  start.instance_key = InstanceKeyFromCommandLine(" 2 ");
  PublishSettings(start);
  UseRegistryText(
      "REGEDIT4\r\n\r\n" +
      Block("Software\\Tavik\\Kelmora\\Vantor\\01", {{"Caption", "One"}}) +
      Block("Software\\Tavik\\Kelmora\\Vantor\\2", {{"Caption", "Two"}}) +
      Block("Software\\Tavik\\Kelmora\\Vantor\\02", {{"Caption", "Zero two"}}));
  ReadReg();
  EXPECT_EQ(Settings()->Caption, "Two");
  EXPECT_EQ(Settings()->instance_key, "Software\\Tavik\\Kelmora\\Vantor\\2");
}

TEST(InstanceKeyTest, FromCommandLine) {
  const std::string base = "Software\\Tavik\\Kelmora\\Vantor\\";
  EXPECT_EQ(InstanceKeyFromCommandLine(""), base + "01");
  EXPECT_EQ(InstanceKeyFromCommandLine("2"), base + "2");
  EXPECT_EQ(InstanceKeyFromCommandLine("  3\t"), base + "3");
  EXPECT_EQ(InstanceKeyFromCommandLine("02"), base + "02");
  EXPECT_EQ(InstanceKeyFromCommandLine("abc"), base + "01");
  EXPECT_EQ(InstanceKeyFromCommandLine("2 3"), base + "01");
  EXPECT_EQ(InstanceKeyFromCommandLine("   "), base + "01");
}

TEST_F(ReadRegTest, TimeoutsAndEventServers) {
  Config c = Pass({{"DBServer", "sqlite:/a.db"}}, {});
  EXPECT_EQ(c.AssociationTimeout, 30);
  EXPECT_EQ(c.IdleTimeout, 120);
  EXPECT_THAT(c.EventServers, ElementsAre("sqlite:/a.db"));

  c = Pass({{"DBServer", "sqlite:/a.db"}},
           {{"AssociationTimeout", "5"},
            {"IdleTimeout", "0"},
            {"EventServers", "sqlite:/a.db;;ARCHIV2 ;"}});
  EXPECT_EQ(c.AssociationTimeout, 5);
  EXPECT_EQ(c.IdleTimeout, 0);  // never
  // Empty pieces are dropped; the others keep their blanks, as written.
  EXPECT_THAT(c.EventServers, ElementsAre("sqlite:/a.db", "ARCHIV2 "));

  // The ARTIM time is only ever shortened; nonsense reads as the default.
  c = Pass({}, {{"AssociationTimeout", "300"}, {"IdleTimeout", "-4"}});
  EXPECT_EQ(c.AssociationTimeout, 30);
  EXPECT_EQ(c.IdleTimeout, 120);
  c = Pass({}, {{"AssociationTimeout", "0"}, {"IdleTimeout", "x"}});
  EXPECT_EQ(c.AssociationTimeout, 30);
  EXPECT_EQ(c.IdleTimeout, 120);
}

}  // namespace
}  // namespace vantor
