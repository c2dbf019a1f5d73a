#include "host/base/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vantor {
namespace {

// Every file, folder and program operation numbers its errno the same way:
// a caller reading the error log sees 70 for refused access wherever it
// happened.
TEST(FileErrorNumberTest, OneTableForEveryFileOperation) {
  struct Row {
    int err;
    bool names_a_file;
    int32_t number;
    const char* text;
  };
  const Row rows[] = {
      {ENOENT, false, 76, "Path not found"},
      {ENOTDIR, false, 76, "Path not found"},
      {ENOENT, true, 53, "File not found"},
      {ENOTDIR, true, 76, "Path not found"},
      {EACCES, false, 70, "Permission denied"},
      {EPERM, false, 70, "Permission denied"},
      {EACCES, true, 70, "Permission denied"},
      {ENOSPC, false, 75, "Path/File access error"},
      {EROFS, false, 75, "Path/File access error"},
      {EIO, false, 75, "Path/File access error"},
      {EMFILE, true, 75, "Path/File access error"},
      {0, false, 75, "Path/File access error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(std::strerror(row.err)) +
                 (row.names_a_file ? " (file)" : " (path)"));
    const int32_t number = FileErrorNumber(row.err, row.names_a_file);
    EXPECT_EQ(number, row.number);
    EXPECT_STREQ(FileErrorText(number), row.text);
  }
}

}  // namespace
}  // namespace vantor
