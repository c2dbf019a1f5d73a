// Which images are received straight into the incoming folder.
#include "retrieve/store/reception_file.h"

#include <gtest/gtest.h>

#include "host/base/failure.h"
#include "retrieve/store/disk_space.h"
#include "retrieve/store/incoming_files.h"

namespace vantor {
namespace {

constexpr char kUid[] = "1.2.826.0.1.3680043.9.7.1";
constexpr char kImplicit[] = "1.2.840.10008.1.2";
constexpr char kExplicit[] = "1.2.840.10008.1.2.1";
constexpr char kJpegLossless[] = "1.2.840.10008.1.2.4.70";
constexpr char kMpeg2[] = "1.2.840.10008.1.2.4.100";

uint64_t Plenty(const std::string&) { return kDiskSpaceLow; }

TEST(ReceptionFileTest, OnlyImagesStoredAsTheyArriveGoStraightToTheFolder) {
  Config config;
  config.Temp = "/incoming/";
  config.Compress = false;
  EXPECT_EQ(StoredSyntax(config), kImplicit);
  for (const char* syntax : {kImplicit, kMpeg2, kExplicit}) {
    const dicom::ReceptionTarget target =
        ReceptionFilePath(config, kUid, syntax, Plenty);
    // Explicit little endian is rewritten from its file, not kept.
    EXPECT_EQ(target.as_stored, syntax != std::string(kExplicit)) << syntax;
    const std::string& path = target.path;
    ASSERT_FALSE(path.empty()) << syntax;
    std::optional<TemporaryName> name =
        ParseTemporaryName(path.substr(path.rfind('/') + 1));
    ASSERT_TRUE(name) << path;
    EXPECT_EQ(name->stem, kUid);
    EXPECT_EQ(path.rfind('/'), path.find('/', 1)) << "in the folder itself";
  }
  // Decoded anyway: received in memory as before.
  EXPECT_EQ(ReceptionFilePath(config, kUid, kJpegLossless, Plenty).path, "");

  config.Compress = true;
  EXPECT_EQ(StoredSyntax(config), kJpegLossless);
  EXPECT_TRUE(ReceptionFilePath(config, kUid, kJpegLossless, Plenty).as_stored);
  EXPECT_NE(ReceptionFilePath(config, kUid, kJpegLossless, Plenty).path, "");
  for (const char* syntax : {kImplicit, kExplicit, kMpeg2})
    EXPECT_EQ(ReceptionFilePath(config, kUid, syntax, Plenty).path, "");
}

TEST(ReceptionFileTest, NoFileForABadUidALowDiskOrAFolderThatCannotBeRead) {
  Config config;
  config.Temp = "/incoming/";
  EXPECT_EQ(ReceptionFilePath(config, "1.2..3", kImplicit, Plenty).path, "");
  EXPECT_EQ(ReceptionFilePath(config, "../1.2", kImplicit, Plenty).path, "");
  EXPECT_EQ(ReceptionFilePath(config, kUid, kImplicit,
                              [](const std::string&) -> uint64_t {
                                return kDiskSpaceLow - 1;
                              }).path,
            "");
  EXPECT_EQ(ReceptionFilePath(config, kUid, kImplicit,
                              [](const std::string&) -> uint64_t {
                                throw Failure(kPathNotFound, "Path not found");
                              }).path,
            "");
  config.Temp = "";
  EXPECT_EQ(ReceptionFilePath(config, kUid, kImplicit, Plenty).path, "");
}

}  // namespace
}  // namespace vantor
