// vantor-demo: writes a small demo archive that the service can serve.
//
//   vantor-demo [--schema PATH] DIR
//
// Creates DIR/archive.db from the archive schema (default: archive/schema.sql
// beside the build folder of this program), fills it with three patients,
// their studies, series and images and the node table for DCMTK's command
// line tools on 127.0.0.1, and writes every image as a DICOM file to the
// place its row points to: DIR/archive/<year>/<Study Instance UID>/
// <SOP Instance UID>.dcm. A second run replaces DIR/archive.db and
// DIR/archive/ as a whole.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "archive/sql_script.h"
#include "host/base/database.h"
#include "host/base/failure.h"
#include "host/base/files.h"
#include "host/base/paths.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;

constexpr int kMatrix = 64;

struct DemoImage {
  double location;   // slice location, mm
  double thickness;  // slice thickness, mm
};

struct DemoSeries {
  const char* modality;
  const char* description;
  const char* contrast;  // null: none
  std::vector<DemoImage> images;
};

struct DemoStudy {
  const char* date;  // YYYY-MM-DD
  const char* time;  // HH:MM:SS
  const char* description;
  const char* modality;
  const char* body_part;
  const char* referring;
  const char* accession;
  const char* status;  // FKeyStatusID as SQL text
  std::vector<DemoSeries> series;
};

struct DemoPatient {
  const char* patient_id;
  const char* last_name;
  const char* first_name;
  const char* second_first_name;  // null: none
  const char* birth_date;         // YYYY-MM-DD
  const char* sex;
  std::vector<DemoStudy> studies;
};

std::vector<DemoPatient> DemoPatients() {
  return {
      {"KM-100231",
       "Meyer",
       "Anna",
       "Lena",
       "1965-03-03",
       "F",
       {{"2024-01-15",
         "10:15:30",
         "CT Thorax",
         "CT",
         "CHEST",
         "Weber^Klaus",
         "A24-0115",
         "0",
         {{"CT", "Thorax 5 mm", "IOMERON 350", {{-20, 5}, {-15, 5}}},
          {"CT", "Lung 1 mm", nullptr, {{-20, 1}, {-19, 1}}}}},
        {"2024-03-02",
         "08:40:00",
         "MR Knie rechts",
         "MR",
         "KNEE",
         "Unknown",
         "A24-0302",
         "NULL",
         {{"MR", "PD fs sag", nullptr, {{-4, 3}, {0, 3}}}}}}},
      {"KM-100544",
       "Schneider",
       "Thomas",
       nullptr,
       "1948-11-21",
       "M",
       {{"2023-11-08",
         "14:05:12",
         "Thorax in 2 Ebenen",
         "CR",
         "CHEST",
         "Hoffmann^Petra",
         "A23-1108",
         "0",
         {{"CR", "Thorax pa", nullptr, {{0, 0}}},
          {"CR", "Thorax lat", nullptr, {{0, 0}}}}},
        {"2024-02-20",
         "23:51:07",
         "EM: Polytrauma Abdomen",
         "CT",
         "ABDOMEN",
         "",
         "A24-0220",
         "1",
         {{"CT", "Abdomen 3 mm", nullptr, {{100, 3}, {103, 3}, {106, 3}}}}}}},
      {"KM-100812",
       "Wagner",
       "Sophie",
       nullptr,
       "1989-07-14",
       "F",
       {{"2024-04-11",
         "09:30:00",
         "MR Schaedel",
         "MR",
         "HEAD",
         "Weber^Klaus",
         "A24-0411",
         "0",
         {{"MR", "T1 tra", nullptr, {{10, 5}, {15, 5}}},
          {"MR", "T2 tra", nullptr, {{10, 5}, {15, 5}}}}}}},
  };
}

const char* SopClassOf(const std::string& modality) {
  if (modality == "CT") return UID_CTImageStorage;
  if (modality == "MR") return UID_MRImageStorage;
  if (modality == "CR") return UID_ComputedRadiographyImageStorage;
  return UID_SecondaryCaptureImageStorage;
}

std::string Quoted(const char* text) {
  return text == nullptr ? "NULL" : "'" + SqlQuote(text) + "'";
}

// "1965-03-03" -> "19650303", "10:15:30" -> "101530".
std::string WithoutSeparators(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c != '-' && c != ':') out.push_back(c);
  return out;
}

std::string NewUid(const char* root) {
  char uid[100];
  dcmGenerateUniqueIdentifier(uid, root);
  return uid;
}

std::string DecimalText(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", x);
  return buf;
}

void Check(const OFCondition& cond, const std::string& what) {
  if (cond.bad()) throw Failure(kInternalError, what + ": " + cond.text());
}

// A 64x64 phantom: an elliptic body with an inner structure that grows
// with the slice position, in the value range of the modality.
std::vector<Uint16> Pixels(const std::string& modality, int slice) {
  std::vector<Uint16> pixels(kMatrix * kMatrix);
  const bool ct = modality == "CT";
  const double inner = 8.0 + 3.0 * (slice % 4);
  for (int y = 0; y < kMatrix; ++y) {
    for (int x = 0; x < kMatrix; ++x) {
      double dx = (x - 31.5) / 28.0, dy = (y - 31.5) / 22.0;
      double r = std::sqrt(dx * dx + dy * dy);
      double ix = x - 31.5, iy = y - 31.5 - 4.0;
      double value;
      if (modality == "CR") {
        value = r < 1.0 ? 2600 - 1400 * r + 8 * ((x + y) % 16) : 300;
      } else if (r >= 1.0) {
        value = ct ? 24 : 0;  // air
      } else if (std::sqrt(ix * ix + iy * iy) < inner) {
        value = ct ? 1024 + 700 : 900;  // bone / bright tissue
      } else if (r > 0.9) {
        value = ct ? 1024 - 100 : 400;  // skin and fat
      } else {
        value = ct ? 1024 + 40 : 550 + 60 * std::sin(x / 5.0);
      }
      pixels[y * kMatrix + x] = static_cast<Uint16>(value < 0 ? 0 : value);
    }
  }
  return pixels;
}

struct ImageFile {
  const DemoPatient* patient;
  const DemoStudy* study;
  const DemoSeries* series;
  const DemoImage* image;
  std::string study_uid, series_uid, frame_uid, sop_uid;
  int study_nr, series_nr, image_nr;
};

// Puts attributes into a data set; one that does not go in throws.
class Attributes {
 public:
  explicit Attributes(DcmDataset* ds) : ds_(ds) {}
  void Put(const DcmTagKey& tag, const std::string& value) {
    Check(ds_->putAndInsertString(tag, value.c_str()), "put " + value);
  }
  void Put16(const DcmTagKey& tag, Uint16 value) {
    Check(ds_->putAndInsertUint16(tag, value), "put number");
  }

 private:
  DcmDataset* ds_;
};

std::string PatientName(const DemoPatient& patient) {
  std::string name = patient.last_name;
  name += std::string("^") + patient.first_name;
  if (patient.second_first_name != nullptr)
    name += std::string("^") + patient.second_first_name;
  return name;
}

// The image's identity, its patient, study and series.
void PutIdentity(Attributes& a, const ImageFile& f) {
  const std::string modality = f.series->modality;
  a.Put(DCM_SpecificCharacterSet, "ISO_IR 100");
  a.Put(DCM_SOPClassUID, SopClassOf(modality));
  a.Put(DCM_SOPInstanceUID, f.sop_uid);
  a.Put(DCM_ImageType,
        modality == "CT" ? "ORIGINAL\\PRIMARY\\AXIAL" : "ORIGINAL\\PRIMARY");
  a.Put(DCM_StudyDate, WithoutSeparators(f.study->date));
  a.Put(DCM_SeriesDate, WithoutSeparators(f.study->date));
  a.Put(DCM_ContentDate, WithoutSeparators(f.study->date));
  a.Put(DCM_StudyTime, WithoutSeparators(f.study->time));
  a.Put(DCM_ContentTime, WithoutSeparators(f.study->time));
  a.Put(DCM_AccessionNumber, f.study->accession);
  a.Put(DCM_Modality, modality);
  a.Put(DCM_Manufacturer, "Kelmora demo");
  a.Put(DCM_ReferringPhysicianName, f.study->referring);
  a.Put(DCM_StudyDescription, f.study->description);
  a.Put(DCM_SeriesDescription, f.series->description);
  a.Put(DCM_PatientName, PatientName(*f.patient));
  a.Put(DCM_PatientID, f.patient->patient_id);
  a.Put(DCM_PatientBirthDate, WithoutSeparators(f.patient->birth_date));
  a.Put(DCM_PatientSex, f.patient->sex);
  a.Put(DCM_BodyPartExamined, f.study->body_part);
  if (f.series->contrast != nullptr)
    a.Put(DCM_ContrastBolusAgent, f.series->contrast);
  a.Put(DCM_StudyInstanceUID, f.study_uid);
  a.Put(DCM_SeriesInstanceUID, f.series_uid);
  a.Put(DCM_StudyID, std::to_string(f.study_nr));
  a.Put(DCM_SeriesNumber, std::to_string(f.series_nr));
  a.Put(DCM_InstanceNumber, std::to_string(f.image_nr));
}

// Where the image lies: a radiograph's view, a slice's position.
void PutPlacement(Attributes& a, const ImageFile& f) {
  if (std::string(f.series->modality) == "CR") {
    a.Put(DCM_ViewPosition, f.series_nr == 1 ? "PA" : "LL");
    a.Put(DCM_PatientOrientation, "L\\F");
  } else {
    a.Put(DCM_SliceThickness, DecimalText(f.image->thickness));
    a.Put(DCM_SliceLocation, DecimalText(f.image->location));
    a.Put(DCM_ImagePositionPatient,
          "-160\\-160\\" + DecimalText(f.image->location));
    a.Put(DCM_ImageOrientationPatient, "1\\0\\0\\0\\1\\0");
    a.Put(DCM_FrameOfReferenceUID, f.frame_uid);
    a.Put(DCM_PositionReferenceIndicator, "");
  }
  a.Put(DCM_PixelSpacing, "5\\5");
}

// The acquisition parameters of a CT or MR image.
void PutAcquisition(Attributes& a, const ImageFile& f) {
  const std::string modality = f.series->modality;
  if (modality == "CT") {
    a.Put(DCM_KVP, "120");
    a.Put(DCM_AcquisitionNumber, "1");
    a.Put(DCM_RescaleIntercept, "-1024");
    a.Put(DCM_RescaleSlope, "1");
    a.Put(DCM_WindowCenter, "40");
    a.Put(DCM_WindowWidth, "400");
  } else if (modality == "MR") {
    a.Put(DCM_ScanningSequence, "SE");
    a.Put(DCM_SequenceVariant, "NONE");
    a.Put(DCM_ScanOptions, "");
    a.Put(DCM_MRAcquisitionType, "2D");
    a.Put(DCM_RepetitionTime, f.series_nr == 1 ? "500" : "4000");
    a.Put(DCM_EchoTime, f.series_nr == 1 ? "12" : "100");
    a.Put(DCM_EchoTrainLength, "1");
    a.Put(DCM_MagneticFieldStrength, "1.5");
  }
}

void PutPixels(Attributes& a, DcmDataset* ds, const ImageFile& f) {
  a.Put16(DCM_SamplesPerPixel, 1);
  a.Put(DCM_PhotometricInterpretation, "MONOCHROME2");
  a.Put16(DCM_Rows, kMatrix);
  a.Put16(DCM_Columns, kMatrix);
  a.Put16(DCM_BitsAllocated, 16);
  a.Put16(DCM_BitsStored, 12);
  a.Put16(DCM_HighBit, 11);
  a.Put16(DCM_PixelRepresentation, 0);
  std::vector<Uint16> pixels = Pixels(f.series->modality, f.image_nr);
  Check(ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(),
                                    static_cast<unsigned long>(pixels.size())),
        "put pixel data");
}

void WriteDicom(const ImageFile& f, const std::string& path) {
  DcmFileFormat file;
  DcmDataset* ds = file.getDataset();
  Attributes a(ds);
  PutIdentity(a, f);
  PutPlacement(a, f);
  PutAcquisition(a, f);
  PutPixels(a, ds, f);
  Check(file.saveFile(path.c_str(), EXS_LittleEndianExplicit), "write " + path);
}

std::string ReadFile(const std::string& path) {
  std::optional<std::string> text = TryReadWholeFile(path);
  if (!text) throw Failure(kFileNotFound, "cannot read " + path);
  return *text;
}

void InsertNodes(Database& db) {
  struct Node {
    const char* aet;
    int port;
  };
  // The DCMTK tools under their default titles; MOVESCU also receives on
  // 11114 (movescu +P 11114), STORESCP is the move destination on 11113.
  const Node nodes[] = {{"ECHOSCU", 0},  {"FINDSCU", 0},
                        {"GETSCU", 0},   {"MOVESCU", 11114},
                        {"STORESCU", 0}, {"STORESCP", 11113}};
  for (const Node& n : nodes) {
    db.Execute(
        "INSERT INTO tblDicomAETs (AET, IPAdress, IPPort, CallingAET, "
        "CallingHostName, AETSiemens, InternalID, StoreOnly) VALUES (" +
        Quoted(n.aet) + ", '127.0.0.1', " + std::to_string(n.port) + ", " +
        Quoted(n.aet) + ", 'localhost', 0, 0, 0)");
  }
}

struct Totals {
  int patients = 0, studies = 0, series = 0, images = 0;
};

void InsertPatient(Database& db, const DemoPatient& p) {
  db.Execute(
      "INSERT INTO tblPatienten (PATID1, PATNachname, PATVorname, "
      "PAT2Vorname, PATGebDatum, PATGeschlecht) VALUES (" +
      Quoted(p.patient_id) + ", " + Quoted(p.last_name) + ", " +
      Quoted(p.first_name) + ", " + Quoted(p.second_first_name) + ", " +
      Quoted(p.birth_date) + ", " + Quoted(p.sex) + ")");
}

// The study's row in its folder `directory` below the archive.
void InsertStudy(Database& db, const ImageFile& f,
                 const std::string& directory) {
  const DemoStudy& s = *f.study;
  const std::string patient_key =
      "(SELECT PATID FROM tblPatienten WHERE PATID1 = " +
      Quoted(f.patient->patient_id) + ")";
  db.Execute(
      "INSERT INTO tblStudies (StudyUID, FKeyPatID, FKeyArchiveID, "
      "FKeyStatusID, KeyStudy, StudyNr, StudyDate, StudyTime, "
      "StudyDescription, Modality, Bodypart, UeberweiserName, Accession, "
      "StudyDirectory1) VALUES (" +
      Quoted(f.study_uid.c_str()) + ", " + patient_key + ", 1, " + s.status +
      ", 0, '" + std::to_string(f.study_nr) + "', " + Quoted(s.date) + ", " +
      Quoted(s.time) + ", " + Quoted(s.description) + ", " +
      Quoted(s.modality) + ", " + Quoted(s.body_part) + ", " +
      Quoted(s.referring) + ", " + Quoted(s.accession) + ", " +
      Quoted(directory.c_str()) + ")");
}

void InsertSeries(Database& db, const ImageFile& f) {
  db.Execute(
      "INSERT INTO tblSeries (SeriesUID, FKeyStudyID, SeriesNr, "
      "Modality, SeriesCBA) VALUES (" +
      Quoted(f.series_uid.c_str()) +
      ", (SELECT StudyID FROM tblStudies WHERE StudyUID = " +
      Quoted(f.study_uid.c_str()) + "), " + std::to_string(f.series_nr) +
      ", " + Quoted(f.series->modality) + ", " + Quoted(f.series->contrast) +
      ")");
}

void InsertImage(Database& db, const ImageFile& f) {
  const DemoImage& im = *f.image;
  const bool cross_section = std::string(f.series->modality) != "CR";
  db.Execute(
      "INSERT INTO tblImages (ImageUID, FKeySeriesID, SOPClassUID, "
      "ImageNr, ImageRows, ImageCols, ImageLocation, ImageST) "
      "VALUES (" +
      Quoted(f.sop_uid.c_str()) +
      ", (SELECT SeriesID FROM tblSeries WHERE SeriesUID = " +
      Quoted(f.series_uid.c_str()) + "), " +
      Quoted(SopClassOf(f.series->modality)) + ", " +
      std::to_string(f.image_nr) + ", " + std::to_string(kMatrix) + ", " +
      std::to_string(kMatrix) + ", " +
      (cross_section ? DecimalText(im.location) : "NULL") + ", " +
      (cross_section ? DecimalText(im.thickness) : "NULL") + ")");
}

// The rows of one study's series and images, and the images' files in the
// study's folder `study_dir`.
void FillStudy(Database& db, ImageFile& f, const std::string& study_dir,
               Totals& totals) {
  for (const DemoSeries& se : f.study->series) {
    f.series = &se;
    f.series_uid = NewUid(SITE_SERIES_UID_ROOT);
    ++f.series_nr;
    f.image_nr = 0;
    InsertSeries(db, f);
    ++totals.series;
    for (const DemoImage& im : se.images) {
      f.image = &im;
      f.sop_uid = NewUid(SITE_INSTANCE_UID_ROOT);
      ++f.image_nr;
      InsertImage(db, f);
      WriteDicom(f, ToFsPath(study_dir + "\\" + f.sop_uid + ".dcm"));
      ++totals.images;
    }
  }
}

Totals Fill(Database& db, const std::string& archive_dir) {
  Totals totals;
  db.Execute(
      "INSERT INTO tblArchive (ArchiveID, ArchiveName, ArchivePath) VALUES "
      "(1, 'Demo', " +
      Quoted(archive_dir.c_str()) + ")");
  InsertNodes(db);
  int study_nr = 0;
  for (const DemoPatient& p : DemoPatients()) {
    InsertPatient(db, p);
    ++totals.patients;
    for (const DemoStudy& s : p.studies) {
      ImageFile f{&p,
                  &s,
                  nullptr,
                  nullptr,
                  NewUid(SITE_STUDY_UID_ROOT),
                  "",
                  NewUid(SITE_UID_ROOT),
                  "",
                  ++study_nr,
                  0,
                  0};
      const std::string directory =
          std::string(s.date).substr(0, 4) + "\\" + f.study_uid;
      fs::create_directories(ToFsPath(archive_dir + "\\" + directory));
      InsertStudy(db, f, directory);
      ++totals.studies;
      FillStudy(db, f, archive_dir + "\\" + directory, totals);
    }
  }
  return totals;
}

int Usage() {
  std::cerr << "usage: vantor-demo [--schema PATH] DIR\n"
               "Writes DIR/archive.db and the image files under "
               "DIR/archive/ (both replaced).\n";
  return 2;
}

}  // namespace
}  // namespace vantor

int main(int argc, char** argv) {
  using namespace vantor;
  std::string schema_path;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--schema" && i + 1 < argc) {
      schema_path = argv[++i];
    } else if (arg == "-h" || arg == "--help" || !dir.empty() || arg.empty() ||
               arg[0] == '-') {
      return Usage();
    } else {
      dir = arg;
    }
  }
  if (dir.empty()) return Usage();
  if (schema_path.empty())
    schema_path = ProgramDir() + "/../archive/schema.sql";

  int rc = 1;
  GuardWith(
      [&] {
        std::string schema = ReadFile(schema_path);
        fs::create_directories(dir);
        const std::string base = fs::canonical(dir).string();
        const std::string db_path = base + "/archive.db";
        const std::string archive_dir = base + "/archive";
        fs::remove(db_path);
        fs::remove_all(archive_dir);
        fs::create_directories(archive_dir);

        Database db;
        CreateSqliteFile(db_path);
        db.Open(ConnectionText("sqlite:" + db_path));
        RunSqlScript(db, schema);
        db.Execute("BEGIN");
        Totals t = Fill(db, archive_dir);
        db.Execute("COMMIT");
        db.Close();
        std::cout << "Demo archive " << db_path << ": " << t.patients
                  << " patients, " << t.studies << " studies, " << t.series
                  << " series, " << t.images << " images under " << archive_dir
                  << "\n";
        rc = 0;
      },
      [&](const FailureInfo& info) {
        std::cerr << "vantor-demo: " << info.description << " (" << info.number
                  << ")\n";
      });
  return rc;
}
