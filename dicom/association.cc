#include "dicom/association.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host/base/config.h"
#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/log.h"
#include "host/base/numeric.h"
#include "host/base/paths.h"

namespace vantor::dicom {

void DCMServer_AssociationRequest2(const Config& config, const Log& log,
                                   const Connection& connection, bool& isOK) {
  GuardVoid(log, "AssociationRequest", [&] {
    const std::string port = std::to_string(config.DCM);
    const std::string calling = Trim(connection.calling_aet);
    if (log.any_debug()) {
      std::vector<std::string> fields = {
          calling, isOK ? "True" : "False", connection.remote_ip,
          std::to_string(connection.number), connection.called_aet};
      // An encrypted connection says so in a further field.
      if (!connection.security.empty())
        fields.push_back("TLS " + connection.security);
      AppendEventLine(log.PortFile("Calling"), fields);
    }
    WriteWholeFile(InProgramDir("Associations/" + port + "/" +
                                std::to_string(connection.number)),
                   calling + "/" + Trim(connection.remote_ip) + "\r\n");
  });
}

}  // namespace vantor::dicom
