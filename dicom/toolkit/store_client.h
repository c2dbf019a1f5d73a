// A C-STORE client: one association to a storage node, on which a list of
// Part 10 files is sent, each as one C-STORE.
#ifndef VANTOR_DICOM_STORE_CLIENT_H_
#define VANTOR_DICOM_STORE_CLIENT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

struct StoreDestination {
  std::string address;  // IP address or host name
  int32_t port = 0;
  std::string called_aet;
  std::string calling_aet;
  // Seconds for the association and for each response.
  int timeout_seconds = 60;
  // DICOM over TLS, the destination's certificate verified against the
  // CAs of `tls_files` (which may also hold our own certificate and key).
  bool tls = false;
  TlsFiles tls_files;
};

enum class StoreOutcome { kCompleted, kWarning, kFailed };

struct StoreFileResult {
  std::string path;
  StoreOutcome outcome = StoreOutcome::kFailed;
  uint16_t status = 0;  // the destination's C-STORE status when it answered
  std::string error;    // why it failed ("" when it did not)
};

struct StoreRun {
  int completed = 0;
  int failed = 0;
  int warning = 0;
  // One per path, in order; when `stop` ended the run, only the files done
  // before it.
  std::vector<StoreFileResult> files;
  // Set when `stop` ended the run; `not_sent` files were not tried.
  bool stopped = false;
  int not_sent = 0;
  // Set when no association came about or it broke off; the files not sent
  // then count as failed.
  std::string association_error;
};

// A file to send, with what the archive says of it: its SOP class and
// transfer syntax, both or neither ("" when it does not say).
struct StoreItem {
  std::string path;
  std::string sop_class;
  std::string transfer_syntax;
};

// Associates with `destination`, proposing for every SOP class of the files
// the transfer syntaxes they are stored in, the uncompressed ones and (while
// there is room for them) the lossless compressed ones; sends each file in
// the syntax it is stored in when the destination accepted that, else
// converted to the best syntax it accepted for the class (uncompressed
// before lossless before lossy, see RankAcceptedSyntaxes); releases the
// association. A file that cannot be read, has
// no accepted context or is refused counts as failed. `on_file` (may be
// empty) is told about each file as it is done. `stop` (may be empty) is
// asked before the association and before each file: once it says so, the
// file on the wire has been answered (or its wait for the answer timed
// out), no further file is sent and the association is aborted, so that a
// destination that stopped answering cannot hold the end up any longer.
// Never throws.
StoreRun StoreFiles(const StoreDestination& destination,
                    const std::vector<std::string>& paths,
                    const std::function<void(const StoreFileResult&)>& on_file,
                    const std::function<bool()>& stop = {});

// The same for files whose class and syntax the archive may tell: for an
// item that carries both, the contexts are proposed from them and its file
// is first read when it is sent (a file found in another syntax is then
// converted to an accepted one, or fails when its class was not proposed).
// While a file is on the wire the next ones are read ahead.
StoreRun StoreFiles(const StoreDestination& destination,
                    const std::vector<StoreItem>& items,
                    const std::function<void(const StoreFileResult&)>& on_file,
                    const std::function<bool()>& stop = {});

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_STORE_CLIENT_H_
