// The program directory shared by every test of the test binary: one
// TempFolder, created on first use and set as vantor::ProgramDir(), with its
// Logs/ folder; removed when the test binary ends.
#ifndef VANTOR_TESTS_SUPPORT_TEST_ENV_H_
#define VANTOR_TESTS_SUPPORT_TEST_ENV_H_

#include <string>

namespace vantor {

// The program directory of the test binary (no trailing "/").
const std::string& TestProgramDir();

// Writes `text` as a fresh registry file in the program directory and points
// VANTOR_REGISTRY at it. Returns the file's path.
std::string UseRegistryText(const std::string& text);

// The whole content of a file, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace vantor

#endif  // VANTOR_TESTS_SUPPORT_TEST_ENV_H_
