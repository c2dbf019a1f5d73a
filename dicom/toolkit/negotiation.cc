#include "dicom/toolkit/negotiation.h"

#include <dcmtk/dcmdata/dcuid.h>

#include <cstring>

namespace vantor::dicom {
namespace {

// Preferred first.
const char* const kUncompressed[] = {
    UID_LittleEndianExplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax,
    UID_LittleEndianImplicitTransferSyntax,
};

// The compressed syntaxes DCMTK can read or pass on, accepted for storage
// when the requester proposes them (its own choice comes first).
const char* const kCompressed[] = {
    UID_JPEGProcess14SV1TransferSyntax,
    UID_JPEGProcess14TransferSyntax,
    UID_JPEGProcess1TransferSyntax,
    UID_JPEGProcess2_4TransferSyntax,
    UID_JPEGLSLosslessTransferSyntax,
    UID_JPEGLSLossyTransferSyntax,
    UID_JPEG2000LosslessOnlyTransferSyntax,
    UID_JPEG2000TransferSyntax,
    UID_RLELosslessTransferSyntax,
    UID_DeflatedExplicitVRLittleEndianTransferSyntax,
    UID_MPEG2MainProfileAtMainLevelTransferSyntax,
    UID_MPEG2MainProfileAtHighLevelTransferSyntax,
    UID_MPEG4HighProfileLevel4_1TransferSyntax,
    UID_MPEG4BDcompatibleHighProfileLevel4_1TransferSyntax,
};

const char* const kServiceClasses[] = {
    UID_VerificationSOPClass,
    UID_FINDPatientRootQueryRetrieveInformationModel,
    UID_FINDStudyRootQueryRetrieveInformationModel,
    UID_RETIRED_FINDPatientStudyOnlyQueryRetrieveInformationModel,
    UID_MOVEPatientRootQueryRetrieveInformationModel,
    UID_MOVEStudyRootQueryRetrieveInformationModel,
    UID_RETIRED_MOVEPatientStudyOnlyQueryRetrieveInformationModel,
    UID_GETPatientRootQueryRetrieveInformationModel,
    UID_GETStudyRootQueryRetrieveInformationModel,
    UID_RETIRED_GETPatientStudyOnlyQueryRetrieveInformationModel,
    // The private event reports arrive on this class.
    UID_StorageCommitmentPushModelSOPClass,
};

bool IsServiceClass(const char* uid) {
  for (const char* c : kServiceClasses)
    if (std::strcmp(c, uid) == 0) return true;
  return false;
}

bool IsStorageClass(const char* uid) {
  for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs; ++i)
    if (std::strcmp(dcmAllStorageSOPClassUIDs[i], uid) == 0) return true;
  return false;
}

bool Proposed(const T_ASC_PresentationContext& pc, const char* ts) {
  for (int j = 0; j < pc.transferSyntaxCount; ++j)
    if (std::strcmp(pc.proposedTransferSyntaxes[j], ts) == 0) return true;
  return false;
}

// The syntax to accept: for storage the one images are stored in when the
// requester proposes it, then an uncompressed one in our order, else
// (storage only) the first of the requester's compressed ones that we know.
const char* Choose(const T_ASC_PresentationContext& pc, bool storage,
                   const std::string& stored_syntax) {
  if (storage && !stored_syntax.empty()) {
    for (const char* ts : kUncompressed)
      if (stored_syntax == ts && Proposed(pc, ts)) return ts;
    for (const char* ts : kCompressed)
      if (stored_syntax == ts && Proposed(pc, ts)) return ts;
  }
  for (const char* ts : kUncompressed)
    if (Proposed(pc, ts)) return ts;
  if (!storage) return nullptr;
  for (int j = 0; j < pc.transferSyntaxCount; ++j)
    for (const char* ts : kCompressed)
      if (std::strcmp(pc.proposedTransferSyntaxes[j], ts) == 0) return ts;
  return nullptr;
}

}  // namespace

int AcceptPresentationContexts(T_ASC_Parameters* params,
                               const std::string& stored_syntax) {
  int refused = 0;
  int count = ASC_countPresentationContexts(params);
  for (int i = 0; i < count; ++i) {
    T_ASC_PresentationContext pc;
    if (ASC_getPresentationContext(params, i, &pc).bad()) continue;
    bool storage = IsStorageClass(pc.abstractSyntax);
    if (!storage && !IsServiceClass(pc.abstractSyntax)) {
      ASC_refusePresentationContext(params, pc.presentationContextID,
                                    ASC_P_ABSTRACTSYNTAXNOTSUPPORTED);
      ++refused;
      continue;
    }
    const char* ts = Choose(pc, storage, stored_syntax);
    if (ts == nullptr) {
      ASC_refusePresentationContext(params, pc.presentationContextID,
                                    ASC_P_TRANSFERSYNTAXESNOTSUPPORTED);
      ++refused;
      continue;
    }
    T_ASC_SC_ROLE role = storage ? pc.proposedRole : ASC_SC_ROLE_DEFAULT;
    if (ASC_acceptPresentationContext(params, pc.presentationContextID, ts,
                                      role)
            .bad()) {
      ++refused;
    }
  }
  return refused;
}

}  // namespace vantor::dicom
