// vantor-send JOBFILE: carries out one C-MOVE job of the service.
#include <cstdio>
#include <thread>

#include "dicom/toolkit.h"
#include "retrieve/sender.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vantor-send JOBFILE\n");
    return 2;
  }
  // First of all, so that a cancel arriving early is not lost.
  vantor::StopOnTerminationSignal();
  // The toolkit gets ready while the job is read and its images selected.
  std::thread toolkit = vantor::dicom::InitializeToolkitInBackground();
  const int code = vantor::RunSendJob(argv[1]);
  toolkit.join();
  return code;
}
