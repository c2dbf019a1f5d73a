#include "host/base/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_env.h"

namespace vantor {
namespace {

TEST(PathsTest, WindowsTextsMapUnderTheDrivesFolder) {
  const std::string drives = TestProgramDir() + "/drives";
  struct Case {
    const char* text;
    std::string path;
  };
  const Case cases[] = {
      {"E:\\Temp\\", drives + "/e/Temp/"},
      {"e:\\Temp", drives + "/e/Temp"},
      {"C:\\Temp\\Send104_0", drives + "/c/Temp/Send104_0"},
      {"D:\\", drives + "/d/"},
      {"D:", drives + "/d"},
      {"D:In\\Sub", drives + "/d/In/Sub"},
      {"Z:\\Mixed Case\\File.DCM", drives + "/z/Mixed Case/File.DCM"},
      {"\\\\Archive01\\Share\\Images\\1.dcm",
       drives + "/unc/archive01/Share/Images/1.dcm"},
      {"\\\\HOST\\Share\\", drives + "/unc/host/Share/"},
      {"\\\\HOST", drives + "/unc/host"},
  };
  for (const Case& c : cases) EXPECT_EQ(ToFsPath(c.text), c.path) << c.text;
}

TEST(PathsTest, PosixAndRelativeTexts) {
  EXPECT_EQ(ToFsPath("/srv/archive/Images/"), "/srv/archive/Images/");
  EXPECT_EQ(ToFsPath("/Srv/X.dcm"), "/Srv/X.dcm");
  EXPECT_EQ(ToFsPath("Images\\2024\\a.dcm"), "Images/2024/a.dcm");
  EXPECT_EQ(ToFsPath(""), "");
}

TEST(PathsTest, InProgramDir) {
  EXPECT_EQ(ProgramDir(), TestProgramDir());
  EXPECT_EQ(InProgramDir("Logs/ErrorVantor104.log"),
            TestProgramDir() + "/Logs/ErrorVantor104.log");
  EXPECT_EQ(InProgramDir("/Logs"), TestProgramDir() + "/Logs");
  EXPECT_EQ(InProgramDir(""), TestProgramDir());
}

}  // namespace
}  // namespace vantor
