// A C-MOVE job while its sender runs: the started sender and its return
// file, as the dispatcher follows them.
#ifndef VANTOR_RETRIEVE_MOVE_JOB_H_
#define VANTOR_RETRIEVE_MOVE_JOB_H_

#include <functional>
#include <string>

#include "dicom/dispatcher.h"
#include "retrieve/detached_start.h"

namespace vantor {

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

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_MOVE_JOB_H_
