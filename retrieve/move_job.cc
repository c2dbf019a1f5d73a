#include "retrieve/move_job.h"

#include <fstream>
#include <iterator>

#include "host/base/failure.h"
#include "retrieve/sender.h"

namespace vantor {

dicom::MoveProgress SenderMoveJob::Progress() {
  dicom::MoveProgress progress;
  std::ifstream in(return_path_, std::ios::binary);
  if (!in) return progress;
  // A return file is a few short lines; anything longer is not ours.
  std::string text;
  text.resize(4096);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  std::optional<SendOutcome> outcome = ParseReturnFile(text);
  if (!outcome) return progress;
  progress.reported = true;
  progress.counts.completed = outcome->completed;
  progress.counts.failed = outcome->failed;
  progress.counts.warning = outcome->warning;
  progress.remaining = outcome->remaining;
  progress.error = outcome->error;
  return progress;
}

SenderMoveJob::~SenderMoveJob() {
  if (after_) GuardWith([&] { after_(); }, [](const FailureInfo&) {});
}

void SenderMoveJob::Stop() {
  sender_.Terminate();
  sender_.WaitEnded(kStopSeconds);
}

}  // namespace vantor
