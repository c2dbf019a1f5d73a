// The query/retrieve request dispatcher: every C-FIND, C-GET and C-MOVE.
// It authorises the caller, picks the work by operation and level, answers
// with pending responses and the final status, and logs the outcome.
#ifndef VANTOR_DICOM_DISPATCHER_H_
#define VANTOR_DICOM_DISPATCHER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dicom/level_responses.h"
#include "dicom/request_context.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/audit_record.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/log.h"

namespace vantor::dicom {

// What the sender of a C-MOVE has reported so far.
struct MoveProgress {
  // The sender wrote a return file in vantor-send's form (a site's own
  // sender may write none).
  bool reported = false;
  Request::SubOperations counts;
  int remaining = 0;
  std::string error;  // why the job as a whole failed
};

// A C-MOVE handed to the sender, as the dispatcher follows it.
class MoveJob {
 public:
  virtual ~MoveJob() = default;
  // True once the sender has ended.
  virtual bool Ended() = 0;
  // Waits at most `most` before the sender is looked at again; returns at
  // once when it ends.
  virtual void WaitForChange(std::chrono::milliseconds most) {
    std::this_thread::sleep_for(most);
  }
  // What the sender's return file says now.
  virtual MoveProgress Progress() = 0;
  // The requester cancelled: stops the sender and waits (bounded) for it.
  virtual void Stop() = 0;
};

// How the wait for a C-MOVE's sender ended.
enum class MoveEnd {
  kSenderEnded,  // the sender ended by itself
  kCancelled,    // the requester cancelled; the sender was stopped
  kGaveUp,       // the service stops, or the wait's bound ran out
};

// The final C-MOVE response for what the sender reported.
struct MoveAnswer {
  uint16_t status = 0;
  bool with_counts = false;
  Request::SubOperations counts;
  int remaining = 0;
  std::string error_comment;
};
MoveAnswer AnswerForMove(MoveEnd end, const MoveProgress& progress);

// The work the dispatcher hands out, wired by the service host to the query
// engine and the retrieval subsystem. Each handler works on the request's
// context. A level query hands its responses to a sink as its rows are
// read and returns false when it failed (it has logged the failure itself).
struct RequestServices {
  using LevelQuery = ::vantor::dicom::LevelQuery;
  LevelQuery GetPatientData;
  LevelQuery GetStudyData;
  LevelQuery GetSeriesData;
  LevelQuery GetImageData;
  // Fills `files` with the image files of the C-GET, one per row; false
  // when they could not be selected (it has logged the failure itself).
  std::function<bool(const RequestContext& context, const Dataset& identifier,
                     std::vector<std::string>& files)>
      PrepareSendCGet;
  // Hands the C-MOVE to the sender for the destination at `address`:`port`
  // known as `calling_aet`; null when the hand-off failed.
  std::function<std::unique_ptr<MoveJob>(
      const RequestContext& context, const Dataset& identifier,
      const std::string& address, int32_t port,
      const std::string& calling_aet)>
      ImagePrepareForSend;
  // True once the service is stopping: nobody waits any longer.
  std::function<bool()> Stopping;
  // Failure 61706 reached the dispatcher: the service must end.
  std::function<void()> EndService;
  // The service's idle database connections, which each request's own
  // connection is taken from and given back to; null: a fresh connection
  // per request.
  ConnectionPool* connections = nullptr;
  // Where each query, retrieval and refusal is recorded; null: nowhere.
  AuditSink* audit = nullptr;
};

// The refusal answer for an unknown (`store_only` false) or store-only node:
// the identifier with name, ID, birth date (`today`, a DICOM date) and sex
// set.
Dataset RefusalAnswer(const Dataset& identifier, bool store_only,
                      const std::string& today);

// Today's date written with a DateFormat pattern (YYYY, MM, DD).
std::string FormatToday(const std::string& date_format);

// Serves one C-FIND, C-GET or C-MOVE under the settings snapshot `config`
// (never null) and its `log`: makes the request's context (the snapshot
// and log, a database connection of its own, the caller's node), refuses
// callers the node table does not let in, and answers by level.
void DCMServer_QueryRequest(Request& Req, const RequestServices& services,
                            const std::shared_ptr<const Config>& config,
                            const Log& log);

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_DISPATCHER_H_
