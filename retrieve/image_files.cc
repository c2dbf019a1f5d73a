#include "retrieve/image_files.h"

#include <strings.h>
#include <sys/stat.h>

#include "host/base/failure.h"
#include "host/base/paths.h"

namespace vantor {
namespace {

bool NullOrEmpty(const Value& v) { return v.IsNull() || v.ToText().empty(); }

std::string FileUnder(const Value& folder, const ImageFileColumns& row) {
  return folder.ToText() + "\\" + row.StudyDirectory1.ToText() + "\\" +
         row.ImageUID.ToText() + ".dcm";
}

}  // namespace

const char* const kImageFileColumnNames[6] = {"ArchivePath",     "ArchiveUNC",
                                              "MirrorPath",      "MirrorUNC",
                                              "StudyDirectory1", "ImageUID"};

ImageFileCandidates CandidatesFor(const ImageFileColumns& row) {
  ImageFileCandidates out;
  out.archive = FileUnder(
      NullOrEmpty(row.ArchivePath) ? row.ArchiveUNC : row.ArchivePath, row);
  if (!row.MirrorPath.IsNull()) {
    if (!row.MirrorPath.ToText().empty())
      out.mirror = FileUnder(row.MirrorPath, row);
  } else if (!NullOrEmpty(row.MirrorUNC)) {
    out.mirror = FileUnder(row.MirrorUNC, row);
  }
  return out;
}

bool RegularFileExists(const std::string& fs_path) {
  struct stat st;
  return ::stat(fs_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ResolveImageFile(const ImageFileCandidates& candidates,
                             const FileExists& exists) {
  std::string archive = ToFsPath(candidates.archive);
  if (exists(archive)) return archive;
  if (candidates.mirror) {
    std::string mirror = ToFsPath(*candidates.mirror);
    if (exists(mirror)) return mirror;
  }
  return archive;
}

std::vector<int> FileColumnIndex(const std::vector<std::string>& columns) {
  std::vector<int> index;
  for (const char* name : kImageFileColumnNames) {
    int found = -1;
    for (size_t i = 0; i < columns.size(); ++i) {
      if (::strcasecmp(columns[i].c_str(), name) == 0) {
        found = static_cast<int>(i);
        break;
      }
    }
    index.push_back(found);
  }
  return index;
}

ImageFileColumns FileColumnsOf(const std::vector<Value>& row,
                               const std::vector<int>& index) {
  auto at = [&](size_t k) -> const Value& {
    int i = k < index.size() ? index[k] : -1;
    if (i < 0 || static_cast<size_t>(i) >= row.size()) {
      throw Failure(3265,
                    "Item cannot be found in the collection corresponding to "
                    "the requested name or ordinal.");
    }
    return row[static_cast<size_t>(i)];
  };
  return ImageFileColumns{at(0), at(1), at(2), at(3), at(4), at(5)};
}

}  // namespace vantor
