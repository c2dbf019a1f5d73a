#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "host/base/paths.h"

namespace vantor {
namespace {

// Owns the directory: created before the first test, removed after the last
// one, but only by the process that created it (a forked child must not).
class ProgramDirEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { TestProgramDir(); }
  void TearDown() override {
    std::error_code ec;
    if (::getpid() == owner_pid())
      std::filesystem::remove_all(TestProgramDir(), ec);
  }
  static pid_t& owner_pid() {
    static pid_t pid = 0;
    return pid;
  }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new ProgramDirEnvironment);

}  // namespace

const std::string& TestProgramDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/vantor-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
      throw std::runtime_error("cannot create the test program directory");
    std::string path = pattern;
    std::filesystem::create_directories(path + "/Logs");
    ProgramDirEnvironment::owner_pid() = ::getpid();
    SetProgramDir(path);
    return path;
  }();
  return dir;
}

std::string UseRegistryText(const std::string& text) {
  static int counter = 0;
  std::string path =
      TestProgramDir() + "/registry-" + std::to_string(++counter) + ".reg";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  ::setenv("VANTOR_REGISTRY", path.c_str(), 1);
  return path;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  // A read that fails midway (a /proc file of a process that has just
  // ended) throws out of the stream buffer.
  try {
    return std::string((std::istreambuf_iterator<char>(in)),
                       std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    return "";
  }
}

}  // namespace vantor
