#include "dicom/toolkit/commitment_dataset.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <gtest/gtest.h>

#include <string>

namespace vantor::dicom {
namespace {

constexpr char kCt[] = "1.2.840.10008.5.1.4.1.1.2";

// A request dataset; `items` holds (class, instance) pairs, "" leaving an
// attribute out; `sequence` false leaves the sequence out.
DcmDataset RequestDataset(
    const char* transaction,
    std::vector<std::pair<std::string, std::string>> items,
    bool sequence = true) {
  DcmDataset ds;
  if (transaction != nullptr)
    ds.putAndInsertString(DCM_TransactionUID, transaction);
  if (sequence) ds.insertEmptyElement(DCM_ReferencedSOPSequence);
  for (const auto& [sop_class, instance] : items) {
    DcmItem* item = nullptr;
    ds.findOrCreateSequenceItem(DCM_ReferencedSOPSequence, item, -2);
    if (!sop_class.empty())
      item->putAndInsertString(DCM_ReferencedSOPClassUID, sop_class.c_str());
    if (!instance.empty())
      item->putAndInsertString(DCM_ReferencedSOPInstanceUID, instance.c_str());
  }
  return ds;
}

TEST(CommitmentRequestTest, AWellFormedRequestIsRead) {
  DcmDataset ds = RequestDataset("1.2.9", {{kCt, "1.2.3"}, {kCt, "1.2.4"}});
  CommitmentRequest request;
  std::string why;
  ASSERT_EQ(ReadCommitmentRequest(&ds, request, why), kStatusSuccess) << why;
  EXPECT_EQ(request.transaction_uid, "1.2.9");
  ASSERT_EQ(request.references.size(), 2u);
  EXPECT_EQ(request.references[1].sop_class, kCt);
  EXPECT_EQ(request.references[1].sop_instance, "1.2.4");
}

TEST(CommitmentRequestTest, MalformedRequestsGetTheirStatus) {
  struct Case {
    const char* name;
    DcmDataset ds;
    uint16_t status;
  };
  Case cases[] = {
      {"no transaction", RequestDataset(nullptr, {{kCt, "1.2.3"}}),
       kStatusMissingAttribute},
      {"empty transaction", RequestDataset("", {{kCt, "1.2.3"}}),
       kStatusMissingAttribute},
      {"no sequence", RequestDataset("1.2.9", {}, false),
       kStatusMissingAttribute},
      {"empty sequence", RequestDataset("1.2.9", {}),
       kStatusInvalidAttributeValue},
      {"item without instance",
       RequestDataset("1.2.9", {{kCt, "1.2.3"}, {kCt, ""}}),
       kStatusMissingAttribute},
      {"item without class", RequestDataset("1.2.9", {{"", "1.2.3"}}),
       kStatusMissingAttribute},
  };
  for (Case& c : cases) {
    CommitmentRequest request;
    std::string why;
    EXPECT_EQ(ReadCommitmentRequest(&c.ds, request, why), c.status) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
  }
  CommitmentRequest request;
  std::string why;
  EXPECT_EQ(ReadCommitmentRequest(nullptr, request, why),
            kStatusMissingAttribute);
}

TEST(CommitmentReportTest, CommittedAndFailedGoInTheirSequences) {
  CommitmentReport report;
  report.transaction_uid = "1.2.9";
  report.retrieve_aet = "VANTOR";
  report.outcome.committed = {{kCt, "1.2.3"}};
  report.outcome.failed = {{{kCt, "1.2.4"}, kStatusNoSuchObjectInstance}};
  EXPECT_EQ(CommitmentEventType(report), kSomeFailed);
  std::unique_ptr<DcmDataset> ds = CommitmentReportDataset(report);
  OFString text;
  ds->findAndGetOFString(DCM_TransactionUID, text);
  EXPECT_EQ(std::string(text.c_str()), "1.2.9");
  ds->findAndGetOFString(DCM_RetrieveAETitle, text);
  EXPECT_EQ(std::string(text.c_str()), "VANTOR");
  DcmItem* item = nullptr;
  ASSERT_TRUE(
      ds->findAndGetSequenceItem(DCM_ReferencedSOPSequence, item, 0).good());
  item->findAndGetOFString(DCM_ReferencedSOPInstanceUID, text);
  EXPECT_EQ(std::string(text.c_str()), "1.2.3");
  ASSERT_TRUE(
      ds->findAndGetSequenceItem(DCM_FailedSOPSequence, item, 0).good());
  item->findAndGetOFString(DCM_ReferencedSOPInstanceUID, text);
  EXPECT_EQ(std::string(text.c_str()), "1.2.4");
  Uint16 reason = 0;
  item->findAndGetUint16(DCM_FailureReason, reason);
  EXPECT_EQ(reason, 0x0112);

  // All committed: event type 1, no Failed SOP Sequence.
  report.outcome.failed.clear();
  EXPECT_EQ(CommitmentEventType(report), kAllCommitted);
  EXPECT_FALSE(
      CommitmentReportDataset(report)->tagExists(DCM_FailedSOPSequence));
  // Nothing committed: no Referenced SOP Sequence and no Retrieve AE Title.
  report.outcome.committed.clear();
  report.outcome.failed = {{{kCt, "1.2.4"}, kStatusNoSuchObjectInstance}};
  std::unique_ptr<DcmDataset> none = CommitmentReportDataset(report);
  EXPECT_FALSE(none->tagExists(DCM_ReferencedSOPSequence));
  EXPECT_FALSE(none->tagExists(DCM_RetrieveAETitle));
}

}  // namespace
}  // namespace vantor::dicom
