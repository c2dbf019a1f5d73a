// Who may call the web port: fail-closed. A caller is let in by its address
// when that address is a node of tblDicomAETs (reads only for a node that is
// not store-only), or by HTTP Basic credentials from the instance's
// password file, presented over HTTPS or from this machine. Everything else
// is turned away with 401 or 403.
#ifndef VANTOR_WEB_ADMISSION_H_
#define VANTOR_WEB_ADMISSION_H_

#include <map>
#include <string>

#include "host/base/config.h"
#include "host/base/database.h"
#include "host/base/log.h"
#include "host/base/thread_annotations.h"
#include "web/http/server.h"

namespace vantor::web {

struct Caller {
  std::string aet;   // the node's AE title; "" for a user without one
  std::string user;  // the Basic user; "" when let in by address
  std::string address;
  bool may_read = false;
  bool may_store = false;
  bool bSiemensBug = false;
  bool bInternalID = false;

  // "AET/address" or "user@address", for the logs.
  std::string Name() const;
};

struct Admission {
  int status = 0;  // 0: let in; otherwise 401, 403 or 500
  std::string reason;
  Caller caller;
};

// True for 127.0.0.0/8 and ::1.
bool IsLoopback(const std::string& address);

class Gate {
 public:
  // Decides on `db` (open); the statements go to `log`'s debug log. The
  // password file named by HTTPCredentials is read on every call that
  // presents credentials, so that a changed file counts at once.
  Admission Admit(const HttpRequest& request, const Config& config,
                  Database& db, const Log& log);

 private:
  // The password check costs milliseconds by design: a header already
  // verified against the same hash is not checked again.
  bool Verified(const std::string& header, const std::string& hash);
  void Remember(const std::string& header, const std::string& hash);

  Mutex mu_;
  std::map<std::string, std::string> verified_ GUARDED_BY(mu_);
};

}  // namespace vantor::web

#endif  // VANTOR_WEB_ADMISSION_H_
