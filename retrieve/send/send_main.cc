// vantor-send JOBFILE: carries out one C-MOVE job of the service.
// vantor-send --standby: waits, ready, for the job the service hands it on
// standard input.
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "dicom/toolkit/toolkit.h"
#include "retrieve/send/sender.h"
#include "retrieve/send/sender_standby.h"

// The service waits for the sender's end before it answers the C-MOVE: once
// the return file is written and the job file removed, the process ends
// without taking apart its data dictionary and libraries one by one.
// Everything it wrote went out with plain writes; stdio is flushed.
[[noreturn]] void QuickExit(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vantor-send JOBFILE | %s\n(%s)\n",
                 vantor::kStandbyArgument, vantor::kStandbyMarker);
    return 2;
  }
  // First of all, so that a cancel arriving early is not lost.
  vantor::StopOnTerminationSignal();
  // Files in a syntax the destination takes go out without being read as
  // datasets: the private attributes are read only for one that is.
  vantor::dicom::DeferPrivateDictionary();
  if (std::strcmp(argv[1], vantor::kStandbyArgument) == 0) {
    // Named for what it does until its job comes.
    ::prctl(PR_SET_NAME, vantor::kStandbyName, 0, 0, 0);
    // Everything a job needs is made ready before it comes.
    vantor::dicom::InitializeToolkit();
    QuickExit(vantor::RunStandby(0));
  }
  // The toolkit gets ready while the job is read and its images selected.
  std::thread toolkit = vantor::dicom::InitializeToolkitInBackground();
  const int code = vantor::RunSendJob(argv[1]);
  toolkit.join();
  QuickExit(code);
}
