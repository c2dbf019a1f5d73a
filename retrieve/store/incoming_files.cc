#include "retrieve/store/incoming_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/text.h"
#include "retrieve/store/group_commit.h"

namespace vantor {
namespace {

constexpr char kTemporaryEnd[] = ".part";

std::string UniqueSuffix() {
  static std::atomic<uint64_t> counter{0};
  return std::to_string(::getpid()) + "-" + std::to_string(++counter) + "@" +
         TemporaryNameHost();
}

// Digits only, and few enough to be read as a number.
bool IsCount(std::string_view text) {
  return text.size() <= 18 && AllDigits(text);
}

}  // namespace

bool IsFileNameUid(std::string_view uid) {
  if (uid.empty() || uid.size() > 64) return false;
  bool after_digit = false;
  for (char c : uid) {
    if (c >= '0' && c <= '9') {
      after_digit = true;
    } else if (c == '.' && after_digit) {
      after_digit = false;
    } else {
      return false;
    }
  }
  return after_digit;
}

const std::string& TemporaryNameHost() {
  static const std::string host = [] {
    char buffer[256] = {};
    std::string name = "localhost";
    if (::gethostname(buffer, sizeof buffer - 1) == 0 && buffer[0] != '\0')
      name = buffer;
    if (name.size() > 64) name.resize(64);
    for (char& c : name) {
      bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                   (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
      if (!plain) c = '_';
    }
    return name;
  }();
  return host;
}

std::optional<TemporaryName> ParseTemporaryName(const std::string& file_name) {
  std::string_view name = file_name;
  const std::string_view end = kTemporaryEnd;
  if (name.size() < 2 + end.size() || name.front() != '.' ||
      name.substr(name.size() - end.size()) != end)
    return std::nullopt;
  name = name.substr(1, name.size() - 1 - end.size());
  // <uid>.<pid>-<n>@<host>
  size_t at = name.find('@');
  if (at == std::string_view::npos || at + 1 == name.size())
    return std::nullopt;
  TemporaryName parsed;
  parsed.host = std::string(name.substr(at + 1));
  std::string_view head = name.substr(0, at);
  size_t dot = head.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::string_view writer = head.substr(dot + 1);
  size_t dash = writer.find('-');
  if (dash == std::string_view::npos || !IsCount(writer.substr(0, dash)) ||
      !IsCount(writer.substr(dash + 1)))
    return std::nullopt;
  std::string_view stem = head.substr(0, dot);
  if (!IsFileNameUid(stem)) return std::nullopt;
  parsed.stem = std::string(stem);
  long long pid = std::stoll(std::string(writer.substr(0, dash)));
  if (pid <= 0 || pid > 0x3fffffff) return std::nullopt;
  parsed.pid = static_cast<pid_t>(pid);
  return parsed;
}

bool IsOtherLiveProcess(pid_t pid) {
  if (pid == ::getpid()) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

std::vector<std::string> RemoveStaleTemporaryFiles(
    const std::string& folder,
    const std::function<bool(pid_t)>& writer_running) {
  std::vector<std::string> removed;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    if (errno == ENOENT) return removed;  // nothing was ever received there
    ThrowFileError(errno);
  }
  const int dir_fd = ::dirfd(dir);
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    std::optional<TemporaryName> parsed = ParseTemporaryName(name);
    if (!parsed || parsed->host != TemporaryNameHost()) continue;
    struct stat st {};
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    if (writer_running(parsed->pid)) continue;
    if (::unlinkat(dir_fd, name.c_str(), 0) == 0) removed.push_back(name);
  }
  ::closedir(dir);
  return removed;
}

std::string TemporaryPath(const std::string& folder, const std::string& stem) {
  return folder + "." + stem + "." + UniqueSuffix() + kTemporaryEnd;
}

PendingFile::PendingFile(const std::string& folder, const std::string& stem)
    : path_(TemporaryPath(folder, stem)) {}

PendingFile::~PendingFile() {
  if (!committed_) ::unlink(path_.c_str());
}

void PendingFile::CommitAs(const std::string& final_path) {
  if (::rename(path_.c_str(), final_path.c_str()) != 0) ThrowFileError(errno);
  committed_ = true;
}

void StoreIncomingFiles(
    const std::string& folder, const std::string& stem,
    const std::string& calling_aet, const std::string& image_name,
    const std::function<void(const std::string&)>& write_image) {
  StoreIncomingFiles(GroupCommitFor(folder), folder, stem, calling_aet,
                     image_name, write_image);
}

void StoreIncomingFiles(
    GroupCommit& commit, const std::string& folder, const std::string& stem,
    const std::string& calling_aet, const std::string& image_name,
    const std::function<void(const std::string&)>& write_image) {
  PendingFile side(folder, stem);
  PendingFile image(folder, stem);
  WriteWholeFile(side.path(), calling_aet + "\r\n");
  write_image(image.path());
  IncomingImageFiles files;
  files.side = &side;
  files.side_final = folder + stem + ".cae";
  files.image = &image;
  files.image_final = folder + image_name;
  commit.Commit(files);
}

}  // namespace vantor
