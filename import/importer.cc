#include "import/importer.h"

#include <memory>
#include <set>

#include "dicom/toolkit/part10_file.h"
#include "host/base/failure.h"
#include "host/base/log.h"
#include "host/base/paths.h"
#include "import/archive_files.h"
#include "retrieve/image_files.h"

namespace vantor {
namespace {

constexpr char kProcedure[] = "ImportImage";
constexpr int kMaxPlaceAttempts = 3;
constexpr char kImportArchiveName[] = "Import";

// The study of an image was made meanwhile, by another importer, in another
// place than its file was put.
class LocationMoved : public Failure {
 public:
  LocationMoved()
      : Failure(kInvalidProcedureCall,
                "The study was filed elsewhere meanwhile") {}
};

std::string ArchiveFile(const Value& archive_path, const Value& archive_unc,
                        const Value& directory, const std::string& uid) {
  ImageFileColumns c{archive_path, archive_unc, Value(),
                     Value(),      directory,   Value(uid)};
  return ToFsPath(CandidatesFor(c).archive);
}

std::string ArchiveFile(const StudyLocation& location, const std::string& uid) {
  return ArchiveFile(location.archive_path, location.archive_unc,
                     Value(location.study_directory), uid);
}

bool Empty(const Value& v) { return v.IsNull() || v.ToText().empty(); }

// A key as a whole number, whichever way the driver hands it over.
Value Key(const Value& v) {
  if (v.IsInteger()) return v;
  if (v.IsDecimal()) return Value(static_cast<int64_t>(v.decimal()));
  return Value(static_cast<int64_t>(std::stoll(v.ToText())));
}

}  // namespace

struct Importer::Prepared {
  std::string uid;  // as claimed
  ImageRecord record;
  StudyLocation location;
  std::string target;  // the file in the archive
  // The image's file before, when it had a row already.
  std::optional<std::string> old_file;
};

// The keys a transaction has found or made so far: the images of one batch
// mostly share their patient, study and series.
struct Importer::BatchKeys {
  std::map<std::string, Value> patients;
  std::map<std::string, std::pair<Value, std::string>> studies;  // key, place
  std::map<std::string, Value> series;
};

Importer::Importer(Database& db, const ImportStatements& statements)
    : db_(db), statements_(statements) {}

void Importer::Run(std::string_view block, const SqlValues& values) {
  QueryOne(block, values);
}

ResultSet Importer::QueryOne(std::string_view block, const SqlValues& values) {
  ResultSet last;
  for (const std::string& sql : statements_.Render(block, values)) {
    log_.Debug(sql, kProcedure);
    last = db_.Query(sql);
  }
  return last;
}

void Importer::Setup(const Log& log) {
  log_ = log;
  Run("Setup", {});
}

std::optional<StudyLocation> Importer::FindStudyLocation(
    const std::string& study_uid) {
  ResultSet rs = QueryOne("FindStudy", {{"StudyUID", Value(study_uid)}});
  if (rs.empty()) return std::nullopt;
  return StudyLocation{rs.Get(0, "FKeyArchiveID"), rs.Get(0, "ArchivePath"),
                       rs.Get(0, "ArchiveUNC"),
                       rs.Get(0, "StudyDirectory1").ToText()};
}

StudyLocation Importer::NewStudyLocation(const std::string& archive_text,
                                         const ImageRecord& record) {
  ResultSet rs;
  if (!archive_text.empty()) {
    const SqlValues values = {{"ArchivePath", Value(archive_text)},
                              {"ArchiveName", Value(kImportArchiveName)}};
    rs = QueryOne("FindArchive", values);
    if (rs.empty()) {
      Run("InsertArchive", values);
      rs = QueryOne("FindArchive", values);
    }
  } else {
    rs = QueryOne("DefaultArchive", {});
  }
  if (rs.empty())
    throw Failure(kPathNotFound,
                  "No archive location: tblArchive has no row and "
                  "ImportArchive is not set");
  StudyLocation location{rs.Get(0, "ArchiveID"), rs.Get(0, "ArchivePath"),
                         rs.Get(0, "ArchiveUNC"), record.study_directory};
  if (Empty(location.archive_path) && Empty(location.archive_unc))
    throw Failure(kPathNotFound, "The archive row " +
                                     location.archive_key.ToText() +
                                     " has no ArchivePath");
  return location;
}

void Importer::Prepare(const std::string& temp, const std::string& archive_text,
                       Prepared& image) {
  const std::string claimed = ImportingFolder(temp) + image.uid + ".dcm";
  image.record = RecordOf(dicom::ReadPart10Attributes(claimed));
  const std::string& uid = image.record.sop_uid;
  std::optional<StudyLocation> found =
      FindStudyLocation(image.record.study_uid);
  image.location =
      found ? *found : NewStudyLocation(archive_text, image.record);
  ResultSet old = QueryOne("FindImage", {{"ImageUID", Value(uid)}});
  if (!old.empty())
    image.old_file =
        ArchiveFile(old.Get(0, "ArchivePath"), old.Get(0, "ArchiveUNC"),
                    old.Get(0, "StudyDirectory1"), uid);
  image.target = ArchiveFile(image.location, uid);
}

void Importer::WriteRows(const Prepared& image, BatchKeys& keys) {
  SqlValues v = image.record.values;
  const std::string place = image.location.archive_key.ToText() + "|" +
                            image.location.study_directory;
  ResultSet rs;
  auto patient = keys.patients.find(image.record.patient_id);
  if (patient == keys.patients.end()) {
    Run("LockPatient", v);
    rs = QueryOne("FindPatient", v);
    if (rs.empty()) {
      Run("InsertPatient", v);
      rs = QueryOne("FindPatient", v);
    }
    patient =
        keys.patients.emplace(image.record.patient_id, Key(rs.rows.at(0).at(0)))
            .first;
  }
  v["PatientKey"] = patient->second;
  auto study = keys.studies.find(image.record.study_uid);
  if (study == keys.studies.end()) {
    if (statements_.Has("LockStudy")) Run("LockStudy", v);
    rs = QueryOne("FindStudy", v);
    if (rs.empty()) {
      v["ArchiveKey"] = image.location.archive_key;
      v["StudyDirectory"] = Value(image.location.study_directory);
      Run("InsertStudy", v);
      rs = QueryOne("FindStudy", v);
    }
    const std::string found = rs.Get(0, "FKeyArchiveID").ToText() + "|" +
                              rs.Get(0, "StudyDirectory1").ToText();
    study = keys.studies
                .emplace(image.record.study_uid,
                         std::make_pair(Key(rs.Get(0, "StudyID")), found))
                .first;
  }
  if (study->second.second != place) throw LocationMoved();
  v["StudyKey"] = study->second.first;
  auto series = keys.series.find(image.record.series_uid);
  if (series != keys.series.end()) {
    v["SeriesKey"] = series->second;
  } else {
    rs = QueryOne("FindSeries", v);
    if (rs.empty()) {
      Run("InsertSeries", v);
      rs = QueryOne("FindSeries", v);
    }
    v["SeriesKey"] = Key(rs.rows.at(0).at(0));
    keys.series.emplace(image.record.series_uid, v["SeriesKey"]);
  }
  rs = QueryOne("FindImage", v);
  if (rs.empty()) {
    Run("InsertImage", v);
  } else {
    v["ImageKey"] = Key(rs.Get(0, "ImageID"));
    Run("UpdateImage", v);
  }
}

bool Importer::Commit(std::vector<Prepared*>& batch) {
  // A deadlock, a serialization failure or a lost connection ends the whole
  // transaction at the server: it runs again as a whole. Running it twice
  // is harmless even when a lost COMMIT did commit, since every row is found
  // before it is inserted.
  RunTransaction(db_, [&] {
    Run("Begin", {});
    try {
      BatchKeys keys;
      for (Prepared* image : batch) WriteRows(*image, keys);
      Run("Commit", {});
    } catch (...) {
      GuardVoid(log_, kProcedure, [&] { Run("Rollback", {}); });
      throw;
    }
  });
  return true;
}

bool Importer::DatabaseAnswers() noexcept {
  return Guard(log_, kProcedure, false, [&] {
    QueryOne("DefaultArchive", {});
    return true;
  });
}

void Importer::Finish(const std::string& temp, Prepared& image,
                      Result& result) {
  ReleaseClaim(temp, image.uid);
  place_failures_.erase(image.uid);
  // The row now names the new place: the file at the old one goes.
  if (image.old_file && *image.old_file != image.target)
    RemoveFileQuietly(*image.old_file);
  log_.Debug("Image " + image.record.sop_uid + " imported into " + image.target,
             kProcedure);
  ++result.imported;
}

void Importer::Fail(const std::string& temp, Prepared& image, int32_t number,
                    const std::string& why, Result& result) {
  place_failures_.erase(image.uid);
  std::string kept = ImportingFolder(temp) + image.uid + ".dcm";
  GuardVoid(log_, kProcedure,
            [&] { kept = MoveClaimToFailed(temp, image.uid); });
  log_.Error(
      number,
      "Image " + image.uid + " not imported (" + why + "), kept in " + kept,
      kProcedure);
  ++result.failed;
}

// The images of one call: every one prepared (it owns them), those whose
// file was placed in the archive, and the archive folders they went to.
struct Importer::Batch {
  std::vector<std::unique_ptr<Prepared>> images;
  std::vector<Prepared*> placed;
  std::set<std::string> folders;
};

Importer::Result Importer::ImportClaimed(
    const Log& log, const std::string& temp, const std::string& archive_text,
    const std::vector<std::string>& uids) noexcept {
  log_ = log;
  Result result;
  Batch batch;
  PlaceAll(temp, archive_text, uids, batch, result);
  if (batch.placed.empty() || !FlushPlaced(batch, result)) return result;
  bool committed = false;
  GuardWith([&] { committed = Commit(batch.placed); },
            [](const FailureInfo&) {});
  if (committed) {
    for (Prepared* image : batch.placed) Finish(temp, *image, result);
    return result;
  }
  CommitOneByOne(temp, batch.placed, result);
  return result;
}

void Importer::PlaceAll(const std::string& temp,
                        const std::string& archive_text,
                        const std::vector<std::string>& uids, Batch& batch,
                        Result& result) {
  for (size_t i = 0; i < uids.size(); ++i) {
    auto image = std::make_unique<Prepared>();
    image->uid = uids[i];
    if (!PrepareOne(temp, archive_text, *image, result)) {
      if (!result.database_unavailable) continue;
      result.deferred += static_cast<int>(uids.size() - i);
      break;
    }
    PlaceOne(temp, *image, batch, result);
    batch.images.push_back(std::move(image));
  }
}

bool Importer::PrepareOne(const std::string& temp,
                          const std::string& archive_text, Prepared& image,
                          Result& result) {
  bool prepared = false;
  GuardWith(
      [&] {
        Prepare(temp, archive_text, image);
        prepared = true;
      },
      [&](const FailureInfo& info) {
        if (!DatabaseAnswers()) {
          result.database_unavailable = true;
          return;
        }
        Fail(temp, image, info.number, info.description, result);
      });
  return prepared;
}

void Importer::PlaceOne(const std::string& temp, Prepared& image, Batch& batch,
                        Result& result) {
  GuardWith(
      [&] {
        batch.folders.insert(PlaceFile(
            ImportingFolder(temp) + image.uid + ".dcm", image.target));
        batch.placed.push_back(&image);
      },
      [&](const FailureInfo& info) {
        if (++place_failures_[image.uid] >= kMaxPlaceAttempts) {
          Fail(temp, image, info.number, info.description, result);
        } else {
          log_.Error(info.number,
                     "Image " + image.uid +
                         " not placed in the "
                         "archive yet (" +
                         info.description + ")",
                     kProcedure);
          ++result.deferred;
        }
      });
}

bool Importer::FlushPlaced(const Batch& batch, Result& result) {
  bool flushed = false;
  GuardWith(
      [&] {
        for (const std::string& folder : batch.folders) FlushFolder(folder);
        flushed = true;
      },
      [&](const FailureInfo& info) {
        log_.Error(info.number,
                   "Archive folder not flushed (" + info.description + "), " +
                       std::to_string(batch.placed.size()) +
                       " images taken again later",
                   kProcedure);
      });
  if (!flushed) result.deferred += static_cast<int>(batch.placed.size());
  return flushed;
}

void Importer::CommitOneByOne(const std::string& temp,
                              const std::vector<Prepared*>& placed,
                              Result& result) {
  // One transaction per image finds the one the database refuses.
  for (size_t i = 0; i < placed.size(); ++i) {
    Prepared& image = *placed[i];
    std::vector<Prepared*> one{&image};
    std::optional<FailureInfo> failure;
    GuardWith([&] { Commit(one); },
              [&](const FailureInfo& info) { failure = info; });
    if (!failure) {
      Finish(temp, image, result);
      continue;
    }
    Unplace(image);
    if (failure->description == LocationMoved().what()) {
      ++result.deferred;
    } else if (!DatabaseAnswers()) {
      result.database_unavailable = true;
      for (size_t k = i + 1; k < placed.size(); ++k) Unplace(*placed[k]);
      result.deferred += static_cast<int>(placed.size() - i);
      break;
    } else {
      Fail(temp, image, failure->number, failure->description, result);
    }
  }
}

void Importer::Unplace(const Prepared& image) {
  // The placed file of an image whose rows were not written goes again,
  // unless its old row names that very file.
  if (!image.old_file || *image.old_file != image.target)
    RemoveFileQuietly(image.target);
}

}  // namespace vantor
