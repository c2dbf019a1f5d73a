#include "host/base/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/test_env.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

std::string ReadBack(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TestProgramDir() + "/files_test";
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST(FileErrorTest, NumberFromTheErrnoAndTheSystemsText) {
  struct Case {
    int err;
    int32_t number;
  };
  const Case cases[] = {{ENOENT, kPathNotFound},
                        {ENOTDIR, kPathNotFound},
                        {EACCES, kPermissionDenied},
                        {EPERM, kPermissionDenied},
                        {ENOSPC, kPathFileAccessError},
                        {EFBIG, kPathFileAccessError}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    const Failure plain = FileError(c.err);
    EXPECT_EQ(plain.number(), c.number);
    EXPECT_STREQ(plain.what(), std::strerror(c.err));
    const Failure with_path = FileError(c.err, "/srv/in/a.dcm");
    EXPECT_EQ(with_path.number(), c.number);
    EXPECT_EQ(std::string(with_path.what()),
              std::string(std::strerror(c.err)) + " (/srv/in/a.dcm)");
  }
}

TEST(FileErrorTest, ThrowFileErrorThrowsTheSameFailure) {
  try {
    ThrowFileError(EACCES, "x");
    FAIL() << "no throw";
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), kPermissionDenied);
    EXPECT_EQ(std::string(f.what()), std::string(std::strerror(EACCES)) + " (x)");
  }
}

TEST_F(FilesTest, WriteWholeFileCreatesAndReplaces) {
  const std::string path = dir_ + "/a.txt";
  WriteWholeFile(path, "a longer first text\r\n");
  EXPECT_EQ(ReadBack(path), "a longer first text\r\n");
  WriteWholeFile(path, "short");
  EXPECT_EQ(ReadBack(path), "short");
  WriteWholeFile(path, "");
  EXPECT_EQ(ReadBack(path), "");
}

TEST_F(FilesTest, ReadWholeFileGivesEveryByteAndNothingForAMissingFile) {
  const std::string path = dir_ + "/b.bin";
  const std::string bytes("line\r\n\0\xff end", 12);
  WriteWholeFile(path, bytes);
  EXPECT_EQ(TryReadWholeFile(path), bytes);
  // An empty file is there: the callers tell it from a missing one.
  WriteWholeFile(path, "");
  EXPECT_EQ(TryReadWholeFile(path), "");
  EXPECT_EQ(TryReadWholeFile(dir_ + "/missing.bin"), std::nullopt);
  EXPECT_EQ(TryReadWholeFile(dir_ + "/missing/b.bin"), std::nullopt);
}

TEST_F(FilesTest, WriteWholeFileInAMissingFolderFailsWithPathNotFound) {
  try {
    WriteWholeFile(dir_ + "/missing/a.txt", "x");
    FAIL() << "no throw";
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), kPathNotFound);
  }
}

// In a child of the test: writes 1000 bytes under a limit of 100 and exits
// 0 when the failure is the one of the write past the limit.
[[noreturn]] void WriteUnderASizeLimit(const std::string& path) {
  ::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{100, 100};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  int code = 1;
  try {
    WriteWholeFile(path, std::string(1000, 'x'));
  } catch (const Failure& f) {
    code = f.number() == kPathFileAccessError &&
                   std::string(f.what()) == std::strerror(EFBIG) &&
                   fs::file_size(path) == 100
               ? 0
               : 2;
  }
  std::_Exit(code);
}

// A file size limit makes the first write short and the next one fail: the
// failure is the one of the failing write, not a success text.
TEST_F(FilesTest, AShortWriteIsFollowedUpAndItsFailureReported) {
  const std::string path = dir_ + "/limited.txt";
  EXPECT_EXIT(WriteUnderASizeLimit(path), ::testing::ExitedWithCode(0), "");
}

TEST(WriteAllTest, WritesEverythingThroughAPipeInPieces) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  // More than a pipe holds, so the writer waits for the reader many times.
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::string got;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(ends[0], buffer, sizeof buffer)) > 0)
      got.append(buffer, static_cast<size_t>(n));
  });
  EXPECT_EQ(WriteAll(ends[1], data.data(), data.size()), 0);
  ::close(ends[1]);
  reader.join();
  ::close(ends[0]);
  EXPECT_EQ(got, data);
}

TEST(WriteAllTest, ReportsTheErrnoOfTheFailedWrite) {
  const int read_only = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(read_only, 0);
  EXPECT_EQ(WriteAll(read_only, "x", 1), EBADF);
  ::close(read_only);
  EXPECT_EQ(WriteAll(-1, "x", 1), EBADF);
  EXPECT_EQ(WriteAll(-1, "", 0), 0);  // nothing to write, nothing tried
}

}  // namespace
}  // namespace vantor
