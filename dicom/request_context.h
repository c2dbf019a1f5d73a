// What a request handler works with, made once per C-FIND, C-GET or C-MOVE
// by the dispatcher: the settings snapshot taken when the request arrived
// and its log value, the request's own database connection, the caller, its
// node's flags, and whether the requester still waits.
#ifndef VANTOR_DICOM_REQUEST_CONTEXT_H_
#define VANTOR_DICOM_REQUEST_CONTEXT_H_

#include <functional>
#include <memory>
#include <string>

#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/log.h"

namespace vantor::dicom {

struct RequestContext {
  // Never null; the same snapshot for the whole request, however the
  // configuration pass changes the settings meanwhile.
  std::shared_ptr<const Config> config;
  // The logs of that snapshot: every line of the request goes here.
  Log log{};
  Database& db;
  std::string calling_aet{};  // trimmed
  std::string remote_ip{};
  // The node's flags from the node table.
  bool bSiemensBug = false;
  bool bInternalID = false;
  // True once the requester no longer waits (it cancelled or went away);
  // may be empty.
  std::function<bool()> cancelled{};

  const Config& settings() const { return *config; }
  bool Cancelled() const { return cancelled && cancelled(); }
};

}  // namespace vantor::dicom

#endif  // VANTOR_DICOM_REQUEST_CONTEXT_H_
