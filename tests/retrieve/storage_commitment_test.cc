#include "retrieve/storage_commitment.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/base/config.h"
#include "tests/support/fixture_archive.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kCt[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char kMr[] = "1.2.840.10008.5.1.4.1.1.4";

TEST(CommittedImageStatementTest, ValuesAreQuoted) {
  EXPECT_EQ(CommittedImageStatement("1.2.3"),
            "SELECT ImageUID, SOPClassUID FROM tblImages WHERE ImageUID = "
            "'1.2.3'");
  EXPECT_EQ(CommittedImageStatement("1' OR '1'='1"),
            "SELECT ImageUID, SOPClassUID FROM tblImages WHERE ImageUID = "
            "'1'' OR ''1''=''1'");
}

// The decision and the authorisation on a real SQLite archive and an
// incoming folder in the archive's temp folder.
class StorageCommitmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    incoming_ = archive_.dir() + "/incoming/";
    fs::create_directories(incoming_ + "failed");
    fs::create_directories(incoming_ + "importing");
    config_.DCM = 106;
    config_.Debug = true;
    config_.DBServer = archive_.DBServer();
    config_.Temp = incoming_;
    config_.OwnAET = "VANTOR";
    fs::remove(Log("Error"));
    fs::remove(Log("Debug"));
    FixtureArchive::Patient patient;
    patient.patient_id = "P1";
    series_ = archive_.AddSeries(
        archive_.AddStudy(archive_.AddPatient(patient), {}), {});
  }

  static std::string Log(const std::string& kind) {
    return TestProgramDir() + "/Logs/" + kind + "Vantor106.log";
  }
  void Touch(const std::string& name) {
    std::ofstream(incoming_ + name) << "DICM";
  }
  void Archive(const std::string& uid, std::optional<std::string> sop_class) {
    FixtureArchive::Image image;
    image.image_uid = uid;
    image.sop_class_uid = std::move(sop_class);
    archive_.AddImage(series_, image);
  }
  dicom::CommitmentOutcome Decide(const std::vector<std::string>& uids,
                                  const std::string& sop_class = kCt) {
    dicom::CommitmentRequest request;
    request.transaction_uid = "1.2.826.0.1.77";
    for (const std::string& uid : uids)
      request.references.push_back({sop_class, uid});
    return DecideCommitment(config_, vantor::Log::Of(config_), request);
  }
  static std::vector<std::string> Committed(const dicom::CommitmentOutcome& o) {
    std::vector<std::string> uids;
    for (const dicom::SopReference& r : o.committed)
      uids.push_back(r.sop_instance);
    return uids;
  }
  static std::vector<std::string> Failed(const dicom::CommitmentOutcome& o) {
    std::vector<std::string> out;
    for (const dicom::CommitmentFailure& f : o.failed) {
      char reason[8];
      std::snprintf(reason, sizeof reason, "%04X", f.reason);
      out.push_back(f.reference.sop_instance + " " + reason);
    }
    return out;
  }
  dicom::CommitmentAcceptance Accept(const std::string& aet,
                                     const std::string& ip = "127.0.0.1") {
    dicom::Connection connection;
    connection.calling_aet = aet + "  ";
    connection.remote_ip = ip;
    dicom::CommitmentRequest request;
    request.transaction_uid = "1.2.826.0.1.77";
    request.references.push_back({kCt, "1.2.3"});
    return AcceptCommitmentRequest(config_, vantor::Log::Of(config_),
                                   connection, request);
  }

  FixtureArchive archive_;
  Config config_;
  std::string incoming_;
  int64_t series_ = 0;
};

TEST_F(StorageCommitmentTest, EachPlaceAnImageIsKeptCommitsIt) {
  Touch("1.2.1.dcm");
  Touch("1.2.2.dcm.ren");
  Touch("failed/1.2.3.dcm");
  Archive("1.2.4", kCt);
  // An archived row without its class still commits the instance.
  Archive("1.2.5", std::nullopt);
  // Taken in hand by the importer, its rows not yet committed.
  Touch("importing/1.2.11.dcm");
  dicom::CommitmentOutcome o =
      Decide({"1.2.1", "1.2.2", "1.2.3", "1.2.4", "1.2.5", "1.2.11"});
  EXPECT_EQ(Committed(o), (std::vector<std::string>{"1.2.1", "1.2.2", "1.2.3",
                                                    "1.2.4", "1.2.5",
                                                    "1.2.11"}));
  EXPECT_THAT(o.failed, IsEmpty());
  EXPECT_EQ(ReadWholeFile(Log("Error")), "");
}

TEST_F(StorageCommitmentTest, WhatIsNotKeptFails) {
  // Reception's hidden temporary name, a side file, a folder of the name,
  // another folder's file: none is the image on the disk.
  Touch(".1.2.6.123-1@host.part");
  Touch("1.2.6.cae");
  fs::create_directory(incoming_ + "1.2.7.dcm");
  Touch("failed/1.2.8.dcm.ren");
  Archive("1.2.9", kMr);
  dicom::CommitmentOutcome o =
      Decide({"1.2.6", "1.2.7", "1.2.8", "1.2.9", "1.2.10"});
  EXPECT_THAT(o.committed, IsEmpty());
  EXPECT_EQ(Failed(o), (std::vector<std::string>{
                           "1.2.6 0112", "1.2.7 0112", "1.2.8 0112",
                           "1.2.9 0119",  // archived as another class
                           "1.2.10 0112"}));
}

TEST_F(StorageCommitmentTest, UidsThatCannotNameAFileFailWithoutALookup) {
  Touch("..dcm");
  const std::vector<std::string> bad = {"",
                                        "..",
                                        "../1.2.1",
                                        "1.2/3",
                                        "1.2.3' OR '1'='1",
                                        "1..2",
                                        std::string(65, '1')};
  dicom::CommitmentOutcome o = Decide(bad);
  EXPECT_THAT(o.committed, IsEmpty());
  ASSERT_EQ(o.failed.size(), bad.size());
  for (const dicom::CommitmentFailure& f : o.failed)
    EXPECT_EQ(f.reason, dicom::kStatusNoSuchObjectInstance)
        << f.reference.sop_instance;
  EXPECT_THAT(ReadWholeFile(Log("Debug")), Not(HasSubstr("tblImages")));
}

TEST_F(StorageCommitmentTest, FolderFirstThenTheArchive) {
  Touch("1.2.11.dcm");
  Archive("1.2.12", kCt);
  // With the archive gone, what is in the folder still commits; the rest
  // fails as a processing failure, logged once.
  archive_.TakeAway();
  dicom::CommitmentOutcome o = Decide({"1.2.11", "1.2.12", "1.2.13"});
  archive_.PutBack();
  EXPECT_EQ(Committed(o), (std::vector<std::string>{"1.2.11"}));
  EXPECT_EQ(Failed(o),
            (std::vector<std::string>{"1.2.12 0110", "1.2.13 0110"}));
  const std::string errors = ReadWholeFile(Log("Error"));
  EXPECT_THAT(errors,
              HasSubstr("Storage commitment 1.2.826.0.1.77: the archive "
                        "could not be asked"));
}

TEST_F(StorageCommitmentTest, AKnownNodeIsAcceptedWithItsDestination) {
  archive_.AddNode("MODALITY", "127.0.0.1", false, false, false, 11113,
                   "MODALITY-SCP");
  dicom::CommitmentAcceptance a = Accept("MODALITY");
  EXPECT_EQ(a.status, dicom::kStatusSuccess);
  EXPECT_EQ(a.retrieve_aet, "VANTOR");
  EXPECT_EQ(a.destination.address, "127.0.0.1");
  EXPECT_EQ(a.destination.port, 11113);
  EXPECT_EQ(a.destination.called_aet, "MODALITY-SCP");
  EXPECT_EQ(a.destination.calling_aet, "VANTOR");
  EXPECT_FALSE(a.destination.tls);
  EXPECT_THAT(ReadWholeFile(Log("Debug")),
              HasSubstr("Storage commitment request from MODALITY/127.0.0.1: "
                        "transaction 1.2.826.0.1.77, 1 referenced"));
  // Without CallingAET the report is addressed to the node's AET.
  archive_.AddNode("PLAIN", "127.0.0.2", false, false, false, 104, "");
  EXPECT_EQ(Accept("PLAIN", "127.0.0.2").destination.called_aet, "PLAIN");
}

TEST_F(StorageCommitmentTest,
       StrangersStoreOnlyNodesAndFailedLookupsAreRefused) {
  archive_.AddNode("MODALITY", "127.0.0.1");
  archive_.AddNode("STOREONLY", "127.0.0.1", false, false, true);
  EXPECT_EQ(Accept("STRANGER").status, dicom::kStatusNotAuthorized);
  // The address counts as well as the title.
  EXPECT_EQ(Accept("MODALITY", "10.0.0.9").status, dicom::kStatusNotAuthorized);
  EXPECT_EQ(Accept("STOREONLY").status, dicom::kStatusNotAuthorized);
  archive_.TakeAway();
  EXPECT_EQ(Accept("MODALITY").status, dicom::kStatusProcessingFailure);
  archive_.PutBack();
  const std::string errors = ReadWholeFile(Log("Error"));
  EXPECT_THAT(errors,
              HasSubstr("\t0\tUnauthorized storage commitment request "
                        "from STRANGER/127.0.0.1\tStorageCommitment\r\n"));
  EXPECT_THAT(errors, HasSubstr("request from MODALITY/10.0.0.9\t"));
  EXPECT_THAT(errors, HasSubstr("from STOREONLY/127.0.0.1 (Store Only)\t"));
  EXPECT_THAT(errors,
              HasSubstr("Storage commitment request from "
                        "MODALITY/127.0.0.1 not carried out: the caller "
                        "cannot be looked up"));
}

TEST_F(StorageCommitmentTest, ControlBytesOfTheCallerStayEscapedInTheLog) {
  Accept("EVIL\r\nX");
  EXPECT_THAT(ReadWholeFile(Log("Error")),
              HasSubstr("from EVIL\\x0D\\x0AX/127.0.0.1\t"));
}

}  // namespace
}  // namespace vantor
