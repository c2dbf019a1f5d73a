// The STOW-RS answer: its status for stored and failed instances, and the
// sequences a client reads them from.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "web/stow.h"

namespace vantor::web {
namespace {

TEST(StowAnswerTest, StatusFollowsWhatWasStored) {
  const StowOutcome stored{"1.2.840.10008.5.1.4.1.1.2", "1.2.3", 0, "u"};
  const StowOutcome failed{"1.2.840.10008.5.1.4.1.1.2", "1.2.4", 0xA700, ""};
  EXPECT_EQ(StowStatus({stored, stored}), 200);
  EXPECT_EQ(StowStatus({stored, failed}), 202);
  EXPECT_EQ(StowStatus({failed}), 409);
}

TEST(StowAnswerTest, ListsReferencedAndFailedInstances) {
  const std::vector<StowOutcome> outcomes = {
      {"1.2.840.10008.5.1.4.1.1.2", "1.2.3", 0,
       "http://h/dicom-web/studies/1/series/2/instances/1.2.3"},
      {"1.2.840.10008.5.1.4.1.1.4", "1.2.4", 0xA700, ""},
      {"", "", 0xC000, ""}};
  const auto answer = nlohmann::json::parse(
      StowAnswer("http://h/dicom-web/studies/1", outcomes));
  EXPECT_EQ(answer["00081190"]["Value"][0], "http://h/dicom-web/studies/1");
  const auto& referenced = answer["00081199"]["Value"];
  ASSERT_EQ(referenced.size(), 1u);
  EXPECT_EQ(referenced[0]["00081155"]["Value"][0], "1.2.3");
  EXPECT_EQ(referenced[0]["00081190"]["vr"], "UR");
  const auto& failed = answer["00081198"]["Value"];
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0]["00081150"]["Value"][0], "1.2.840.10008.5.1.4.1.1.4");
  EXPECT_EQ(failed[0]["00081197"]["Value"][0], 0xA700);
  EXPECT_EQ(failed[1]["00081197"]["Value"][0], 0xC000);
  // A part that was no DICOM has no UIDs to name.
  EXPECT_FALSE(failed[1]["00081155"].contains("Value"));
}

}  // namespace
}  // namespace vantor::web
