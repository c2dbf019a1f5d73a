// The final C-MOVE answer for what the sender reported.
#include <gtest/gtest.h>

#include "dicom/dispatcher.h"

namespace vantor::dicom {
namespace {

MoveProgress Reported(int completed, int failed, int warning,
                      const std::string& error = "", int remaining = 0) {
  MoveProgress p;
  p.reported = true;
  p.counts.completed = completed;
  p.counts.failed = failed;
  p.counts.warning = warning;
  p.remaining = remaining;
  p.error = error;
  return p;
}

TEST(MoveAnswerTest, TheSendersOutcomeDecidesTheStatus) {
  struct Case {
    const char* what;
    MoveEnd end;
    MoveProgress progress;
    uint16_t status;
    bool with_counts;
    const char* comment;
  };
  const Case cases[] = {
      {"all delivered", MoveEnd::kSenderEnded, Reported(4, 0, 0), 0x0000, true,
       ""},
      {"nothing matched", MoveEnd::kSenderEnded, Reported(0, 0, 0), 0x0000,
       true, ""},
      {"warnings only", MoveEnd::kSenderEnded, Reported(3, 0, 1), 0xB000, true,
       ""},
      {"some failed", MoveEnd::kSenderEnded, Reported(3, 1, 0, "x.dcm: gone"),
       0xB000, true, "x.dcm: gone"},
      {"none delivered", MoveEnd::kSenderEnded,
       Reported(0, 4, 0, "Connection refused"), 0xA702, true,
       "Connection refused"},
      {"job failed before sending", MoveEnd::kSenderEnded,
       Reported(0, 0, 0, "no such table: VIEW_Series"), 0xC000, true,
       "no such table: VIEW_Series"},
      {"sender died half way", MoveEnd::kSenderEnded, Reported(2, 0, 0, "", 3),
       0xB000, true, ""},
      {"sender died before its first image", MoveEnd::kSenderEnded,
       Reported(0, 0, 0, "", 5), 0xC000, true, "The sender did not finish"},
      {"a site's own sender", MoveEnd::kSenderEnded, MoveProgress{}, 0x0000,
       false, ""},
      {"cancelled", MoveEnd::kCancelled, Reported(1, 0, 0, "Cancelled", 3),
       0xFE00, true, ""},
      {"service stopping", MoveEnd::kGaveUp, Reported(2, 0, 0, "", 3), 0xC000,
       true, "Delivery not finished when the service stopped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MoveAnswer a = AnswerForMove(c.end, c.progress);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.with_counts, c.with_counts);
    EXPECT_EQ(a.error_comment, c.comment);
    EXPECT_EQ(a.counts.completed, c.progress.counts.completed);
    EXPECT_EQ(a.counts.failed, c.progress.counts.failed);
  }
  // Remaining is reported only while images are still on their way.
  EXPECT_EQ(
      AnswerForMove(MoveEnd::kSenderEnded, Reported(2, 0, 0, "", 3)).remaining,
      0);
  EXPECT_EQ(
      AnswerForMove(MoveEnd::kCancelled, Reported(1, 0, 0, "", 3)).remaining,
      3);
}

}  // namespace
}  // namespace vantor::dicom
