// The web port with clients that are not ours, on the quick start's demo
// archive: the JavaScript dicomweb-client searches, retrieves metadata,
// frames, instances and pictures and stores; dcmjs parses what came back;
// and the OHIF viewer in Debian's Chromium opens a demo study and draws it
// (tests/web-clients/run.sh). The screenshot stays in the build folder's
// web-artifacts/ as the test's artifact.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "host/base/database.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

std::string ClientDir() {
  return std::string(VANTOR_SOURCE_DIR) + "/tests/web-clients";
}

// Why the clients cannot run here, "" when they can.
std::string ClientsMissing() {
  if (::access("/usr/bin/node", X_OK) != 0)
    return "Node.js (/usr/bin/node) is not installed: run scripts/setup.sh";
  if (::access("/usr/bin/chromium", X_OK) != 0)
    return "Chromium (/usr/bin/chromium) is not installed: run scripts/setup.sh";
  for (const char* package : {"dicomweb-client", "dcmjs", "playwright-core",
                              "@ohif/app"})
    if (::access((ClientDir() + "/node_modules/" + package + "/package.json")
                     .c_str(),
                 R_OK) != 0)
      return std::string(package) +
             " is not installed in tests/web-clients: run scripts/setup.sh";
  return "";
}

TEST(WebClientsTest, JavaScriptClientAndOhifViewerWorkOnTheDemo) {
  // CI installs the clients; a machine without them fails, saying why.
  ASSERT_EQ(ClientsMissing(), "");
  TempFolder demo("webdemo");
  ToolResult made = RunDcmtkTool(
      std::string(VANTOR_BUILD_DIR) + "/vantor-demo",
      {"--schema", std::string(VANTOR_SOURCE_DIR) + "/archive/schema.sql",
       demo.path()});
  ASSERT_EQ(made.exit_code, 0) << made.output;

  // A demo study to open: the first in the archive with images.
  Database db;
  ASSERT_TRUE(ConOpen(db, "sqlite:" + demo.path() + "/archive.db"));
  ResultSet rs = db.Query(
      "SELECT StudyUID FROM tblStudies WHERE StudyID IN "
      "(SELECT FKeyStudyID FROM tblSeries) ORDER BY StudyID");
  ConClose(db);
  ASSERT_FALSE(rs.empty());
  const std::string study = rs.rows[0][0].ToText();

  const int http_port = FreeLoopbackPort();
  ServiceProcess service;
  ServiceProcess::Options options;
  options.db_server = "sqlite:" + demo.path() + "/archive.db";
  options.debug = true;
  options.default_values = {{"Temp", demo.path() + "/incoming/"}};
  options.instance_values = {{"Import", "1"},
                             {"DateFormat", "YYYY-MM-DD"},
                             {"CountStudy", "1"},
                             {"CountSeries", "1"},
                             {"HTTP", std::to_string(http_port)}};
  fs::create_directories(demo.path() + "/incoming");
  ASSERT_TRUE(service.Start(options)) << service.Describe();
  for (int i = 0; i < 100 && !IsListening(http_port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(IsListening(http_port)) << service.Describe();

  TestImage image;
  image.study_uid = "1.2.826.0.1.3680043.9.78.1";
  image.series_uid = "1.2.826.0.1.3680043.9.78.1.1";
  image.sop_instance_uid = "1.2.826.0.1.3680043.9.78.1.1.1";
  image.patient_id = "P-STOW";
  image.patient_name = "Stow^Stella";
  const std::string file = demo.path() + "/stow.dcm";
  WriteTestImage(file, image);

  const std::string artifacts = std::string(VANTOR_BUILD_DIR) + "/web-artifacts";
  fs::create_directories(artifacts);
  ToolResult run = RunDcmtkTool(
      "/bin/sh",
      {ClientDir() + "/run.sh",
       "http://127.0.0.1:" + std::to_string(http_port) + "/dicom-web", study,
       file, artifacts},
      std::chrono::seconds(240));
  EXPECT_EQ(run.exit_code, 0) << run.output << "\n" << service.Describe();
  EXPECT_FALSE(run.timed_out);
  EXPECT_THAT(run.output, ::testing::Not(::testing::HasSubstr("FAIL")));
  service.Stop();
}

}  // namespace
}  // namespace vantor
