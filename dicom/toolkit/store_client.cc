#include "dicom/toolkit/store_client.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "dicom/toolkit/dataset_impl.h"
#include "dicom/toolkit/outgoing_syntax.h"
#include "dicom/toolkit/part10_file.h"
#include "dicom/toolkit/requested_association.h"
#include "dicom/toolkit/stored_file_store.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/failure.h"

namespace vantor::dicom {
namespace {

// Presentation context IDs are the odd numbers 1 to 255.
constexpr size_t kMaxContexts = 128;

using FileHeader = Part10Header;

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
  // Ends the association with an A-ABORT rather than a release.
  void Abort() { assoc_.Abort(); }

  // Proposes `classes` (SOP class -> the syntaxes its files are in) and
  // requests the association. Returns "" or what went wrong.
  std::string Open(
      const StoreDestination& d,
      const std::map<std::string, std::set<std::string>>& classes) {
    std::vector<ProposedContext> contexts;
    for (const auto& [sop_class, syntaxes] : classes) {
      // The stored syntax first, so that no conversion is needed when the
      // destination takes it; the uncompressed ones as the fallback.
      for (const std::string& s : syntaxes) {
        if (!IsUncompressed(s)) {
          if (contexts.size() >= kMaxContexts) return "too many SOP classes";
          contexts.push_back({sop_class, {s}});
        }
      }
      if (contexts.size() >= kMaxContexts) return "too many SOP classes";
      contexts.push_back({sop_class,
                          {UID_LittleEndianExplicitTransferSyntax,
                           UID_LittleEndianImplicitTransferSyntax,
                           UID_BigEndianExplicitTransferSyntax}});
    }
    // While there is room, the lossless compressed syntaxes the files can
    // be converted to, for a destination that takes no uncompressed image
    // of a class (one context each, so that it can accept them beside the
    // uncompressed one; the sender still prefers its files' own syntax and
    // then the uncompressed ones).
    for (const auto& [sop_class, syntaxes] : classes) {
      std::vector<std::string> lossless;
      for (const char* s :
           {UID_JPEGProcess14SV1TransferSyntax,
            UID_JPEGLSLosslessTransferSyntax, UID_RLELosslessTransferSyntax})
        if (!syntaxes.count(s)) lossless.push_back(s);
      if (lossless.empty() || contexts.size() >= kMaxContexts) continue;
      contexts.push_back({sop_class, lossless});
    }
    RequestedPeer peer;
    peer.address = d.address;
    peer.port = d.port;
    peer.called_aet = d.called_aet;
    peer.calling_aet = d.calling_aet;
    peer.timeout_seconds = d.timeout_seconds;
    peer.tls = d.tls;
    peer.tls_files = d.tls_files;
    return assoc_.Open(peer, contexts);
  }

  // Sends one file; fills `result`. False when the association broke.
  bool Send(const std::string& path, const FileHeader& header, int timeout,
            StoreFileResult& result) {
    T_ASC_Association* assoc = assoc_.get();
    if (AcceptedContexts(assoc, header.sop_class).empty()) {
      result.error = path + ": the destination accepted no context for " +
                     header.sop_class;
      return true;
    }
    T_DIMSE_C_StoreRQ req;
    std::memset(&req, 0, sizeof req);
    req.MessageID = assoc->nextMsgID++;
    req.DataSetType = DIMSE_DATASET_PRESENT;
    req.Priority = DIMSE_PRIORITY_MEDIUM;
    T_DIMSE_C_StoreRSP rsp;
    std::memset(&rsp, 0, sizeof rsp);
    DcmDataset* detail = nullptr;
    OFCondition cond;
    const T_ASC_PresentationContextID stored_id =
        header.has_meta ? StoredSyntaxContext(assoc, header.sop_class,
                                              header.transfer_syntax)
                        : 0;
    // Any other way than straight from the disk reads the file as a
    // dataset.
    if (stored_id == 0 || header.dataset_offset == 0) EnsureFullDictionary();
    if (stored_id != 0) {
      // In the syntax the destination takes: the file's dataset goes out as
      // it is stored, without being parsed and encoded again.
      SetUids(req, header.sop_class, header.sop_instance);
      cond = header.dataset_offset != 0
                 ? StoreFileAsStored(assoc, stored_id, req, path,
                                     header.dataset_offset, timeout, &rsp,
                                     &detail)
                 : DIMSE_storeUser(assoc, stored_id, &req, path.c_str(),
                                   nullptr, nullptr, nullptr, DIMSE_NONBLOCKING,
                                   timeout, &rsp, &detail);
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
      // The best context the destination accepted for the image, in its
      // own syntax or one it converts to.
      std::string why;
      const T_ASC_PresentationContextID pc_id = PrepareForContext(
          assoc, sop_class.c_str(), DcmXfer(ds->getOriginalXfer()).getXferID(),
          *ds, why);
      if (pc_id == 0) {
        result.error = path + ": " + why;
        return true;
      }
      SetUids(req, sop_class.c_str(), sop_instance.c_str());
      cond = DIMSE_storeUser(assoc, pc_id, &req, nullptr, ds, nullptr, nullptr,
                             DIMSE_NONBLOCKING, timeout, &rsp, &detail);
    }
    delete detail;
    if (cond.bad()) {
      result.error = path + ": " + cond.text();
      assoc_.Abort();
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
  RequestedAssociation assoc_;
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
  std::vector<StoreItem> items;
  items.reserve(paths.size());
  for (const std::string& path : paths) items.push_back({path, "", ""});
  return StoreFiles(destination, items, on_file, stop);
}

StoreRun StoreFiles(const StoreDestination& destination,
                    const std::vector<StoreItem>& items,
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
        // The first files come from the disk while the association is made.
        for (size_t i = 0; i < items.size() && i < 2; ++i)
          ReadAhead(items[i].path);
        // The contexts to propose: from what the archive says of a file
        // when it tells class and syntax, else from the file's header.
        std::map<std::string, std::set<std::string>> classes;
        std::vector<FileHeader> headers(items.size());
        std::vector<bool> read(items.size(), false);
        // The headers the archive does not replace come from the disk
        // together rather than one seek after the other.
        std::vector<std::string> untold;
        for (const StoreItem& item : items)
          if (item.sop_class.empty() || item.transfer_syntax.empty())
            untold.push_back(item.path);
        if (untold.size() > 1) ReadHeadersAhead(untold);
        for (size_t i = 0; i < items.size(); ++i) {
          const StoreItem& item = items[i];
          if (!item.sop_class.empty() && !item.transfer_syntax.empty()) {
            classes[item.sop_class].insert(item.transfer_syntax);
            continue;
          }
          headers[i] = ReadPart10Header(item.path);
          read[i] = true;
          const FileHeader& h = headers[i];
          if (h.error.empty()) classes[h.sop_class].insert(h.transfer_syntax);
        }
        auto stopped = [&](size_t i) {
          if (!stop || !stop()) return false;
          run.stopped = true;
          run.not_sent = static_cast<int>(items.size() - i);
          return true;
        };
        if (stopped(0)) return;
        Association assoc;
        if (!classes.empty())
          run.association_error = assoc.Open(destination, classes);
        bool usable = !classes.empty() && run.association_error.empty();
        for (size_t i = 0; i < items.size(); ++i) {
          if (stopped(i)) {
            assoc.Abort();
            break;
          }
          const std::string& path = items[i].path;
          // The next file comes from the disk while this one is on the wire.
          if (usable && i + 2 < items.size()) ReadAhead(items[i + 2].path);
          if (usable && !read[i]) headers[i] = ReadPart10Header(path);
          StoreFileResult r;
          r.path = path;
          if (!headers[i].error.empty()) {
            r.error = headers[i].error;
          } else if (!usable) {
            r.error = path + ": not sent (" + run.association_error + ")";
          } else if (!assoc.Send(path, headers[i],
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
        while (run.files.size() < items.size()) {
          StoreFileResult r;
          r.path = items[run.files.size()].path;
          r.error = r.path + ": not sent (" + run.association_error + ")";
          done(std::move(r));
        }
      });
  return run;
}

}  // namespace vantor::dicom
