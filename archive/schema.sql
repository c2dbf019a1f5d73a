-- The Kelmora archive's objects that Vantor reads and updates, in SQLite's
-- dialect: patients, studies, series, images, the archive locations their
-- files lie in, the DICOM node table, and the four views the queries run on.
--
-- Types are declared so that the SQLite ODBC driver reports them typed:
-- keys and counters INTEGER, flags BIT, birth and study dates DATE, the
-- study time TIME, slice position and thickness REAL, everything else
-- VARCHAR.
--
-- Dates are stored as YYYY-MM-DD and times as HH:MM:SS: the driver reads
-- only these forms as dates and times (a date stored as YYYYMMDD comes back
-- as null). Date conditions therefore need the date pattern YYYY-MM-DD
-- (registry value DateFormat) on an SQLite archive; text comparison of that
-- form orders and ranges dates correctly.
--
-- Text columns that queries match compare without regard to case (NOCASE),
-- as the archive's SQL Server collation does. AE titles and addresses in
-- tblDicomAETs compare exactly but ignore trailing blanks (RTRIM), which is
-- both DICOM's rule for AE titles and how SQL Server compares texts.
--
-- Every statement ends with ";" at the end of a line; the file is run one
-- statement at a time.

DROP VIEW IF EXISTS VIEW_Images;
DROP VIEW IF EXISTS VIEW_Series;
DROP VIEW IF EXISTS VIEW_Studies;
DROP VIEW IF EXISTS VIEW_Patienten_Standard;
DROP TABLE IF EXISTS tblImages;
DROP TABLE IF EXISTS tblSeries;
DROP TABLE IF EXISTS tblStudies;
DROP TABLE IF EXISTS tblPatienten;
DROP TABLE IF EXISTS tblArchive;
DROP TABLE IF EXISTS tblDicomAETs;
DROP TABLE IF EXISTS tblMoveJobs;
DROP TABLE IF EXISTS tblCommitmentJobs;
DROP TABLE IF EXISTS tblImportJobs;

-- One row per patient. PATID is the internal numeric key, PATID1 the
-- patient ID that DICOM nodes see.
CREATE TABLE tblPatienten (
  PATID         INTEGER PRIMARY KEY,
  PATID1        VARCHAR(64) COLLATE NOCASE,
  PATNachname   VARCHAR(64) COLLATE NOCASE,  -- last name
  PATVorname    VARCHAR(64) COLLATE NOCASE,  -- first name
  PAT2Vorname   VARCHAR(64) COLLATE NOCASE,  -- second first name
  PATGebDatum   DATE,                        -- birth date, YYYY-MM-DD
  PATGeschlecht VARCHAR(16) COLLATE NOCASE   -- sex: M, F, O
);
CREATE INDEX idxPatientenPATID1 ON tblPatienten (PATID1);
CREATE INDEX idxPatientenName ON tblPatienten (PATNachname, PATVorname);

-- Where the image files of a study lie: the archive folder (a local path or
-- a UNC share) and an optional mirror. A file is the folder + "\" +
-- tblStudies.StudyDirectory1 + "\" + tblImages.ImageUID + ".dcm".
CREATE TABLE tblArchive (
  ArchiveID   INTEGER PRIMARY KEY,
  ArchiveName VARCHAR(64),
  ArchivePath VARCHAR(255),
  ArchiveUNC  VARCHAR(255),
  MirrorPath  VARCHAR(255),
  MirrorUNC   VARCHAR(255)
);

-- One row per study. FKeyStatusID: null or not negative for a study that
-- may be found and retrieved; -1 withdraws it. KeyStudy: the key-study mark.
CREATE TABLE tblStudies (
  StudyID          INTEGER PRIMARY KEY,
  StudyUID         VARCHAR(64) NOT NULL UNIQUE,
  FKeyPatID        INTEGER NOT NULL REFERENCES tblPatienten (PATID),
  FKeyArchiveID    INTEGER REFERENCES tblArchive (ArchiveID),
  FKeyStatusID     INTEGER,
  KeyStudy         INTEGER NOT NULL DEFAULT 0,
  StudyNr          VARCHAR(16),
  StudyDate        DATE,                        -- YYYY-MM-DD
  StudyTime        TIME,                        -- HH:MM:SS
  StudyDescription VARCHAR(64) COLLATE NOCASE,
  Modality         VARCHAR(16) COLLATE NOCASE,
  Bodypart         VARCHAR(16) COLLATE NOCASE,
  UeberweiserName  VARCHAR(64) COLLATE NOCASE,  -- referring physician
  Accession        VARCHAR(16) COLLATE NOCASE,
  StudyDirectory1  VARCHAR(255)                 -- folder under the archive
);
CREATE INDEX idxStudiesPatient ON tblStudies (FKeyPatID);

CREATE TABLE tblSeries (
  SeriesID    INTEGER PRIMARY KEY,
  SeriesUID   VARCHAR(64) NOT NULL UNIQUE,
  FKeyStudyID INTEGER NOT NULL REFERENCES tblStudies (StudyID),
  SeriesNr    INTEGER,
  Modality    VARCHAR(16) COLLATE NOCASE,
  SeriesCBA   VARCHAR(64)                       -- contrast/bolus agent
);
CREATE INDEX idxSeriesStudy ON tblSeries (FKeyStudyID);

CREATE TABLE tblImages (
  ImageID       INTEGER PRIMARY KEY,
  ImageUID      VARCHAR(64) NOT NULL UNIQUE,
  FKeySeriesID  INTEGER NOT NULL REFERENCES tblSeries (SeriesID),
  SOPClassUID   VARCHAR(64),
  ImageNr       INTEGER,
  ImageRows     INTEGER,
  ImageCols     INTEGER,
  ImageLocation REAL,                           -- slice location, mm
  ImageST       REAL                            -- slice thickness, mm
);
CREATE INDEX idxImagesSeries ON tblImages (FKeySeriesID);

-- One row per remote DICOM node. A caller is known by AET and IPAdress
-- together. CallingAET is the AE title a C-MOVE to this node is sent to.
-- StoreOnly: may store but not query or retrieve (null: not store-only).
-- AETSiemens: names as "Last, First". InternalID: patients by PATID.
CREATE TABLE tblDicomAETs (
  AETID           INTEGER PRIMARY KEY,
  AET             VARCHAR(16) COLLATE RTRIM NOT NULL,
  IPAdress        VARCHAR(64) COLLATE RTRIM,
  IPPort          INTEGER,
  CallingAET      VARCHAR(16),
  CallingHostName VARCHAR(64),
  AETSiemens      BIT DEFAULT 0,
  InternalID      BIT DEFAULT 0,
  StoreOnly       BIT,
  -- Sent to over TLS by the sender; null = no.
  UseTLS          BIT
);
CREATE INDEX idxDicomAETs ON tblDicomAETs (AET, IPAdress);

-- The views keep every study, withdrawn ones included; the statements that
-- read them leave out what they must.

CREATE VIEW VIEW_Patienten_Standard AS
SELECT p.PATID, p.PATID1, p.PATNachname, p.PATVorname, p.PAT2Vorname,
       p.PATGebDatum, p.PATGeschlecht
FROM tblPatienten p;

CREATE VIEW VIEW_Studies AS
SELECT p.PATID, p.PATID1, p.PATNachname, p.PATVorname, p.PAT2Vorname,
       p.PATGebDatum, p.PATGeschlecht,
       s.StudyID, s.StudyUID, s.StudyNr, s.StudyDate, s.StudyTime,
       s.StudyDescription, s.Modality, s.Bodypart, s.UeberweiserName,
       s.Accession, s.KeyStudy, s.FKeyStatusID
FROM tblStudies s
JOIN tblPatienten p ON p.PATID = s.FKeyPatID;

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

-- Work any front of the archive may carry out, a table per kind: C-MOVE
-- jobs, Storage Commitment answers that wait for their requester, images
-- that wait for the importer. A front claims a waiting row, or a running
-- one whose lease ran out, by writing its name (Owner) and a lease; it
-- renews the lease while it works and ends the row as done or failed;
-- another front takes over a row whose lease was not renewed. Progress is
-- the worker's report (a C-MOVE's counts). Times are the database's own. (The
-- queue is used on database servers only; SQLite keeps the job files.)
CREATE TABLE tblMoveJobs (
  JobID      INTEGER PRIMARY KEY,
  State      VARCHAR(10) NOT NULL DEFAULT 'waiting',
  Payload    TEXT NOT NULL,
  Owner      VARCHAR(128),
  LeaseUntil TEXT,
  Attempts   INTEGER NOT NULL DEFAULT 0,
  Progress   TEXT,
  Created    TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX idxMoveJobsState ON tblMoveJobs (State, JobID);
CREATE TABLE tblCommitmentJobs (
  JobID      INTEGER PRIMARY KEY,
  State      VARCHAR(10) NOT NULL DEFAULT 'waiting',
  Payload    TEXT NOT NULL,
  Owner      VARCHAR(128),
  LeaseUntil TEXT,
  Attempts   INTEGER NOT NULL DEFAULT 0,
  Progress   TEXT,
  Created    TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX idxCommitmentJobsState ON tblCommitmentJobs (State, JobID);
CREATE TABLE tblImportJobs (
  JobID      INTEGER PRIMARY KEY,
  State      VARCHAR(10) NOT NULL DEFAULT 'waiting',
  Scope      VARCHAR(255) NOT NULL DEFAULT '',  -- the incoming folder the image lies in
  Payload    TEXT NOT NULL,
  Owner      VARCHAR(128),
  LeaseUntil TEXT,
  Attempts   INTEGER NOT NULL DEFAULT 0,
  Progress   TEXT,
  Created    TEXT NOT NULL DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX idxImportJobsState ON tblImportJobs (State, JobID);
-- An image waits or is being imported under one row at most (its UID is
-- the payload, its incoming folder the scope): the row's holder owns the
-- image's claim in the importer's folder.
CREATE UNIQUE INDEX idxImportJobsImage ON tblImportJobs (Scope, Payload)
  WHERE State IN ('waiting', 'running');
