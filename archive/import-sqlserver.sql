-- The importer's statements on a SQL Server archive (schema-sqlserver.sql):
-- what it runs to take a received image into tblPatienten, tblStudies,
-- tblSeries, tblImages and tblArchive.
--
-- Each block starts with a "-- name:" line and may hold several statements,
-- each ending with ";" at the end of a line. {Name} stands for a value the
-- importer fills in: NULL, a number, or a quoted text with its apostrophes
-- doubled. A block left empty is skipped.
--
-- Keys are plain INT columns: a new row takes the highest key + 1 under a
-- table lock held to the end of the transaction. The patient lookup takes
-- an update lock on the patient ID's range, so that two importers never
-- insert the same patient twice.

-- name: Setup
SET LOCK_TIMEOUT 30000;

-- name: Begin
BEGIN TRANSACTION;

-- name: Commit
COMMIT TRANSACTION;

-- name: Rollback
IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION;

-- name: DefaultArchive
SELECT ArchiveID, ArchivePath, ArchiveUNC FROM tblArchive ORDER BY ArchiveID;

-- name: FindArchive
SELECT ArchiveID, ArchivePath, ArchiveUNC FROM tblArchive
WHERE ArchivePath = {ArchivePath} ORDER BY ArchiveID;

-- name: InsertArchive
INSERT INTO tblArchive (ArchiveID, ArchiveName, ArchivePath)
SELECT COALESCE(MAX(ArchiveID), 0) + 1, {ArchiveName}, {ArchivePath}
FROM tblArchive WITH (TABLOCKX, HOLDLOCK);

-- name: LockPatient

-- name: FindPatient
SELECT PATID FROM tblPatienten WITH (UPDLOCK, HOLDLOCK)
WHERE PATID1 = {PatientID} ORDER BY PATID;

-- name: InsertPatient
INSERT INTO tblPatienten (PATID, PATID1, PATNachname, PATVorname,
  PAT2Vorname, PATGebDatum, PATGeschlecht)
SELECT COALESCE(MAX(PATID), 0) + 1, {PatientID}, {LastName}, {FirstName},
  {SecondFirstName}, {BirthDate}, {Sex}
FROM tblPatienten WITH (TABLOCKX, HOLDLOCK);

-- name: FindStudy
SELECT s.StudyID, s.FKeyArchiveID, s.StudyDirectory1, a.ArchivePath,
  a.ArchiveUNC
FROM tblStudies s LEFT JOIN tblArchive a ON a.ArchiveID = s.FKeyArchiveID
WHERE s.StudyUID = {StudyUID};

-- name: InsertStudy
-- A new study is released (FKeyStatusID 0): a null status would leave it
-- out of the related counts, whose condition "= Null" is never true.
INSERT INTO tblStudies (StudyID, StudyUID, FKeyPatID, FKeyArchiveID,
  FKeyStatusID, KeyStudy, StudyNr, StudyDate, StudyTime, StudyDescription,
  Modality, Bodypart, UeberweiserName, Accession, StudyDirectory1)
SELECT COALESCE(MAX(StudyID), 0) + 1, {StudyUID}, {PatientKey}, {ArchiveKey},
  0, 0, {StudyNr}, {StudyDate}, {StudyTime}, {StudyDescription},
  {StudyModality}, {Bodypart}, {Referring}, {Accession}, {StudyDirectory}
FROM tblStudies WITH (TABLOCKX, HOLDLOCK);

-- name: FindSeries
SELECT SeriesID FROM tblSeries WHERE SeriesUID = {SeriesUID};

-- name: InsertSeries
INSERT INTO tblSeries (SeriesID, SeriesUID, FKeyStudyID, SeriesNr, Modality,
  SeriesCBA)
SELECT COALESCE(MAX(SeriesID), 0) + 1, {SeriesUID}, {StudyKey}, {SeriesNr},
  {SeriesModality}, {SeriesCBA}
FROM tblSeries WITH (TABLOCKX, HOLDLOCK);

-- name: FindImage
SELECT i.ImageID, s.StudyDirectory1, a.ArchivePath, a.ArchiveUNC
FROM tblImages i
JOIN tblSeries se ON se.SeriesID = i.FKeySeriesID
JOIN tblStudies s ON s.StudyID = se.FKeyStudyID
LEFT JOIN tblArchive a ON a.ArchiveID = s.FKeyArchiveID
WHERE i.ImageUID = {ImageUID};

-- name: InsertImage
INSERT INTO tblImages (ImageID, ImageUID, FKeySeriesID, SOPClassUID, ImageNr,
  ImageRows, ImageCols, ImageLocation, ImageST)
SELECT COALESCE(MAX(ImageID), 0) + 1, {ImageUID}, {SeriesKey}, {SOPClassUID},
  {ImageNr}, {ImageRows}, {ImageCols}, {ImageLocation}, {ImageST}
FROM tblImages WITH (TABLOCKX, HOLDLOCK);

-- name: UpdateImage
UPDATE tblImages SET FKeySeriesID = {SeriesKey}, SOPClassUID = {SOPClassUID},
  ImageNr = {ImageNr}, ImageRows = {ImageRows}, ImageCols = {ImageCols},
  ImageLocation = {ImageLocation}, ImageST = {ImageST}
WHERE ImageID = {ImageKey};
