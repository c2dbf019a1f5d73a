#include "host/dcm_log.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "dicom/toolkit/toolkit.h"
#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/paths.h"

namespace vantor {

using dicom::ProtocolLog;

void DcmLogStart() {
  GuardVoid("DcmLogStart", [] {
    auto config = Settings();
    ProtocolLog::Start(config->Dicomloglength, config->Dicomloglevel);
  });
}

void DcmLogWrite() {
  GuardVoid("DcmLogWrite", [] {
    int32_t count = ProtocolLog::Count();
    if (count <= 0) return;
    std::string text = ProtocolLog::Text(count);
    text += "\r\n";
    std::string file = "DicomVantor" + std::to_string(Settings()->DCM) + ".log";
    if (!AppendLogFile(file, text)) {
      // The entries stay with the toolkit until a write succeeds.
      struct stat st;
      if (::stat(InProgramDir("Logs").c_str(), &st) != 0)
        throw Failure(kPathNotFound, "Path not found");
      throw Failure(kPathFileAccessError, "Path/File access error");
    }
    ProtocolLog::Clear(count);
  });
}

void DcmLogStop() {
  GuardVoid("DcmLogStop", [] {
    DebugLogWrite("Stopping Dicomlogging", "DcmLogStop");
    DcmLogWrite();
    ProtocolLog::Stop();
    DebugLogWrite("Dicomlogging stopped", "DcmLogStop");
  });
}

bool DcmLogStatus() {
  return Guard("DcmLogStatus", false, [] { return ProtocolLog::Running(); });
}

}  // namespace vantor
