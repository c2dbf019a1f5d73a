// A storescp move destination on a free loopback port, and a small folder
// helper the end-to-end tests share.
#ifndef VANTOR_TESTS_SUPPORT_STORE_DESTINATION_H_
#define VANTOR_TESTS_SUPPORT_STORE_DESTINATION_H_

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/processes.h"
#include "tests/support/temp_folder.h"

namespace vantor {

// The names of the regular files in `dir`, sorted; none when it is missing.
std::vector<std::string> FilesIn(const std::string& dir);

// Waits (bounded) until no image waits in the incoming folder `incoming`
// (ending in "/") or among the importer's claims in its importing/.
bool WaitUntilImported(const std::string& incoming,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));

// DCMTK's storescp with `aet`, writing bit-preserving into a folder of its
// own; stopped and removed with the object.
class StoreDestination {
 public:
  explicit StoreDestination(const std::string& aet);
  ~StoreDestination();
  StoreDestination(const StoreDestination&) = delete;
  StoreDestination& operator=(const StoreDestination&) = delete;

  int port() const { return port_; }
  std::string received() const { return folder_.Path("in"); }
  bool listening() const;

  // Waits (up to 10 s) until `count` files have arrived.
  bool WaitForFiles(size_t count) const;

 private:
  TempFolder folder_{"storescp"};
  int port_;
  std::optional<Background> peer_;
};

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_STORE_DESTINATION_H_
