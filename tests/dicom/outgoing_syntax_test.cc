// The transfer syntax stored files go out in: C-GET sub-operations of the
// toolkit's server to a getter (DCMTK's DcmSCU) that proposes only some
// syntaxes, and the C-STORE client (the C-MOVE sender's) to a storescp
// that accepts only some. A file in an accepted syntax goes as it is
// stored; any other is converted to the best syntax the peer accepted, the
// pixels kept; a file that fits none is a failed sub-operation that says
// why.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmnet/scu.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dicom/toolkit/query_request.h"
#include "dicom/toolkit/store_client.h"
#include "dicom/toolkit/toolkit.h"
#include "tests/support/processes.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_images.h"

namespace vantor::dicom {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr char kCt[] = "1.2.840.10008.5.1.4.1.1.2";
constexpr char kImplicit[] = "1.2.840.10008.1.2";
constexpr char kExplicit[] = "1.2.840.10008.1.2.1";
constexpr char kJpegBaseline[] = "1.2.840.10008.1.2.4.50";
constexpr char kJpegLossless[] = "1.2.840.10008.1.2.4.70";
constexpr char kJpegLs[] = "1.2.840.10008.1.2.4.80";
constexpr char kJpeg2000[] = "1.2.840.10008.1.2.4.90";
constexpr char kRle[] = "1.2.840.10008.1.2.5";

// The encapsulated fragments of a dataset's pixel data, one after another.
std::string Fragments(DcmDataset& ds) {
  DcmElement* el = nullptr;
  if (ds.findAndGetElement(DCM_PixelData, el).bad()) return "";
  auto* pixels = static_cast<DcmPixelData*>(el);
  E_TransferSyntax rep = EXS_Unknown;
  const DcmRepresentationParameter* param = nullptr;
  pixels->getOriginalRepresentationKey(rep, param);
  DcmPixelSequence* seq = nullptr;
  if (pixels->getEncapsulatedRepresentation(rep, param, seq).bad()) return "";
  std::string out;
  for (unsigned long i = 1; i < seq->card(); ++i) {
    DcmPixelItem* item = nullptr;
    seq->getItem(item, i);
    Uint8* data = nullptr;
    item->getUint8Array(data);
    out.append(reinterpret_cast<char*>(data), item->getLength());
  }
  return out;
}

std::string FileFragments(const std::string& path) {
  DcmFileFormat file;
  if (file.loadFile(path.c_str()).bad()) return "";
  return Fragments(*file.getDataset());
}

// Native pixel bytes of a dataset, decoded.
std::string PixelBytes(DcmDataset& ds) {
  if (ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
    return "";
  DcmElement* el = nullptr;
  if (ds.findAndGetElement(DCM_PixelData, el).bad()) return "";
  Uint8* data = nullptr;
  if (el->getUint8Array(data).bad() || data == nullptr) return "";
  return std::string(reinterpret_cast<char*>(data), el->getLength());
}

std::string Text(DcmItem& item, const DcmTagKey& key) {
  OFString value;
  item.findAndGetOFString(key, value);
  return value.c_str();
}

// A server whose every C-GET sends the files of the test.
class GetEvents : public ServerEvents {
 public:
  void SetFiles(std::vector<std::string> files) {
    std::lock_guard<std::mutex> lock(mu_);
    files_ = std::move(files);
  }

  void AssociationRequest2(const Connection&, bool& is_ok) override {
    is_ok = true;
  }
  void QueryRequest(Request& request) override {
    std::vector<std::string> files;
    {
      std::lock_guard<std::mutex> lock(mu_);
      files = files_;
    }
    const Request::SubOperations counts = request.SendFiles(files);
    {
      std::lock_guard<std::mutex> lock(mu_);
      counts_ = counts;
      if (auto* q = dynamic_cast<DcmQueryRequest*>(&request))
        error_ = q->sub_operation_error();
    }
    request.SendFinal(counts.failed > 0 ? kStatusSubOperationsFailed
                                        : kStatusSuccess);
  }
  uint16_t ImageReceivedAsync(const Connection&, ReceivedImage&) override {
    return kStatusProcessingFailure;
  }
  void VerifyReceived(int32_t& status) override { status = 0; }
  void EventReport(const Connection&, uint16_t, const Dataset&,
                   uint16_t& status) override {
    status = kStatusProcessingFailure;
  }
  bool CommitmentEnabled() override { return false; }
  CommitmentAcceptance CommitmentRequested(const Connection&,
                                           const CommitmentRequest&) override {
    return {};
  }
  CommitmentOutcome CommitmentDecide(const CommitmentRequest&) override {
    return {};
  }
  void CommitmentReportUndelivered(const ReportDestination&,
                                   const CommitmentReport&) override {}
  void ActionComplete(const Connection&, const std::string&, bool,
                      const std::string&) override {}
  void InfoMessage(int16_t, const std::string&) override {}

  Request::SubOperations counts() {
    std::lock_guard<std::mutex> lock(mu_);
    return counts_;
  }
  std::string error() {
    std::lock_guard<std::mutex> lock(mu_);
    return error_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> files_;
  Request::SubOperations counts_;
  std::string error_;
};

// A C-GET requester that proposes CT Image Storage in the contexts given
// (one list of syntaxes each) and keeps what it receives.
class Getter : public DcmSCU {
 public:
  struct Got {
    std::string syntax;  // of the context it came on
    std::string sop_instance;
    std::unique_ptr<DcmDataset> dataset;
  };

  // `max_pdu`: the largest PDU it receives (0: the toolkit's default).
  Getter(int port, const std::vector<std::vector<std::string>>& contexts,
         Uint32 max_pdu = 0) {
    if (max_pdu != 0) setMaxReceivePDULength(max_pdu);
    setAETitle("GETTER");
    setPeerAETitle("VANTOR");
    setPeerHostName("127.0.0.1");
    setPeerPort(static_cast<Uint16>(port));
    setACSETimeout(10);
    setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    setDIMSETimeout(30);
    OFList<OFString> query;
    query.push_back(kExplicit);
    addPresentationContext(UID_GETStudyRootQueryRetrieveInformationModel,
                           query);
    for (const auto& syntaxes : contexts) {
      OFList<OFString> list;
      for (const std::string& s : syntaxes) list.push_back(s.c_str());
      addPresentationContext(kCt, list, ASC_SC_ROLE_SCP);
    }
  }

  // Runs one C-GET; the final response's status.
  uint16_t Get() {
    if (initNetwork().bad() || negotiateAssociation().bad()) return 0xFFFF;
    DcmDataset keys;
    keys.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    keys.putAndInsertString(DCM_StudyInstanceUID, "1.2.826.0.1.3680043.9.2");
    OFList<RetrieveResponse*> responses;
    const T_ASC_PresentationContextID id = findPresentationContextID(
        UID_GETStudyRootQueryRetrieveInformationModel, kExplicit);
    OFCondition cond = sendCGETRequest(id, &keys, &responses);
    uint16_t status =
        cond.good() && !responses.empty() ? responses.back()->m_status : 0xFFFF;
    for (RetrieveResponse* r : responses) delete r;
    releaseAssociation();
    return status;
  }

  OFCondition handleSTORERequest(const T_ASC_PresentationContextID,
                                 DcmDataset* incoming, OFBool& continue_session,
                                 Uint16& status) override {
    Got g;
    g.dataset.reset(incoming);
    g.syntax = DcmXfer(incoming->getOriginalXfer()).getXferID();
    g.sop_instance = Text(*incoming, DCM_SOPInstanceUID);
    got.push_back(std::move(g));
    continue_session = OFTrue;
    status = STATUS_Success;
    return EC_Normal;
  }

  std::vector<Got> got;
};

class OutgoingSyntaxTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeToolkit(); }

  std::string Write(TestImage image, const std::string& uid) {
    image.sop_instance_uid = uid;
    const std::string path = folder_.Path(uid + ".dcm");
    WriteTestImage(path, image);
    return path;
  }

  static TestImage Image(int bits, const std::string& syntax) {
    TestImage image;
    image.rows = 24;
    image.columns = 20;
    image.frames = 2;
    image.bits_allocated = bits;
    image.transfer_syntax = syntax;
    return image;
  }

  TempFolder folder_{"outgoing-syntax"};
};

// The toolkit's server, whose C-GETs send the files of the test.
class CGetSyntaxTest : public OutgoingSyntaxTest {
 protected:
  void SetUp() override {
    OutgoingSyntaxTest::SetUp();
    server_ = std::make_unique<Server>(events_, 4);
    port_ = FreeLoopbackPort();
    ASSERT_TRUE(server_->Listen(port_));
  }

  // Serves `files` and runs one C-GET proposing `contexts`.
  void Run(const std::vector<std::string>& files,
           const std::vector<std::vector<std::string>>& contexts,
           Uint32 max_pdu = 0) {
    events_.SetFiles(files);
    getter_ = std::make_unique<Getter>(port_, contexts, max_pdu);
    status_ = getter_->Get();
  }

  GetEvents events_;
  std::unique_ptr<Server> server_;
  int port_ = 0;
  std::unique_ptr<Getter> getter_;
  uint16_t status_ = 0xFFFF;
};

TEST_F(CGetSyntaxTest, AFileInAnAcceptedSyntaxGoesAsItIsStored) {
  const std::string path =
      Write(Image(16, kJpegLossless), "1.2.826.0.1.3680043.9.8.1");
  Run({path}, {{kExplicit}, {kJpegLossless}});
  EXPECT_EQ(status_, kStatusSuccess) << events_.error();
  ASSERT_EQ(getter_->got.size(), 1u);
  EXPECT_EQ(getter_->got[0].syntax, kJpegLossless);
  // Not decoded and encoded again: the very fragments of the file.
  const std::string stored = FileFragments(path);
  ASSERT_FALSE(stored.empty());
  EXPECT_TRUE(Fragments(*getter_->got[0].dataset) == stored);
}

TEST_F(CGetSyntaxTest, FilesGoInPdusOfTheSizeThePeerAskedForAndArriveWhole) {
  // A peer that takes PDUs of 4 KB: an image of 128 KB in each of the
  // three syntaxes goes out as stored, in many PDVs, and arrives whole.
  std::vector<std::string> paths;
  std::vector<TestImage> images;
  int n = 0;
  for (const char* syntax : {kExplicit, kImplicit, kJpegLossless}) {
    TestImage image = Image(16, syntax);
    image.rows = 256;
    image.columns = 256;
    image.frames = 1;
    images.push_back(image);
    paths.push_back(
        Write(image, "1.2.826.0.1.3680043.9.8.1" + std::to_string(++n)));
  }
  Run(paths, {{kExplicit}, {kImplicit}, {kJpegLossless}}, 4096);
  EXPECT_EQ(status_, kStatusSuccess) << events_.error();
  ASSERT_EQ(getter_->got.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(images[i].transfer_syntax);
    EXPECT_EQ(getter_->got[i].syntax, images[i].transfer_syntax);
    EXPECT_EQ(getter_->got[i].sop_instance,
              "1.2.826.0.1.3680043.9.8.1" + std::to_string(i + 1));
    EXPECT_EQ(Text(*getter_->got[i].dataset, DCM_PatientName), "Meyer^Anna");
    if (images[i].transfer_syntax == kJpegLossless) {
      EXPECT_TRUE(Fragments(*getter_->got[i].dataset) ==
                  FileFragments(paths[i]));
    } else {
      EXPECT_TRUE(PixelBytes(*getter_->got[i].dataset) ==
                  TestImagePixelBytes(images[i]));
    }
  }
}

TEST_F(CGetSyntaxTest, AnyOtherIsConvertedToTheBestSyntaxThePeerTakes) {
  // Explicit little endian to a peer that takes JPEG 2000 (which the
  // toolkit cannot make) and RLE in contexts of their own: RLE, not the
  // first accepted context.
  const TestImage image = Image(16, kExplicit);
  const std::string path = Write(image, "1.2.826.0.1.3680043.9.8.2");
  Run({path}, {{kJpeg2000}, {kRle}});
  EXPECT_EQ(status_, kStatusSuccess) << events_.error();
  ASSERT_EQ(getter_->got.size(), 1u);
  EXPECT_EQ(getter_->got[0].syntax, kRle);
  EXPECT_EQ(getter_->got[0].sop_instance, "1.2.826.0.1.3680043.9.8.2");
  EXPECT_TRUE(PixelBytes(*getter_->got[0].dataset) ==
              TestImagePixelBytes(image));
}

TEST_F(CGetSyntaxTest, CompressedToAnotherLosslessSyntaxOrDecompressed) {
  const TestImage image = Image(16, kJpegLossless);
  const std::string path = Write(image, "1.2.826.0.1.3680043.9.8.3");
  for (const char* peer : {kJpegLs, kImplicit}) {
    SCOPED_TRACE(peer);
    Run({path}, {{peer}});
    EXPECT_EQ(status_, kStatusSuccess) << events_.error();
    ASSERT_EQ(getter_->got.size(), 1u);
    EXPECT_EQ(getter_->got[0].syntax, peer);
    EXPECT_TRUE(PixelBytes(*getter_->got[0].dataset) ==
                TestImagePixelBytes(image));
  }
  // Uncompressed before lossless: no encoding when it can be helped.
  Run({path}, {{kRle}, {kExplicit}, {kJpegLs}});
  ASSERT_EQ(getter_->got.size(), 1u);
  EXPECT_EQ(getter_->got[0].syntax, kExplicit);
}

TEST_F(CGetSyntaxTest, AFileThatFitsNoAcceptedSyntaxFailsAndSaysWhy) {
  // JPEG baseline only: the 8-bit image goes (lossy, the same instance),
  // the 16-bit one cannot.
  const std::string deep =
      Write(Image(16, kExplicit), "1.2.826.0.1.3680043.9.8.4");
  const std::string flat =
      Write(Image(8, kExplicit), "1.2.826.0.1.3680043.9.8.5");
  Run({deep, flat}, {{kJpegBaseline}});
  EXPECT_EQ(status_, kStatusSubOperationsFailed);
  EXPECT_EQ(events_.counts().completed, 1);
  EXPECT_EQ(events_.counts().failed, 1);
  EXPECT_THAT(events_.error(), HasSubstr(deep));
  EXPECT_THAT(events_.error(), HasSubstr("accepted: 1.2.840.10008.1.2.4.50"));
  EXPECT_THAT(events_.error(), HasSubstr("8-bit images only"));
  ASSERT_EQ(getter_->got.size(), 1u);
  EXPECT_EQ(getter_->got[0].syntax, kJpegBaseline);
  EXPECT_EQ(getter_->got[0].sop_instance, "1.2.826.0.1.3680043.9.8.5");
  EXPECT_EQ(Text(*getter_->got[0].dataset, DCM_SOPInstanceUID),
            "1.2.826.0.1.3680043.9.8.5");
}

// --- The C-STORE client
// ---------------------------------------------------------

// storescp accepting CT Image Storage in `syntaxes` only (and nothing else).
class RestrictedDestination {
 public:
  RestrictedDestination(const std::string& dir,
                        const std::vector<std::string>& syntaxes)
      : port_(FreeLoopbackPort()) {
    const std::string config = dir + "/storescp.cfg";
    std::ofstream cfg(config);
    cfg << "[[TransferSyntaxes]]\n[Accepted]\n";
    for (size_t i = 0; i < syntaxes.size(); ++i)
      cfg << "TransferSyntax" << i + 1 << " = " << syntaxes[i] << "\n";
    cfg << "[[PresentationContexts]]\n[Contexts]\n"
        << "PresentationContext1 = " << kCt << "\\Accepted\n"
        << "[[Profiles]]\n[Default]\nPresentationContexts = Contexts\n";
    cfg.close();
    received_ = dir + "/received";
    fs::create_directories(received_);
    destination_.emplace(std::vector<std::string>{
        "/usr/bin/storescp", "-aet", "DEST", "-xf", config, "Default", "-od",
        received_, std::to_string(port_)});
    for (int i = 0; i < 200 && !IsListening(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }

  StoreDestination destination() const {
    StoreDestination d;
    d.address = "127.0.0.1";
    d.port = port_;
    d.called_aet = "DEST";
    d.calling_aet = "VANTOR";
    d.timeout_seconds = 30;
    return d;
  }
  std::string Received(const std::string& uid) const {
    return received_ + "/CT." + uid;
  }

 private:
  int port_;
  std::string received_;
  std::optional<Background> destination_;
};

class StoreClientSyntaxTest : public OutgoingSyntaxTest {};

TEST_F(StoreClientSyntaxTest,
       ADestinationWithoutUncompressedSyntaxesGetsLossless) {
  // The destination takes CT in JPEG-LS lossless only: the JPEG lossless
  // file and the uncompressed one both arrive in it, pixels whole (they
  // failed before: neither of their syntaxes was accepted).
  RestrictedDestination dest(folder_.path(), {kJpegLs});
  const TestImage compressed = Image(16, kJpegLossless);
  const TestImage plain = Image(16, kExplicit);
  const std::string a = Write(compressed, "1.2.826.0.1.3680043.9.9.1");
  const std::string b = Write(plain, "1.2.826.0.1.3680043.9.9.2");
  StoreRun run = StoreFiles(
      dest.destination(),
      std::vector<StoreItem>{{a, kCt, kJpegLossless}, {b, "", ""}}, {});
  EXPECT_EQ(run.association_error, "");
  EXPECT_EQ(run.completed, 2);
  for (const StoreFileResult& r : run.files) EXPECT_EQ(r.error, "") << r.path;
  for (const auto& [uid, image] :
       {std::pair{"1.2.826.0.1.3680043.9.9.1", compressed},
        std::pair{"1.2.826.0.1.3680043.9.9.2", plain}}) {
    SCOPED_TRACE(uid);
    EXPECT_EQ(FileTransferSyntax(dest.Received(uid)), kJpegLs);
    EXPECT_TRUE(DecodedPixelBytes(dest.Received(uid)) ==
                TestImagePixelBytes(image));
  }
}

TEST_F(StoreClientSyntaxTest, AFileInTheAcceptedSyntaxGoesAsItIsStored) {
  RestrictedDestination dest(folder_.path(), {kJpegLossless, kExplicit});
  const std::string a =
      Write(Image(16, kJpegLossless), "1.2.826.0.1.3680043.9.9.3");
  StoreRun run =
      StoreFiles(dest.destination(), std::vector<std::string>{a}, {});
  EXPECT_EQ(run.completed, 1) << (run.files.empty() ? "" : run.files[0].error);
  EXPECT_EQ(FileTransferSyntax(dest.Received("1.2.826.0.1.3680043.9.9.3")),
            kJpegLossless);
  EXPECT_TRUE(FileFragments(dest.Received("1.2.826.0.1.3680043.9.9.3")) ==
              FileFragments(a));
}

TEST_F(StoreClientSyntaxTest,
       NoAcceptedSyntaxTheImageFitsIsAFailureThatSaysWhy) {
  RestrictedDestination dest(folder_.path(), {kJpegBaseline});
  const std::string deep =
      Write(Image(16, kJpegLossless), "1.2.826.0.1.3680043.9.9.4");
  StoreRun run =
      StoreFiles(dest.destination(),
                 std::vector<StoreItem>{{deep, kCt, kJpegBaseline}}, {});
  EXPECT_EQ(run.failed, 1);
  ASSERT_EQ(run.files.size(), 1u);
  EXPECT_THAT(run.files[0].error, HasSubstr("8-bit images only"));
  EXPECT_THAT(run.files[0].error, HasSubstr(deep));
}

}  // namespace
}  // namespace vantor::dicom
