// The importer's file work. An image goes from the incoming folder into the
// importer's own folder "importing/" (its claim: reception may store the
// same UID again meanwhile without either file being lost), from there into
// the archive (a hard link on the same file system, otherwise a flushed
// copy, under a temporary name renamed over the final one), and leaves
// "importing/" only once its rows are committed. What the importer cannot
// take goes to "failed/" with its side file; moved back into the incoming
// folder, it is taken again.
//
// Every function throws a Failure (the errno's number and text) when a file
// operation fails, unless it says otherwise.
#ifndef VANTOR_IMPORT_ARCHIVE_FILES_H_
#define VANTOR_IMPORT_ARCHIVE_FILES_H_

#include <string>
#include <vector>

namespace vantor {

// The importer's folders in the incoming folder `temp` (a file-system path
// ending in "/"), each ending in "/".
std::string ImportingFolder(const std::string& temp);
std::string FailedFolder(const std::string& temp);

// The UIDs of the images waiting in `folder` (ending in "/"): the stems of
// its "<uid>.dcm" files, and of "<uid>.dcm.ren" files too when `renamed`.
// Temporary and other names are not listed. A missing folder lists nothing.
std::vector<std::string> ImagesIn(const std::string& folder, bool renamed);

// Takes the received image `uid` ("<uid>.dcm", else "<uid>.dcm.ren", and
// its "<uid>.cae") from `temp` into the importing folder as "<uid>.dcm" and
// "<uid>.cae". False when there is no such image in `temp`, or an image of
// that UID is still being imported (it is taken on a later round).
bool ClaimReceived(const std::string& temp, const std::string& uid);

// Whether the image `uid` is claimed: it lies in the importing folder of
// `temp`. Never throws.
bool IsClaimed(const std::string& temp, const std::string& uid) noexcept;

// Puts the file `source` at `target` (both file-system paths), replacing
// what is there, and creates the missing folders of `target` (each flushed
// into its parent). `target` appears whole or not at all. Returns the
// folder of `target`, whose entries the caller flushes (FlushFolder) before
// it counts on the file.
std::string PlaceFile(const std::string& source, const std::string& target);

// Flushes the entries of `folder` to the disk.
void FlushFolder(const std::string& folder);

// Moves the claimed image `uid` and its side file from the importing folder
// to the failed folder of `temp` (replacing an earlier failure of that
// UID). Returns the image's path there.
std::string MoveClaimToFailed(const std::string& temp, const std::string& uid);

// Removes the claimed image `uid` and its side file from the importing
// folder. Never throws (a file left over is imported again, harmlessly).
void ReleaseClaim(const std::string& temp, const std::string& uid) noexcept;

// Removes `path`; never throws. False when a file was there and stays.
bool RemoveFileQuietly(const std::string& path) noexcept;

}  // namespace vantor

#endif  // VANTOR_IMPORT_ARCHIVE_FILES_H_
