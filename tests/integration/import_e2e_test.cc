// The standalone archive end to end: images stored with storescu into the
// running service with Import on are found by findscu and retrieved by
// getscu and movescu; a kill at any moment loses none of them and leaves
// no row without its file and no file without its row.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fixture_archive.h"
#include "tests/support/service_process.h"
#include "tests/support/store_destination.h"
#include "tests/support/test_env.h"
#include "tests/support/test_images.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr char kStudy[] = "1.2.826.0.1.3680043.9.8.1";

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size()))
    ++n;
  return n;
}

// The value findscu printed for `tag` ("(0020,1208)") in its first response.
std::string FirstValue(const std::string& output, const std::string& tag) {
  size_t at = output.find("Find Response: 1");
  at = at == std::string::npos ? at : output.find(tag, at);
  if (at == std::string::npos) return "";
  size_t open = output.find('[', at);
  size_t close = output.find(']', open);
  size_t end = output.find('\n', at);
  if (open == std::string::npos || open > end) return "";
  std::string value = output.substr(open + 1, close - open - 1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\0'))
    value.pop_back();
  return value;
}

class ImportE2eTest : public ::testing::TestWithParam<ArchiveBackend> {
 protected:
  void SetUp() override {
    VANTOR_SKIP_UNLESS_READY(archive_);
    work_ = archive_.dir() + "/work";
    store_ = archive_.dir() + "/store";
    fs::create_directories(work_);
    archive_.AddLocation({.archive_path = store_});
    for (const char* aet : {"FINDSCU", "GETSCU", "MOVESCU"})
      archive_.AddNode(aet, "127.0.0.1");
    archive_.AddNode("MODAL", "127.0.0.1", false, false, true);
  }
  void TearDown() override { service_.Stop(); }

  bool Start() {
    ServiceProcess::Options options;
    options.db_server = archive_.DBServer();
    options.debug = false;
    options.instance_values = {{"Import", "1"},
                               {"DateFormat", FixtureArchive::kDateFormat},
                               {"CountPatient", "1"},
                               {"CountStudy", "1"},
                               {"CountSeries", "1"}};
    return service_.Start(options);
  }

  // Whether an image written since `since` is in the incoming folder, the
  // importer's claims or the archive (a placed file keeps its write time).
  bool AnImageArrivedSince(fs::file_time_type since) const {
    std::error_code ec;
    for (const std::string& dir : {Incoming(), store_})
      for (const auto& e : fs::recursive_directory_iterator(dir, ec))
        if (e.path().extension() == ".dcm" &&
            fs::last_write_time(e.path(), ec) >= since && !ec)
          return true;
    return false;
  }

  std::string Incoming() const {
    return service_.program_dir() + "/drives/e/Temp/";
  }

  // Writes `count` images of series `series_nr` of the study; their paths.
  std::vector<std::string> Series(int series_nr, int count) {
    std::vector<std::string> paths;
    for (int i = 1; i <= count; ++i) {
      TestImage image;
      image.study_uid = kStudy;
      image.series_uid = std::string(kStudy) + "." + std::to_string(series_nr);
      image.sop_instance_uid = image.series_uid + "." + std::to_string(i);
      image.patient_id = "P-E2E";
      image.patient_name = "Import^Ida";
      image.extra = {{"StudyDate", "20250102"},
                     {"SeriesNumber", std::to_string(series_nr)},
                     {"InstanceNumber", std::to_string(i)}};
      paths.push_back(work_ + "/" + image.sop_instance_uid);
      WriteTestImage(paths.back(), image);
    }
    return paths;
  }

  ToolResult Store(const std::vector<std::string>& files) {
    std::vector<std::string> args = {"-v", "--no-halt", "-aet", "MODAL",
                                     "127.0.0.1", service_.port_text()};
    args.insert(args.end(), files.begin(), files.end());
    return RunDcmtkTool("storescu", args, std::chrono::seconds(120));
  }

  ToolResult Find(const std::string& level,
                  const std::vector<std::string>& keys) {
    std::vector<std::string> args = {"-v", "-S", "-aet", "FINDSCU", "-k",
                                     "QueryRetrieveLevel=" + level};
    for (const std::string& k : keys) {
      args.push_back("-k");
      args.push_back(k);
    }
    args.push_back("127.0.0.1");
    args.push_back(service_.port_text());
    return RunDcmtkTool("findscu", args);
  }

  // Waits (bounded) until nothing waits in the incoming folder or is
  // claimed by the importer.
  bool WaitUntilImported(std::chrono::seconds timeout = std::chrono::seconds(30)) {
    return vantor::WaitUntilImported(Incoming(), timeout);
  }

  int64_t Count(const std::string& sql) {
    return std::stoll(archive_.Query(sql).rows.at(0).at(0).ToText());
  }

  FixtureArchive archive_{GetParam()};
  ServiceProcess service_;
  std::string work_;
  std::string store_;
};

TEST_P(ImportE2eTest, AStoredStudyIsFoundAndRetrieved) {
  ASSERT_TRUE(Start()) << service_.Describe();
  std::vector<std::string> files = Series(1, 3);
  for (const std::string& f : Series(2, 2)) files.push_back(f);
  ToolResult stored = Store(files);
  ASSERT_EQ(Occurrences(stored.output, "Received Store Response (Success)"),
            5u)
      << stored.output;
  ASSERT_TRUE(WaitUntilImported()) << service_.Describe();

  ToolResult patient = Find("PATIENT", {"PatientID=P-E2E", "PatientName",
                                        "NumberOfPatientRelatedStudies"});
  EXPECT_EQ(Occurrences(patient.output, "Find Response: "), 1u)
      << patient.output;
  EXPECT_EQ(FirstValue(patient.output, "(0010,0010)"), "Import^Ida");
  EXPECT_EQ(FirstValue(patient.output, "(0020,1200)"), "1") << patient.output;
  ToolResult study =
      Find("STUDY", {"PatientID=P-E2E", "StudyInstanceUID", "StudyDate",
                     "NumberOfStudyRelatedSeries",
                     "NumberOfStudyRelatedInstances"});
  EXPECT_EQ(FirstValue(study.output, "(0020,000d)"), kStudy) << study.output;
  EXPECT_EQ(FirstValue(study.output, "(0008,0020)"), "20250102");
  EXPECT_EQ(FirstValue(study.output, "(0020,1206)"), "2");
  EXPECT_EQ(FirstValue(study.output, "(0020,1208)"), "5");
  ToolResult series =
      Find("SERIES", {std::string("StudyInstanceUID=") + kStudy,
                      "SeriesInstanceUID", "NumberOfSeriesRelatedInstances"});
  EXPECT_EQ(Occurrences(series.output, "Find Response: "), 2u)
      << series.output;
  ToolResult images =
      Find("IMAGE", {std::string("StudyInstanceUID=") + kStudy,
                     std::string("SeriesInstanceUID=") + kStudy + ".1",
                     "SOPInstanceUID"});
  EXPECT_EQ(Occurrences(images.output, "Find Response: "), 3u)
      << images.output;

  // C-GET brings the same pixels back.
  const std::string got = work_ + "/got";
  fs::create_directories(got);
  ToolResult get = RunDcmtkTool(
      "getscu", {"-S", "-aet", "GETSCU", "-od", got, "-k",
                 "QueryRetrieveLevel=STUDY", "-k",
                 std::string("StudyInstanceUID=") + kStudy, "127.0.0.1",
                 service_.port_text()});
  ASSERT_EQ(FilesIn(got).size(), 5u) << get.output;
  for (const std::string& name : FilesIn(got)) {
    const std::string uid = name.substr(name.find('.') + 1);
    EXPECT_EQ(DecodedPixels(got + "/" + name), DecodedPixels(work_ + "/" + uid))
        << name;
  }

  // And C-MOVE to a destination.
  StoreDestination destination("DEST");
  archive_.AddNode("DEST", "127.0.0.1", false, false, false,
                   destination.port());
  ToolResult move = RunDcmtkTool(
      "movescu", {"-S", "-aet", "MOVESCU", "-aem", "DEST", "-k",
                  "QueryRetrieveLevel=STUDY", "-k",
                  std::string("StudyInstanceUID=") + kStudy, "127.0.0.1",
                  service_.port_text()});
  ASSERT_TRUE(destination.WaitForFiles(5)) << move.output;
  for (const std::string& name : FilesIn(destination.received())) {
    const std::string uid = name.substr(name.find('.') + 1);
    EXPECT_EQ(DecodedPixels(destination.received() + "/" + name),
              DecodedPixels(work_ + "/" + uid))
        << name;
  }

  // Storing the study again changes no count.
  stored = Store(files);
  ASSERT_EQ(Occurrences(stored.output, "Received Store Response (Success)"),
            5u);
  ASSERT_TRUE(WaitUntilImported());
  EXPECT_EQ(Count("SELECT Count(*) FROM tblPatienten"), 1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblStudies"), 1);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblSeries"), 2);
  EXPECT_EQ(Count("SELECT Count(*) FROM tblImages"), 5);
  study = Find("STUDY", {"PatientID=P-E2E", "NumberOfStudyRelatedInstances"});
  EXPECT_EQ(FirstValue(study.output, "(0020,1208)"), "5");
}

TEST_P(ImportE2eTest, AnImageWithoutPatientIdIsKeptAsideAndLogged) {
  ASSERT_TRUE(Start()) << service_.Describe();
  TestImage image;
  image.patient_id = "";
  WriteTestImage(work_ + "/anonymous", image);
  ToolResult stored = Store({work_ + "/anonymous"});
  ASSERT_THAT(stored.output, HasSubstr("Received Store Response (Success)"));
  ASSERT_TRUE(WaitUntilImported());
  const std::string failed = Incoming() + "failed/";
  EXPECT_EQ(FilesIn(failed),
            (std::vector<std::string>{image.sop_instance_uid + ".cae",
                                      image.sop_instance_uid + ".dcm"}));
  EXPECT_EQ(Occurrences(service_.ErrorLog(), "\tImportImage"), 1u)
      << service_.ErrorLog();
  EXPECT_THAT(service_.ErrorLog(), HasSubstr("no Patient ID"));
  EXPECT_EQ(Count("SELECT Count(*) FROM tblImages"), 0);
}

// kill -9 at several moments while a stream of images is stored and
// imported; after each restart the importer finishes, and then every image
// answered as stored has its rows and its file, every row its file and
// every file its row.
TEST_P(ImportE2eTest, AKillAtAnyMomentLosesNothingAndLeavesNothingDangling) {
  std::vector<std::string> files;
  for (int s = 1; s <= 4; ++s)
    for (const std::string& f : Series(s, 30)) files.push_back(f);
  std::set<std::string> answered;
  std::mt19937 random(20261210);
  for (int round = 0; round < 4; ++round) {
    ASSERT_TRUE(Start()) << service_.Describe();
    // (less a little: the file system stamps with a coarser clock)
    const auto round_start =
        fs::file_time_type::clock::now() - std::chrono::milliseconds(20);
    auto storing = std::async(std::launch::async, [&] { return Store(files); });
    // The kill falls while images arrive, however long storescu takes to
    // start on a busy machine: after the first image is in the incoming
    // folder or the archive.
    for (int i = 0; i < 600 && !AnImageArrivedSince(round_start); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<>(0, 300)(random)));
    ::kill(service_.pid(), SIGKILL);
    service_.WaitForExit(std::chrono::seconds(10));
    ToolResult stored = storing.get();
    // storescu -v names each file before its answer.
    std::istringstream lines(stored.output);
    std::string line, last;
    while (std::getline(lines, line)) {
      if (line.find("Sending file: ") != std::string::npos)
        last = line.substr(line.rfind('/') + 1);
      if (line.find("Received Store Response (Success)") != std::string::npos)
        answered.insert(last);
    }
  }
  ASSERT_FALSE(answered.empty());
  ASSERT_TRUE(Start()) << service_.Describe();
  ASSERT_TRUE(WaitUntilImported(std::chrono::seconds(60))) << service_.Describe();

  std::set<std::string> rows;
  for (const auto& row : archive_.Query("SELECT ImageUID FROM tblImages").rows)
    rows.insert(row.at(0).ToText());
  std::set<std::string> files_in_store;
  for (const auto& e : fs::recursive_directory_iterator(store_))
    if (e.is_regular_file())
      files_in_store.insert(e.path().filename().string());
  for (const std::string& uid : answered)
    EXPECT_TRUE(rows.count(uid)) << uid << " was answered but has no row";
  std::set<std::string> row_files;
  for (const std::string& uid : rows) row_files.insert(uid + ".dcm");
  EXPECT_EQ(files_in_store, row_files);
  EXPECT_TRUE(FilesIn(Incoming() + "failed/").empty());
}

INSTANTIATE_TEST_SUITE_P(Archive, ImportE2eTest, kArchiveBackends,
                         ArchiveBackendName);

}  // namespace
}  // namespace vantor
