// Takes claimed images (see archive_files.h) into the archive: each file to
// its study's folder, then the rows of its patient, study, series and image
// in one transaction for the batch. The rows are committed only after the
// files are on the disk, and an image leaves the importing folder only
// after its rows are committed; a kill at any moment leaves every image
// either still claimed (taken again at the next start) or in the archive
// with its rows.
#ifndef VANTOR_IMPORT_IMPORTER_H_
#define VANTOR_IMPORT_IMPORTER_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/base/database.h"
#include "host/base/log.h"
#include "import/image_record.h"
#include "import/import_statements.h"

namespace vantor {

// Where a study's files lie: its archive row and folder under it.
struct StudyLocation {
  Value archive_key;
  Value archive_path;
  Value archive_unc;
  std::string study_directory;
};

class Importer {
 public:
  // `db` is open on the archive; `statements` are its dialect's. Both must
  // outlive the importer.
  Importer(Database& db, const ImportStatements& statements);
  Importer(const Importer&) = delete;
  Importer& operator=(const Importer&) = delete;

  // Runs the dialect's set-up statements (once per connection); their
  // lines, and those of the batches after, go to `log`.
  void Setup(const Log& log);

  // What became of a batch.
  struct Result {
    int imported = 0;
    int failed = 0;                     // moved to the failed folder
    int deferred = 0;                   // still claimed, taken again later
    bool database_unavailable = false;  // the connection must be reopened
  };

  // Imports the images `uids` claimed in the importing folder of `temp` (a
  // file-system path ending in "/"). New studies go to the archive row whose
  // ArchivePath is `archive_text` (made when missing), or to the first row
  // of tblArchive when it is empty. Never throws: every failure is logged.
  // The batch's lines go to `log` (the settings snapshot of its round).
  Result ImportClaimed(const Log& log, const std::string& temp,
                       const std::string& archive_text,
                       const std::vector<std::string>& uids) noexcept;

 private:
  struct Prepared;
  struct BatchKeys;
  void Run(std::string_view block, const SqlValues& values);
  ResultSet QueryOne(std::string_view block, const SqlValues& values);
  std::optional<StudyLocation> FindStudyLocation(const std::string& study_uid);
  StudyLocation NewStudyLocation(const std::string& archive_text,
                                 const ImageRecord& record);
  void Prepare(const std::string& temp, const std::string& archive_text,
               Prepared& image);
  void WriteRows(const Prepared& image, BatchKeys& keys);
  bool Commit(std::vector<Prepared*>& batch);
  void Finish(const std::string& temp, Prepared& image, Result& result);
  void Fail(const std::string& temp, Prepared& image, int32_t number,
            const std::string& why, Result& result);
  bool DatabaseAnswers() noexcept;

  // The steps of ImportClaimed.
  struct Batch;
  // Prepares the images `uids` and places their files in the archive, until
  // the database stops answering: that image and the rest are deferred.
  void PlaceAll(const std::string& temp, const std::string& archive_text,
                const std::vector<std::string>& uids, Batch& batch,
                Result& result);
  // False when `image` was not prepared: it failed, or the database does
  // not answer (result.database_unavailable).
  bool PrepareOne(const std::string& temp, const std::string& archive_text,
                  Prepared& image, Result& result);
  // Places the file of `image`; one that cannot be placed is deferred, and
  // fails the third time running.
  void PlaceOne(const std::string& temp, Prepared& image, Batch& batch,
                Result& result);
  // Flushes the folders of the placed files; false (all of them deferred)
  // when that fails.
  bool FlushPlaced(const Batch& batch, Result& result);
  // After a failed commit of the whole batch: a transaction per image.
  void CommitOneByOne(const std::string& temp,
                      const std::vector<Prepared*>& placed, Result& result);
  static void Unplace(const Prepared& image);

  Database& db_;
  // The log of the batch (or set-up) under way.
  Log log_;
  const ImportStatements& statements_;
  // Failed attempts to place an image's file, by UID: a file that cannot
  // be placed three times running goes to the failed folder.
  std::map<std::string, int> place_failures_;
};

}  // namespace vantor

#endif  // VANTOR_IMPORT_IMPORTER_H_
