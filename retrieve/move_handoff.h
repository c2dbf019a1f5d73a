// C-MOVE hand-off: writes the send job for the sender program and starts it.
//
// On disk, for a service on port P (Windows texts, translated where they
// meet the file system):
//   <Unzip>P\            the work directory, emptied by every hand-off
//   C:\Temp\SendP_n      job n (the first number free at creation)
//   C:\Temp\ReturnP_n    what the sender reports for job n
#ifndef VANTOR_RETRIEVE_MOVE_HANDOFF_H_
#define VANTOR_RETRIEVE_MOVE_HANDOFF_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "dicom/dispatcher.h"
#include "dicom/toolkit/toolkit.h"
#include "host/base/config.h"
#include "host/base/database.h"
#include "retrieve/move_job.h"
#include "retrieve/sender_starter.h"

namespace vantor {

// A C-MOVE job while its sender runs: the started sender and its return
// file, as the dispatcher follows them.
class SenderMoveJob : public dicom::MoveJob {
 public:
  // `return_path`: the job's return file on the file system. `after` (may
  // be empty) runs when the job is let go, once the C-MOVE has been
  // answered.
  SenderMoveJob(StartedProgram sender, std::string return_path,
                std::function<void()> after = {})
      : sender_(std::move(sender)),
        return_path_(std::move(return_path)),
        after_(std::move(after)) {}
  ~SenderMoveJob() override;

  bool Ended() override { return sender_.Ended(); }
  void WaitForChange(std::chrono::milliseconds most) override {
    sender_.WaitEndedFor(most);
  }
  // Reads the return file afresh; the sender replaces it as a whole, so a
  // read never sees half of it.
  dicom::MoveProgress Progress() override;
  // SIGTERM, then at most kStopSeconds for the sender to write its counts
  // and end; a sender that does not end is left to itself.
  void Stop() override;

  static constexpr int kStopSeconds = 15;

 private:
  StartedProgram sender_;
  std::string return_path_;
  std::function<void()> after_;
};

// The selection statement of a C-MOVE job: on view_images for an identifier
// with a SOP Instance UID (and then ending in ", ImageNr", the order the
// sender sends in), else the series folders of VIEW_Series. Values are
// quoted so that none can end its literal. `has_condition` (may be null)
// tells whether any key made a condition. Throws a Failure for a patient ID
// that must be an internal key and is no whole number.
std::string MoveStatement(const dicom::Dataset& identifier, bool bSiemensBug,
                          bool bInternalID, std::string_view date_format,
                          bool* has_condition = nullptr);

// "C:\Temp\Send<port>_<n>" and "C:\Temp\Return<port>_<n>".
std::string JobFileText(int32_t port, int32_t n);
std::string ReturnFileText(int32_t port, int32_t n);

// Creates the job folder C:\Temp\ when it is missing (one level: the drive's
// folder must exist); a failure is logged under "BuildPathes". Never throws.
void CreateJobFolder();

// Creates the job file under the first number from 0 up that no file holds
// yet (each number taken by an exclusive create, so two hand-offs never
// share one) and writes `contents(n)` into it. `temp_dir` is the file-system
// folder of C:\Temp. Returns the number. Throws a Failure when the file
// cannot be created or written (a file written in part stays).
int32_t CreateJobFile(const std::string& temp_dir, int32_t port,
                      const std::function<std::string(int32_t)>& contents);

// The job of a C-MOVE (its statement checked) without the lines of the
// front that carries it out (work directory, return file). Throws a Failure
// when the identifier selects nothing or makes no job statement.
SendJob MoveSendJob(const dicom::RequestContext& context,
                    const dicom::Dataset& identifier,
                    const std::string& address, int32_t port,
                    const std::string& calling_aet);

// The instance's work directory <Unzip><port>\, made or emptied.
std::string MoveWorkDirectory(const Config& config);

// Writes `job` as the next free job file of `own_port` (its return file
// named after the number, an old return file of that number removed);
// returns the number. Throws a Failure.
int32_t WriteJobFile(SendJob& job, int32_t own_port);

// A return file's text ("" when it cannot be read), and what it reports.
std::string ReadReturnFile(const std::string& path);
dicom::MoveProgress ProgressOf(std::string_view return_text);

// Hands a C-MOVE's job to the queue in the archive database instead of this
// front's sender; returns the job as its requester follows it.
using QueueMove = std::function<std::unique_ptr<dicom::MoveJob>(
    const dicom::RequestContext& context, const SendJob& job)>;

// Hands the C-MOVE to the sender: destination `address`:`port`, called AE
// title `calling_aet` (the destination's). The sender is the one `senders`
// keeps started ahead, or one started for this job alone when `senders` is
// null; with `queue`, the job goes to the queue instead. Returns the
// running job, or null when the hand-off failed (logged under
// "ImagePrepareForSend").
std::unique_ptr<dicom::MoveJob> ImagePrepareForSend(
    const dicom::RequestContext& context, const dicom::Dataset& identifier,
    const std::string& address, int32_t port, const std::string& calling_aet,
    SenderStarter* senders = nullptr, const QueueMove& queue = nullptr);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_MOVE_HANDOFF_H_
