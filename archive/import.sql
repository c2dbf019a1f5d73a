-- The importer's statements on an SQLite archive (schema.sql): what it runs
-- to take a received image into tblPatienten, tblStudies, tblSeries,
-- tblImages and tblArchive.
--
-- Each block starts with a "-- name:" line and may hold several statements,
-- each ending with ";" at the end of a line. {Name} stands for a value the
-- importer fills in: NULL, a number, or a quoted text with its apostrophes
-- doubled. A block left empty is skipped.
--
-- Dates are written as YYYY-MM-DD and times as HH:MM:SS, the forms the
-- driver reads back as dates and times. The write transaction is taken at
-- once (BEGIN IMMEDIATE), so that two writers never deadlock on upgrading a
-- read lock; write-ahead logging lets queries read while it runs.

-- name: Setup
PRAGMA journal_mode = WAL;
PRAGMA busy_timeout = 30000;

-- name: Begin
BEGIN IMMEDIATE;

-- name: Commit
COMMIT;

-- name: Rollback
ROLLBACK;

-- name: DefaultArchive
SELECT ArchiveID, ArchivePath, ArchiveUNC FROM tblArchive ORDER BY ArchiveID;

-- name: FindArchive
SELECT ArchiveID, ArchivePath, ArchiveUNC FROM tblArchive
WHERE ArchivePath = {ArchivePath} ORDER BY ArchiveID;

-- name: InsertArchive
INSERT INTO tblArchive (ArchiveName, ArchivePath)
VALUES ({ArchiveName}, {ArchivePath});

-- name: LockPatient

-- name: FindPatient
SELECT PATID FROM tblPatienten WHERE PATID1 = {PatientID} ORDER BY PATID;

-- name: InsertPatient
INSERT INTO tblPatienten (PATID1, PATNachname, PATVorname, PAT2Vorname,
  PATGebDatum, PATGeschlecht)
VALUES ({PatientID}, {LastName}, {FirstName}, {SecondFirstName},
  {BirthDate}, {Sex});

-- name: FindStudy
SELECT s.StudyID, s.FKeyArchiveID, s.StudyDirectory1, a.ArchivePath,
  a.ArchiveUNC
FROM tblStudies s LEFT JOIN tblArchive a ON a.ArchiveID = s.FKeyArchiveID
WHERE s.StudyUID = {StudyUID};

-- name: InsertStudy
-- A new study is released (FKeyStatusID 0): a null status would leave it
-- out of the related counts, whose condition "= Null" is never true.
INSERT INTO tblStudies (StudyUID, FKeyPatID, FKeyArchiveID, FKeyStatusID,
  KeyStudy, StudyNr, StudyDate, StudyTime, StudyDescription, Modality,
  Bodypart, UeberweiserName, Accession, StudyDirectory1)
VALUES ({StudyUID}, {PatientKey}, {ArchiveKey}, 0, 0, {StudyNr}, {StudyDate},
  {StudyTime}, {StudyDescription}, {StudyModality}, {Bodypart}, {Referring},
  {Accession}, {StudyDirectory});

-- name: FindSeries
SELECT SeriesID FROM tblSeries WHERE SeriesUID = {SeriesUID};

-- name: InsertSeries
INSERT INTO tblSeries (SeriesUID, FKeyStudyID, SeriesNr, Modality, SeriesCBA)
VALUES ({SeriesUID}, {StudyKey}, {SeriesNr}, {SeriesModality}, {SeriesCBA});

-- name: FindImage
SELECT i.ImageID, s.StudyDirectory1, a.ArchivePath, a.ArchiveUNC
FROM tblImages i
JOIN tblSeries se ON se.SeriesID = i.FKeySeriesID
JOIN tblStudies s ON s.StudyID = se.FKeyStudyID
LEFT JOIN tblArchive a ON a.ArchiveID = s.FKeyArchiveID
WHERE i.ImageUID = {ImageUID};

-- name: InsertImage
INSERT INTO tblImages (ImageUID, FKeySeriesID, SOPClassUID, ImageNr,
  ImageRows, ImageCols, ImageLocation, ImageST)
VALUES ({ImageUID}, {SeriesKey}, {SOPClassUID}, {ImageNr}, {ImageRows},
  {ImageCols}, {ImageLocation}, {ImageST});

-- name: UpdateImage
UPDATE tblImages SET FKeySeriesID = {SeriesKey}, SOPClassUID = {SOPClassUID},
  ImageNr = {ImageNr}, ImageRows = {ImageRows}, ImageCols = {ImageCols},
  ImageLocation = {ImageLocation}, ImageST = {ImageST}
WHERE ImageID = {ImageKey};
