// A storescp move destination on a free loopback port, and small folder
// helpers the end-to-end tests share.
#ifndef VANTOR_TESTS_SUPPORT_STORE_DESTINATION_H_
#define VANTOR_TESTS_SUPPORT_STORE_DESTINATION_H_

#include <optional>
#include <string>
#include <vector>

#include "tests/support/processes.h"

namespace vantor {

// A fresh folder "/tmp/vantor-<name>-XXXXXX"; the caller removes it.
std::string TempDir(const std::string& name);

// The names of the regular files in `dir`, sorted; none when it is missing.
std::vector<std::string> FilesIn(const std::string& dir);

// DCMTK's storescp with `aet`, writing bit-preserving into a folder of its
// own; stopped and removed with the object.
class StoreDestination {
 public:
  explicit StoreDestination(const std::string& aet);
  ~StoreDestination();
  StoreDestination(const StoreDestination&) = delete;
  StoreDestination& operator=(const StoreDestination&) = delete;

  int port() const { return port_; }
  std::string received() const { return dir_ + "/in"; }
  bool listening() const;

  // Waits (up to 10 s) until `count` files have arrived.
  bool WaitForFiles(size_t count) const;

 private:
  std::string dir_;
  int port_;
  std::optional<Background> peer_;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_STORE_DESTINATION_H_
