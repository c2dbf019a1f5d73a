#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "host/base/database.h"
#include "host/base/paths.h"
#include "tests/support/temp_folder.h"

namespace vantor {
namespace {

// "[text]", as dcmdump shows a value.
std::string Bracketed(const std::string& text) {
  std::string out(1, '[');
  out.append(text).push_back(']');
  return out;
}

namespace fs = std::filesystem;

// Runs `command` and returns what it printed; the exit code in `rc`.
std::string RunCommand(const std::string& command, int& rc) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    rc = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  rc = ::pclose(pipe);
  return out;
}

class DemoArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    demo_ = std::string(VANTOR_BUILD_DIR) + "/vantor-demo";
    if (!fs::exists(demo_)) GTEST_SKIP() << demo_ << " is not built";
  }

  void RunDemo() {
    int rc = 0;
    std::string out = RunCommand(
        demo_ + " --schema " VANTOR_SOURCE_DIR "/archive/schema.sql " + dir_,
        rc);
    ASSERT_EQ(rc, 0) << out;
  }

  int DicomFiles() {
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
      if (entry.path().extension() == ".dcm") ++count;
    return count;
  }

  std::string demo_;
  TempFolder folder_{"demo"};
  const std::string dir_ = folder_.path();
};

TEST_F(DemoArchiveTest, EveryImageRowHasItsFileWhereARetrievalLooks) {
  RunDemo();
  Database db;
  db.Open(ConnectionText("sqlite:" + dir_ + "/archive.db"));
  EXPECT_EQ(db.Query("SELECT * FROM VIEW_Patienten_Standard").rows.size(), 3u);
  EXPECT_EQ(db.Query("SELECT * FROM tblStudies").rows.size(), 5u);
  ResultSet images = db.Query("SELECT * FROM VIEW_Images");
  ASSERT_GE(images.rows.size(), 10u);
  EXPECT_EQ(DicomFiles(), static_cast<int>(images.rows.size()));
  EXPECT_EQ(db.Query("SELECT * FROM VIEW_Patienten_Standard WHERE "
                     "PAT2Vorname IS NOT NULL")
                .rows.size(),
            1u);
  for (size_t r = 0; r < images.rows.size(); ++r) {
    const std::string uid = images.Get(r, "ImageUID").ToText();
    // The archive path as the C-GET resolution joins it.
    const std::string path = ToFsPath(
        images.Get(r, "ArchivePath").ToText() + "\\" +
        images.Get(r, "StudyDirectory1").ToText() + "\\" + uid + ".dcm");
    ASSERT_TRUE(fs::exists(path)) << path;
    if (r % 4 != 0) continue;  // dcmdump a sample of the files
    int rc = 0;
    std::string dump = RunCommand(
        "dcmdump -q +P SOPInstanceUID +P StudyInstanceUID "
        "+P PatientID +P Rows '" +
            path + "'",
        rc);
    ASSERT_EQ(rc, 0) << dump;
    EXPECT_NE(dump.find(Bracketed(uid)), std::string::npos) << dump;
    EXPECT_NE(dump.find(Bracketed(images.Get(r, "StudyUID").ToText())),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find(Bracketed(images.Get(r, "PATID1").ToText())),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("US 64"), std::string::npos) << dump;
  }
  ResultSet nodes = db.Query(
      "SELECT * FROM tblDicomAETs WHERE AET = 'STORESCP' And IPAdress = "
      "'127.0.0.1'");
  ASSERT_EQ(nodes.rows.size(), 1u);
  EXPECT_EQ(nodes.Get(0, "IPPort"), Value(11113));
  EXPECT_EQ(nodes.Get(0, "CallingAET"), Value("STORESCP"));
}

TEST_F(DemoArchiveTest, SecondRunReplacesTheArchive) {
  RunDemo();
  const int first = DicomFiles();
  RunDemo();
  EXPECT_EQ(DicomFiles(), first);
  Database db;
  db.Open(ConnectionText("sqlite:" + dir_ + "/archive.db"));
  EXPECT_EQ(db.Query("SELECT * FROM tblDicomAETs").rows.size(), 6u);
  EXPECT_EQ(db.Query("SELECT * FROM tblImages").rows.size(),
            static_cast<size_t>(first));
}

TEST_F(DemoArchiveTest, MissingSchemaFailsWithoutTouchingTheFolder) {
  int rc = 0;
  std::string out = RunCommand(
      demo_ + " --schema " + dir_ + "/none.sql " + dir_ + "/out", rc);
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("none.sql"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir_ + "/out"));
}

}  // namespace
}  // namespace vantor
