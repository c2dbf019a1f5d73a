// Which presentation contexts an association gets, and in which syntax.
#include "dicom/toolkit/negotiation.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantor::dicom {
namespace {

class NegotiationTest : public ::testing::Test {
 protected:
  NegotiationTest() {
    ASC_createAssociationParameters(&params_, ASC_DEFAULTMAXPDU);
  }
  ~NegotiationTest() override { ASC_destroyAssociationParameters(&params_); }

  void Propose(const char* abstract, std::vector<const char*> syntaxes) {
    ASSERT_TRUE(ASC_addPresentationContext(params_, next_id_, abstract,
                                           syntaxes.data(),
                                           static_cast<int>(syntaxes.size()))
                    .good());
    next_id_ += 2;
  }

  // The accepted syntax of each context in proposal order ("" refused).
  std::vector<std::string> Accepted(const std::string& stored_syntax) {
    AcceptPresentationContexts(params_, stored_syntax);
    std::vector<std::string> out;
    for (int i = 0; i < ASC_countPresentationContexts(params_); ++i) {
      T_ASC_PresentationContext pc;
      ASC_getPresentationContext(params_, i, &pc);
      out.push_back(pc.resultReason == ASC_P_ACCEPTANCE
                        ? pc.acceptedTransferSyntax
                        : "");
    }
    return out;
  }

  T_ASC_Parameters* params_ = nullptr;
  T_ASC_PresentationContextID next_id_ = 1;
};

TEST_F(NegotiationTest, StorageTakesTheStoredSyntaxWhenProposed) {
  const std::vector<const char*> uncompressed = {
      UID_LittleEndianExplicitTransferSyntax,
      UID_LittleEndianImplicitTransferSyntax};
  Propose(UID_CTImageStorage, uncompressed);
  Propose(UID_MRImageStorage, {UID_LittleEndianExplicitTransferSyntax});
  Propose(UID_FINDStudyRootQueryRetrieveInformationModel, uncompressed);
  Propose(UID_SecondaryCaptureImageStorage,
          {UID_JPEGProcess1TransferSyntax,
           UID_JPEGProcess14SV1TransferSyntax});
  EXPECT_EQ(Accepted(UID_LittleEndianImplicitTransferSyntax),
            (std::vector<std::string>{
                UID_LittleEndianImplicitTransferSyntax,
                // Not proposed: the usual choice.
                UID_LittleEndianExplicitTransferSyntax,
                // Not storage: the usual choice.
                UID_LittleEndianExplicitTransferSyntax,
                UID_JPEGProcess1TransferSyntax}));
}

TEST_F(NegotiationTest, CompressedStorageTakesJpegLosslessWhenProposed) {
  Propose(UID_CTImageStorage,
          {UID_LittleEndianExplicitTransferSyntax,
           UID_JPEGProcess14SV1TransferSyntax});
  Propose(UID_MRImageStorage,
          {UID_LittleEndianExplicitTransferSyntax,
           UID_LittleEndianImplicitTransferSyntax});
  EXPECT_EQ(Accepted(UID_JPEGProcess14SV1TransferSyntax),
            (std::vector<std::string>{UID_JPEGProcess14SV1TransferSyntax,
                                      UID_LittleEndianExplicitTransferSyntax}));
}

TEST_F(NegotiationTest, WithoutAStoredSyntaxTheUsualOrderHolds) {
  Propose(UID_CTImageStorage,
          {UID_LittleEndianImplicitTransferSyntax,
           UID_LittleEndianExplicitTransferSyntax});
  Propose(UID_CTImageStorage, {UID_JPEGProcess14SV1TransferSyntax});
  Propose("1.2.3.4.5", {UID_LittleEndianImplicitTransferSyntax});
  EXPECT_EQ(Accepted(""),
            (std::vector<std::string>{UID_LittleEndianExplicitTransferSyntax,
                                      UID_JPEGProcess14SV1TransferSyntax,
                                      ""}));
}

}  // namespace
}  // namespace vantor::dicom
