#include "host/base/paths.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <mutex>

#include "host/base/text.h"

namespace vantor {
namespace {

std::string& ProgramDirStorage() {
  static std::string dir;
  return dir;
}
std::once_flag program_dir_once;

std::string ExecutableDir() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void SetProgramDir(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::call_once(program_dir_once,
                 [&] { ProgramDirStorage() = std::move(dir); });
}

const std::string& ProgramDir() {
  std::call_once(program_dir_once,
                 [] { ProgramDirStorage() = ExecutableDir(); });
  return ProgramDirStorage();
}

std::string InProgramDir(std::string_view relative) {
  std::string out = ProgramDir();
  if (!relative.empty() && relative.front() != '/') out += '/';
  out += relative;
  return out;
}

std::string ToFsPath(std::string_view text) {
  std::string rest;
  std::string base;
  if (text.size() >= 2 && std::isalpha(static_cast<unsigned char>(text[0])) &&
      text[1] == ':') {
    // X:\rest or X:rest
    base = ProgramDir() + "/drives/" + LowerCase(text.substr(0, 1));
    rest = std::string(text.substr(2));
    if (!rest.empty() && rest.front() != '\\' && rest.front() != '/')
      rest.insert(rest.begin(), '/');
  } else if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\') {
    // \\host\share\rest: the host in lower case
    std::string_view unc = text.substr(2);
    size_t end = unc.find('\\');
    std::string host(end == std::string_view::npos ? unc : unc.substr(0, end));
    base = ProgramDir() + "/drives/unc/" + LowerCase(host);
    rest = end == std::string_view::npos ? "" : std::string(unc.substr(end));
  } else {
    rest = std::string(text);
  }
  for (char& c : rest)
    if (c == '\\') c = '/';
  return base + rest;
}

}  // namespace vantor
