#include "retrieve/store/check_sop.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "host/base/log.h"
#include "tests/support/fake_received_image.h"
#include "tests/support/test_env.h"

namespace vantor {
namespace {

constexpr char kCT[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char kMR[] = "1.2.840.10008.5.1.4.1.1.4";
constexpr char kUS[] = "1.2.840.10008.5.1.4.1.1.6.1";
constexpr char kCR[] = "1.2.840.10008.5.1.4.1.1.1";
constexpr char kSC[] = "1.2.840.10008.5.1.4.1.1.7";

TEST(CheckSOPTest, ClassByModality) {
  const struct {
    const char* modality;
    const char* sop_class;
  } cases[] = {{"CT", kCT}, {"MR", kMR}, {"US", kUS}, {"CR", kCR},
               {"DR", kCR}, {"XA", kSC}, {"PV", kSC}, {"", kSC}};
  for (const auto& c : cases)
    EXPECT_EQ(SOPClassForModality(c.modality), c.sop_class) << c.modality;
}

TEST(CheckSOPTest, FillsAMissingClassFromTheModalityInUpperCase) {
  FakeReceivedImage image;
  image.attributes.Put(0x0008, 0x0016, Value());
  image.attributes.Put(0x0008, 0x0060, "mr");
  EXPECT_TRUE(CheckSOP(image));
  EXPECT_EQ(image.SOPClassUID(), kMR);
}

TEST(CheckSOPTest, KeepsAClassThatIsThere) {
  FakeReceivedImage image;
  image.attributes.Put(0x0008, 0x0016, kUS);
  image.attributes.Put(0x0008, 0x0060, "CT");
  EXPECT_TRUE(CheckSOP(image));
  EXPECT_EQ(image.SOPClassUID(), kUS);
}

TEST(CheckSOPTest, NeitherClassNorModalityGivesSecondaryCapture) {
  FakeReceivedImage image;
  image.attributes = dicom::Dataset();
  image.attributes.Put(0x0008, 0x0018, "1.2.3");
  EXPECT_TRUE(CheckSOP(image));
  EXPECT_EQ(image.SOPClassUID(), kSC);
}

TEST(CheckSOPTest, AClassThatCannotBeSetIsLeftWithoutAnErrorLine) {
  // Where a failure would be written under the current settings.
  const std::string error_log =
      TestProgramDir() + "/Logs/" + CurrentLog().error_file();
  std::filesystem::remove(error_log);
  FakeReceivedImage image;
  image.attributes.Put(0x0008, 0x0016, Value());
  image.fail_set_class = true;
  EXPECT_TRUE(CheckSOP(image));
  EXPECT_EQ(image.SOPClassUID(), "");
  EXPECT_FALSE(std::filesystem::exists(error_log));
}

}  // namespace
}  // namespace vantor
