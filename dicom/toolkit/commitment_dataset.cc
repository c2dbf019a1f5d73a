#include "dicom/toolkit/commitment_dataset.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

namespace vantor::dicom {
namespace {

// A UID value without its padding ("" when absent).
std::string UidOf(const DcmItem& item, const DcmTagKey& tag) {
  OFString value;
  if (const_cast<DcmItem&>(item).findAndGetOFString(tag, value).bad())
    return "";
  std::string uid = value.c_str();
  while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\0'))
    uid.pop_back();
  return uid;
}

void PutReference(DcmItem& item, const SopReference& reference) {
  item.putAndInsertString(DCM_ReferencedSOPClassUID,
                          reference.sop_class.c_str());
  item.putAndInsertString(DCM_ReferencedSOPInstanceUID,
                          reference.sop_instance.c_str());
}

}  // namespace

uint16_t ReadCommitmentRequest(const DcmDataset* data,
                               CommitmentRequest& request, std::string& why) {
  request = {};
  if (data == nullptr) {
    why = "no dataset";
    return kStatusMissingAttribute;
  }
  DcmDataset& ds = const_cast<DcmDataset&>(*data);
  request.transaction_uid = UidOf(ds, DCM_TransactionUID);
  if (request.transaction_uid.empty()) {
    why = "no Transaction UID";
    return kStatusMissingAttribute;
  }
  DcmSequenceOfItems* sequence = nullptr;
  if (ds.findAndGetSequence(DCM_ReferencedSOPSequence, sequence).bad() ||
      sequence == nullptr) {
    why = "no Referenced SOP Sequence";
    return kStatusMissingAttribute;
  }
  if (sequence->card() == 0) {
    why = "an empty Referenced SOP Sequence";
    return kStatusInvalidAttributeValue;
  }
  for (unsigned long i = 0; i < sequence->card(); ++i) {
    const DcmItem* item = sequence->getItem(i);
    SopReference reference;
    if (item != nullptr) {
      reference.sop_class = UidOf(*item, DCM_ReferencedSOPClassUID);
      reference.sop_instance = UidOf(*item, DCM_ReferencedSOPInstanceUID);
    }
    if (reference.sop_class.empty() || reference.sop_instance.empty()) {
      why = "item " + std::to_string(i + 1) +
            " of the Referenced SOP Sequence without its SOP Class or SOP "
            "Instance UID";
      request.references.clear();
      return kStatusMissingAttribute;
    }
    request.references.push_back(std::move(reference));
  }
  return kStatusSuccess;
}

uint16_t CommitmentEventType(const CommitmentReport& report) {
  return report.outcome.failed.empty() ? kAllCommitted : kSomeFailed;
}

std::unique_ptr<DcmDataset> CommitmentReportDataset(
    const CommitmentReport& report) {
  auto ds = std::make_unique<DcmDataset>();
  ds->putAndInsertString(DCM_TransactionUID, report.transaction_uid.c_str());
  const CommitmentOutcome& outcome = report.outcome;
  if (!outcome.committed.empty()) {
    if (!report.retrieve_aet.empty())
      ds->putAndInsertString(DCM_RetrieveAETitle, report.retrieve_aet.c_str());
    for (const SopReference& reference : outcome.committed) {
      DcmItem* item = nullptr;
      if (ds->findOrCreateSequenceItem(DCM_ReferencedSOPSequence, item, -2)
              .good())
        PutReference(*item, reference);
    }
  }
  for (const CommitmentFailure& failure : outcome.failed) {
    DcmItem* item = nullptr;
    if (ds->findOrCreateSequenceItem(DCM_FailedSOPSequence, item, -2).good()) {
      PutReference(*item, failure.reference);
      item->putAndInsertUint16(DCM_FailureReason, failure.reason);
    }
  }
  return ds;
}

}  // namespace vantor::dicom
