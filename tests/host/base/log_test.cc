#include "host/base/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "host/base/config.h"
#include "host/base/failure.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

const char* const kTimestamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})";

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { Use(104, false, false); }
  void TearDown() override { PublishSettings(Config{}); }

  // Publishes settings with the port and the two debug switches and removes
  // that port's error and debug logs.
  void Use(int port, bool instance_debug, bool default_debug) {
    Config c;
    c.DCM = port;
    c.Debug = instance_debug;
    c.DefaultDebug = default_debug;
    PublishSettings(c);
    std::error_code ec;
    fs::remove(Path("ErrorVantor", port), ec);
    fs::remove(Path("DebugVantor", port), ec);
  }

  static std::string Path(const std::string& kind, int port) {
    return TestProgramDir() + "/Logs/" + kind + std::to_string(port) + ".log";
  }
  static std::string Read(const std::string& kind, int port) {
    return ReadWholeFile(Path(kind, port));
  }
  static bool Exists(const std::string& kind, int port) {
    return fs::exists(Path(kind, port));
  }
  // The whole text is one or more lines of `timestamp TAB body CR LF`.
  static bool Lines(const std::string& text,
                    const std::vector<std::string>& bodies) {
    std::string pattern;
    for (const std::string& body : bodies)
      pattern += std::string(kTimestamp) + "\\t" + body + "\\r\\n";
    return std::regex_match(text, std::regex(pattern));
  }
};

TEST_F(LogTest, ErrorLineWithDebugSwitchOn) {
  Use(104, true, false);
  ErrorLogWrite(5, "Invalid procedure call", "ReadReg");
  EXPECT_TRUE(
      Lines(Read("ErrorVantor", 104), {"5\\tInvalid procedure call\\tReadReg"}))
      << Read("ErrorVantor", 104);
  EXPECT_TRUE(Lines(Read("DebugVantor", 104),
                    {"\\[Error #5\\] Invalid procedure call\\tReadReg"}))
      << Read("DebugVantor", 104);
}

TEST_F(LogTest, LinesAreAppendedInOrder) {
  Use(104, true, false);
  DebugLogWrite("Pathes built", "BuildPathes");
  ErrorLogWrite(-2147467259, "[Microsoft][ODBC] down", "ConOpen");
  DebugLogWrite("Vantor is listen on port 104", "");
  ErrorLogWrite(0, "", "");
  EXPECT_TRUE(Lines(
      Read("ErrorVantor", 104),
      {"-2147467259\\t\\[Microsoft\\]\\[ODBC\\] down\\tConOpen", "0\\t\\t"}))
      << Read("ErrorVantor", 104);
  EXPECT_TRUE(Lines(
      Read("DebugVantor", 104),
      {"Pathes built\\tBuildPathes",
       "\\[Error #-2147467259\\] \\[Microsoft\\]\\[ODBC\\] down\\tConOpen",
       "Vantor is listen on port 104\\t", "\\[Error #0\\] \\t"}))
      << Read("DebugVantor", 104);
}

TEST_F(LogTest, TimestampIsTheCurrentLocalTime) {
  Use(104, false, false);
  std::string before = LogTimestamp();
  ErrorLogWrite(1, "m", "p");
  std::string after = LogTimestamp();
  std::string line = Read("ErrorVantor", 104);
  ASSERT_GE(line.size(), 19u);
  std::string stamp = line.substr(0, 19);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
}

TEST_F(LogTest, DebugLogFollowsTheInstanceSwitchAlone) {
  Use(104, false, false);
  ErrorLogWrite(5, "Invalid procedure call", "ReadReg");
  DebugLogWrite("progress", "Main");
  EXPECT_TRUE(Lines(Read("ErrorVantor", 104),
                    {"5\\tInvalid procedure call\\tReadReg"}));
  EXPECT_FALSE(Exists("DebugVantor", 104));

  // The default key's switch turns on the per-event logs, not this one.
  Use(104, false, true);
  ErrorLogWrite(5, "Invalid procedure call", "ReadReg");
  DebugLogWrite("progress", "Main");
  EXPECT_TRUE(Exists("ErrorVantor", 104));
  EXPECT_FALSE(Exists("DebugVantor", 104));
}

TEST_F(LogTest, PortChangeGoesToNewFiles) {
  Use(5201, true, false);
  ErrorLogWrite(1, "old port", "ReadReg");
  Use(5202, true, false);
  ErrorLogWrite(2, "new port", "ReadReg");
  DebugLogWrite("after", "Main");
  EXPECT_TRUE(Lines(Read("ErrorVantor", 5201), {"1\\told port\\tReadReg"}));
  EXPECT_TRUE(
      Lines(Read("DebugVantor", 5201), {"\\[Error #1\\] old port\\tReadReg"}));
  EXPECT_TRUE(Lines(Read("ErrorVantor", 5202), {"2\\tnew port\\tReadReg"}));
  EXPECT_TRUE(Lines(Read("DebugVantor", 5202),
                    {"\\[Error #2\\] new port\\tReadReg", "after\\tMain"}));
}

TEST_F(LogTest, AValueKeepsItsSnapshotWhateverIsPublishedLater) {
  Use(5203, true, false);
  Use(5204, false, false);
  Config snapshot;
  snapshot.DCM = 5203;
  snapshot.Debug = true;
  const Log log = Log::Of(snapshot);
  EXPECT_EQ(log.error_file(), "ErrorVantor5203.log");
  EXPECT_EQ(log.debug_file(), "DebugVantor5203.log");
  EXPECT_EQ(log.PortFile("Calling"), "Calling5203.log");
  // Published now, other settings change nothing for the value.
  log.Error(5, "Invalid procedure call", "ReadReg");
  log.Debug("progress", "Main");
  EXPECT_TRUE(Lines(Read("ErrorVantor", 5203),
                    {"5\\tInvalid procedure call\\tReadReg"}));
  EXPECT_TRUE(Lines(
      Read("DebugVantor", 5203),
      {"\\[Error #5\\] Invalid procedure call\\tReadReg", "progress\\tMain"}));
  EXPECT_FALSE(Exists("ErrorVantor", 5204));
}

TEST_F(LogTest, AValueTakesTheSwitchesOfItsSnapshot) {
  Config snapshot;
  EXPECT_FALSE(Log::Of(snapshot).debug());
  EXPECT_FALSE(Log::Of(snapshot).any_debug());
  // The default key's switch turns on the event logs only.
  snapshot.DefaultDebug = true;
  EXPECT_FALSE(Log::Of(snapshot).debug());
  EXPECT_TRUE(Log::Of(snapshot).any_debug());
  snapshot.DefaultDebug = false;
  snapshot.Debug = true;
  EXPECT_TRUE(Log::Of(snapshot).debug());
  EXPECT_TRUE(Log::Of(snapshot).any_debug());
  // The façade's value is the one of the published snapshot.
  Use(5205, true, false);
  EXPECT_EQ(CurrentLog().port(), 5205);
  EXPECT_TRUE(CurrentLog().debug());
}

TEST_F(LogTest, EventLinesShareTheLayout) {
  EXPECT_TRUE(Lines(LogLine({"a", "", "c d"}), {"a\\t\\tc d"}));
  EXPECT_TRUE(std::regex_match(LogLine({}),
                               std::regex(std::string(kTimestamp) + "\\r\\n")));
  std::error_code ec;
  fs::remove(TestProgramDir() + "/Logs/Calling104.log", ec);
  AppendEventLine("Calling104.log", {"1", "ECHOSCU", "127.0.0.1"});
  EXPECT_TRUE(Lines(ReadWholeFile(TestProgramDir() + "/Logs/Calling104.log"),
                    {"1\\tECHOSCU\\t127.0.0.1"}));
}

TEST_F(LogTest, ControlBytesInFieldsCannotBreakOrForgeLines) {
  // A caller's text holding TAB, CR LF, NUL and DEL stays inside its field;
  // UTF-8 and backslashes are written as they are.
  std::string line =
      LogLine({std::string("EVIL\0\r\n\t1", 9), "\x7F\xC3\xBC\\"});
  EXPECT_EQ(line.substr(19),
            "\tEVIL\\x00\\x0D\\x0A\\x091\t\\x7F\xC3\xBC\\\r\n");
  ErrorLogWrite(0, "forged\r\n2024-01-01 00:00:00\t0\tfake", "Test");
  std::string log = Read("ErrorVantor", 104);
  EXPECT_EQ(log.find("\r\n2024-01-01"), std::string::npos) << log;
}

// Moves Logs/ away for one test and puts it back.
class WithoutLogsFolder {
 public:
  WithoutLogsFolder() { fs::rename(logs_, away_); }
  ~WithoutLogsFolder() {
    std::error_code ec;
    fs::remove_all(logs_, ec);
    fs::rename(away_, logs_, ec);
  }

 private:
  const std::string logs_ = TestProgramDir() + "/Logs";
  const std::string away_ = TestProgramDir() + "/Logs.away";
};

TEST_F(LogTest, MissingLogsFolderLosesLinesSilently) {
  Use(104, true, true);
  WithoutLogsFolder without;
  ErrorLogWrite(5, "Invalid procedure call", "ReadReg");
  DebugLogWrite("progress", "Main");
  EXPECT_FALSE(AppendLogFile("DicomVantor104.log", "text\r\n"));
  EXPECT_FALSE(fs::exists(TestProgramDir() + "/Logs"));

  // Handlers that report their own failures get one.
  try {
    AppendEventLine("Calling104.log", {"1"});
    ADD_FAILURE() << "no failure without Logs/";
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), kPathNotFound);
  }
}

}  // namespace
}  // namespace vantor
