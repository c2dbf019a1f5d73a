// Process-wide set-up of DCMTK for the service.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/dcmjpls/djencode.h>
#include <dcmtk/dcmnet/dul.h>

#include <csignal>
#include <cstdlib>
#include <mutex>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

namespace {

void PrepareEnvironment() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Without it every small PDU waits for the delayed ACK on loopback.
    ::setenv("TCP_NODELAY", "1", 1);
    // A peer that goes away mid-write is an error of that write, not the
    // end of the process.
    std::signal(SIGPIPE, SIG_IGN);
  });
}

}  // namespace

std::thread InitializeToolkitInBackground() {
  PrepareEnvironment();
  return std::thread([] { InitializeToolkit(); });
}

void InitializeToolkit() {
  PrepareEnvironment();
  static std::once_flag once;
  std::call_once(once, [] {
    // The remote address is logged and matched as the IP address itself.
    dcmDisableGethostbyaddr.set(OFTrue);
    DJDecoderRegistration::registerCodecs();
    DJEncoderRegistration::registerCodecs();
    DJLSDecoderRegistration::registerCodecs();
    DJLSEncoderRegistration::registerCodecs();
    DcmRLEDecoderRegistration::registerCodecs();
    DcmRLEEncoderRegistration::registerCodecs();
    (void)dcmDataDict.isDictionaryLoaded();
  });
}

}  // namespace vantor::dicom
