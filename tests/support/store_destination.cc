#include "tests/support/store_destination.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/service_process.h"

namespace vantor {

namespace fs = std::filesystem;

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.is_regular_file()) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

bool WaitUntilImported(const std::string& incoming,
                       std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    bool waiting = false;
    for (const std::string& dir : {incoming, incoming + "importing/"})
      for (const std::string& name : FilesIn(dir))
        if (name.size() > 4 && name.substr(name.size() - 4) == ".dcm")
          waiting = true;
    if (!waiting) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

StoreDestination::StoreDestination(const std::string& aet)
    : port_(FreeLoopbackPort()) {
  const std::string port = std::to_string(port_);
  const std::string out = received();
  fs::create_directories(out);
  peer_.emplace(std::vector<std::string>{"/usr/bin/storescp", "-aet", aet,
                                         "-od", out, "--bit-preserving",
                                         port});
  for (int i = 0; i < 200 && !IsListening(port_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
}

StoreDestination::~StoreDestination() { peer_.reset(); }

bool StoreDestination::listening() const { return IsListening(port_); }

bool StoreDestination::WaitForFiles(size_t count) const {
  for (int i = 0; i < 400; ++i) {
    if (FilesIn(received()).size() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

}  // namespace vantor
