#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "host/base/paths.h"
#include "tests/support/temp_folder.h"

namespace vantor {
namespace {

// The directory's folder, made on first use.
TempFolder*& ProgramFolder() {
  static TempFolder* folder = nullptr;
  return folder;
}

// Owns the directory: created before the first test, removed after the last
// one (by the process that created it only: a forked child leaves it).
class ProgramDirEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { TestProgramDir(); }
  void TearDown() override {
    delete ProgramFolder();
    ProgramFolder() = nullptr;
  }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new ProgramDirEnvironment);

}  // namespace

const std::string& TestProgramDir() {
  static const std::string dir = [] {
    ProgramFolder() = new TempFolder("test");
    std::string path = ProgramFolder()->path();
    std::filesystem::create_directories(path + "/Logs");
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
