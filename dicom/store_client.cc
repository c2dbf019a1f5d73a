#include "dicom/store_client.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "dicom/tls_context.h"
#include "dicom/toolkit.h"
#include "host/base/failure.h"

namespace vantor::dicom {
namespace {

// Presentation context IDs are the odd numbers 1 to 255.
constexpr size_t kMaxContexts = 128;

struct FileHeader {
  std::string sop_class;
  std::string sop_instance;
  std::string transfer_syntax;
  bool has_meta = false;  // the values come from a Part 10 meta header
  std::string error;
};

// The SOP class and transfer syntax of a Part 10 file, from its meta header
// (or, without one, from the dataset's start).
FileHeader ReadHeader(const std::string& path) {
  FileHeader h;
  DcmMetaInfo meta;
  OFString sop_class, sop_instance, syntax;
  if (meta.loadFile(path.c_str()).good()) {
    meta.findAndGetOFString(DCM_MediaStorageSOPClassUID, sop_class);
    meta.findAndGetOFString(DCM_MediaStorageSOPInstanceUID, sop_instance);
    meta.findAndGetOFString(DCM_TransferSyntaxUID, syntax);
  }
  h.has_meta = !sop_class.empty() && !sop_instance.empty() && !syntax.empty();
  if (!h.has_meta) {
    DcmFileFormat file;
    OFCondition cond =
        file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange, 4096,
                              ERM_autoDetect, DCM_PixelData);
    if (cond.bad()) {
      h.error = path + ": " + cond.text();
      return h;
    }
    file.getDataset()->findAndGetOFString(DCM_SOPClassUID, sop_class);
    file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, sop_instance);
    syntax = DcmXfer(file.getDataset()->getOriginalXfer()).getXferID();
  }
  if (sop_class.empty()) {
    h.error = path + ": no SOP Class UID";
    return h;
  }
  h.sop_class = sop_class.c_str();
  h.sop_instance = sop_instance.c_str();
  h.transfer_syntax = syntax.c_str();
  return h;
}

bool IsUncompressed(const std::string& syntax) {
  return syntax == UID_LittleEndianExplicitTransferSyntax ||
         syntax == UID_LittleEndianImplicitTransferSyntax ||
         syntax == UID_BigEndianExplicitTransferSyntax;
}

std::string StatusText(uint16_t status) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", status);
  return text;
}

void SetUids(T_DIMSE_C_StoreRQ& req, const std::string& sop_class,
             const std::string& sop_instance) {
  OFStandard::strlcpy(req.AffectedSOPClassUID, sop_class.c_str(),
                      sizeof req.AffectedSOPClassUID);
  OFStandard::strlcpy(req.AffectedSOPInstanceUID, sop_instance.c_str(),
                      sizeof req.AffectedSOPInstanceUID);
}

class Association {
 public:
  ~Association() {
    if (assoc_ != nullptr) {
      if (broken_ || ASC_releaseAssociation(assoc_).bad())
        ASC_abortAssociation(assoc_);
      ASC_destroyAssociation(&assoc_);
    } else if (params_ != nullptr) {
      ASC_destroyAssociationParameters(&params_);
    }
    if (net_ != nullptr) ASC_dropNetwork(&net_);
  }

  // Ends the association with an A-ABORT rather than a release.
  void Abort() { broken_ = true; }

  // Proposes `classes` (SOP class -> the syntaxes its files are in) and
  // requests the association. Returns "" or what went wrong.
  std::string Open(
      const StoreDestination& d,
      const std::map<std::string, std::set<std::string>>& classes) {
    // The TCP connect is bounded by the same timeout (the toolkit's default
    // waits as long as the system does).
    dcmConnectionTimeout.set(d.timeout_seconds);
    OFCondition cond =
        ASC_initializeNetwork(NET_REQUESTOR, 0, d.timeout_seconds, &net_);
    if (cond.bad()) return cond.text();
    cond = ASC_createAssociationParameters(&params_, ASC_MAXIMUMPDUSIZE);
    if (cond.bad()) return cond.text();
    if (d.tls) {
      std::string error;
      tls_ = MakeTlsLayer(NET_REQUESTOR, d.tls_files, error);
      if (!tls_) return "TLS: " + error;
      cond = ASC_setTransportLayer(net_, tls_.get(), 0);
      if (cond.good()) cond = ASC_setTransportLayerType(params_, OFTrue);
      if (cond.bad()) return cond.text();
    }
    ASC_setAPTitles(params_, d.calling_aet.c_str(), d.called_aet.c_str(),
                    nullptr);
    std::string peer = d.address + ":" + std::to_string(d.port);
    ASC_setPresentationAddresses(params_, OFStandard::getHostName().c_str(),
                                 peer.c_str());
    T_ASC_PresentationContextID id = 1;
    size_t contexts = 0;
    for (const auto& [sop_class, syntaxes] : classes) {
      // The stored syntax first, so that no conversion is needed when the
      // destination takes it; the uncompressed ones as the fallback.
      std::vector<std::string> lists;
      for (const std::string& s : syntaxes) {
        if (!IsUncompressed(s)) {
          if (contexts++ >= kMaxContexts) return "too many SOP classes";
          const char* one[] = {s.c_str()};
          cond = ASC_addPresentationContext(params_, id, sop_class.c_str(), one,
                                            1);
          if (cond.bad()) return cond.text();
          id += 2;
        }
      }
      if (contexts++ >= kMaxContexts) return "too many SOP classes";
      const char* plain[] = {UID_LittleEndianExplicitTransferSyntax,
                             UID_LittleEndianImplicitTransferSyntax,
                             UID_BigEndianExplicitTransferSyntax};
      cond =
          ASC_addPresentationContext(params_, id, sop_class.c_str(), plain, 3);
      if (cond.bad()) return cond.text();
      id += 2;
    }
    cond = ASC_requestAssociation(net_, params_, &assoc_);
    if (cond.bad()) {
      if (cond == DUL_ASSOCIATIONREJECTED) {
        T_ASC_RejectParameters rej;
        ASC_getRejectParameters(params_, &rej);
        OFString text;
        return std::string("association rejected: ") +
               ASC_printRejectParameters(text, &rej).c_str();
      }
      return cond.text();
    }
    if (ASC_countAcceptedPresentationContexts(params_) == 0)
      return "the destination accepted no presentation context";
    return "";
  }

  // Sends one file; fills `result`. False when the association broke.
  bool Send(const std::string& path, const FileHeader& header, int timeout,
            StoreFileResult& result) {
    T_ASC_PresentationContextID pc_id = ASC_findAcceptedPresentationContextID(
        assoc_, header.sop_class.c_str(), header.transfer_syntax.c_str());
    if (pc_id == 0) {
      result.error = path + ": the destination accepted no context for " +
                     header.sop_class;
      return true;
    }
    T_ASC_PresentationContext pc;
    ASC_findAcceptedPresentationContext(assoc_->params, pc_id, &pc);
    T_DIMSE_C_StoreRQ req;
    std::memset(&req, 0, sizeof req);
    req.MessageID = assoc_->nextMsgID++;
    req.DataSetType = DIMSE_DATASET_PRESENT;
    req.Priority = DIMSE_PRIORITY_MEDIUM;
    T_DIMSE_C_StoreRSP rsp;
    std::memset(&rsp, 0, sizeof rsp);
    DcmDataset* detail = nullptr;
    OFCondition cond;
    if (header.has_meta &&
        header.transfer_syntax == pc.acceptedTransferSyntax) {
      // In the syntax the destination takes: the file's dataset goes out as
      // it is stored, without being parsed and encoded again.
      SetUids(req, header.sop_class, header.sop_instance);
      cond =
          DIMSE_storeUser(assoc_, pc_id, &req, path.c_str(), nullptr, nullptr,
                          nullptr, DIMSE_NONBLOCKING, timeout, &rsp, &detail);
    } else {
      DcmFileFormat file;
      cond = file.loadFile(path.c_str());
      if (cond.bad()) {
        result.error = path + ": " + cond.text();
        return true;
      }
      DcmDataset* ds = file.getDataset();
      OFString sop_class, sop_instance;
      ds->findAndGetOFString(DCM_SOPClassUID, sop_class);
      ds->findAndGetOFString(DCM_SOPInstanceUID, sop_instance);
      if (sop_class.empty() || sop_instance.empty()) {
        result.error = path + ": no SOP Class or SOP Instance UID";
        return true;
      }
      E_TransferSyntax accepted = DcmXfer(pc.acceptedTransferSyntax).getXfer();
      if (accepted != ds->getOriginalXfer()) {
        cond = ds->chooseRepresentation(accepted, nullptr);
        if (cond.bad() || !ds->canWriteXfer(accepted)) {
          result.error =
              path + ": cannot convert to " + pc.acceptedTransferSyntax;
          return true;
        }
      }
      SetUids(req, sop_class.c_str(), sop_instance.c_str());
      cond = DIMSE_storeUser(assoc_, pc_id, &req, nullptr, ds, nullptr, nullptr,
                             DIMSE_NONBLOCKING, timeout, &rsp, &detail);
    }
    delete detail;
    if (cond.bad()) {
      result.error = path + ": " + cond.text();
      broken_ = true;
      return false;
    }
    result.status = rsp.DimseStatus;
    if (rsp.DimseStatus == STATUS_Success) {
      result.outcome = StoreOutcome::kCompleted;
    } else if ((rsp.DimseStatus & 0xF000) == 0xB000) {
      result.outcome = StoreOutcome::kWarning;
    } else {
      result.error =
          path + ": the destination answered " + StatusText(rsp.DimseStatus);
    }
    return true;
  }

 private:
  // Outlives the network that uses it.
  std::shared_ptr<DcmTLSTransportLayer> tls_;
  T_ASC_Network* net_ = nullptr;
  T_ASC_Parameters* params_ = nullptr;
  T_ASC_Association* assoc_ = nullptr;
  bool broken_ = false;  // aborted rather than released
};

void Count(StoreRun& run, const StoreFileResult& r) {
  switch (r.outcome) {
    case StoreOutcome::kCompleted:
      ++run.completed;
      break;
    case StoreOutcome::kWarning:
      ++run.warning;
      break;
    case StoreOutcome::kFailed:
      ++run.failed;
      break;
  }
}

}  // namespace

StoreRun StoreFiles(const StoreDestination& destination,
                    const std::vector<std::string>& paths,
                    const std::function<void(const StoreFileResult&)>& on_file,
                    const std::function<bool()>& stop) {
  StoreRun run;
  auto done = [&](StoreFileResult r) {
    Count(run, r);
    if (on_file) on_file(r);
    run.files.push_back(std::move(r));
  };
  GuardWith(
      [&] {
        InitializeToolkit();
        std::map<std::string, std::set<std::string>> classes;
        std::vector<FileHeader> headers;
        headers.reserve(paths.size());
        for (const std::string& path : paths) {
          headers.push_back(ReadHeader(path));
          const FileHeader& h = headers.back();
          if (h.error.empty()) classes[h.sop_class].insert(h.transfer_syntax);
        }
        auto stopped = [&](size_t i) {
          if (!stop || !stop()) return false;
          run.stopped = true;
          run.not_sent = static_cast<int>(paths.size() - i);
          return true;
        };
        if (stopped(0)) return;
        Association assoc;
        if (!classes.empty())
          run.association_error = assoc.Open(destination, classes);
        bool usable = !classes.empty() && run.association_error.empty();
        for (size_t i = 0; i < paths.size(); ++i) {
          if (stopped(i)) {
            assoc.Abort();
            break;
          }
          StoreFileResult r;
          r.path = paths[i];
          if (!headers[i].error.empty()) {
            r.error = headers[i].error;
          } else if (!usable) {
            r.error = paths[i] + ": not sent (" + run.association_error + ")";
          } else if (!assoc.Send(paths[i], headers[i],
                                 destination.timeout_seconds, r)) {
            run.association_error = r.error;
            usable = false;
          }
          done(std::move(r));
        }
      },
      [&](const FailureInfo& failure) {
        run.association_error = failure.description;
        run.stopped = false;
        run.not_sent = 0;
        while (run.files.size() < paths.size()) {
          StoreFileResult r;
          r.path = paths[run.files.size()];
          r.error = r.path + ": not sent (" + run.association_error + ")";
          done(std::move(r));
        }
      });
  return run;
}

}  // namespace vantor::dicom
