// Process-wide set-up of DCMTK for the service.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmimgle/dcmimage.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/dcmjpls/djencode.h>
#include <dcmtk/dcmnet/dul.h>
// Colour images for dcmimage (after dcmimage.h), which the JPEG encoders
// and the rendering use: without it a colour image cannot be compressed.
#include <dcmtk/dcmimage/diregist.h>

#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>

#include "dicom/toolkit/toolkit.h"

namespace vantor::dicom {

namespace {

// The dictionaries left for later by DeferPrivateDictionary, separated as
// in DCMDICTPATH; empty when all were read at once. Process-wide like the
// dictionary itself; written once, before any other thread exists.
std::string& DeferredDictionaries() {
  static std::string deferred;
  return deferred;
}

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

void DeferPrivateDictionary() {
  if (std::getenv(DCM_DICT_ENVIRONMENT_VARIABLE) != nullptr) return;
  const std::string path = DCM_DICT_DEFAULT_PATH;
  const size_t split = path.find(ENVIRONMENT_PATH_SEPARATOR);
  if (split == std::string::npos) return;
  // The first one is the standard dictionary (dicom.dic).
  ::setenv(DCM_DICT_ENVIRONMENT_VARIABLE, path.substr(0, split).c_str(), 1);
  DeferredDictionaries() = path.substr(split + 1);
}

void EnsureFullDictionary() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string rest = DeferredDictionaries();
    if (rest.empty()) return;
    DcmDataDictionary& dictionary = dcmDataDict.wrlock();
    while (!rest.empty()) {
      const size_t split = rest.find(ENVIRONMENT_PATH_SEPARATOR);
      const std::string file = rest.substr(0, split);
      rest = split == std::string::npos ? "" : rest.substr(split + 1);
      if (!file.empty()) dictionary.loadDictionary(file.c_str());
    }
    dcmDataDict.wrunlock();
  });
}

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
    // A lossy JPEG encoding keeps the SOP Instance UID: a conversion for
    // a peer or a web client sends the same instance in another encoding.
    DJEncoderRegistration::registerCodecs(ECC_lossyYCbCr, EUC_never);
    DJLSDecoderRegistration::registerCodecs();
    // The raw encoder, as dcmcjpls uses by default: DCMTK 3.6.7's cooked
    // one writes broken JPEG-LS streams for some 16-bit images.
    DJLSEncoderRegistration::registerCodecs(0, 0, 0, 0,
                                            /*preferCookedEncoding=*/OFFalse);
    DcmRLEDecoderRegistration::registerCodecs();
    DcmRLEEncoderRegistration::registerCodecs();
    (void)dcmDataDict.isDictionaryLoaded();
  });
}

}  // namespace vantor::dicom
