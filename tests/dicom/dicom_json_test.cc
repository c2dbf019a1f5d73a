// DICOM JSON of the DICOMweb port: query datasets as an array, and a
// Part 10 file's metadata with its bulk data left on the disk.
#include "dicom/toolkit/dicom_json.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcjson.h>
#include <dcmtk/dcmdata/dctk.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "dicom/toolkit/dataset_impl.h"
#include "host/base/failure.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"

namespace vantor::dicom {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;

constexpr char kInstanceUri[] =
    "http://host/wado/studies/1.2/series/1.2.3/instances/1.2.3.4";

Dataset StudyResult(const std::string& name, const std::string& id) {
  Dataset d;
  d.Put(0x0010, 0x0010, Value(name));
  d.Put(0x0010, 0x0020, Value(id));
  d.Put(0x0020, 0x000D, Value("1.2.826.0.1.3680043.9.2." + id));
  d.Put(0x0008, 0x0020, Value(Date{2024, 3, 7}));
  d.Put(0x0008, 0x0050, Value());  // empty
  d.Put(0x0020, 0x1208, Value(int64_t{12}));
  d.Put(0x0008, 0x0061, Value("CT\\MR"));
  return d;
}

// --- Query datasets ----------------------------------------------------------

TEST(DatasetJsonTest, AnArrayOfCompactObjectsInTheDicomJsonModel) {
  DatasetCollection results = {StudyResult("Müller^Hans", "7"),
                               StudyResult("Doe^Jane=山田^太郎", "8")};
  const std::string text = DatasetsToJson(results);
  const std::string first =
      R"({"00080020":{"vr":"DA","Value":["20240307"]},)"
      R"("00080050":{"vr":"SH"},)"
      R"("00080061":{"vr":"CS","Value":["CT","MR"]},)"
      R"("00100010":{"vr":"PN","Value":[{"Alphabetic":"Müller^Hans"}]},)"
      R"("00100020":{"vr":"LO","Value":["7"]},)"
      R"("0020000D":{"vr":"UI","Value":["1.2.826.0.1.3680043.9.2.7"]},)"
      R"("00201208":{"vr":"IS","Value":[12]}})";
  EXPECT_EQ(text.substr(0, first.size() + 2), "[" + first + ",") << text;
  EXPECT_EQ(text.back(), ']');
  const json parsed = json::parse(text);
  ASSERT_TRUE(parsed.is_array());
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[1]["00100010"]["Value"][0]["Alphabetic"], "Doe^Jane");
  EXPECT_EQ(parsed[1]["00100010"]["Value"][0]["Ideographic"], "山田^太郎");
  EXPECT_EQ(parsed[0]["00201208"]["Value"][0], 12);
  // Compact: no blank outside the values, no line break.
  EXPECT_THAT(text, Not(HasSubstr("\n")));
  EXPECT_THAT(text, Not(HasSubstr("\": ")));
  EXPECT_EQ(DatasetsToJson({}), "[]");
}

TEST(DatasetJsonTest, ObjectsOneByOneMakeTheSameArray) {
  DatasetCollection results = {StudyResult("A^B", "1"),
                               StudyResult("C^D", "2")};
  EXPECT_EQ("[" + DatasetToJsonObject(results[0]) + "," +
                DatasetToJsonObject(results[1]) + "]",
            DatasetsToJson(results));
  EXPECT_EQ(DatasetToJsonObject(Dataset()), "{}");
}

TEST(DatasetJsonTest, TheSameTextAsDcmtksOwnWriterForADataset) {
  Dataset d = StudyResult("A^B", "1");
  DcmDataset& ds = d.impl().ds;
  ds.putAndInsertString(DCM_StudyDescription, "Knee \"left\"\ttab");
  ds.putAndInsertString(DCM_SliceThickness, "01.50");
  DcmItem* item = nullptr;
  ds.findOrCreateSequenceItem(DCM_ReferencedStudySequence, item, 0);
  item->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3");
  ds.insertEmptyElement(DCM_ReferencedSeriesSequence);
  ds.putAndInsertUint16(DCM_Rows, 512);
  const Uint8 small[] = {1, 2, 3, 4};
  ds.putAndInsertUint8Array(DcmTagKey(0x0029, 0x1010), small, 4);
  std::ostringstream dcmtk;
  DcmJsonFormatCompact format(OFFalse);
  ASSERT_TRUE(ds.writeJsonExt(dcmtk, format, OFTrue, OFFalse).good());
  EXPECT_EQ(DatasetToJsonObject(d), dcmtk.str());
}

TEST(DatasetJsonTest, SpecificCharacterSetSaysUtf8) {
  Dataset d = StudyResult("Ærø^Åse", "1");
  d.Put(0x0008, 0x0005, Value("ISO_IR 100"));
  const json parsed = json::parse(DatasetToJsonObject(d));
  EXPECT_EQ(parsed["00080005"]["Value"][0], "ISO_IR 192");
  EXPECT_EQ(parsed["00100010"]["Value"][0]["Alphabetic"], "Ærø^Åse");
}

TEST(DatasetJsonTest, NumbersJsonCannotCarryAreLeftOutAtEveryDepth) {
  Dataset d = StudyResult("A^B", "1");
  DcmDataset& ds = d.impl().ds;
  // DCMTK writes these as bare nan and inf, which is no JSON.
  ds.putAndInsertFloat64(DCM_DiffusionBValue, std::nan(""));
  ds.putAndInsertFloat32(DCM_RecommendedDisplayFrameRateInFloat, INFINITY);
  ds.putAndInsertFloat64(DCM_DiffusionGradientOrientation, 2.5);
  DcmItem* item = nullptr;
  ds.findOrCreateSequenceItem(DCM_ReferencedStudySequence, item, 0);
  item->putAndInsertFloat64(DCM_DiffusionBValue, -INFINITY);
  item->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3");
  // A DS that is no number comes out as text (DCMTK's choice), still JSON.
  ds.putAndInsertString(DCM_PatientWeight, "NaN");
  const std::string text = DatasetToJsonObject(d);
  const json parsed = json::parse(text);
  EXPECT_FALSE(parsed.contains("00189087")) << text;
  EXPECT_FALSE(parsed.contains("00089459")) << text;
  EXPECT_EQ(parsed["00189089"]["Value"][0], 2.5);
  EXPECT_EQ(parsed["00081110"]["Value"][0],
            json::parse(R"({"00081155":{"vr":"UI","Value":["1.2.3"]}})"));
  EXPECT_EQ(parsed["00101030"]["Value"][0], "NaN");
  EXPECT_EQ(parsed["0020000D"]["Value"][0], "1.2.826.0.1.3680043.9.2.1");
}

TEST(DatasetJsonTest, TenThousandStudiesInOneArray) {
  DatasetCollection results;
  for (int i = 0; i < 10000; ++i)
    results.push_back(
        StudyResult("Name^" + std::to_string(i), std::to_string(i)));
  const json parsed = json::parse(DatasetsToJson(results));
  ASSERT_EQ(parsed.size(), 10000u);
  EXPECT_EQ(parsed[9999]["00100010"]["Value"][0]["Alphabetic"], "Name^9999");
}

// --- Metadata of a file ------------------------------------------------------

class FileMetadataTest : public ::testing::Test {
 protected:
  std::string Write(const TestImage& image, const std::string& name) {
    const std::string path = folder_.Path(name);
    WriteTestImage(path, image);
    return path;
  }
  // Loads `path`, lets `edit` change the dataset, saves it (same syntax).
  template <typename F>
  void Edit(const std::string& path, F edit) {
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(path.c_str()).good());
    // Saved over itself: nothing may be left to read from it.
    ASSERT_TRUE(file.loadAllDataIntoMemory().good());
    edit(*file.getDataset());
    ASSERT_TRUE(
        file.saveFile(path.c_str(), file.getDataset()->getOriginalXfer())
            .good());
  }

  TempFolder folder_{"json"};
};

TEST_F(FileMetadataTest, PixelDataBecomesAFramesUri) {
  const std::string path = Write(TestImage{}, "one.dcm");
  const std::string text = FileMetadataJson(path, kInstanceUri);
  ASSERT_EQ(text.front(), '{');  // one object, no array
  const json parsed = json::parse(text);
  EXPECT_EQ(parsed["7FE00010"],
            json::parse(R"({"vr":"OW","BulkDataURI":")" +
                        std::string(kInstanceUri) + R"(/frames/1"})"));
  EXPECT_EQ(parsed["00100010"]["Value"][0]["Alphabetic"], "Meyer^Anna");
  EXPECT_EQ(parsed["00280010"]["Value"][0], 64);
  // Neither the meta header nor any inline pixels.
  EXPECT_FALSE(parsed.contains("00020010"));
  EXPECT_THAT(text, Not(HasSubstr("InlineBinary")));

  TestImage multi;
  multi.frames = 3;
  multi.transfer_syntax = "1.2.840.10008.1.2.4.70";
  const json jpeg =
      json::parse(FileMetadataJson(Write(multi, "multi.dcm"), kInstanceUri));
  EXPECT_EQ(jpeg["7FE00010"]["vr"], "OB");
  EXPECT_EQ(jpeg["7FE00010"]["BulkDataURI"],
            std::string(kInstanceUri) + "/frames/1,2,3");
  EXPECT_EQ(jpeg["00280008"]["Value"][0], 3);
}

TEST_F(FileMetadataTest, LongBinaryValuesBecomeBulkDataAndShortOnesStayInline) {
  const std::string path = Write(TestImage{}, "bulk.dcm");
  Edit(path, [](DcmDataset& ds) {
    std::vector<Uint8> document(2000, 0x41);
    ds.putAndInsertUint8Array(DCM_EncapsulatedDocument, document.data(), 2000);
    const Uint8 small[] = {1, 2, 3, 4};
    ds.putAndInsertUint8Array(DCM_ICCProfile, small, 4);
    std::vector<Float32> floats(8, 1.5f);
    ds.putAndInsertFloat32Array(DCM_FloatPixelData, floats.data(), 8);
    // An icon with long pixel data, and a second one with short.
    DcmItem* icon = nullptr;
    ds.findOrCreateSequenceItem(DCM_IconImageSequence, icon, 0);
    std::vector<Uint8> big(4096, 7);
    icon->putAndInsertUint8Array(DCM_PixelData, big.data(), 4096);
    ds.findOrCreateSequenceItem(DCM_IconImageSequence, icon, 1);
    std::vector<Uint8> tiny(64, 9);
    icon->putAndInsertUint8Array(DCM_PixelData, tiny.data(), 64);
    // A long list of numbers is text, not bulk data.
    std::string contour;
    for (int i = 0; i < 600; ++i)
      contour += (i ? "\\" : "") + std::to_string(i) + ".5";
    ds.putAndInsertString(DCM_ContourData, contour.c_str());
  });
  const std::string text = FileMetadataJson(path, kInstanceUri);
  const json parsed = json::parse(text);
  const std::string uri = kInstanceUri;
  EXPECT_EQ(parsed["00420011"], json::parse(R"({"vr":"OB","BulkDataURI":")" +
                                            uri + R"(/bulk/00420011"})"));
  EXPECT_EQ(parsed["00282000"]["InlineBinary"], "AQIDBA==");
  EXPECT_EQ(parsed["7FE00008"]["BulkDataURI"], uri + "/bulk/7FE00008");
  EXPECT_EQ(parsed["7FE00010"]["BulkDataURI"], uri + "/frames/1");
  const json& icons = parsed["00880200"]["Value"];
  ASSERT_EQ(icons.size(), 2u);
  EXPECT_EQ(icons[0]["7FE00010"]["BulkDataURI"],
            uri + "/bulk/00880200/0/7FE00010");
  EXPECT_EQ(icons[1]["7FE00010"]["InlineBinary"].get<std::string>().size(),
            88u);
  EXPECT_EQ(parsed["30060050"]["Value"].size(), 600u);
  EXPECT_EQ(parsed["30060050"]["Value"][599], 599.5);

  // Each URI's path reads the value back.
  EXPECT_EQ(ReadBulkData(path, "00420011"), std::string(2000, 'A'));
  EXPECT_EQ(ReadBulkData(path, "00880200/0/7FE00010"), std::string(4096, '\7'));
  EXPECT_EQ(ReadBulkData(path, "00880200/1/7fe00010"), std::string(64, '\x09'));
  EXPECT_EQ(ReadBulkData(path, "7FE00010"), TestImagePixelBytes(TestImage{}));
}

TEST_F(FileMetadataTest, TextIsDecodedToUtf8FromTheFilesCharacterSet) {
  const std::string path = Write(TestImage{}, "latin1.dcm");
  Edit(path, [](DcmDataset& ds) {
    ds.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 100");
    ds.putAndInsertString(DCM_PatientName, "M\xFCller^J\xF6rg");  // Latin-1
    ds.putAndInsertString(DCM_StudyDescription,
                          "Sch\xE4"
                          "del");
  });
  const json parsed = json::parse(FileMetadataJson(path, kInstanceUri));
  EXPECT_EQ(parsed["00100010"]["Value"][0]["Alphabetic"], "Müller^Jörg");
  EXPECT_EQ(parsed["00081030"]["Value"][0], "Schädel");
  EXPECT_EQ(parsed["00080005"]["Value"][0], "ISO_IR 192");
}

TEST_F(FileMetadataTest, PixelDataStaysOnTheDisk) {
  // A file whose pixel data claims 1 GiB (a sparse file): read into memory,
  // it would show in the peak resident size.
  const std::string path = Write(TestImage{}, "huge.dcm");
  ClaimPixelDataLength(path, 1u << 30);
  const size_t before = PeakResidentBytes();
  const json parsed = json::parse(FileMetadataJson(path, kInstanceUri));
  EXPECT_LT(PeakResidentBytes() - before, size_t{64} << 20);
  EXPECT_EQ(parsed["7FE00010"]["BulkDataURI"],
            std::string(kInstanceUri) + "/frames/1");
}

TEST_F(FileMetadataTest, AFileThatIsNotDicomIsFailure75) {
  const std::string text = folder_.Path("text.dcm");
  std::ofstream(text) << "not a DICOM file at all";
  for (const std::string& path : {text, folder_.Path("missing.dcm")}) {
    try {
      FileMetadataJson(path, kInstanceUri);
      ADD_FAILURE() << path;
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), 75) << f.what();
      EXPECT_THAT(f.what(), HasSubstr(path));
    }
  }
}

TEST_F(FileMetadataTest, BulkDataPathsThatNameNothingAreRefused) {
  const std::string path = Write(TestImage{}, "plain.dcm");
  auto number = [&](const std::string& bulk) {
    try {
      ReadBulkData(path, bulk);
    } catch (const Failure& f) {
      return f.number();
    }
    return 0;
  };
  EXPECT_EQ(number("00420011"), 9);             // not in the file
  EXPECT_EQ(number("00100010/0/00100020"), 9);  // not a sequence
  EXPECT_EQ(number("0042001"), 5);
  EXPECT_EQ(number("00420011/"), 5);
  EXPECT_EQ(number("00420011/x/00100010"), 5);
  EXPECT_EQ(number("../../etc/passwd"), 5);
  EXPECT_EQ(number(""), 5);
  try {
    ReadBulkData(folder_.Path("missing.dcm"), "7FE00010");
    ADD_FAILURE();
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), 75);
  }
}

}  // namespace
}  // namespace vantor::dicom
