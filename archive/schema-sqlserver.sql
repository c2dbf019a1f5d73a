-- The Kelmora archive's objects that Vantor reads and updates, in the
-- T-SQL of Microsoft SQL Server (2016 or later: DROP ... IF EXISTS): the
-- same tables and views as schema.sql, for a test or staging database; the
-- archive product's own database has them already.
--
-- Run with sqlcmd (GO ends every batch; CREATE VIEW must open its own):
--   sqlcmd -S SERVER -d TavikDB2 -i archive/schema-sqlserver.sql
--
-- Differences from the SQLite form:
-- - Dates and times are DATE and TIME(0); the server converts the texts
--   of the service's date conditions (YYYYMMDD or the DateFormat pattern),
--   so the default DateFormat YYYYMMDD works.
-- - Names, IDs and descriptions use a case-insensitive collation
--   (Latin1_General_CI_AS); AE titles and addresses a case-sensitive one.
--   SQL Server ignores trailing blanks in = comparisons of texts, which is
--   DICOM's rule for AE titles.
-- - Keys are plain INT primary keys given by the archive's importer.

DROP VIEW IF EXISTS VIEW_Images;
GO
DROP VIEW IF EXISTS VIEW_Series;
GO
DROP VIEW IF EXISTS VIEW_Studies;
GO
DROP VIEW IF EXISTS VIEW_Patienten_Standard;
GO
DROP TABLE IF EXISTS tblImages;
GO
DROP TABLE IF EXISTS tblSeries;
GO
DROP TABLE IF EXISTS tblStudies;
GO
DROP TABLE IF EXISTS tblPatienten;
GO
DROP TABLE IF EXISTS tblArchive;
GO
DROP TABLE IF EXISTS tblDicomAETs;
GO
DROP TABLE IF EXISTS tblMoveJobs;
GO
DROP TABLE IF EXISTS tblCommitmentJobs;
GO
DROP TABLE IF EXISTS tblImportJobs;
GO

-- One row per patient. PATID is the internal numeric key, PATID1 the
-- patient ID that DICOM nodes see.
CREATE TABLE tblPatienten (
  PATID         INT NOT NULL PRIMARY KEY,
  PATID1        VARCHAR(64) COLLATE Latin1_General_CI_AS,
  PATNachname   VARCHAR(64) COLLATE Latin1_General_CI_AS,  -- last name
  PATVorname    VARCHAR(64) COLLATE Latin1_General_CI_AS,  -- first name
  PAT2Vorname   VARCHAR(64) COLLATE Latin1_General_CI_AS,  -- second first name
  PATGebDatum   DATE,                        -- birth date
  PATGeschlecht VARCHAR(16) COLLATE Latin1_General_CI_AS   -- sex: M, F, O
);
GO
CREATE INDEX idxPatientenPATID1 ON tblPatienten (PATID1);
GO
CREATE INDEX idxPatientenName ON tblPatienten (PATNachname, PATVorname);
GO

-- Where the image files of a study lie: the archive folder (a local path or
-- a UNC share) and an optional mirror. A file is the folder + "\" +
-- tblStudies.StudyDirectory1 + "\" + tblImages.ImageUID + ".dcm".
CREATE TABLE tblArchive (
  ArchiveID   INT NOT NULL PRIMARY KEY,
  ArchiveName VARCHAR(64),
  ArchivePath VARCHAR(255),
  ArchiveUNC  VARCHAR(255),
  MirrorPath  VARCHAR(255),
  MirrorUNC   VARCHAR(255)
);
GO

-- One row per study. FKeyStatusID: null or not negative for a study that
-- may be found and retrieved; -1 withdraws it. KeyStudy: the key-study mark.
CREATE TABLE tblStudies (
  StudyID          INT NOT NULL PRIMARY KEY,
  StudyUID         VARCHAR(64) NOT NULL UNIQUE,
  FKeyPatID        INT NOT NULL REFERENCES tblPatienten (PATID),
  FKeyArchiveID    INT REFERENCES tblArchive (ArchiveID),
  FKeyStatusID     INT,
  KeyStudy         INT NOT NULL DEFAULT 0,
  StudyNr          VARCHAR(16),
  StudyDate        DATE,
  StudyTime        TIME(0),
  StudyDescription VARCHAR(64) COLLATE Latin1_General_CI_AS,
  Modality         VARCHAR(16) COLLATE Latin1_General_CI_AS,
  Bodypart         VARCHAR(16) COLLATE Latin1_General_CI_AS,
  UeberweiserName  VARCHAR(64) COLLATE Latin1_General_CI_AS,  -- referring physician
  Accession        VARCHAR(16) COLLATE Latin1_General_CI_AS,
  StudyDirectory1  VARCHAR(255)                 -- folder under the archive
);
GO
CREATE INDEX idxStudiesPatient ON tblStudies (FKeyPatID);
GO

CREATE TABLE tblSeries (
  SeriesID    INT NOT NULL PRIMARY KEY,
  SeriesUID   VARCHAR(64) NOT NULL UNIQUE,
  FKeyStudyID INT NOT NULL REFERENCES tblStudies (StudyID),
  SeriesNr    INT,
  Modality    VARCHAR(16) COLLATE Latin1_General_CI_AS,
  SeriesCBA   VARCHAR(64)                       -- contrast/bolus agent
);
GO
CREATE INDEX idxSeriesStudy ON tblSeries (FKeyStudyID);
GO

CREATE TABLE tblImages (
  ImageID       INT NOT NULL PRIMARY KEY,
  ImageUID      VARCHAR(64) NOT NULL UNIQUE,
  FKeySeriesID  INT NOT NULL REFERENCES tblSeries (SeriesID),
  SOPClassUID   VARCHAR(64),
  ImageNr       INT,
  ImageRows     INT,
  ImageCols     INT,
  ImageLocation REAL,                           -- slice location, mm
  ImageST       REAL                            -- slice thickness, mm
);
GO
CREATE INDEX idxImagesSeries ON tblImages (FKeySeriesID);
GO

-- One row per remote DICOM node. A caller is known by AET and IPAdress
-- together. CallingAET is the AE title a C-MOVE to this node is sent to.
-- StoreOnly: may store but not query or retrieve (null: not store-only).
-- AETSiemens: names as "Last, First". InternalID: patients by PATID.
CREATE TABLE tblDicomAETs (
  AETID           INT NOT NULL PRIMARY KEY,
  AET             VARCHAR(16) COLLATE Latin1_General_CS_AS NOT NULL,
  IPAdress        VARCHAR(64) COLLATE Latin1_General_CS_AS,
  IPPort          INT,
  CallingAET      VARCHAR(16),
  CallingHostName VARCHAR(64),
  AETSiemens      BIT DEFAULT 0,
  InternalID      BIT DEFAULT 0,
  StoreOnly       BIT,
  -- Sent to over TLS by the sender; null = no.
  UseTLS          BIT
);
GO
CREATE INDEX idxDicomAETs ON tblDicomAETs (AET, IPAdress);
GO

-- The views keep every study, withdrawn ones included; the statements that
-- read them leave out what they must.

CREATE VIEW VIEW_Patienten_Standard AS
SELECT p.PATID, p.PATID1, p.PATNachname, p.PATVorname, p.PAT2Vorname,
       p.PATGebDatum, p.PATGeschlecht
FROM tblPatienten p;
GO

CREATE VIEW VIEW_Studies AS
SELECT p.PATID, p.PATID1, p.PATNachname, p.PATVorname, p.PAT2Vorname,
       p.PATGebDatum, p.PATGeschlecht,
       s.StudyID, s.StudyUID, s.StudyNr, s.StudyDate, s.StudyTime,
       s.StudyDescription, s.Modality, s.Bodypart, s.UeberweiserName,
       s.Accession, s.KeyStudy, s.FKeyStatusID
FROM tblStudies s
JOIN tblPatienten p ON p.PATID = s.FKeyPatID;
GO

CREATE VIEW VIEW_Series AS
SELECT p.PATID, p.PATID1, p.PATNachname, p.PATVorname, p.PATGebDatum,
       p.PATGeschlecht,
       s.StudyID, s.StudyUID, s.StudyDate, s.StudyTime, s.StudyDescription,
       se.Modality, s.Bodypart, s.UeberweiserName, s.Accession, s.KeyStudy,
       s.FKeyStatusID,
       se.SeriesID, se.SeriesUID, se.SeriesNr, se.SeriesCBA,
       a.ArchivePath, a.ArchiveUNC, a.MirrorPath, a.MirrorUNC,
       s.StudyDirectory1
FROM tblSeries se
JOIN tblStudies s ON s.StudyID = se.FKeyStudyID
JOIN tblPatienten p ON p.PATID = s.FKeyPatID
LEFT JOIN tblArchive a ON a.ArchiveID = s.FKeyArchiveID;
GO

CREATE VIEW VIEW_Images AS
SELECT p.PATID, p.PATID1, p.PATNachname, p.PATVorname, p.PATGebDatum,
       s.StudyID, s.StudyUID, s.StudyDate,
       se.SeriesID, se.SeriesUID,
       i.ImageID, i.ImageUID, i.ImageNr, i.ImageRows, i.ImageCols,
       i.ImageLocation, i.ImageST, se.Modality, s.Accession, s.FKeyStatusID,
       a.ArchivePath, a.ArchiveUNC, a.MirrorPath, a.MirrorUNC,
       s.StudyDirectory1
FROM tblImages i
JOIN tblSeries se ON se.SeriesID = i.FKeySeriesID
JOIN tblStudies s ON s.StudyID = se.FKeyStudyID
JOIN tblPatienten p ON p.PATID = s.FKeyPatID
LEFT JOIN tblArchive a ON a.ArchiveID = s.FKeyArchiveID;
GO

-- Work any front of the archive may carry out, a table per kind: C-MOVE
-- jobs, Storage Commitment answers that wait for their requester, images
-- that wait for the importer. A front claims a waiting row, or a running
-- one whose lease ran out, by writing its name (Owner) and a lease; it
-- renews the lease while it works and ends the row as done or failed;
-- another front takes over a row whose lease was not renewed. Progress is
-- the worker's report (a C-MOVE's counts). Times are the database's own.
CREATE TABLE tblMoveJobs (
  JobID      BIGINT IDENTITY(1,1) NOT NULL PRIMARY KEY,
  State      VARCHAR(10) NOT NULL DEFAULT 'waiting',
  Payload    NVARCHAR(MAX) NOT NULL,
  Owner      NVARCHAR(128),
  LeaseUntil DATETIME2,
  Attempts   INT NOT NULL DEFAULT 0,
  Progress   NVARCHAR(MAX),
  Created    DATETIME2 NOT NULL DEFAULT SYSUTCDATETIME()
);
GO
CREATE INDEX idxMoveJobsState ON tblMoveJobs (State, JobID);
GO
CREATE TABLE tblCommitmentJobs (
  JobID      BIGINT IDENTITY(1,1) NOT NULL PRIMARY KEY,
  State      VARCHAR(10) NOT NULL DEFAULT 'waiting',
  Payload    NVARCHAR(MAX) NOT NULL,
  Owner      NVARCHAR(128),
  LeaseUntil DATETIME2,
  Attempts   INT NOT NULL DEFAULT 0,
  Progress   NVARCHAR(MAX),
  Created    DATETIME2 NOT NULL DEFAULT SYSUTCDATETIME()
);
GO
CREATE INDEX idxCommitmentJobsState ON tblCommitmentJobs (State, JobID);
GO
CREATE TABLE tblImportJobs (
  JobID      BIGINT IDENTITY(1,1) NOT NULL PRIMARY KEY,
  State      VARCHAR(10) NOT NULL DEFAULT 'waiting',
  Scope      NVARCHAR(255) NOT NULL DEFAULT '',  -- the incoming folder the image lies in
  Payload    NVARCHAR(255) NOT NULL,
  Owner      NVARCHAR(128),
  LeaseUntil DATETIME2,
  Attempts   INT NOT NULL DEFAULT 0,
  Progress   NVARCHAR(MAX),
  Created    DATETIME2 NOT NULL DEFAULT SYSUTCDATETIME()
);
GO
CREATE INDEX idxImportJobsState ON tblImportJobs (State, JobID);
GO
-- An image waits or is being imported under one row at most (its UID is
-- the payload, its incoming folder the scope): the row's holder owns the
-- image's claim in the importer's folder.
CREATE UNIQUE INDEX idxImportJobsImage ON tblImportJobs (Scope, Payload)
  WHERE State IN ('waiting', 'running');
GO
