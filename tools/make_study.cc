// make-study: writes the image files of one series of a made-up study, for
// tests and benchmarks.
//
//   make-study --dir DIR --study-uid UID --series-uid UID --count N
//              [--rows 512] [--cols 512] [--patient-id ID]
//              [--patient-name NAME] [--syntax explicit|implicit|jpeg-ll]
//              [--set KEYWORD=VALUE]...
//
// Image i (1..N) is a CT image of rows x cols 16-bit pixels with SOP
// Instance UID <series-uid>.<i> and Instance Number i, written as
// DIR/<series-uid>.<i>.dcm in the chosen transfer syntax (default explicit
// little endian). The pixel values follow a fixed pattern per image, so two
// runs write the same files. Each --set puts one more attribute, named by
// its DCMTK dictionary keyword (StudyDate=20260615), into every image; it
// replaces one written above.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: make-study --dir DIR --study-uid UID --series-uid UID "
               "--count N [--rows R] [--cols C] [--patient-id ID] "
               "[--patient-name NAME] [--syntax explicit|implicit|jpeg-ll] "
               "[--set KEYWORD=VALUE]...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> opt = {{"--rows", "512"},
                                            {"--cols", "512"},
                                            {"--patient-id", "BENCH1"},
                                            {"--patient-name", "Bench^Study"},
                                            {"--syntax", "explicit"}};
  std::vector<std::pair<DcmTag, std::string>> extra;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name != "--set") {
      opt[name] = value;
      continue;
    }
    const size_t eq = value.find('=');
    DcmTag tag;
    if (eq == std::string::npos ||
        DcmTag::findTagFromName(value.substr(0, eq).c_str(), tag).bad()) {
      std::fprintf(stderr, "make-study: unknown attribute in --set %s\n",
                   value.c_str());
      return Usage();
    }
    extra.emplace_back(tag, value.substr(eq + 1));
  }
  if (argc % 2 == 0 || !opt.count("--dir") || !opt.count("--study-uid") ||
      !opt.count("--series-uid") || !opt.count("--count"))
    return Usage();
  const int count = std::atoi(opt["--count"].c_str());
  const int rows = std::atoi(opt["--rows"].c_str());
  const int cols = std::atoi(opt["--cols"].c_str());
  E_TransferSyntax syntax = EXS_LittleEndianExplicit;
  if (opt["--syntax"] == "implicit") {
    syntax = EXS_LittleEndianImplicit;
  } else if (opt["--syntax"] == "jpeg-ll") {
    syntax = EXS_JPEGProcess14SV1;
    DJEncoderRegistration::registerCodecs();
  } else if (opt["--syntax"] != "explicit") {
    return Usage();
  }
  if (count <= 0 || rows <= 0 || cols <= 0) return Usage();

  const std::string series = opt["--series-uid"];
  std::vector<Uint16> pixels(static_cast<size_t>(rows) * cols);
  for (int n = 1; n <= count; ++n) {
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < cols; ++x)
        pixels[static_cast<size_t>(y) * cols + x] =
            static_cast<Uint16>((x * 7 + y * 13 + n * 101) & 0x0FFF);
    DcmFileFormat file;
    DcmDataset* ds = file.getDataset();
    const std::string uid = series + "." + std::to_string(n);
    ds->putAndInsertString(DCM_SOPClassUID, UID_CTImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, uid.c_str());
    ds->putAndInsertString(DCM_StudyInstanceUID, opt["--study-uid"].c_str());
    ds->putAndInsertString(DCM_SeriesInstanceUID, series.c_str());
    ds->putAndInsertString(DCM_PatientID, opt["--patient-id"].c_str());
    ds->putAndInsertString(DCM_PatientName, opt["--patient-name"].c_str());
    ds->putAndInsertString(DCM_Modality, "CT");
    ds->putAndInsertString(DCM_InstanceNumber, std::to_string(n).c_str());
    ds->putAndInsertString(DCM_ImageType, "ORIGINAL\\PRIMARY\\AXIAL");
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_Rows, static_cast<Uint16>(rows));
    ds->putAndInsertUint16(DCM_Columns, static_cast<Uint16>(cols));
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 16);
    ds->putAndInsertUint16(DCM_HighBit, 15);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(),
                                static_cast<unsigned long>(pixels.size()));
    for (const auto& [tag, value] : extra)
      ds->putAndInsertString(tag, value.c_str());
    if (syntax == EXS_JPEGProcess14SV1) {
      DJ_RPLossless params;
      if (ds->chooseRepresentation(syntax, &params).bad()) {
        std::fprintf(stderr, "cannot compress image %d\n", n);
        return 1;
      }
    }
    const std::string path = opt["--dir"] + "/" + uid + ".dcm";
    OFCondition cond = file.saveFile(path.c_str(), syntax);
    if (cond.bad()) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), cond.text());
      return 1;
    }
  }
  return 0;
}
