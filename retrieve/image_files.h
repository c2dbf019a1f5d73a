// Where the file of an archived image lies: the archive folder of its study
// or, when the file is not there, the study's mirror.
#ifndef VANTOR_RETRIEVE_IMAGE_FILES_H_
#define VANTOR_RETRIEVE_IMAGE_FILES_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/base/value.h"

namespace vantor {

// The columns of an image row that name its file (VIEW_Images).
struct ImageFileColumns {
  Value ArchivePath;
  Value ArchiveUNC;
  Value MirrorPath;
  Value MirrorUNC;
  Value StudyDirectory1;
  Value ImageUID;
};

// The column names above, in that order.
extern const char* const kImageFileColumnNames[6];

// The two places an image file may lie, as the Windows texts the archive
// stores. The archive candidate is built on ArchivePath, or on ArchiveUNC
// when ArchivePath is null or empty. The mirror candidate is built on
// MirrorPath when it is not null (an empty MirrorPath means no mirror), else
// on MirrorUNC when that is not empty.
struct ImageFileCandidates {
  std::string archive;
  std::optional<std::string> mirror;
};
ImageFileCandidates CandidatesFor(const ImageFileColumns& row);

// Tells whether a file-system path names an existing file.
using FileExists = std::function<bool(const std::string& fs_path)>;

// Whether a regular file (or a link to one) exists at `fs_path`.
bool RegularFileExists(const std::string& fs_path);

// The file to send, as a file-system path: the archive candidate when it
// exists, else the mirror candidate when that exists, else the archive
// candidate all the same (the sending then meets the missing file).
std::string ResolveImageFile(const ImageFileCandidates& candidates,
                             const FileExists& exists);

// Reads the file columns from a result row; `index` holds the positions of
// kImageFileColumnNames in the row (-1: the row has no such column, which
// throws a Failure 3265).
ImageFileColumns FileColumnsOf(const std::vector<Value>& row,
                               const std::vector<int>& index);

// The positions of kImageFileColumnNames among `columns` (by name, without
// regard to case; -1 when missing).
std::vector<int> FileColumnIndex(const std::vector<std::string>& columns);

}  // namespace vantor

#endif  // VANTOR_RETRIEVE_IMAGE_FILES_H_
