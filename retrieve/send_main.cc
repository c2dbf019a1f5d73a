// vantor-send JOBFILE: carries out one C-MOVE job of the service.
#include <cstdio>

#include "dicom/toolkit.h"
#include "retrieve/sender.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vantor-send JOBFILE\n");
    return 2;
  }
  // First of all, so that a cancel arriving early is not lost.
  vantor::StopOnTerminationSignal();
  vantor::dicom::InitializeToolkit();
  return vantor::RunSendJob(argv[1]);
}
